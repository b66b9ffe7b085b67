#include <gtest/gtest.h>

#include "text/text.h"

namespace {

std::string bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list) s.push_back(char(b));
    return s;
}

TEST(Case, LowerCaseFollowsUnicodeIncludingPolish)
{
    EXPECT_EQ(text::to_lower(u"ŁÓDŹ Acme"), u"łódź acme");
    EXPECT_EQ(text::to_lower(u"ĄĆĘŁŃÓŚŹŻ"), u"ąćęłńóśźż");
    EXPECT_EQ(text::to_lower(u"ΣΑΒ ДОМ"), u"σαβ дом");
    EXPECT_EQ(text::to_lower(u"C:\\DIR\\A.JSON"), u"c:\\dir\\a.json");
    // Simple mapping: İ (U+0130) becomes a plain i; no expansion to two code units.
    EXPECT_EQ(text::to_lower(u"\u0130"), u"i");
    // Already lower, digits, punctuation, surrogates: unchanged.
    EXPECT_EQ(text::to_lower(u"ß09-_\xD83D\xDE00"), u"ß09-_\xD83D\xDE00");
}

// Rule matching keeps patterns lower-cased and compares them with lower-cased device texts: that
// gives the same answers only because lowering a lowered unit changes nothing, for every unit.
TEST(Case, LoweringTwiceChangesNothing)
{
    for (uint32_t c = 0; c <= 0xFFFF; ++c) {
        const char16_t once = text::to_lower(char16_t(c));
        ASSERT_EQ(uint32_t(text::to_lower(once)), uint32_t(once)) << "U+" << std::hex << c;
    }
}

TEST(Utf8, EncodesPairsAsOneSequenceAndLoneSurrogatesAsReplacement)
{
    EXPECT_EQ(text::to_utf8(u"\xD83D\xDE00"), bytes({0xF0, 0x9F, 0x98, 0x80}));
    EXPECT_EQ(text::to_utf8(u"Łódź"), "Łódź");
    EXPECT_EQ(text::to_utf8(std::u16string(1, char16_t(0xD800)) + u"a"), bytes({0xEF, 0xBF, 0xBD, 'a'}));
    EXPECT_EQ(text::to_utf8(std::u16string(1, char16_t(0xDC00))), bytes({0xEF, 0xBF, 0xBD}));
    EXPECT_EQ(text::to_utf8(std::u16string(u"\xDE00\xD83D")), bytes({0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD}));
    EXPECT_EQ(text::to_utf8(std::u16string(1, char16_t(0))), std::string(1, '\0'));
}

TEST(Utf8, DecodingNeverFails)
{
    struct Case {
        std::string in;
        std::u16string expected;
    };
    const Case cases[] = {
        {"Łódź", u"Łódź"},
        {bytes({0xF0, 0x9F, 0x98, 0x80}), u"\xD83D\xDE00"},
        {bytes({0xFF}), u"\xFFFD"},
        {bytes({0xC0, 0xAF}), u"\xFFFD\xFFFD"},                  // overlong
        {bytes({0xED, 0xA0, 0x80}), u"\xFFFD\xFFFD\xFFFD"},      // encoded surrogate
        {bytes({0xE2, 0x82}), u"\xFFFD"},                        // truncated at the end
        {bytes({0xE2, 0x82, 'a'}), u"\xFFFD" u"a"},              // truncated before ASCII
        {bytes({0xF4, 0x90, 0x80, 0x80}), u"\xFFFD\xFFFD\xFFFD\xFFFD"}, // above U+10FFFF
        {bytes({0x80, 'x'}), u"\xFFFD" u"x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text::from_utf8(c.in), c.expected);
}

TEST(Utf8, RoundTripsEveryScalarValueClass)
{
    std::u16string all;
    for (uint32_t cp : {0x1u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD7FFu, 0xE000u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
        if (cp < 0x10000) {
            all.push_back(char16_t(cp));
        } else {
            all.push_back(char16_t(0xD800 + ((cp - 0x10000) >> 10)));
            all.push_back(char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        }
    }
    EXPECT_EQ(text::from_utf8(text::to_utf8(all)), all);
}

TEST(Utf16le, BytesRoundTripAndOddByteIsIgnored)
{
    const auto b = text::to_utf16le(u"Ał");
    EXPECT_EQ(b, (std::vector<uint8_t>{0x41, 0x00, 0x42, 0x01}));
    std::vector<uint8_t> odd = b;
    odd.push_back(0x7A);
    EXPECT_EQ(text::from_utf16le(odd), u"Ał");
}

TEST(CodePage, Windows1250)
{
    // "Zażółć gęślą jaźń" as Windows-1250 bytes.
    const std::string polish = bytes({'Z', 'a', 0xBF, 0xF3, 0xB3, 0xE6, ' ', 'g', 0xEA, 0x9C, 'l', 0xB9, ' ',
                                      'j', 'a', 0x9F, 0xF1});
    EXPECT_EQ(text::from_system_codepage(polish), u"Zażółć gęślą jaźń");
    EXPECT_EQ(text::from_system_codepage(bytes({0xA3, 0xA5, 0x8C, 0x8F, 0xAF, 0xC6, 0xCA, 0xD1, 0xD3})),
              u"ŁĄŚŹŻĆĘŃÓ");
    EXPECT_EQ(text::from_system_codepage(bytes({0x80, 0x81, 0x98, 0xFF})), u"€\x0081\x0098˙");
}

} // namespace
