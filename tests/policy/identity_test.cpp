#include <gtest/gtest.h>

#include "json/hostjson/json_node.h"
#include "policy/identity.h"
#include "policy_fixture.h"

namespace {

using policy_test::PolicyTest;

class Identity : public PolicyTest {};

struct Built {
    std::u16string checksum;
    std::u16string identity_text;
    UsbRule fields;
};

Built build(const std::u16string& document)
{
    Built b;
    CJsonNode identity;
    b.fields.action = 7; // left as the caller set it
    b.checksum = build_device_identity(document, identity, b.fields);
    b.identity_text = identity.ToText(0);
    EXPECT_EQ(identity.Member(u"checksum")->AsString(), b.checksum);
    EXPECT_EQ(b.fields.action, 7);
    return b;
}

// The known answers were computed outside the program, from the checksum input text written out
// by hand:  printf '<text with \r\n line ends>' | iconv -f UTF-8 -t UTF-16LE | sha1sum
TEST_F(Identity, ChecksumsAgreeWithAnIndependentSha1)
{
    struct Case {
        const char* what;
        std::u16string document;
        std::u16string checksum;
    };
    const Case cases[] = {
        // {"klasa" : "-", ... "produkt" : "-"}: neither section is found.
        {"text that is no document", u"no document here", u"2832FD2E3A6E0AAB88E4563A8E886D0715F45A5B"},
        {"document without the two sections", u"{\"Other\":{\"Product\":\"x\"}}",
         u"2832FD2E3A6E0AAB88E4563A8E886D0715F45A5B"},
        // "produkt" : "Dysk \"Ł\"\\2" and "numer" : "12345" in the input; non-ASCII text as
        // UTF-16LE code units, not as UTF-8.
        {"escapes, a numeric serial number and Polish letters",
         u"{\"DeviceProperty\":{\"DeviceDescription\":\"Urządzenie magazynujące\",\"ClassName\":\"USB\"},"
         u"\"DeviceDescriptor\":{\"SerialNumber\":12345,\"Product\":\"Dysk \\\"Ł\\\"\\\\2\","
         u"\"Manufacturer\":\"Zębatka\"}}",
         u"09AA8EEACB25B0D55FA8076AD72A31D42C2978F5"},
        // The driver escapes control characters; the digest is over the text they stand for,
        // raw in the input as it always was: "produkt" : "Good<U+0001>Mouse<U+0000>Evil".
        {"control characters and a NUL, escaped by the driver",
         u"{\"DeviceDescriptor\":{\"Product\":\"Good\\u0001Mouse\\u0000Evil\"}}",
         u"735756FFAB62BC998D77BF4419031D56AC78D08D"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(build(c.document).checksum, c.checksum);
    }
    EXPECT_EQ(DeviceChecksum(u"abc"), u"9F04F41A848514162050E3D68C1A7ABB441DC2B5");
}

// The checksum's text is the host writer's text of the object of the five members, whatever they
// hold.
TEST_F(Identity, TheChecksumFormIsTheWritersTextOfTheFiveMembers)
{
    const std::u16string texts[] = {u"-", u"", u"Dysk \"Ł\"\\2", std::u16string(u"a\0b\x01\x1f\t\r\n", 8),
                                    u"\xD83D\xDE00 lone \xDC00", std::u16string(300, u'x')};
    for (size_t i = 0; i < std::size(texts); ++i) {
        const std::u16string& a = texts[i];
        const std::u16string& b = texts[(i + 1) % std::size(texts)];
        const std::u16string& c = texts[(i + 2) % std::size(texts)];
        CJsonNode form;
        form.SetString(u"producent", a);
        form.SetString(u"produkt", b);
        form.SetString(u"numer", c);
        form.SetString(u"klasa", a);
        form.SetString(u"opis", b);
        EXPECT_EQ(checksum_form(a, b, c, a, b), form.ToText(0, CJsonNode::Escapes::checksum_form)) << i;
    }
}

// A NUL inside a device string is part of the text: the identity and the rule fields hold it
// whole, and the identity's own text escapes it rather than ending there.
TEST_F(Identity, ANulDoesNotEndTheDevicesTexts)
{
    const Built b = build(u"{\"DeviceDescriptor\":{\"Product\":\"Good Mouse\\u0000Evil\",\"SerialNumber\":\"SAFE-1\\u0000X\","
                          u"\"Manufacturer\":\"Trusted\\u0000\"}}");
    EXPECT_EQ(b.fields.produkt, std::u16string(u"Good Mouse\0Evil", 15));
    EXPECT_EQ(b.fields.numer, std::u16string(u"SAFE-1\0X", 8));
    EXPECT_EQ(b.fields.producent, std::u16string(u"Trusted\0", 8));
    EXPECT_NE(b.identity_text.find(u"\"Good Mouse\\u0000Evil\""), std::u16string::npos);
    EXPECT_EQ(b.identity_text.find(u'\0'), std::u16string::npos);
}

TEST_F(Identity, TheChecksumDependsOnTheTextsOnly)
{
    const std::u16string a = u"{\"DeviceDescriptor\":{\"Manufacturer\":\"Acme\",\"Product\":\"Stick\",\"SerialNumber\":\"12345\"},"
                             u"\"DeviceProperty\":{\"ClassName\":\"DiskDrive\",\"DeviceDescription\":\"Disk\"},\"Port\":3}";
    // Members in another order, the serial number as a number, other members ignored.
    const std::u16string b = u"{\"Speed\":2,\"DeviceProperty\":{\"DeviceDescription\":\"Disk\",\"ClassName\":\"DiskDrive\"},"
                             u"\"DeviceDescriptor\":{\"SerialNumber\":12345,\"Product\":\"Stick\",\"Manufacturer\":\"Acme\"}}";
    const Built x = build(a), y = build(b);
    EXPECT_EQ(x.checksum, y.checksum);
    EXPECT_EQ(x.identity_text, y.identity_text);

    // A quote in the product changes the checksum; it is not the same device as one without it.
    const std::u16string quoted = u"{\"DeviceDescriptor\":{\"Manufacturer\":\"Acme\",\"Product\":\"Stick\\\"\",\"SerialNumber\":\"12345\"},"
                                  u"\"DeviceProperty\":{\"ClassName\":\"DiskDrive\",\"DeviceDescription\":\"Disk\"}}";
    EXPECT_NE(build(quoted).checksum, x.checksum);
    EXPECT_EQ(build(quoted).fields.produkt, u"Stick\"");

    for (const std::u16string& sum : {x.checksum, build(quoted).checksum, DeviceChecksum(u"")}) {
        ASSERT_EQ(sum.size(), 40u);
        for (char16_t c : sum) EXPECT_TRUE((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F')) << char(c);
    }
}

TEST_F(Identity, NoDigestGivesNoNameRatherThanAMadeUpOne)
{
    fakes::System without_digest;
    platform::Override<platform::System> o{&platform::Platform::system, without_digest};
    EXPECT_EQ(DeviceChecksum(u"abc"), u"");
    const Built b = build(u"{\"DeviceDescriptor\":{\"Product\":\"Stick\"}}");
    EXPECT_EQ(b.checksum, u"");
    EXPECT_EQ(b.fields.produkt, u"Stick");
}

TEST_F(Identity, MissingSectionsGiveHyphensMissingMembersGiveEmptyTexts)
{
    const Built b = build(u"{\"DeviceDescriptor\":{\"Product\":\"Stick\"}}");
    EXPECT_EQ(b.fields.produkt, u"Stick");
    EXPECT_EQ(b.fields.producent, u"");
    EXPECT_EQ(b.fields.numer, u"");
    EXPECT_EQ(b.fields.klasa, u"-");
    EXPECT_EQ(b.fields.opis, u"-");
}

TEST_F(Identity, TheUserIsTheFirstDesktopUser)
{
    fakes::Processes processes;
    platform::Override<platform::Processes> o{&platform::Platform::processes, processes};
    const std::u16string doc = u"{\"DeviceDescriptor\":{\"Product\":\"Stick\"}}";

    const std::u16string nobody = build(doc).identity_text;
    EXPECT_NE(nobody.find(u"\"user\" : \"\""), std::u16string::npos) << text::to_utf8(nobody);

    processes.add(10, u"C:\\Windows\\System32\\svchost.exe", u"SYSTEM");
    processes.add(11, u"C:\\Windows\\explorer.exe", u"");  // its user cannot be read
    processes.add(12, u"C:\\Windows\\Explorer.EXE", u"ania");
    processes.add(13, u"C:\\Windows\\explorer.exe", u"bartek");
    const Built b = build(doc);
    // The seven members, in the writer's order.
    EXPECT_EQ(b.identity_text, u"{\r\n"
                               u"    \"checksum\" : \"" + b.checksum + u"\", \r\n"
                               u"    \"klasa\" : \"-\", \r\n"
                               u"    \"numer\" : \"\", \r\n"
                               u"    \"opis\" : \"-\", \r\n"
                               u"    \"producent\" : \"\", \r\n"
                               u"    \"produkt\" : \"Stick\", \r\n"
                               u"    \"user\" : \"ania\"\r\n"
                               u"}");
}

} // namespace
