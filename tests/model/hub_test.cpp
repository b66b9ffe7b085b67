// Host controller and hub requests of the example machine, in the hub driver's byte layouts.
#include "model_fixture.h"

namespace model_test {
namespace {

using namespace model::usb_ioctl;

TEST_F(ModelTest, ControllerAnswersItsDriverKeyAndRootHubName)
{
    example();
    const Handle hcd = open(u"\\\\.\\HCD0");
    std::u16string s;
    ASSERT_EQ(name(hcd, get_hcd_driverkey_name, 0, 4, s), err::success);
    EXPECT_EQ(s, text_property(2, devnode_property::driver));
    ASSERT_EQ(name(hcd, get_root_hub_name, 0, 4, s), err::success);
    EXPECT_EQ(s, root_hub_name);

    Bytes out;
    EXPECT_EQ(ask(hcd, get_root_hub_name, {}, 5, out), err::insufficient_buffer);
    EXPECT_EQ(ask(hcd, get_node_connection_information_ex, Bytes(40), 40, out), err::invalid_function);
    EXPECT_EQ(devices.close(hcd), err::success);
    EXPECT_EQ(devices.close(hcd), err::invalid_handle);

    Handle h = 0;
    for (const char16_t* missing : {u"\\\\.\\HCD1", u"\\\\.\\HCD", u"\\\\.\\HCDx", u"HCD0", u"\\\\.\\HCD99999999999"})
        EXPECT_EQ(devices.open(missing, access::generic_read, 7, 0, h), err::file_not_found) << text::to_utf8(missing);
}

TEST_F(ModelTest, HubAnswersNodeInformationAndConnections)
{
    example();
    // Hub names are opened without regard to case, as object names on Windows.
    const Handle hub = open(u"\\\\.\\" + text::to_lower(root_hub_name));
    Bytes out;
    ASSERT_EQ(ask(hub, get_node_information, Bytes(76), 76, out), err::success);
    ASSERT_EQ(out.size(), 76u);
    EXPECT_EQ(get32(out, 0), 0u) << "a hub";
    EXPECT_EQ(out[6], 4) << "bNumberOfPorts";
    EXPECT_EQ(ask(hub, get_node_information, Bytes(75), 75, out), err::insufficient_buffer);

    struct Case {
        uint32_t port;
        uint32_t status, is_hub, speed, address, pipes;
        const char* device;
        const char* first_pipe;
    };
    const Case cases[] = {
        {1, 1, 1, 2, 1, 1, "12 01 00 02 09 00 01 40 11 11 22 22 00 01 00 01 00 01", "07 05 81 03 01 00 0c"},
        {2, 0, 0, 0, 0, 0, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", nullptr},
        {3, 1, 0, 2, 3, 2, "12 01 00 02 00 00 00 40 81 07 67 55 00 01 01 02 03 01", "07 05 81 02 00 02 00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("port " + std::to_string(c.port));
        Bytes in(35 + 11 * 3, 0);
        put32(in, 0, c.port);
        ASSERT_EQ(ask(hub, get_node_connection_information_ex, in, uint32_t(in.size()), out), err::success);
        ASSERT_EQ(out.size(), 35 + 11 * c.pipes);
        EXPECT_EQ(get32(out, 0), c.port);
        EXPECT_EQ(Bytes(out.begin() + 4, out.begin() + 22), hex(c.device));
        EXPECT_EQ(out[22], c.status ? 1 : 0) << "CurrentConfigurationValue";
        EXPECT_EQ(out[23], c.speed);
        EXPECT_EQ(out[24], c.is_hub);
        EXPECT_EQ(out[25] | out[26] << 8, int(c.address));
        EXPECT_EQ(get32(out, 27), c.pipes);
        EXPECT_EQ(get32(out, 31), c.status);
        if (c.first_pipe) {
            EXPECT_EQ(Bytes(out.begin() + 35, out.begin() + 42), hex(c.first_pipe));
            EXPECT_EQ(get32(out, 42), 0u) << "ScheduleOffset";
        }
    }

    // Room for fewer pipes than are open: the count says how many, the records that fit come.
    Bytes in(35, 0);
    put32(in, 0, 3);
    ASSERT_EQ(ask(hub, get_node_connection_information_ex, in, 35, out), err::success);
    EXPECT_EQ(out.size(), 35u);
    EXPECT_EQ(get32(out, 27), 2u);

    for (uint32_t bad : {0u, 5u}) {
        put32(in, 0, bad);
        EXPECT_EQ(ask(hub, get_node_connection_information_ex, in, 35, out), err::invalid_parameter) << bad;
    }
    EXPECT_EQ(ask(hub, get_node_connection_information_ex, Bytes(3), 35, out), err::invalid_parameter);
    put32(in, 0, 1);
    EXPECT_EQ(ask(hub, get_node_connection_information_ex, in, 34, out), err::insufficient_buffer);
}

TEST_F(ModelTest, PortNamesAndDriverKeys)
{
    example();
    const Handle hub = open(u"\\\\.\\" + root_hub_name);
    std::u16string s;
    ASSERT_EQ(name(hub, get_node_connection_name, 1, 8, s), err::success);
    EXPECT_EQ(s, external_hub_name);
    ASSERT_EQ(name(hub, get_node_connection_name, 3, 8, s), err::success);
    EXPECT_EQ(s, u"") << "a device that is not a hub has no connection name";
    ASSERT_EQ(name(hub, get_node_connection_driverkey_name, 3, 8, s), err::success);
    EXPECT_EQ(s, text_property(10, devnode_property::driver));
    EXPECT_EQ(name(hub, get_node_connection_driverkey_name, 2, 8, s), err::gen_failure) << "an empty port";

    // The external hub, by the name its port gave.
    const Handle external = open(u"\\\\.\\" + external_hub_name);
    ASSERT_EQ(name(external, get_node_connection_driverkey_name, 3, 8, s), err::success);
    EXPECT_EQ(s, text_property(7, devnode_property::driver));
    Bytes out;
    ASSERT_EQ(ask(external, get_node_information, Bytes(76), 76, out), err::success);
    EXPECT_EQ(out[6], 4);
}

TEST_F(ModelTest, ConfigurationDescriptorProbeThenTheWholeSet)
{
    example();
    const Handle hub = open(u"\\\\.\\" + root_hub_name);
    Bytes data;
    ASSERT_EQ(descriptor(hub, 3, 2, 0, 0, 9, data), err::success);
    EXPECT_EQ(data, hex("09 02 20 00 01 01 00 80 32"));
    ASSERT_EQ(descriptor(hub, 3, 2, 0, 0, 0x20, data), err::success);
    EXPECT_EQ(data.size(), 32u);
    ASSERT_EQ(descriptor(hub, 3, 2, 0, 0, 0x200, data), err::success);
    EXPECT_EQ(data.size(), 32u) << "no more than the set";
    EXPECT_EQ(descriptor(hub, 3, 2, 1, 0, 9, data), err::gen_failure) << "only one configuration";
    ASSERT_EQ(descriptor(hub, 3, 1, 0, 0, 18, data), err::success);
    EXPECT_EQ(data, hex("12 01 00 02 00 00 00 40 81 07 67 55 00 01 01 02 03 01"));
    EXPECT_EQ(descriptor(hub, 2, 2, 0, 0, 9, data), err::gen_failure) << "nothing on port 2";
}

TEST_F(ModelTest, StringDescriptorsPerLanguage)
{
    example();
    const Handle root = open(u"\\\\.\\" + root_hub_name);
    const Handle external = open(u"\\\\.\\" + external_hub_name);
    struct Case {
        const char* what;
        Handle hub;
        uint32_t port, index, language;
        Error result;
        std::u16string text;
    };
    const Case cases[] = {
        {"one text for every language", root, 3, 2, 0x0409, 0, u"Stick"},
        {"one text for every language, language 0", root, 3, 2, 0, 0, u"Stick"},
        {"null fails", root, 3, 3, 0x0409, 31, u""},
        {"index not listed", root, 3, 4, 0x0409, 31, u""},
        {"per language: failed request", external, 1, 1, 0x0409, 31, u""},
        {"per language: text", external, 1, 1, 0, 0, u"Acme"},
        {"per language: language not listed", external, 1, 1, 1, 31, u""},
        {"composite device: null", external, 3, 1, 0x0409, 31, u""},
        {"composite device: serial", external, 3, 3, 0x0409, 0, u"C0MB0-42"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes data;
        ASSERT_EQ(descriptor(c.hub, c.port, 3, c.index, c.language, 255, data), c.result);
        if (c.result) continue;
        ASSERT_GE(data.size(), 2u);
        EXPECT_EQ(data[0], data.size());
        EXPECT_EQ(data[1], 3);
        EXPECT_EQ(text::from_utf16le(std::span(data).subspan(2)), c.text);
    }
    Bytes data;
    ASSERT_EQ(descriptor(root, 3, 3, 0, 0, 255, data), err::success);
    EXPECT_EQ(data, hex("04 03 09 04")) << "index 0 lists the languages";
    ASSERT_EQ(descriptor(root, 3, 3, 2, 0x0409, 4, data), err::success);
    EXPECT_EQ(data, hex("0c 03 53 00")) << "cut to wLength, bLength unchanged";
}

TEST_F(ModelTest, RawAndErrorStringsLongTextsAndFaults)
{
    const std::string long_text(200, 'x');
    machine(R"({"controllers": [{"index": 2, "node": {"id": "PCI\\C"},
      "root_hub": {"name": "RH", "ports": 2, "devices": [
        {"port": 1, "device": "12 01 00 02 00 00 00 40 01 00 02 00 00 01 01 02 03 01",
         "strings": {"1": {"raw": "09 03 41 00 42 00 43 00 44"}, "2": {"error": 1167}, "3": ")" + long_text + R"(",
                     "4": {"0409": {"error": 22}, "0000": {"raw": "02 03"}}},
         "pipes": ["07 05 81 02 40 00 00"],
         "faults": ["pipes_grow", "driver_key_fails", "connection_name_fails"],
         "node": {"id": "USB\\VID_0001&PID_0002\\1"}},
        {"port": 2, "device": "12 01 00 02 09 00 00 40 01 00 03 00 00 01 00 00 00 01", "faults": ["node_info_fails"],
         "node": {"id": "USB\\VID_0001&PID_0003\\2"}, "hub": {"name": "EH", "ports": 2}}]}}]})");
    Handle h = 0;
    EXPECT_EQ(devices.open(u"\\\\.\\HCD0", 0, 7, 0, h), err::file_not_found);
    const Handle hcd = open(u"\\\\.\\hcd2");
    std::u16string s;
    ASSERT_EQ(name(hcd, get_root_hub_name, 0, 4, s), err::success);
    EXPECT_EQ(s, u"RH");

    const Handle hub = open(u"\\\\.\\rh");
    Bytes data;
    ASSERT_EQ(descriptor(hub, 1, 3, 1, 0x0409, 255, data), err::success);
    EXPECT_EQ(data, hex("09 03 41 00 42 00 43 00 44")) << "raw bytes as they are";
    EXPECT_EQ(descriptor(hub, 1, 3, 2, 0x0409, 255, data), 1167u);
    ASSERT_EQ(descriptor(hub, 1, 3, 3, 0x0409, 255, data), err::success);
    EXPECT_EQ(data.size(), 254u) << "a text longer than a descriptor holds is cut to 126 characters";
    EXPECT_EQ(data[0], 254);
    EXPECT_EQ(descriptor(hub, 1, 3, 4, 0x0409, 255, data), 22u);
    ASSERT_EQ(descriptor(hub, 1, 3, 4, 0, 255, data), err::success);
    EXPECT_EQ(data, hex("02 03"));

    // The pipe count grows with every request.
    Bytes in(35 + 11 * 10, 0);
    put32(in, 0, 1);
    Bytes out;
    uint32_t previous = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(ask(hub, get_node_connection_information_ex, in, uint32_t(in.size()), out), err::success);
        const uint32_t pipes = get32(out, 27);
        EXPECT_GT(pipes, previous);
        EXPECT_EQ(out.size(), 35 + 11 * std::min<size_t>(pipes, 10));
        EXPECT_EQ(Bytes(out.begin() + 35, out.begin() + 42), hex("07 05 81 02 40 00 00")) << "the given pipe first";
        previous = pipes;
    }
    EXPECT_EQ(name(hub, get_node_connection_driverkey_name, 1, 8, s), err::gen_failure);
    EXPECT_EQ(name(hub, get_node_connection_name, 1, 8, s), err::gen_failure);
    ASSERT_EQ(name(hub, get_node_connection_name, 2, 8, s), err::success);
    EXPECT_EQ(s, u"EH");
    const Handle external = open(u"\\\\.\\EH");
    EXPECT_EQ(ask(external, get_node_information, Bytes(76), 76, out), err::gen_failure);
}

TEST_F(ModelTest, HandleOfADeviceThatLeftAnswersNotConnected)
{
    example();
    const Handle external = open(u"\\\\.\\" + external_hub_name);
    // The external hub is unplugged: a new machine file without it.
    machine(R"({"controllers": [{"index": 0, "root_hub": {"name": "RH", "ports": 1}}]})");
    Bytes out;
    EXPECT_EQ(ask(external, get_node_information, Bytes(76), 76, out), model::device_not_connected);
    EXPECT_EQ(devices.close(external), err::success);
}

} // namespace
} // namespace model_test
