#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "text/text.h"

namespace {

TEST(Numbers, Wtoi)
{
    struct Case {
        const char16_t* in;
        int32_t expected;
    };
    const Case cases[] = {
        {u"  -12ab", -12}, {u"42", 42}, {u"+7", 7}, {u"", 0}, {u"abc", 0}, {u"-", 0},
        {u"\t\r\n 5", 5}, {u"1 2", 1}, {u"2147483647", 2147483647}, {u"2147483648", 2147483647},
        {u"99999999999999999999", 2147483647}, {u"-2147483648", -2147483647 - 1},
        {u"-99999999999", -2147483647 - 1}, {u"0012", 12}, {u"- 5", 0}, {u"1.9", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text::wtoi(c.in), c.expected) << text::to_utf8(c.in);
}

TEST(Numbers, ScanDoubleTakesTheLongestValidLeadingPart)
{
    struct Case {
        const char16_t* in;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {u"0", 0.0},        {u"-12.5", -12.5},   {u"1.2.3", 1.2},   {u"1e5", 1e5},
        {u"1E-7", 1e-7},    {u"1e", 1.0},        {u"1e-", 1.0},     {u"2-3", 2.0},
        {u".5", 0.5},       {u"5.", 5.0},        {u"  7", 7.0},     {u"-", std::nullopt},
        {u".", std::nullopt}, {u"", std::nullopt}, {u"e5", std::nullopt}, {u"-.e", std::nullopt},
        {u"1e400", std::numeric_limits<double>::infinity()},
        {u"-1e400", -std::numeric_limits<double>::infinity()},
        {u"1e-400", 0.0},   {u"0.000001e-400", 0.0},
        {u"123456789012345678901234567890", 1.2345678901234568e29},
    };
    for (const auto& c : cases) {
        auto got = text::scan_double(c.in);
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << text::to_utf8(c.in);
        if (got) {
            EXPECT_EQ(*got, *c.expected) << text::to_utf8(c.in);
        }
    }
    EXPECT_TRUE(std::isnan(*text::scan_double(u"nan")));
    EXPECT_EQ(*text::scan_double(u"-Infinity"), -std::numeric_limits<double>::infinity());
}

TEST(Numbers, ScanHexAndWcstol16)
{
    EXPECT_EQ(text::scan_hex(u"00e9"), 0xE9u);
    EXPECT_EQ(text::scan_hex(u"D83D"), 0xD83Du);
    EXPECT_EQ(text::scan_hex(u"12zz"), 0x12u);
    EXPECT_EQ(text::scan_hex(u"zz12"), std::nullopt);
    EXPECT_EQ(text::scan_hex(u"  -1"), 0xFFFFFFFFu);
    EXPECT_EQ(text::scan_hex(u"0x1f"), 0x1Fu);
    EXPECT_EQ(text::scan_hex(u""), std::nullopt);

    EXPECT_EQ(text::wcstol16(u"0x0041"), 0x41);
    EXPECT_EQ(text::wcstol16(u"0x015a"), 0x15A);
    EXPECT_EQ(text::wcstol16(u"0xzz"), 0);
    EXPECT_EQ(text::wcstol16(u"ffffffff"), 2147483647);
    EXPECT_EQ(text::wcstol16(u"-80000001"), -2147483647 - 1);
    EXPECT_EQ(text::wcstol16(u""), 0);
}

} // namespace
