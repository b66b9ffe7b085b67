#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "json/holder/json_holder.h"
#include "text/text.h"

using namespace ZelmUsbVardoManager;

namespace {

TEST(JsonHolderWrite, NumbersInTheGeneralForm)
{
    struct Case {
        double value;
        const char16_t* text;
    };
    const Case cases[] = {
        {0, u"0"},           {3, u"3"},          {1.5, u"1.5"},        {100, u"100"},
        {0.1, u"0.1"},       {-2.5, u"-2.5"},    {123456, u"123456"},  {1234567, u"1.23457E+006"},
        {1e6, u"1E+006"},    {0.0001, u"0.0001"}, {0.00001, u"1E-005"}, {1e-7, u"1E-007"},
        {1921, u"1921"},     {4294967295.0, u"4.29497E+009"},          {2642275260.0, u"2.64228E+009"},
        {1.0 / 3, u"0.333333"}, {-1e300, u"-1E+300"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JsonHolder(c.value).ToString(), c.text) << c.value;
}

TEST(JsonHolderWrite, QuoteEscapesSevenCharactersByShortFormsAndOtherControlsAsHex)
{
    struct Case {
        std::u16string in;
        std::u16string out;
    };
    const Case cases[] = {
        {u"", u"\"\""},
        {u"\\\"\b\f\n\r\t", u"\"\\\\\\\"\\b\\f\\n\\r\\t\""},
        {u"a/b", u"\"a/b\""},
        {u"\tż/", u"\"\\tż/\""},
        {u"\x01\x1f\x7f", u"\"\\u0001\\u001f\x7f\""}, // DEL is no control character to JSON
        {u"\U0001F600", u"\"\U0001F600\""},
        {std::u16string{char16_t(0xDC00)}, std::u16string{u'"', char16_t(0xDC00), u'"'}},
        {std::u16string(u"a\0b", 3), u"\"a\\u0000b\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JsonHolder::quote(c.in), c.out) << text::to_utf8(c.in);
}

TEST(JsonHolderWrite, CompactTextInNameOrder)
{
    JsonHolder o = JsonHolder::CreateObject();
    o.Add(u"b", new JsonHolder(1));
    o.Add(u"a", new JsonHolder(JsonHolder::CreateArray()));
    o.Add(u"B", new JsonHolder(JsonHolder::CreateObject()));
    o.Add(u"c\"", new JsonHolder(std::u16string(u"x")));
    o.Add(u"n", new JsonHolder);
    o.Add(u"t", new JsonHolder(true));
    EXPECT_EQ(o.ToString(), u"{\"B\":{},\"a\":[],\"b\":1,\"c\\\"\":\"x\",\"n\":null,\"t\":true}");
}

TEST(JsonHolderWrite, WrittenAndReadBackIsTheSameTree)
{
    JsonHolder device = JsonHolder::CreateObject();
    device.Add(u"DriveLetters", new JsonHolder(std::u16string(u"EF")));
    device.Add(u"IsHub", new JsonHolder(false));
    device.Add(u"PortNumberOfBus", new JsonHolder(3));
    JsonHolder& descriptor = *device.Add(u"DeviceDescriptor", new JsonHolder(JsonHolder::CreateObject()));
    descriptor.Add(u"Product", new JsonHolder(std::u16string(u"Pamięć \"USB\"\t\\ /")));
    descriptor.Add(u"idVendor", new JsonHolder(1921));
    descriptor.Add(u"Ratio", new JsonHolder(-0.015625));
    JsonHolder& ids = *device.Add(u"HardwareID", new JsonHolder(JsonHolder::CreateArray()));
    ids.Add(new JsonHolder(std::u16string(u"USB\\VID_0781&PID_5567")));
    ids.Add(new JsonHolder);

    const std::u16string written = device.ToString();
    JsonHolder back;
    std::u16string error;
    ASSERT_TRUE(JsonHolder::Parse(written, back, error)) << text::to_utf8(error);
    EXPECT_EQ(back.ToString(), written);
    EXPECT_EQ(back[u"DeviceDescriptor"][u"Product"].StringVal(), u"Pamięć \"USB\"\t\\ /");
    EXPECT_EQ(back[u"DeviceDescriptor"][u"Ratio"].NumberVal(), -0.015625);
}

TEST(JsonHolderWrite, ExponentFormCannotBeReadBack)
{
    JsonHolder a = JsonHolder::CreateArray();
    a.Add(new JsonHolder(4294967295.0));
    JsonHolder back;
    std::u16string error;
    EXPECT_FALSE(JsonHolder::Parse(a.ToString(), back, error));
    EXPECT_EQ(text::to_utf8(error), "Linia=1 Kolumna=11 Nieprawidłowy znak po liczbie");
}

TEST(JsonHolderWrite, NonFiniteNumbersGiveTheRuntimeText)
{
    // An out-of-range number reads as infinity; it is written, but cannot be read back.
    JsonHolder a;
    std::u16string error;
    ASSERT_TRUE(JsonHolder::Parse(u"[1e999,-1e999]", a, error));
    EXPECT_EQ(a.ToString(), u"[INF,-INF]");
}

} // namespace
