#include <bit>
#include <cstring>

#include "text/text.h"

namespace text {

namespace {
constexpr char16_t replacement = 0xFFFD;

bool is_high(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void put_utf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

void put_utf16(std::u16string& out, uint32_t cp)
{
    if (cp < 0x10000) {
        out.push_back(char16_t(cp));
    } else {
        cp -= 0x10000;
        out.push_back(char16_t(0xD800 | (cp >> 10)));
        out.push_back(char16_t(0xDC00 | (cp & 0x3FF)));
    }
}
} // namespace

std::string to_utf8(std::u16string_view s)
{
    std::string out;
    out.reserve(s.size() * 3 / 2 + 4);
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (is_high(c) && i + 1 < s.size() && is_low(s[i + 1])) {
            put_utf8(out, 0x10000 + ((uint32_t(c) - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00));
            ++i;
        } else if (is_high(c) || is_low(c)) {
            put_utf8(out, replacement);
        } else {
            put_utf8(out, c);
        }
    }
    return out;
}

// Decodes by the "maximal subpart" practice of the Unicode standard: each maximal prefix of a
// well-formed sequence that cannot be completed becomes one U+FFFD.
std::u16string from_utf8(std::string_view s)
{
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        const uint8_t b = uint8_t(s[i]);
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        int need;
        uint32_t cp;
        uint8_t lo = 0x80, hi = 0xBF; // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;      // no overlong forms
            if (b == 0xED) hi = 0x9F;      // no encoded surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;      // nothing above U+10FFFF
        } else {
            out.push_back(replacement);
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (int k = 0; k < need; ++k, ++j) {
            if (j >= n) {
                ok = false;
                break;
            }
            const uint8_t c = uint8_t(s[j]);
            const uint8_t min = k == 0 ? lo : 0x80, max = k == 0 ? hi : 0xBF;
            if (c < min || c > max) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        if (ok)
            put_utf16(out, cp);
        else
            out.push_back(replacement);
        i = j;
    }
    return out;
}

std::vector<uint8_t> to_utf16le(std::u16string_view s)
{
    std::vector<uint8_t> out(s.size() * 2);
    if constexpr (std::endian::native == std::endian::little) {
        // The code units in memory are already these bytes.
        if (!s.empty()) std::memcpy(out.data(), s.data(), out.size());
    } else {
        for (size_t i = 0; i < s.size(); ++i) {
            out[2 * i] = uint8_t(s[i] & 0xFF);
            out[2 * i + 1] = uint8_t(s[i] >> 8);
        }
    }
    return out;
}

std::u16string from_utf16le(std::span<const uint8_t> bytes)
{
    std::u16string out;
    out.resize(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = char16_t(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return out;
}

} // namespace text
