// Descriptor records: the configuration walk, field reading and the JSON forms.
#include <gtest/gtest.h>

#include "scripted_devices.h"
#include "text/text.h"
#include "usbinventory/descriptors.h"

using namespace ZelmUsbVardoManager;
using inventory_test::hex;

namespace {

// "<number>/<alternate> c<class> [<endpoint addresses>]" per interface, joined with " | ".
std::string summary(const UsbConfigurationDescriptor& c)
{
    std::string s;
    for (const auto& i : c.Interfaces) {
        if (!s.empty()) s += " | ";
        s += std::to_string(i.bInterfaceNumber) + "/" + std::to_string(i.bAlternateSetting) + " c" +
             std::to_string(i.bInterfaceClass) + " [";
        for (size_t e = 0; e < i.EndPoints.size(); ++e) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "%s%02x", e ? " " : "", i.EndPoints[e].bEndpointAddress);
            s += buf;
        }
        s += "]";
    }
    return s;
}

struct WalkCase {
    const char* what;
    const char* set;
    const char* expected;
};

const WalkCase walk_cases[] = {
    {"mass storage: one interface, two 7-byte endpoints",
     "09 02 20 00 01 01 00 80 32  09 04 00 00 02 08 06 50 00  07 05 81 02 00 02 00  07 05 02 02 00 02 00",
     "0/0 c8 [81 02]"},
    {"HID keyboard: the class descriptor between interface and endpoint is stepped over",
     "09 02 22 00 01 01 00 a0 32  09 04 00 00 01 03 01 01 00  09 21 11 01 00 01 22 3f 00  07 05 81 03 08 00 0a",
     "0/0 c3 [81]"},
    {"composite: HID then vendor interface with two bulk endpoints",
     "09 02 39 00 02 01 00 80 32  09 04 00 00 01 03 00 00 00  09 21 11 01 00 01 22 20 00  07 05 81 03 08 00 0a"
     "  09 04 01 00 02 ff 00 00 00  07 05 82 02 40 00 00  07 05 02 02 40 00 00",
     "0/0 c3 [81] | 1/0 c255 [82 02]"},
    {"audio: class-specific headers and a 9-byte endpoint with its class endpoint after it",
     "09 02 34 00 02 01 00 80 32  09 04 00 00 01 01 01 00 00  09 24 01 00 01 09 00 01 01"
     "  09 05 83 03 10 00 04 00 00  07 25 01 00 00 00 00  09 04 01 00 00 01 02 00 00",
     "0/0 c1 [83] | 1/0 c1 []"},
    {"interface association descriptor before the interfaces",
     "09 02 2a 00 02 01 00 80 32  08 0b 00 02 02 02 01 00  09 04 00 00 01 02 02 01 00  07 05 83 03 08 00 10"
     "  09 04 01 00 00 0a 00 00 00",
     "0/0 c2 [83] | 1/0 c10 []"},
    {"alternate settings past bNumInterfaces are not read",
     "09 02 22 00 01 01 00 80 32  09 04 00 00 00 ff 00 00 00  09 04 00 01 01 ff 00 00 00  07 05 81 01 00 02 01",
     "0/0 c255 []"},
    {"interface without endpoints", "09 02 12 00 01 01 00 80 32  09 04 00 00 00 ff 00 00 00", "0/0 c255 []"},
    {"truncated inside the second endpoint: the first stays",
     "09 02 20 00 01 01 00 80 32  09 04 00 00 02 08 06 50 00  07 05 81 02 00 02 00  07 05 02", "0/0 c8 [81]"},
    {"truncated inside the interface: nothing read", "09 02 20 00 01 01 00 80 32  09 04 00 00", ""},
    {"counts past the end: five interfaces and four endpoints announced, what is there is read",
     "09 02 20 00 05 01 00 80 32  09 04 00 00 04 08 06 50 00  07 05 81 02 00 02 00  07 05 02 02 00 02 00",
     "0/0 c8 [81 02]"},
    {"wTotalLength shorter than the bytes: the walk ends there",
     "09 02 19 00 01 01 00 80 32  09 04 00 00 02 08 06 50 00  07 05 81 02 00 02 00  07 05 02 02 00 02 00",
     "0/0 c8 [81]"},
    {"more endpoints than bNumEndpoints: the extra ones are not the interface's",
     "09 02 20 00 01 01 00 80 32  09 04 00 00 01 08 06 50 00  07 05 81 02 00 02 00  07 05 02 02 00 02 00",
     "0/0 c8 [81]"},
    {"a zero-length descriptor ends the walk",
     "09 02 20 00 01 01 00 80 32  09 04 00 00 02 08 06 50 00  00 05 81 02 00 02 00  07 05 02 02 00 02 00",
     "0/0 c8 []"},
    {"a descriptor longer than the rest ends the walk",
     "09 02 20 00 01 01 00 80 32  09 04 00 00 02 08 06 50 00  ff 05 81 02 00 02 00  07 05 02 02 00 02 00",
     "0/0 c8 []"},
    {"an interface descriptor shorter than 9 bytes ends the walk",
     "09 02 20 00 01 01 00 80 32  05 04 00 00 02  09 04 00 00 02 08 06 50 00", ""},
    {"only the configuration descriptor", "09 02 09 00 01 01 00 80 32", ""},
    {"fewer than 9 bytes", "09 02 09 00", ""},
};

TEST(ConfigurationWalk, ReadsEachDescriptorByItsOwnLengthAndType)
{
    for (const auto& c : walk_cases) {
        SCOPED_TRACE(c.what);
        const auto bytes = hex(c.set);
        UsbConfigurationDescriptor config;
        config.assign(bytes);
        EXPECT_EQ(summary(config), c.expected);
    }
}

TEST(ConfigurationWalk, FieldsAndJsonOfAKeyboard)
{
    const auto bytes = hex("09 02 22 00 01 01 04 a0 32  09 04 00 00 01 03 01 01 05  09 21 11 01 00 01 22 3f 00"
                           "  07 05 81 03 08 00 0a");
    UsbConfigurationDescriptor config;
    config.Configuration = u"stale";
    config.assign(bytes);
    EXPECT_EQ(config.wTotalLength, 0x22);
    EXPECT_EQ(config.MaxPower, 0x32);
    EXPECT_EQ(config.Configuration, u"") << "assign clears the text";
    JsonHolder json;
    config.ToJsonHolder(json);
    // Members in name order, numbers as numbers; "Configuration" and "Interface" are present because
    // their indexes are not 0, even though no text was fetched.
    EXPECT_EQ(json.ToString(),
              u"{\"Configuration\":\"\",\"Interfaces\":[{\"EndPoints\":[{\"bDescriptorType\":5,\"bEndpointAddress\":129,"
              u"\"bInterval\":10,\"bLength\":7,\"bmAttributes\":3,\"wMaxPacketSize\":8}],\"Interface\":\"\","
              u"\"bAlternateSetting\":0,\"bDescriptorType\":4,\"bInterfaceClass\":3,\"bInterfaceNumber\":0,"
              u"\"bInterfaceProtocol\":1,\"bInterfaceSubClass\":1,\"bLength\":9,\"bNumEndpoints\":1,\"iInterface\":5}],"
              u"\"MaxPower\":50,\"bConfigurationValue\":1,\"bDescriptorType\":2,\"bLength\":9,\"bNumInterfaces\":1,"
              u"\"bmAttributes\":160,\"iConfiguration\":4,\"wTotalLength\":34}");
}

TEST(DeviceDescriptor, FieldsAtTheirOffsetsAndStringMembersByIndex)
{
    const auto bytes = hex("12 01 00 02 00 00 00 40 81 07 67 55 00 01 01 00 03 01");
    UsbDeviceDescriptor d;
    d.assign(bytes, nullptr, 1);
    EXPECT_EQ(d.idVendor, 0x0781);
    EXPECT_EQ(d.idProduct, 0x5567);
    EXPECT_EQ(d.bcdUSB, 0x0200);
    EXPECT_EQ(d.iSerialNumber, 3);
    JsonHolder json;
    d.ToJsonHolder(json);
    EXPECT_EQ(json[u"idVendor"].NumberVal(), 1921);
    EXPECT_EQ(json[u"bcdUSB"].NumberVal(), 512);
    EXPECT_TRUE(json.HasField(u"Manufacturer"));
    EXPECT_FALSE(json.HasField(u"Product")) << "iProduct 0 has no member";
    EXPECT_TRUE(json.HasField(u"SerialNumber"));

    // Copies are deep.
    UsbDeviceDescriptor copy = d;
    copy.Configurations.emplace_back();
    copy.SerialNumber = u"x";
    EXPECT_TRUE(d.Configurations.empty());
    EXPECT_EQ(d.SerialNumber, u"");
}

TEST(ConnectionRecord, EmptyPortAndShortReplies)
{
    UsbNodeConnectionInformationEx empty;
    std::vector<uint8_t> raw(35, 0);
    raw[0] = 2;
    empty.assign(raw, nullptr);
    JsonHolder json;
    empty.ToJsonHolder(json);
    EXPECT_EQ(json[u"ConnectionStatus"].StringVal(), u"NoDeviceConnected");
    EXPECT_EQ(json[u"PipeList"].Count(), 0u);
    EXPECT_EQ(json[u"DeviceDescriptor"][u"idVendor"].NumberVal(), 0);

    // Five pipes announced, room for two in the bytes: only whole records inside the bytes are read.
    std::vector<uint8_t> two = hex("01 00 00 00  12 01 00 02 00 00 00 40 81 07 67 55 00 01 01 02 03 01  01 02 00 05 00"
                                   " 05 00 00 00  01 00 00 00"
                                   "  07 05 81 02 00 02 00 10 00 00 00  07 05 02 02 00 02 00 20 00 00 00  07 05");
    UsbNodeConnectionInformationEx record;
    record.assign(two, nullptr);
    EXPECT_EQ(record.DeviceAddress, 5);
    EXPECT_EQ(record.NumberOfOpenPipes, 5u);
    ASSERT_EQ(record.PipeList.size(), 2u);
    EXPECT_EQ(record.PipeList[1].EndpointDescriptor.bEndpointAddress, 0x02);
    EXPECT_EQ(record.PipeList[1].ScheduleOffset, 0x20u);
}

TEST(ConnectionRecord, StatusNames)
{
    const std::pair<uint32_t, const char16_t*> cases[] = {
        {0, u"NoDeviceConnected"}, {1, u"DeviceConnected"}, {7, u"DeviceHubNestedTooDeeply"},
        {10, u"DeviceReset"},      {11, u"<* Unknown Connection Status *>"},
        {0xFFFFFFFF, u"<* Unknown Connection Status *>"},
    };
    for (const auto& [status, name] : cases) EXPECT_EQ(std::u16string(ConnectionStatusNameW(status)), name) << status;
}

} // namespace
