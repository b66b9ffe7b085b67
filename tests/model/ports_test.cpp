// Plugging and unplugging devices of a machine file by port path: the paths, the edit of the
// port's status alone, and the refusals that leave the file as it was.
#include "model_fixture.h"
#include "platform/model/ports.h"

namespace model_test {
namespace {

using model::PortPath;

TEST(PortPath, ParsedAndWrittenBack)
{
    struct Case {
        const char* text;
        bool valid;
        uint32_t controller;
        std::vector<uint32_t> ports;
    };
    const Case cases[] = {
        {"0-3", true, 0, {3}},
        {"12-1.2.255", true, 12, {1, 2, 255}},
        {"0-1.1.1.1.1.1.1", true, 0, {1, 1, 1, 1, 1, 1, 1}},
        {"0-1.1.1.1.1.1.1.1", false, 0, {}}, // deeper than USB allows
        {"", false, 0, {}},
        {"0", false, 0, {}},
        {"0-", false, 0, {}},
        {"-3", false, 0, {}},
        {"0-0", false, 0, {}},
        {"0-256", false, 0, {}},
        {"0-1.", false, 0, {}},
        {"0-1..2", false, 0, {}},
        {"0-1,2", false, 0, {}},
        {"x-1", false, 0, {}},
        {" 0-1", false, 0, {}},
        {"0-1 ", false, 0, {}},
        {"0-99999999999", false, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto path = model::parse_port_path(c.text);
        ASSERT_EQ(path.has_value(), c.valid);
        if (!c.valid) continue;
        EXPECT_EQ(path->controller, c.controller);
        EXPECT_EQ(path->ports, c.ports);
        EXPECT_EQ(model::port_path_text(*path), c.text);
    }
}

// A keyboard on port 1 (status not given: connected), a stick with E: unplugged on port 3, and an
// unplugged hub on port 2 with a mouse behind it.
const std::string plug_machine = R"({"controllers": [{"index": 0, "root_hub": {"name": "RH", "ports": 4, "devices": [
  {"port": 1, "device": "12 01 10 01 00 00 00 08 33 33 44 44 00 01 00 00 00 01", "node": {"id": "USB\\KBD\\1"}},
  {"port": 2, "status": 0, "device": "12 01 00 02 09 00 01 40 11 11 22 22 00 01 00 00 00 01", "node": {"id": "USB\\HUB\\2"},
   "hub": {"name": "HUB2", "ports": 2, "devices": [{"port": 1, "node": {"id": "USB\\MOUSE\\1"}}]}},
  {"port": 3, "status": 0, "device": "12 01 00 02 00 00 00 40 81 07 67 55 00 01 00 00 00 01",
   "node": {"id": "USB\\STICK\\1", "children": [{"id": "USBSTOR\\DISK\\1", "disk": {"number": 1, "volumes": [{"letter": "E"}]}}]}}]}}]})";

class PortsTest : public ModelTest {
protected:
    std::string text() { return platform_test::read_text_file(file); }
    // Whether the machine has a node with that identifier.
    bool has_node(const std::u16string& node_id)
    {
        const model::View v = engine.view();
        EXPECT_EQ(v.error, 0u) << v.message;
        for (const model::Node& n : v.machine->nodes)
            if (n.id == node_id) return true;
        return false;
    }
    Error set(const char* path, bool connected, std::string* message = nullptr)
    {
        std::string m;
        const Error e = engine.set_connected(*model::parse_port_path(path), connected, m);
        if (message) *message = m;
        return e;
    }
};

TEST_F(PortsTest, UnpluggedDevicesAreNotOnTheMachineUntilPlugged)
{
    machine(plug_machine);
    EXPECT_TRUE(has_node(u"USB\\KBD\\1"));
    EXPECT_FALSE(has_node(u"USB\\STICK\\1"));
    EXPECT_FALSE(has_node(u"USBSTOR\\DISK\\1")) << "nothing below an unplugged device either";
    EXPECT_FALSE(has_node(u"USB\\MOUSE\\1"));
    EXPECT_EQ(model::drive_type_of(engine.view(), u"E:\\"), drive::no_root_dir);
    EXPECT_EQ(engine.view().machine->hubs.size(), 1u) << "the hub of an unplugged port is not there";

    const std::string before = text();
    ASSERT_EQ(set("0-3", true), 0u);
    const std::string after = text();
    // Only the port's status changed.
    const size_t at = before.find(R"("port": 3, "status": 0)");
    ASSERT_NE(at, std::string::npos);
    std::string expected = before;
    expected[at + std::string(R"("port": 3, "status": )").size()] = '1';
    EXPECT_EQ(after, expected);
    EXPECT_TRUE(has_node(u"USBSTOR\\DISK\\1"));
    EXPECT_EQ(model::drive_type_of(engine.view(), u"E:\\"), drive::removable);
    Handle h = open(u"\\\\.\\RH");
    Bytes out;
    ASSERT_EQ(ask(h, model::usb_ioctl::get_node_connection_information_ex, {3, 0, 0, 0}, 200, out), 0u);
    EXPECT_EQ(get32(out, 31), 1u) << "port 3 answers a connected device";
    devices.close(h);

    // Unplugged again: gone, and the file is what it was.
    ASSERT_EQ(set("0-3", false), 0u);
    EXPECT_EQ(text(), before);
    EXPECT_FALSE(has_node(u"USB\\STICK\\1"));

    // A port without a status gets one, right after its opening brace.
    ASSERT_EQ(set("0-1", false), 0u);
    EXPECT_NE(text().find(R"({"status": 0, "port": 1,)"), std::string::npos) << text();
    EXPECT_FALSE(has_node(u"USB\\KBD\\1"));

    // A hub plugged brings what is connected behind it.
    ASSERT_EQ(set("0-2", true), 0u);
    EXPECT_TRUE(has_node(u"USB\\MOUSE\\1"));
    ASSERT_EQ(set("0-2.1", false), 0u);
    EXPECT_FALSE(has_node(u"USB\\MOUSE\\1"));
    EXPECT_TRUE(has_node(u"USB\\HUB\\2"));
}

TEST_F(PortsTest, RefusalsLeaveTheFileAsItWas)
{
    struct Case {
        const char* what;
        std::string machine;
        const char* path;
        bool connect;
        Error error;
        const char* message;
    };
    std::string taken = plug_machine;
    // A fixed disk with E: elsewhere on the machine: the stick cannot come with the same letter.
    taken.insert(taken.size() - 1, R"(, "nodes": [{"id": "SCSI\\D", "disk": {"number": 0, "volumes": [{"letter": "E", "type": "fixed"}]}}])");
    const Case cases[] = {
        {"no such controller", plug_machine, "1-3", true, model::port_not_found, "no controller 1"},
        {"nothing described at the port", plug_machine, "0-4", true, model::port_not_found, "port 0-4"},
        {"a device on the way is not a hub", plug_machine, "0-1.1", true, model::port_not_found, "0-1 is not a hub"},
        {"the hub on the way is unplugged", plug_machine, "0-2.1", true, model::port_not_connected,
         "hub at 0-2 is not connected"},
        {"plugged already", plug_machine, "0-1", true, model::port_already_connected, "connected already"},
        {"unplugged already", plug_machine, "0-3", false, model::port_not_connected, "is not connected"},
        {"its drive letter is taken", taken, "0-3", true, err::invalid_data, "drive letter E appears twice"},
        {"the file is broken", plug_machine.substr(0, 100), "0-3", true, err::invalid_data, "not usable"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        machine(c.machine);
        std::string message;
        EXPECT_EQ(set(c.path, c.connect, &message), c.error);
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        EXPECT_EQ(text(), c.machine);
    }

    std::filesystem::remove(file);
    std::string message;
    EXPECT_EQ(set("0-3", true, &message), err::file_not_found);
    EXPECT_EQ(message, "there is no machine file");
    EXPECT_FALSE(std::filesystem::exists(file));
}

} // namespace
} // namespace model_test
