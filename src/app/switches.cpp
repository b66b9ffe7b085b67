#include "app/switches.h"

#include "text/text.h"

bool find_switch(std::u16string_view command_line, std::u16string_view switch_text, std::u16string& value)
{
    value.clear();
    const std::u16string line = text::to_lower(command_line);
    const std::u16string name = text::to_lower(switch_text);
    const size_t at = line.find(name);
    if (at == std::u16string::npos) return false;
    if (name.empty() || name.back() != u':') return true;
    size_t i = at + name.size();
    const bool quoted = i < line.size() && line[i] == u'"';
    if (quoted) ++i;
    const char16_t end = quoted ? u'"' : u' ';
    for (; i < line.size() && line[i] != end; ++i) value.push_back(line[i]);
    return true;
}
