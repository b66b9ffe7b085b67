// The device list over model machines: members, order, numbers, fallbacks and drive letters.
#include <gtest/gtest.h>

#include <mutex>

#include "drivercontrol/manager.h"
#include "usbinventory/descriptors.h"
#include "model_machine.h"
#include "scripted_devices.h"
#include "text/text.h"

using namespace ZelmUsbVardoManager;
using inventory_test::ModelMachine;
using inventory_test::read_fixture;

namespace {

JsonHolder device_list(uint32_t expected_code = 0, std::u16string* error_out = nullptr)
{
    JsonHolder list;
    std::u16string error;
    EXPECT_EQ(Manager::GetCurrentUSBDevicesJSONList(100, list, error), expected_code) << text::to_utf8(error);
    if (error_out) *error_out = error;
    return list;
}

// A machine with one controller and its root hub of 8 ports holding `ports` (JSON port objects).
std::string machine_with(const std::string& ports, const std::string& extra_nodes = "[]")
{
    return R"({"controllers": [{"index": 0, "node": {"id": "PCI\\VEN_1\\0", "props": {"DEVICEDESC": "xHCI"}},
      "root_hub": {"name": "USB#ROOT_HUB30#0", "ports": 8, "node": {"id": "USB\\ROOT_HUB30\\0"},
      "devices": [)" + ports + R"(]}}], "nodes": )" + extra_nodes + "}";
}

// A device on `port` with product string "P<port>" and the node and children given.
std::string port(int number, const std::string& node_extra, const std::string& extra = "")
{
    return R"({"port": )" + std::to_string(number) +
           R"(, "device": "12 01 00 02 00 00 00 40 81 07 67 55 00 01 00 01 00 01",
      "configs": ["09 02 12 00 01 01 00 80 32 09 04 00 00 00 08 06 50 00"],
      "strings": {"1": "P)" + std::to_string(number) + R"("}, )" + extra + R"( "node": {"id": "USB\\VID_0781&PID_5567\\S)" +
           std::to_string(number) + R"(")" + node_extra + "}}";
}

TEST(DeviceList, ExampleMachine)
{
    ModelMachine machine(read_fixture("example_machine.json"));
    std::u16string text, error;
    ASSERT_EQ(Manager::GetCurrentUSBDevicesJSONListText(100, text, error), 0u) << text::to_utf8(error);
    // The whole text, member order and "%G" numbers included.
    EXPECT_EQ(text::to_utf8(text), read_fixture("example_machine_list.txt"));

    const JsonHolder list = device_list();
    ASSERT_EQ(list.Count(), 4u);
    struct Row {
        int port;
        bool is_hub;
        double devinst;
        const char16_t* manufacturer; // nullptr: no member
        const char16_t* product;
        const char16_t* serial;
        const char16_t* letters;
    };
    const Row rows[] = {
        // The external hub before the devices below it; root hubs and controllers are not listed.
        {1, true, 4, nullptr, u"USB2.0 Hub", nullptr, u""},
        // English fails, language 0 gives the manufacturer.
        {1, false, 5, u"Acme", u"Acme Keyboard", nullptr, u""},
        // The manufacturer string fails in every language: the node's MFG property.
        {3, false, 7, u"(Standard USB Host Controller)", u"Combo", u"C0MB0-42", u""},
        // The serial string fails: the instance identifier after its last backslash.
        {3, false, 10, u"Globex", u"Stick", u"4C530001", u"E"},
    };
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const JsonHolder& e = list[i];
        const Row& row = rows[i];
        EXPECT_EQ(e[u"PortNumberOfBus"].NumberVal(), row.port);
        EXPECT_EQ(e[u"ConnectionInformation"][u"ConnectionIndex"].NumberVal(), row.port);
        EXPECT_EQ(e[u"IsHub"].GetTyp(), JsonHolderType::Bool);
        EXPECT_EQ(e[u"IsHub"].ToString(), row.is_hub ? u"true" : u"false");
        EXPECT_EQ(e[u"DEVINST"].NumberVal(), row.devinst);
        const JsonHolder& d = e[u"DeviceDescriptor"];
        const std::pair<const char16_t*, const char16_t*> strings[] = {
            {u"Manufacturer", row.manufacturer}, {u"Product", row.product}, {u"SerialNumber", row.serial}};
        for (const auto& [name, value] : strings) {
            EXPECT_EQ(d.HasField(name), value != nullptr) << text::to_utf8(name);
            if (value && d.HasField(name)) {
                EXPECT_EQ(d[name].StringVal(), value);
            }
        }
        EXPECT_EQ(e[u"DriveLetters"].StringVal(), row.letters);
        EXPECT_EQ(e[u"ConnectionInformation"][u"DeviceDescriptor"].ToString(), d.ToString());
    }
    EXPECT_NE(text.find(u"\"Data1\":2.64228E+009"), std::u16string::npos);
    EXPECT_NE(text.find(u"\"idVendor\":1921"), std::u16string::npos);
}

TEST(DeviceList, WhatIsListed)
{
    struct Case {
        const char* what;
        std::string machine;
        std::u16string expected_products; // products of the entries in order, joined by ","
    };
    const std::string enumerating = port(2, "", R"("status": 9,)");
    const Case cases[] = {
        {"no controllers", R"({"controllers": []})", u""},
        {"ports ascending whatever the file's order", machine_with(port(5, "") + "," + port(2, "")), u"P2,P5"},
        {"a device still enumerating or failed is not listed",
         machine_with(enumerating + "," + port(3, "", R"("status": 2,)") + "," + port(4, "")), u"P4"},
        {"a node without a physical device object name gives no entry",
         machine_with(port(1, R"(, "props": {"PHYSICAL_DEVICE_OBJECT_NAME": null})") + "," + port(2, "")), u"P2"},
        {"a driver key that cannot be read drops the device",
         machine_with(port(1, "", R"("faults": ["driver_key_fails"],)") + "," + port(2, "")), u"P2"},
        {"controllers by index, gaps skipped",
         R"({"controllers": [{"index": 3, "node": {"id": "PCI\\3", "props": {"DEVICEDESC": "c3"}},
              "root_hub": {"name": "RH3", "ports": 2, "node": {"id": "USB\\RH\\3"}, "devices": [)" +
             port(1, "") + R"(]}},
            {"index": 0, "node": {"id": "PCI\\0", "props": {"DEVICEDESC": "c0"}},
              "root_hub": {"name": "RH0", "ports": 2, "node": {"id": "USB\\RH\\0"}, "devices": [)" +
             port(2, "") + R"(]}}]})",
         u"P2,P1"},
        {"a controller without a description is skipped",
         R"({"controllers": [{"index": 0, "node": {"id": "PCI\\0"},
              "root_hub": {"name": "RH0", "ports": 2, "node": {"id": "USB\\RH\\0"}, "devices": [)" +
             port(1, "") + R"(]}}]})",
         u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ModelMachine machine(c.machine);
        std::u16string text, error;
        ASSERT_EQ(Manager::GetCurrentUSBDevicesJSONListText(100, text, error), 0u) << text::to_utf8(error);
        const JsonHolder list = device_list();
        std::u16string products;
        for (uint64_t i = 0; i < list.Count(); ++i) {
            if (i) products += u",";
            products += list[int(i)][u"DeviceDescriptor"][u"Product"].StringVal();
        }
        EXPECT_EQ(products, c.expected_products);
        if (c.expected_products.empty()) {
            EXPECT_EQ(text, u"[]");
        }
    }
}

TEST(DeviceList, DriveLetters)
{
    const std::string stick_two_volumes = port(1, R"(, "children": [{"id": "USBSTOR\\DISK\\1",
        "disk": {"number": 1, "volumes": [{"letter": "F"}, {"letter": "E", "partition": 2}]}}])");
    const std::string card_reader = port(2, R"(, "children": [
        {"id": "USBSTOR\\DISK\\A", "disk": {"number": 3, "volumes": [{"letter": "H"}]}},
        {"id": "USBSTOR\\DISK\\B", "disk": {"number": 2, "volumes": [{"letter": "G"}]}}])");
    const std::string composite = port(3, R"(, "children": [
        {"id": "USB\\VID_1&PID_2&MI_00\\7&1&0&0000"},
        {"id": "USB\\VID_1&PID_2&MI_01\\7&1&0&0001", "children": [
          {"id": "USBSTOR\\DISK\\C", "disk": {"number": 4, "volumes": [{"letter": "K"}]}}]}])");
    const std::string cd_drive = port(4, R"(, "children": [{"id": "USBSTOR\\CDROM\\1",
        "disk": {"number": 0, "volumes": [{"letter": "D", "type": "cdrom"}]}}])");
    const std::string no_volumes = port(5, "");
    const std::string sata = R"([{"id": "PCI\\SATA", "children": [{"id": "SCSI\\DISK\\0",
        "disk": {"number": 0, "volumes": [{"letter": "C", "type": "fixed"}]}}]}])";
    ModelMachine machine(
        machine_with(stick_two_volumes + "," + card_reader + "," + composite + "," + cd_drive + "," + no_volumes, sata));
    const JsonHolder list = device_list();
    ASSERT_EQ(list.Count(), 5u);
    const std::pair<const char*, const char16_t*> expected[] = {
        {"one disk, two volumes: letter order", u"EF"},
        {"two disks under one device: disk enumeration order", u"HG"},
        {"a disk below a function of a composite device belongs to the device", u"K"},
        {"a CD drive (its own interface class; disk number 0 like the SATA disk, another type)", u"D"},
        {"no volumes: present and empty", u""},
    };
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(list[i][u"DriveLetters"].StringVal(), expected[i].second) << expected[i].first;
}

TEST(DeviceList, HubsBelowHubs)
{
    // A hub on port 1 with a mouse on its port 2, and a hub whose node gives no entry: the devices
    // below it are still visited.
    const std::string hub = R"({"port": 1, "device": "12 01 00 02 09 00 01 40 11 11 22 22 00 01 00 01 00 01",
      "configs": ["09 02 19 00 01 01 00 e0 00 09 04 00 00 01 09 00 00 00 07 05 81 03 01 00 0c"],
      "strings": {"1": "Hub"}, "node": {"id": "USB\\HUB\\1"%s},
      "hub": {"name": "HUB%d", "ports": 4, "devices": [%s]}})";
    auto make_hub = [&](const std::string& node_extra, int n, const std::string& children) {
        std::string s = hub;
        s.replace(s.find("%s"), 2, node_extra);
        s.replace(s.find("%d"), 2, std::to_string(n));
        s.replace(s.find("%s"), 2, children);
        return s;
    };
    std::string inner = make_hub(R"(, "props": {"PHYSICAL_DEVICE_OBJECT_NAME": null})", 2, port(2, ""));
    inner.replace(inner.find("\"port\": 1"), 9, "\"port\": 3");
    ModelMachine machine(machine_with(make_hub("", 1, port(2, "") + "," + inner)));
    const JsonHolder list = device_list();
    ASSERT_EQ(list.Count(), 3u);
    EXPECT_EQ(list[0][u"IsHub"].ToString(), u"true");
    EXPECT_EQ(list[1][u"PortNumberOfBus"].NumberVal(), 2);
    EXPECT_EQ(list[1][u"IsHub"].ToString(), u"false");
    EXPECT_EQ(list[2][u"PortNumberOfBus"].NumberVal(), 2) << "the mouse below the unlisted hub";
}

TEST(DeviceList, PropertyKinds)
{
    const std::string long_mfg(250, 'm');
    const std::string props = R"(, "props": {"DEVICEDESC": "Desc", "HARDWAREID": ["USB\\VID_0781&PID_5567", "USB\\VID_0781"],
        "COMPATIBLEIDS": [], "MFG": ")" + long_mfg + R"(", "FRIENDLYNAME": {"hex": "41 00 00 00 42 00"},
        "REMOVAL_POLICY": 2, "INSTALL_STATE": 0, "LEGACYBUSTYPE": 5, "UI_NUMBER": 1000000,
        "BUSNUMBER": {"hex": "01 00"}, "BUSTYPEGUID": "{9d7debbc-c85d-11d1-9eb4-006008c3a19a}"})";
    const std::string odd = R"(, "props": {"REMOVAL_POLICY": 4, "INSTALL_STATE": 9, "LEGACYBUSTYPE": 18,
        "BUSTYPEGUID": {"hex": "01 02 03"}, "HARDWAREID": {"hex": ""}})";
    // Manufacturer string index 1 fails, so the MFG fallback is tried.
    std::string first = port(1, props);
    first.replace(first.find(R"("1": "P1")"), 9, R"("2": "P1")");
    first.replace(first.find("00 01 00 01 00 01\""), 17, "00 01 01 02 00 01");
    ModelMachine machine(machine_with(first + "," + port(2, odd)));
    const JsonHolder list = device_list();
    ASSERT_EQ(list.Count(), 2u);
    const JsonHolder& p = list[0][u"DeviceProperty"];
    EXPECT_EQ(p[u"HardwareID"].ToString(), u"[\"USB\\\\VID_0781&PID_5567\",\"USB\\\\VID_0781\"]");
    EXPECT_EQ(p[u"CompatibleIDs"].ToString(), u"[]");
    EXPECT_EQ(p[u"FriendlyName"].StringVal(), u"A") << "a text ends at its first NUL";
    EXPECT_EQ(p[u"RemovalPolicy"].StringVal(), u"RemovalPolicyExpectOrderlyRemoval");
    EXPECT_EQ(p[u"InstallState"].StringVal(), u"InstallStateInstalled");
    EXPECT_EQ(p[u"LegacyBusType"].StringVal(), u"PCIBus");
    EXPECT_EQ(p[u"UINumber"].ToString(), u"1E+006");
    EXPECT_FALSE(p.HasField(u"BusNumber")) << "a number shorter than 4 bytes is left out";
    EXPECT_EQ(p[u"BusTypeGuid"].ToString(),
              u"{\"Data1\":2.64228E+009,\"Data2\":51293,\"Data3\":4561,\"Data4\":[158,180,0,96,8,195,161,154]}");
    // The property itself is read whole, but the manufacturer fallback reads texts of at most 200
    // characters, so the descriptor's manufacturer stays empty.
    EXPECT_EQ(p[u"Manufacturer"].StringVal().size(), 250u);
    EXPECT_EQ(list[0][u"DeviceDescriptor"][u"Manufacturer"].StringVal(), u"");

    const JsonHolder& q = list[1][u"DeviceProperty"];
    for (const char16_t* absent : {u"RemovalPolicy", u"InstallState", u"LegacyBusType", u"BusTypeGuid"})
        EXPECT_FALSE(q.HasField(absent)) << text::to_utf8(absent);
    EXPECT_EQ(q[u"HardwareID"].ToString(), u"[]") << "an empty value is an empty list";
}

TEST(DeviceList, BrokenMachines)
{
    struct Case {
        const char* what;
        std::string machine;
    };
    std::string hub_loop = machine_with(R"({"port": 1, "device": "12 01 00 02 09 00 01 40 11 11 22 22 00 01 00 01 00 01",
        "node": {"id": "USB\\HUB\\1"}, "hub": {"name": "USB#ROOT_HUB30#0", "ports": 1, "devices": []}})");
    const Case cases[] = {
        {"garbage", "\x01\x02 not json {{{"},
        {"truncated", machine_with(port(1, "")).substr(0, 200)},
        {"a hub that names the root hub", hub_loop},
        {"wrong member types", R"({"controllers": [{"index": "zero", "root_hub": 5}]})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ModelMachine machine(c.machine);
        std::u16string text = u"unchanged", error;
        const uint32_t r = Manager::GetCurrentUSBDevicesJSONListText(100, text, error);
        // Either the machine is refused (the tree's root cannot be located) or it answers a list;
        // never a crash, a hang or a half-written text.
        if (r != 0) {
            EXPECT_EQ(text, u"unchanged");
            EXPECT_FALSE(error.empty());
        } else {
            EXPECT_TRUE(text.starts_with(u"[") && text.ends_with(u"]")) << text::to_utf8(text);
        }
    }
}

} // namespace

namespace {

// A hub whose port 1 holds a hub opened under its own name: a loop no real topology has. The walk
// below hubs must end by its depth bound, not by exhausting the stack.
TEST(DeviceList, HubLoopEndsAtTheDepthBound)
{
    ModelMachine machine(R"({"controllers": []})");
    using inventory_test::Request;
    auto name_record = [](const Request& r, std::vector<uint8_t>& out, uint32_t& returned, const std::u16string& name) {
        std::vector<uint8_t> rec(8, 0);
        std::copy(r.input.begin(), r.input.begin() + 4, rec.begin());
        const uint32_t actual = uint32_t(8 + 2 * (name.size() + 1));
        for (int i = 0; i < 4; ++i) rec[4 + i] = uint8_t(actual >> (8 * i));
        for (char16_t c : name) {
            rec.push_back(uint8_t(c));
            rec.push_back(uint8_t(c >> 8));
        }
        rec.push_back(0);
        rec.push_back(0);
        const size_t n = std::min(rec.size(), out.size());
        std::copy(rec.begin(), rec.begin() + n, out.begin());
        returned = uint32_t(n);
        return platform::Error(0);
    };
    int node_requests = 0;
    inventory_test::ScriptedDevices hub([&](const Request& r, std::vector<uint8_t>& out, uint32_t& returned) -> platform::Error {
        switch (r.code) {
        case 0x220408: // node information: a hub of one port
            ++node_requests;
            out[6] = 1;
            returned = 76;
            return 0;
        case 0x220448: // port 1: a connected hub without pipes
            out[0] = 1;
            out[24] = 1;
            out[31] = 1;
            returned = 35;
            return 0;
        case 0x220420: return name_record(r, out, returned, u"KEY");
        case 0x220414: return name_record(r, out, returned, u"LOOP");
        default: return 31; // descriptors
        }
    });
    platform::Override<platform::Devices> o(&platform::Platform::devices, hub);

    UsbNodeConnectionInformationEx connection;
    connection.ConnectionIndex = 1;
    connection.ConnectionStatus = 1;
    connection.DeviceIsHub = 1;
    connection.NodeName = u"LOOP";
    JsonHolder list = JsonHolder::CreateArray();
    std::u16string error;
    EXPECT_EQ(Manager::GetUSBDeviceJSON({}, 1, connection, list, {}, error), 1359u);
    EXPECT_EQ(error, u"GetUSBDeviceJSON: zbyt głębokie zagnieżdżenie koncentratorów");
    EXPECT_EQ(list.Count(), 0u) << "no node behind the driver key: no entries";
    EXPECT_GT(node_requests, 5);
    EXPECT_LE(node_requests, 20);
    EXPECT_EQ(hub.opened.size(), size_t(hub.closes)) << "every hub opened on the way is closed";
}

} // namespace

namespace {

// A machine file that another program replaces while the list is built: here a new version at
// every look at its stamp, so any walk that looks twice would meet both.
class FlippingStore final : public platform::model::Store {
public:
    FlippingStore(std::string a, std::string b, uint32_t period, uint32_t phase)
        : texts_{std::move(a), std::move(b)}, period_(period), looks_(phase)
    {
    }
    platform::Error stamp(platform::model::Stamp& stamp, bool& settled) override
    {
        std::lock_guard g(lock_);
        current_ = (looks_++ / period_) % 2;
        stamp.modified_ns = int64_t(looks_ / period_);
        stamp.size = texts_[current_].size();
        settled = true;
        return 0;
    }
    platform::Error read(std::string& bytes, size_t) override
    {
        std::lock_guard g(lock_);
        bytes = texts_[current_];
        return 0;
    }
    platform::Error replace(std::string_view) override { return platform::err::access_denied; }

private:
    std::mutex lock_;
    std::string texts_[2];
    uint32_t period_;
    uint32_t looks_;
    size_t current_ = 0;
};

TEST(DeviceList, OneVersionOfTheMachinePerList)
{
    // Without the stick, and with it (a drive E): a list that mixed the two would show the stick
    // without its letter, as a device that holds no drive.
    const std::string keyboard = port(2, "");
    const std::string stick = port(1, R"(, "children": [{"id": "USBSTOR\\DISK\\1",
        "disk": {"number": 1, "volumes": [{"letter": "E"}]}}])");
    const std::string without = machine_with(keyboard), with = machine_with(stick + "," + keyboard);
    std::u16string expected[2];
    for (int i = 0; i < 2; ++i) {
        ModelMachine plain(i == 0 ? without : with);
        std::u16string error;
        ASSERT_EQ(Manager::GetCurrentUSBDevicesJSONListText(100, expected[i], error), 0u);
    }
    ASSERT_NE(expected[1].find(u"\"DriveLetters\":\"E\""), std::u16string::npos) << text::to_utf8(expected[1]);

    for (uint32_t period : {1u, 2u, 3u, 5u, 8u})
        for (uint32_t phase = 0; phase < 2 * period; ++phase) {
            SCOPED_TRACE("new version every " + std::to_string(period) + " looks, from look " + std::to_string(phase));
            platform::model::Engine engine(std::make_unique<FlippingStore>(without, with, period, phase));
            platform::model::ModelDevices devices(engine);
            platform::model::ModelDeviceTree tree(engine);
            platform::model::ModelFiles files(engine, platform::files());
            platform::Override<platform::Devices> o_devices(&platform::Platform::devices, devices);
            platform::Override<platform::DeviceTree> o_tree(&platform::Platform::devicetree, tree);
            platform::Override<platform::Files> o_files(&platform::Platform::files, files);
            std::u16string text, error;
            ASSERT_EQ(Manager::GetCurrentUSBDevicesJSONListText(100, text, error), 0u) << text::to_utf8(error);
            EXPECT_TRUE(text == expected[0] || text == expected[1]) << text::to_utf8(text);
        }
}

} // namespace
