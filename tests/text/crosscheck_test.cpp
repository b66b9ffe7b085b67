// The text helpers checked against independent implementations on each platform: the code page
// against the system's own converter, the lower-case table against ICU where it is available.
#include <gtest/gtest.h>

#include "text/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif
#ifdef ZELMUSB_HAVE_ICU
#include <unicode/uchar.h>
#endif

namespace {

TEST(CrossCheck, CodePageMatchesTheSystemConverter)
{
    for (int b = 0x20; b < 0x100; ++b) {
        const char in = char(b);
        char16_t expected = 0;
#ifdef _WIN32
        wchar_t out = 0;
        ASSERT_EQ(MultiByteToWideChar(1250, 0, &in, 1, &out, 1), 1) << b;
        expected = char16_t(out);
#else
        if (b == 0x81 || b == 0x83 || b == 0x88 || b == 0x90 || b == 0x98) continue; // undefined in iconv
        iconv_t cd = iconv_open("UTF-16LE", "CP1250");
        ASSERT_NE(cd, iconv_t(-1));
        char src[1] = {in};
        unsigned char dst[4] = {};
        char* ip = src;
        char* op = reinterpret_cast<char*>(dst);
        size_t il = 1, ol = sizeof dst;
        ASSERT_NE(iconv(cd, &ip, &il, &op, &ol), size_t(-1)) << b;
        iconv_close(cd);
        expected = char16_t(dst[0] | (dst[1] << 8));
#endif
        EXPECT_EQ(text::from_cp1250(uint8_t(b)), expected) << "byte " << b;
    }
}

#ifdef ZELMUSB_HAVE_ICU
TEST(CrossCheck, LowerCaseMatchesIcuForEveryBmpCodeUnit)
{
    for (uint32_t c = 0; c < 0x10000; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        const UChar32 icu = u_tolower(UChar32(c));
        // ICU may know a newer Unicode than the table; only mappings that stay in the BMP count.
        if (icu > 0xFFFF) continue;
        EXPECT_EQ(uint32_t(text::to_lower(char16_t(c))), uint32_t(icu)) << "U+" << std::hex << c;
    }
}
#endif

} // namespace
