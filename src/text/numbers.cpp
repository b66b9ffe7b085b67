#include "text/text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace text {

namespace {
bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

int hex_value(char16_t c)
{
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool starts_with_nocase(std::u16string_view s, size_t at, std::string_view word)
{
    if (s.size() - at < word.size()) return false;
    for (size_t k = 0; k < word.size(); ++k)
        if ((s[at + k] | 0x20) != char16_t(word[k])) return false;
    return true;
}

size_t skip_space(std::u16string_view s, size_t i)
{
    while (i < s.size() && is_space(s[i])) ++i;
    return i;
}

// "0x" is a prefix only when a hexadecimal digit follows; otherwise the "0" is the number.
size_t skip_hex_prefix(std::u16string_view s, size_t i)
{
    if (i + 2 < s.size() && s[i] == u'0' && (s[i + 1] | 0x20) == u'x' && hex_value(s[i + 2]) >= 0)
        return i + 2;
    return i;
}

// Reads an optional "0x" and hexadecimal digits from s[i]. Returns the number of digits, and
// the magnitude saturated at `limit`.
size_t read_hex_digits(std::u16string_view s, size_t& i, uint64_t limit, uint64_t& value)
{
    i = skip_hex_prefix(s, i);
    size_t digits = 0;
    value = 0;
    for (; i < s.size() && hex_value(s[i]) >= 0; ++i, ++digits) {
        value = value * 16 + uint64_t(hex_value(s[i]));
        if (value > limit) value = limit + 1;
    }
    return digits;
}
} // namespace

bool is_space(char16_t c)
{
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

int32_t wtoi(std::u16string_view s)
{
    size_t i = skip_space(s, 0);
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
    int64_t value = 0;
    constexpr int64_t limit = int64_t(std::numeric_limits<int32_t>::max()) + 1;
    for (; i < s.size() && is_digit(s[i]); ++i) {
        value = value * 10 + (s[i] - u'0');
        if (value > limit) value = limit;
    }
    if (negative) return int32_t(-value);
    return int32_t(std::min<int64_t>(value, std::numeric_limits<int32_t>::max()));
}

std::optional<double> scan_double(std::u16string_view s)
{
    size_t i = skip_space(s, 0);
    std::string ascii; // the accepted part, for from_chars
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';

    if (starts_with_nocase(s, i, "inf"))
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    if (starts_with_nocase(s, i, "nan"))
        return std::numeric_limits<double>::quiet_NaN();

    size_t int_digits = 0, frac_digits = 0;
    // Position of the first significant digit relative to the decimal point, to tell an overflow
    // from an underflow when the value is out of range.
    long lead_zeros_int = 0, lead_zeros_frac = 0;
    bool seen_nonzero = false;
    for (; i < s.size() && is_digit(s[i]); ++i, ++int_digits) {
        if (s[i] != u'0') seen_nonzero = true;
        if (!seen_nonzero) ++lead_zeros_int;
        ascii.push_back(char(s[i]));
    }
    if (i < s.size() && s[i] == u'.') {
        size_t j = i + 1;
        std::string frac;
        for (; j < s.size() && is_digit(s[j]); ++j, ++frac_digits) {
            if (s[j] != u'0') seen_nonzero = true;
            if (!seen_nonzero) ++lead_zeros_frac;
            frac.push_back(char(s[j]));
        }
        if (int_digits + frac_digits > 0) {
            ascii += "." + frac;
            i = j;
        }
    }
    if (int_digits + frac_digits == 0) return std::nullopt;
    long exponent = 0;
    if (i < s.size() && (s[i] | 0x20) == u'e') {
        size_t j = i + 1;
        bool exp_negative = false;
        if (j < s.size() && (s[j] == u'+' || s[j] == u'-')) exp_negative = s[j++] == u'-';
        if (j < s.size() && is_digit(s[j])) {
            std::string exp;
            for (; j < s.size() && is_digit(s[j]); ++j) {
                exp.push_back(char(s[j]));
                if (exponent < 100000) exponent = exponent * 10 + (s[j] - u'0');
            }
            if (exp_negative) exponent = -exponent;
            ascii += (exp_negative ? "e-" : "e") + exp;
        }
    }
    double value = 0;
    auto [end, ec] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    if (ec == std::errc::result_out_of_range) {
        // strtod gives infinity on overflow and zero on underflow.
        const long magnitude = seen_nonzero
            ? (int_digits > size_t(lead_zeros_int) ? long(int_digits) - lead_zeros_int - 1
                                                   : -lead_zeros_frac - 1) + exponent
            : -1;
        value = magnitude >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -value : value;
}

std::optional<uint32_t> scan_hex(std::u16string_view s)
{
    size_t i = skip_space(s, 0);
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
    uint64_t value = 0;
    size_t digits = 0;
    // Wraps modulo 2^32 rather than saturating, as the C runtime's conversion does.
    i = skip_hex_prefix(s, i);
    for (; i < s.size() && hex_value(s[i]) >= 0; ++i, ++digits)
        value = (value * 16 + uint64_t(hex_value(s[i]))) & 0xFFFFFFFFu;
    if (digits == 0) return std::nullopt;
    return negative ? uint32_t(0u - uint32_t(value)) : uint32_t(value);
}

int32_t wcstol16(std::u16string_view s)
{
    size_t i = skip_space(s, 0);
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
    uint64_t value = 0;
    constexpr uint64_t limit = uint64_t(std::numeric_limits<int32_t>::max()) + 1;
    if (read_hex_digits(s, i, limit, value) == 0) return 0;
    if (negative) return value >= limit ? std::numeric_limits<int32_t>::min() : -int32_t(value);
    return value >= limit ? std::numeric_limits<int32_t>::max() : int32_t(value);
}

} // namespace text
