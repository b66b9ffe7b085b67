#include "text/text.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <cmath>

namespace text {

int64_t FormatArg::as_signed() const
{
    switch (kind_) {
    case Kind::Signed: return s_;
    case Kind::Unsigned: return int64_t(u_);
    case Kind::Double: return std::isfinite(d_) && std::fabs(d_) < 9.2e18 ? int64_t(d_) : 0;
    case Kind::Text: return 0;
    }
    return 0;
}

uint64_t FormatArg::as_unsigned() const
{
    return kind_ == Kind::Unsigned ? u_ : uint64_t(as_signed());
}

double FormatArg::as_double() const
{
    switch (kind_) {
    case Kind::Signed: return double(s_);
    case Kind::Unsigned: return double(u_);
    case Kind::Double: return d_;
    case Kind::Text: return 0;
    }
    return 0;
}

namespace {

struct Conversion {
    bool left = false, zero = false, plus = false, space = false, alt = false;
    int width = 0;
    int precision = -1;
    bool wide = false; // "ll" or "I64": 64-bit integer
    char16_t conv = 0;
};

void append_ascii(std::u16string& out, std::string_view s)
{
    for (char c : s) out.push_back(char16_t(uint8_t(c)));
}

// Pads `body` (already holding sign/prefix `head` separately) to the width.
void emit(std::u16string& out, const Conversion& cv, std::u16string_view head, std::u16string_view body,
          bool zero_pad_allowed)
{
    const size_t len = head.size() + body.size();
    const size_t pad = cv.width > 0 && size_t(cv.width) > len ? size_t(cv.width) - len : 0;
    if (cv.left) {
        out.append(head);
        out.append(body);
        out.append(pad, u' ');
    } else if (cv.zero && zero_pad_allowed) {
        out.append(head);
        out.append(pad, u'0');
        out.append(body);
    } else {
        out.append(pad, u' ');
        out.append(head);
        out.append(body);
    }
}

void format_integer(std::u16string& out, const Conversion& cv, const FormatArg& arg)
{
    bool negative = false;
    uint64_t magnitude;
    int base = 10;
    bool upper = false;
    if (cv.conv == u'd' || cv.conv == u'i') {
        const int64_t v = cv.wide ? arg.as_signed() : int64_t(int32_t(arg.as_signed()));
        negative = v < 0;
        magnitude = negative ? uint64_t(0) - uint64_t(v) : uint64_t(v);
    } else {
        magnitude = cv.wide ? arg.as_unsigned() : uint64_t(uint32_t(arg.as_unsigned()));
        if (cv.conv == u'x' || cv.conv == u'X') base = 16;
        upper = cv.conv == u'X';
    }
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, magnitude, base);
    std::string digits(buf, res.ptr);
    if (upper)
        for (char& c : digits) c = char(std::toupper(uint8_t(c)));
    if (cv.precision >= 0) {
        if (cv.precision == 0 && magnitude == 0) digits.clear();
        if (digits.size() < size_t(cv.precision)) digits.insert(0, size_t(cv.precision) - digits.size(), '0');
    }
    std::u16string head;
    if (negative) head = u"-";
    else if (cv.plus && (cv.conv == u'd' || cv.conv == u'i')) head = u"+";
    else if (cv.space && (cv.conv == u'd' || cv.conv == u'i')) head = u" ";
    if (cv.alt && base == 16 && magnitude != 0) head += upper ? u"0X" : u"0x";
    std::u16string body;
    append_ascii(body, digits);
    emit(out, cv, head, body, cv.precision < 0);
}

void strip_trailing_zeros(std::string& mantissa)
{
    const size_t dot = mantissa.find('.');
    if (dot == std::string::npos) return;
    size_t end = mantissa.size();
    while (end > dot + 1 && mantissa[end - 1] == '0') --end;
    if (end == dot + 1) end = dot;
    mantissa.resize(end);
}

// "%g"/"%G" as the Windows C runtime prints it: precision P significant digits (6 by default),
// exponent style when the rounded exponent is below -4 or at least P, and an exponent of at least
// three digits. Digits come from std::to_chars, which rounds correctly and ignores the locale.
std::string general_float(double v, int precision, bool alt, bool upper)
{
    if (std::isnan(v)) return upper ? "NAN" : "nan";
    if (std::isinf(v)) return v < 0 ? (upper ? "-INF" : "-inf") : (upper ? "INF" : "inf");
    const int p = precision < 0 ? 6 : (precision == 0 ? 1 : precision);
    const bool negative = std::signbit(v);
    const double a = std::fabs(v);

    // Room for every digit the precision asks for (the format reader caps it at 4096), so that
    // no precision can overrun the conversion.
    std::vector<char> room(size_t(p) + 32);
    char* const buf = room.data();
    const size_t buf_size = room.size();
    int exponent = 0;
    std::string sci;
    if (a != 0) {
        auto r = std::to_chars(buf, buf + buf_size, a, std::chars_format::scientific, p - 1);
        sci.assign(buf, r.ptr);
        const size_t e = sci.find('e');
        std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+'), sci.data() + sci.size(), exponent);
        sci.resize(e);
    }
    std::string out;
    if (a != 0 && (exponent < -4 || exponent >= p)) {
        if (!alt) strip_trailing_zeros(sci);
        std::string exp = std::to_string(exponent < 0 ? -exponent : exponent);
        if (exp.size() < 3) exp.insert(0, 3 - exp.size(), '0');
        out = sci + (upper ? "E" : "e") + (exponent < 0 ? "-" : "+") + exp;
    } else {
        auto r = std::to_chars(buf, buf + buf_size, a, std::chars_format::fixed, p - 1 - exponent);
        out.assign(buf, r.ptr);
        if (alt && out.find('.') == std::string::npos) out += '.';
        if (!alt) strip_trailing_zeros(out);
    }
    return negative ? "-" + out : out;
}

void format_float(std::u16string& out, const Conversion& cv, const FormatArg& arg)
{
    const double v = arg.as_double();
    std::string s = general_float(v, cv.precision, cv.alt, cv.conv == u'G');
    std::u16string head;
    if (!s.empty() && s[0] == '-') {
        head = u"-";
        s.erase(0, 1);
    } else if (cv.plus) {
        head = u"+";
    } else if (cv.space) {
        head = u" ";
    }
    std::u16string body;
    append_ascii(body, s);
    emit(out, cv, head, body, std::isfinite(v));
}

} // namespace

std::u16string vformat(std::u16string_view fmt, std::span<const FormatArg> args)
{
    std::u16string out;
    out.reserve(fmt.size() + 16);
    size_t next = 0;
    size_t i = 0;
    while (i < fmt.size()) {
        const char16_t c = fmt[i];
        if (c != u'%') {
            out.push_back(c);
            ++i;
            continue;
        }
        const size_t start = i++;
        if (i < fmt.size() && fmt[i] == u'%') {
            out.push_back(u'%');
            ++i;
            continue;
        }
        Conversion cv;
        for (; i < fmt.size(); ++i) {
            const char16_t f = fmt[i];
            if (f == u'-') cv.left = true;
            else if (f == u'0') cv.zero = true;
            else if (f == u'+') cv.plus = true;
            else if (f == u' ') cv.space = true;
            else if (f == u'#') cv.alt = true;
            else break;
        }
        for (; i < fmt.size() && fmt[i] >= u'0' && fmt[i] <= u'9'; ++i)
            cv.width = std::min(cv.width * 10 + (fmt[i] - u'0'), 4096);
        if (i < fmt.size() && fmt[i] == u'.') {
            cv.precision = 0;
            for (++i; i < fmt.size() && fmt[i] >= u'0' && fmt[i] <= u'9'; ++i)
                cv.precision = std::min(cv.precision * 10 + (fmt[i] - u'0'), 4096);
        }
        if (fmt.substr(i, 3) == u"I64") {
            cv.wide = true;
            i += 3;
        } else if (fmt.substr(i, 2) == u"ll") {
            cv.wide = true;
            i += 2;
        } else if (i < fmt.size() && (fmt[i] == u'l' || fmt[i] == u'h')) {
            ++i;
        }
        if (i >= fmt.size()) {
            out.append(fmt.substr(start));
            break;
        }
        cv.conv = fmt[i++];
        const bool known = std::u16string_view(u"diuxXcsGg").find(cv.conv) != std::u16string_view::npos;
        if (!known || next >= args.size()) {
            out.append(fmt.substr(start, i - start));
            continue;
        }
        const FormatArg& arg = args[next++];
        switch (cv.conv) {
        case u'c': {
            const char16_t ch = char16_t(arg.as_unsigned());
            // A NUL ends the text, as it ends a C string.
            if (ch == 0) return out;
            emit(out, cv, u"", std::u16string_view(&ch, 1), false);
            break;
        }
        case u's': {
            std::u16string_view s = arg.as_text();
            if (cv.precision >= 0 && s.size() > size_t(cv.precision)) s = s.substr(0, size_t(cv.precision));
            emit(out, cv, u"", s, false);
            break;
        }
        case u'G':
        case u'g':
            format_float(out, cv, arg);
            break;
        default:
            format_integer(out, cv, arg);
            break;
        }
    }
    return out;
}

namespace {
void append_digits(std::u16string& out, uint32_t value, uint32_t base, int digits)
{
    static constexpr char16_t symbols[] = u"0123456789abcdef";
    // Filled from the end: the digits, then the zeros in front; appended in one piece.
    char16_t field[64];
    size_t first = std::size(field);
    do {
        field[--first] = symbols[value % base];
        value /= base;
    } while (value != 0);
    const size_t wanted = size_t(std::clamp(digits, 1, int(std::size(field))));
    while (std::size(field) - first < wanted)
        field[--first] = u'0';
    out.append(field + first, std::size(field) - first);
}
} // namespace

void append_decimal(std::u16string& out, int32_t value, int digits)
{
    if (value < 0) out.push_back(u'-');
    append_digits(out, value < 0 ? uint32_t(0) - uint32_t(value) : uint32_t(value), 10, digits);
}

void append_hex(std::u16string& out, uint32_t value, int digits)
{
    append_digits(out, value, 16, digits);
}

} // namespace text
