// Whether the settings reader took a settings file whole. The program's reader takes what it can of
// a text in silence: a file cut short, or one with a number with a fraction, after which it stops.
// A document read from the file may so hold only part of it, and a tool that wrote the file back
// from that document (zelmusbctl's rules, the Linux monitor's stored answers) would lose the rest
// for good. Both write only when this holds.
#pragma once

#include <cstdint>
#include <vector>

#include "json/hostjson/json_node.h"

namespace settings_file {

// True when `doc`, the settings reader's document of `content` (ParseSettings), has the same value
// as the whole text of `content` read strictly.
bool read_whole(const std::vector<uint8_t>& content, const CJsonNode& doc);

} // namespace settings_file
