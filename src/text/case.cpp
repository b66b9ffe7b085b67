#include "text/text.h"

#include <algorithm>
#include <iterator>

namespace text {

namespace {
struct CasePair {
    char16_t upper;
    char16_t lower;
};
// Generated at build time from the Unicode Character Database (simple lower-case mappings of the
// BMP), sorted by the upper-case code unit.
constexpr CasePair lower_table[] = {
#include "text/lowercase_table.inc"
};
} // namespace

char16_t to_lower_beyond_ascii(char16_t c)
{
    auto it = std::lower_bound(std::begin(lower_table), std::end(lower_table), c,
                               [](const CasePair& p, char16_t v) { return p.upper < v; });
    return (it != std::end(lower_table) && it->upper == c) ? it->lower : c;
}

std::u16string to_lower(std::u16string_view s)
{
    std::u16string out(s);
    for (char16_t& c : out)
        c = to_lower(c);
    return out;
}

} // namespace text
