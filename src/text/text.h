// UTF-16 text helpers shared by every layer: printf-style formatting, number reading, case,
// UTF-8 and 8-bit code page conversion.
//
// Everything here is implemented once, in portable C++, so that the Linux and the Windows builds
// produce the same texts byte for byte; nothing goes through the C runtime's locale-dependent wide
// functions.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace text {

// ---------------------------------------------------------------------------------------------
// Formatting

// One argument of `format`. Integers keep their signedness; the conversion decides the width
// (32 bits for "%i" "%u" "%x" and their "l" forms, as on Windows where long is 32 bits; 64 bits
// with "ll").
class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Double, Text };

    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char16_t>)
    FormatArg(T v) : kind_(std::is_signed_v<T> ? Kind::Signed : Kind::Unsigned)
    {
        if constexpr (std::is_signed_v<T>)
            s_ = v;
        else
            u_ = v;
    }
    FormatArg(bool v) : kind_(Kind::Signed), s_(v ? 1 : 0) {}
    FormatArg(char16_t c) : kind_(Kind::Unsigned), u_(c) {}
    FormatArg(double v) : kind_(Kind::Double), d_(v) {}
    FormatArg(float v) : kind_(Kind::Double), d_(v) {}
    FormatArg(std::u16string_view s) : kind_(Kind::Text), t_(s) {}
    FormatArg(const std::u16string& s) : kind_(Kind::Text), t_(s) {}
    FormatArg(const char16_t* s) : kind_(Kind::Text), t_(s ? std::u16string_view(s) : u"(null)") {}

    Kind kind() const { return kind_; }
    int64_t as_signed() const;
    uint64_t as_unsigned() const;
    double as_double() const;
    std::u16string_view as_text() const { return kind_ == Kind::Text ? t_ : std::u16string_view(); }

private:
    Kind kind_;
    int64_t s_ = 0;
    uint64_t u_ = 0;
    double d_ = 0;
    std::u16string_view t_;
};

// printf-style formatting of the conversions the system's texts use: d i u x X c s G g and "%%",
// with flags "-" "0" "+" " " "#", a width, a precision and the length modifiers h l ll I64.
// "%G" is the Windows C runtime's: exponent with a sign and at least three digits (1.23457E+006).
// A "%c" given a NUL character ends the text there. A conversion without an argument, or an
// unknown one, is copied to the output as it stands.
std::u16string vformat(std::u16string_view fmt, std::span<const FormatArg> args);

template <class... Args>
std::u16string format(std::u16string_view fmt, const Args&... args)
{
    const FormatArg list[] = {FormatArg(args)..., FormatArg(0)};
    return vformat(fmt, std::span<const FormatArg>(list, sizeof...(Args)));
}

// What "%.<digits>i" and "%.<digits>x" give for `value` (a minus sign for a negative one, then at
// least `digits` digits, zeros in front, `digits` from 1 to 64; small letters), appended to `out`
// without the general formatter: for the texts a decision makes many of (time stamps, report
// names, trace lines).
void append_decimal(std::u16string& out, int32_t value, int digits);
void append_hex(std::u16string& out, uint32_t value, int digits);

// ---------------------------------------------------------------------------------------------
// Reading numbers

// Whether c is white space to the number readers: blank, tab, line feed, vertical tab, form feed,
// carriage return.
bool is_space(char16_t c);

// `_wtoi`: leading white space, an optional sign, decimal digits; clamped to the 32-bit range;
// 0 when there are no digits.
int32_t wtoi(std::u16string_view s);

// "%lf" as `swscanf_s` reads it: leading white space, then the longest leading part that is a
// decimal number (sign, digits, fraction, exponent), "inf"/"infinity" or "nan". Empty when no
// field is converted. Out-of-range values become infinity or zero, as strtod gives them.
std::optional<double> scan_double(std::u16string_view s);

// "%x" as `swscanf_s` reads it: leading white space, an optional sign, an optional "0x", one or
// more hexadecimal digits; the value modulo 2^32. Empty when no field is converted.
std::optional<uint32_t> scan_hex(std::u16string_view s);

// `wcstol(s, nullptr, 16)` with Windows' 32-bit long: white space, sign, optional "0x", digits;
// clamped to the 32-bit range; 0 when there are no digits.
int32_t wcstol16(std::u16string_view s);

// ---------------------------------------------------------------------------------------------
// Case

// Unicode simple lower-case mapping of one UTF-16 code unit (BMP; surrogates map to themselves).
// Mapping a lower-cased unit again leaves it as it is. ASCII is mapped in line: matching a device
// against long rule lists lowers mostly ASCII.
char16_t to_lower_beyond_ascii(char16_t c);
inline char16_t to_lower(char16_t c)
{
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
    return to_lower_beyond_ascii(c);
}
std::u16string to_lower(std::u16string_view s);

// ---------------------------------------------------------------------------------------------
// Encodings

// UTF-16 to UTF-8. A surrogate pair becomes one 4-byte sequence; a lone surrogate becomes U+FFFD.
std::string to_utf8(std::u16string_view s);
// UTF-8 to UTF-16. Never fails: each ill-formed sequence becomes U+FFFD.
std::u16string from_utf8(std::string_view s);

// UTF-16 code units as little-endian bytes, and back (an odd final byte is ignored).
std::vector<uint8_t> to_utf16le(std::u16string_view s);
std::u16string from_utf16le(std::span<const uint8_t> bytes);

// The system code page for 8-bit text: Windows-1250 (Central European) on every platform.
std::u16string from_system_codepage(std::string_view bytes);
char16_t from_cp1250(uint8_t byte);

// ASCII or UTF-8 source text to UTF-16, for literals and values that come from narrow APIs.
inline std::u16string u16(std::string_view utf8) { return from_utf8(utf8); }

} // namespace text
