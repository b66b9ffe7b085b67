#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "text/text.h"

using text::format;

namespace {

struct GCase {
    double value;
    const char16_t* expected;
};

TEST(Format, GeneralFloatAsTheWindowsRuntimePrintsIt)
{
    const GCase cases[] = {
        {0.0, u"0"},
        {1.5, u"1.5"},
        {100.0, u"100"},
        {123456.0, u"123456"},
        {1234567.0, u"1.23457E+006"},
        {1000000.0, u"1E+006"},
        {999999.0, u"999999"},
        {999999.5, u"1E+006"},  // rounding carries into the exponent
        {0.0001, u"0.0001"},
        {0.00001, u"1E-005"},
        {0.000123456789, u"0.000123457"},
        {-2.5, u"-2.5"},
        {1e-7, u"1E-007"},
        {4294967295.0, u"4.29497E+009"},
        {2642275260.0, u"2.64228E+009"},
        {3.0, u"3"},
        {0.1, u"0.1"},
        {1e300, u"1E+300"},
        {-0.0, u"-0"},
        {5e-324, u"4.94066E-324"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(format(u"%G", c.value), c.expected) << "value " << c.value;
}

TEST(Format, GeneralFloatWithAnyPrecisionGivesAllItsDigits)
{
    // Precisions far beyond a double's digits: the exact decimal value, trailing zeros dropped.
    EXPECT_EQ(format(u"%.500G", 0.5), u"0.5");
    EXPECT_EQ(format(u"%.400G", 1e300), u"1000000000000000052504760255204420248704468581108159154915854115511802457988908195786371375080447864043704443832883878176942523235360430575644792184786706982848387200926575803737830233794788090059368953234970799945081119038967640880074652742780142494579258788820056842838115669472196386865459400540160");
    // A precision beyond the reader's limit of 4096 is that limit; the text is then too long for
    // a trace line, never a failure of the formatting itself.
    const std::u16string huge = format(u"%.100000G", 1.0 / 3.0);
    EXPECT_EQ(huge.substr(0, 6), u"0.3333");
    EXPECT_LT(huge.size(), size_t(4200));
    EXPECT_EQ(format(u"%.4096G", 5e-324).substr(0, 6), u"4.9406");
}

TEST(Format, GeneralFloatNonFiniteTextsAreStable)
{
    EXPECT_EQ(format(u"%G", std::numeric_limits<double>::infinity()), u"INF");
    EXPECT_EQ(format(u"%G", -std::numeric_limits<double>::infinity()), u"-INF");
    EXPECT_EQ(format(u"%G", std::numeric_limits<double>::quiet_NaN()), u"NAN");
    EXPECT_EQ(format(u"%g", 1234567.0), u"1.23457e+006");
}

TEST(Format, IntegerConversions)
{
    struct Case {
        std::u16string got;
        const char16_t* expected;
    };
    const Case cases[] = {
        {format(u"%i", 42), u"42"},
        {format(u"%d", -7), u"-7"},
        {format(u"%i", int64_t(5000000000)), u"705032704"},  // int is 32 bits
        {format(u"%u", -1), u"4294967295"},
        {format(u"%lu", 3000000000u), u"3000000000"},
        {format(u"%x", 0x1A2B3), u"1a2b3"},
        {format(u"%X", 255), u"FF"},
        {format(u"%.8x", 0x1A2B3), u"0001a2b3"},
        {format(u"%08X", 0xBEEF), u"0000BEEF"},
        {format(u"%08lX", 2), u"00000002"},
        {format(u"%08lX", -1), u"FFFFFFFF"},
        {format(u"%.2i%.2i", 14, 3), u"1403"},
        {format(u"%.4i", 7), u"0007"},
        {format(u"%.8i", 42), u"00000042"},
        {format(u"%.4i", -7), u"-0007"},
        {format(u"%02X", 0xA), u"0A"},
        {format(u"%02X", 0x1AB), u"1AB"},
        {format(u"%04x", 0xab), u"00ab"},
        {format(u"%5i|%-5i|", 12, 12), u"   12|12   |"},
        {format(u"%lli", int64_t(-5000000000)), u"-5000000000"},
        {format(u"%.0i", 0), u""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.got, c.expected);
}

// The quick forms give what the general formatter gives, for a number read as "%i" reads it too.
TEST(Format, AppendedDigitsAreTheFormattersDecimalAndHex)
{
    for (const uint32_t value : {0u, 7u, 42u, 1403u, 99999999u, 100000000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFF9u,
                                 0xFFFFFFFFu}) {
        for (const int digits : {1, 2, 4, 8, 12}) {
            const std::u16string precision = u"%." + format(u"%i", digits);
            std::u16string decimal = u"[", hex = u"[";
            text::append_decimal(decimal, int32_t(value), digits);
            text::append_hex(hex, value, digits);
            EXPECT_EQ(decimal, u"[" + format(precision + u"i", value)) << value << " " << digits;
            EXPECT_EQ(hex, u"[" + format(precision + u"x", value)) << value << " " << digits;
        }
    }
}

TEST(Format, TextsCharactersAndPercent)
{
    EXPECT_EQ(format(u"%s; kod błędu=%d", u"Zły plik", 5), u"Zły plik; kod błędu=5");
    EXPECT_EQ(format(u"[%s]", std::u16string(u"ąę")), u"[ąę]");
    EXPECT_EQ(format(u"%c%c", u'Ł', 0x41), u"ŁA");
    EXPECT_EQ(format(u"100%% done"), u"100% done");
    EXPECT_EQ(format(u"%.3s", u"abcdef"), u"abc");
}

TEST(Format, NulCharacterEndsTheText)
{
    EXPECT_EQ(format(u"; err=0x%08lX%c", 5, char16_t(0)), u"; err=0x00000005");
    EXPECT_EQ(format(u"%s; kod błędu=%d%c trailing", u"x", 2, 0), u"x; kod błędu=2");
    EXPECT_EQ(format(u"Plik [%s]: %s -> err=0x%08X%c", u"C:\\a.json", u"Nie udało się otworzyć pliku", 2, 0),
              u"Plik [C:\\a.json]: Nie udało się otworzyć pliku -> err=0x00000002");
}

TEST(Format, MissingArgumentsAndUnknownConversionsStayAsWritten)
{
    EXPECT_EQ(format(u"%i and %i", 1), u"1 and %i");
    EXPECT_EQ(format(u"%q%i", 3), u"%q3");
    EXPECT_EQ(format(u"trailing %"), u"trailing %");
}

} // namespace
