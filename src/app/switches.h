// The command-line switch parser of the program.
#pragma once

#include <string>
#include <string_view>

// Looks for `switch_text` in `command_line`, both lower-cased, as a plain substring. A switch that
// ends in ":" takes a value: a quoted value runs to the next double quote, an unquoted one to the
// next blank. The value is the lower-cased text. Returns whether the switch was found.
bool find_switch(std::u16string_view command_line, std::u16string_view switch_text, std::u16string& value);
