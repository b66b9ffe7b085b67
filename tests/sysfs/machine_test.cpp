// The running machine read from sysfs (a umockdev testbed) and answered by the model engine: the
// device list of the example machine, the kernel's bad input, devices that leave in the middle of
// a walk, and the snapshot kept while the set of devices stays the same.
#include <filesystem>
#include <fstream>
#include <span>
#include <memory>

#include "drivercontrol/manager.h"
#include "platform/linux/sysfs_machine.h"
#include "platform/model/engine.h"
#include "platform/model/families.h"
#include "platform/platform.h"
#include "testbed.h"
#include "text/text.h"

namespace sysfs_test {
namespace {

namespace model = platform::model;
namespace sysfs = platform::posix::sysfs;
using ZelmUsbVardoManager::Manager;

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The model engine over the testbed, installed as the devices and device-tree families.
class SysfsMachine : public Testbed {
protected:
    void SetUp() override
    {
        Testbed::SetUp();
        if (HasFatalFailure()) return;
        root_ = std::filesystem::temp_directory_path() / ("zelmusb-sysfs-" + std::to_string(::getpid()));
        std::filesystem::create_directories(root_);
        // Re-checked on every request, so a test sees each change at once.
        engine_ = std::make_unique<model::Engine>(
            std::make_unique<sysfs::SysfsStore>([r = root_.string()] { return r; }, 0, false));
        devices_ = std::make_unique<model::ModelDevices>(*engine_);
        tree_ = std::make_unique<model::ModelDeviceTree>(*engine_);
        o_devices_.emplace(&platform::Platform::devices, *devices_);
        o_tree_.emplace(&platform::Platform::devicetree, *tree_);
    }
    void TearDown() override
    {
        o_tree_.reset();
        o_devices_.reset();
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
        Testbed::TearDown();
    }

    void example()
    {
        controller();
        uint32_t devnum = 1;
        for (const UsbSpec& d : example_devices()) usb(d, devnum++);
    }

    std::string list()
    {
        std::u16string text, error;
        const uint32_t r = Manager::GetCurrentUSBDevicesJSONListText(100, text, error);
        EXPECT_EQ(r, 0u) << text::to_utf8(error);
        return text::to_utf8(text);
    }

    std::filesystem::path root_;
    std::unique_ptr<model::Engine> engine_;
    std::unique_ptr<model::ModelDevices> devices_;
    std::unique_ptr<model::ModelDeviceTree> tree_;
    std::optional<platform::Override<platform::Devices>> o_devices_;
    std::optional<platform::Override<platform::DeviceTree>> o_tree_;
};

TEST_F(SysfsMachine, ExampleMachineListsEachDeviceWithItsNamesAndNode)
{
    example();
    const std::string l = list();
    EXPECT_EQ(count(l, "\"PortNumberOfBus\""), 4u) << l;
    struct Case {
        const char* what;
        const char* text;
    } cases[] = {
        {"the hub's product from sysfs", "\"Product\":\"USB2.0 Hub\""},
        {"the keyboard's class from its interface", "\"ClassName\":\"HIDClass\""},
        {"the description from the hardware database", "\"DeviceDescription\":\"USB Input Device\""},
        {"a manufacturer string that fails falls back to the node's", "\"Manufacturer\":\"(Standard USB Host Controller)\""},
        {"a serial string that fails falls back to the instance id (udev's serial)", "\"SerialNumber\":\"4C530001\""},
        {"the PDO name names the sysfs device", "\"PhysicalDeviceObjectName\":\"\\\\Device\\\\USBPDO-1-1.3\""},
        {"the driver key ends in the sysfs name", "\\\\1-1.1\""},
        {"the hardware ids, long and short", "\"HardwareID\":[\"USB\\\\VID_0781&PID_5567&REV_0100\",\"USB\\\\VID_0781&PID_5567\"]"},
        {"the keyboard runs at full speed", "\"Speed\":1"},
        {"the hub is a hub", "\"IsHub\":true"},
        {"the keyboard sits on port 1 of the hub", "\"LocationInformation\":\"Port_#0001.Hub_#0002\""},
    };
    for (const Case& c : cases) EXPECT_NE(l.find(c.text), std::string::npos) << c.what << "\n" << l;
    EXPECT_EQ(count(l, "\"IsHub\":true"), 1u) << l;
    EXPECT_EQ(l.find("\"DriveLetters\":\"E\""), std::string::npos) << "no volume: the stick has no disk here";
}

TEST_F(SysfsMachine, TheStickGetsItsDiskAndLetter)
{
    example();
    disk("1-3", "sdb", 8, 16);
    std::filesystem::create_directories(root_ / "dosdevices");
    std::filesystem::create_symlink("/dev/sdb1", root_ / "dosdevices" / "e::"); // kept from an earlier scan
    const std::string l = list();
    EXPECT_NE(l.find("\"DriveLetters\":\"E\""), std::string::npos) << l;
    EXPECT_EQ(count(l, "\"DriveLetters\":\"\""), 3u) << l;
}

// The mount table and process scan of a machine with nothing mounted; busy when told.
class IdleHost final : public sysfs::Host {
public:
    bool busy = false;
    std::string mountinfo() override { return {}; }
    platform::Error unmount(const std::string&) override { return 0; }
    bool in_use(std::span<const uint64_t>) override { return busy; }
};

// The volume requests of the ejection go to the running machine's volumes: a busy volume does not
// lock, and the eject removes the stick (its sysfs `remove`), after which the letter is gone.
TEST_F(SysfsMachine, VolumeRequestsActOnTheRunningMachine)
{
    example();
    disk("1-3", "sdb", 8, 16);
    umockdev_testbed_set_attribute(tb_, ("/sys" + path_of("1-3")).c_str(), "remove", "");
    std::filesystem::create_directories(root_ / "dosdevices");
    std::filesystem::create_symlink("/dev/sdb1", root_ / "dosdevices" / "e::");
    IdleHost host;
    sysfs::HostOverride scripted(host);
    auto& devices = platform::devices();
    platform::Handle e = 0;
    ASSERT_EQ(devices.open(u"\\\\.\\E:", 0xC0000000u, 3, 0, e), 0u);
    uint32_t returned = 0;
    host.busy = true;
    EXPECT_EQ(devices.control(e, platform::ioctl::lock_volume, nullptr, 0, nullptr, 0, returned), 5u) << "in use";
    host.busy = false;
    EXPECT_EQ(devices.control(e, platform::ioctl::lock_volume, nullptr, 0, nullptr, 0, returned), 0u);
    EXPECT_EQ(devices.control(e, platform::ioctl::dismount_volume, nullptr, 0, nullptr, 0, returned), 0u);
    uint8_t allow = 0;
    EXPECT_EQ(devices.control(e, platform::ioctl::storage_media_removal, &allow, 1, nullptr, 0, returned), 0u);
    EXPECT_EQ(devices.control(e, platform::ioctl::storage_eject_media, nullptr, 0, nullptr, 0, returned), 0u);
    devices.close(e);
    std::ifstream written(testbed_dir_ + "/sys" + path_of("1-3") + "/remove");
    std::string value;
    std::getline(written, value);
    EXPECT_EQ(value, "1") << "the stick is removed as a safe removal does it";
}

// What the kernel side can give that is not what a device should give.
TEST_F(SysfsMachine, BadInputFromTheKernelGivesClearOutcomes)
{
    const std::string root_hub = example_devices()[0].descriptors;
    const std::string stick = example_devices()[4].descriptors;
    struct Case {
        const char* what;
        std::string descriptors;
        std::vector<std::pair<std::string, std::string>> attributes;
        bool listed;
        const char* text;        // in the list when listed
        std::string raw_product; // a product attribute of these bytes
    } cases[] = {
        {"a descriptors file shorter than a device descriptor", "12 01 00 02 00 00 00 40 81 07", {}, false, nullptr, ""},
        {"an empty descriptors file", "", {}, false, nullptr, ""},
        {"garbage where the device descriptor should be", "ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff", {}, false, nullptr, ""},
        {"a configuration set cut short of its wTotalLength",
         "12 01 00 02 00 00 00 40 81 07 67 55 00 01 01 02 03 01 09 02 20 00 01 01 00 80 32 09 04 00 00 02 08",
         {{"product", "Cut"}, {"bConfigurationValue", "1"}}, true, "\"Product\":\"Cut\"", ""},
        {"a configuration whose lengths are zero",
         "12 01 00 02 00 00 00 40 81 07 67 55 00 01 01 02 03 01 09 02 20 00 01 01 00 80 32 00 00 00 00 00 00 00 00 00 00 00",
         {{"product", "Zeros"}, {"bConfigurationValue", "1"}}, true, "\"Product\":\"Zeros\"", ""},
        {"more configurations announced than the file holds",
         "12 01 00 02 00 00 00 40 81 07 67 55 00 01 01 02 03 05 09 02 09 00 00 01 00 80 32",
         {{"product", "Few"}}, true, "\"Product\":\"Few\"", ""},
        {"missing string attributes give empty texts", stick, {}, true, "\"Manufacturer\":\"\",\"Product\":\"\"", ""},
        {"a string that is not UTF-8", stick, {}, true, "\"Product\":\"St\xef\xbf\xbd\xef\xbf\xbdick\"", "St\xff\xfeick"},
        {"a speed the table does not know", stick, {{"speed", "garbage"}, {"product", "Fast"}}, true, "\"Speed\":3", ""},
    };
    controller();
    uint32_t devnum = 2; // each device a new one, as the kernel numbers them
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        usb({"usb1", root_hub, {{"speed", "480"}, {"maxchild", "2"}}, {}}, 1);
        usb({"1-1", c.descriptors, c.attributes, {}}, devnum++);
        if (!c.raw_product.empty())
            umockdev_testbed_set_attribute_binary(tb_, ("/sys" + path_of("1-1")).c_str(), "product",
                                                  reinterpret_cast<guint8*>(const_cast<char*>(c.raw_product.data())),
                                                  gssize(c.raw_product.size()));
        const std::string l = list();
        EXPECT_EQ(count(l, "\"PortNumberOfBus\""), c.listed ? 1u : 0u) << l;
        if (c.text) {
            EXPECT_NE(l.find(c.text), std::string::npos) << l;
        }
        remove("1-1");
        remove("usb1");
    }
}

// usb1 → 1-1 → 1-1.1 → ... a chain of hubs with a keyboard on port 1 of the last.
TEST_F(SysfsMachine, HubChainsAsDeepAsUsbAllowsAndDeeper)
{
    const std::string hub = example_devices()[1].descriptors, keyboard = example_devices()[2].descriptors;
    struct Case {
        const char* what;
        int hubs;
        size_t listed;
    } cases[] = {
        {"six hubs in a chain are all listed, with the keyboard behind them", 6, 7},
        {"a seventh hub is nested too deeply: it and its keyboard are not listed", 7, 6},
        {"nor anything deeper", 9, 6},
    };
    controller();
    uint32_t devnum = 2;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        usb(example_devices()[0], 1);
        std::string name = "1-1";
        std::vector<std::string> made = {"usb1"};
        for (int i = 0; i < c.hubs; ++i) {
            usb({name, hub, {{"maxchild", "4"}, {"bConfigurationValue", "1"}, {"product", "Hub " + std::to_string(i)}}, {}},
                devnum++);
            made.push_back(name);
            name += ".1";
        }
        usb({name, keyboard, {{"product", "Deep Keyboard"}, {"bConfigurationValue", "1"}}, {}}, devnum++);
        made.push_back(name);
        const std::string l = list();
        EXPECT_EQ(count(l, "\"PortNumberOfBus\""), c.listed) << l;
        EXPECT_EQ(l.find("Deep Keyboard") != std::string::npos, c.listed == size_t(c.hubs) + 1) << l;
        for (auto it = made.rbegin(); it != made.rend(); ++it) remove(*it);
    }
}

// A device that leaves while the inventory walks: the answers the model gives for an unplugged
// device (the port reads empty, the hub's handle is no longer connected), no crash.
TEST_F(SysfsMachine, DeviceThatLeavesInTheMiddleOfAWalk)
{
    example();
    auto& devices = platform::devices();
    platform::Handle root_hub = 0, hub = 0;
    ASSERT_EQ(devices.open(u"\\\\.\\USB#ROOT_HUB30#usb1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}", 0x80000000u, 7, 0, root_hub), 0u);
    ASSERT_EQ(devices.open(u"\\\\.\\USB#VID_1111&PID_2222#1-1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}", 0x80000000u, 7, 0, hub), 0u);
    uint8_t buffer[35 + 11 * 4] = {1, 0, 0, 0};
    uint32_t returned = 0;
    ASSERT_EQ(devices.control(root_hub, model::usb_ioctl::get_node_connection_information_ex, buffer, sizeof buffer,
                              buffer, sizeof buffer, returned), 0u);
    EXPECT_EQ(buffer[31], 1) << "connected before";

    remove("1-1.3");
    remove("1-1.1");
    remove("1-1");
    uint8_t again[35 + 11 * 4] = {1, 0, 0, 0};
    ASSERT_EQ(devices.control(root_hub, model::usb_ioctl::get_node_connection_information_ex, again, sizeof again,
                              again, sizeof again, returned), 0u);
    EXPECT_EQ(again[31], 0) << "NoDeviceConnected";
    uint8_t name[10] = {1, 0, 0, 0};
    EXPECT_EQ(devices.control(root_hub, model::usb_ioctl::get_node_connection_driverkey_name, name, sizeof name, name,
                              sizeof name, returned), 31u);
    uint8_t info[76] = {};
    EXPECT_EQ(devices.control(hub, model::usb_ioctl::get_node_information, info, sizeof info, info, sizeof info, returned),
              model::device_not_connected);
    devices.close(hub);
    devices.close(root_hub);
    const std::string l = list();
    EXPECT_EQ(count(l, "\"PortNumberOfBus\""), 1u) << "only the stick is left\n" << l;
}

// A walk looks at the machine anew when it begins, however seldom the store looks otherwise: the
// device list, and the driver's document of a device just announced, see a device plugged a
// moment before.
TEST_F(SysfsMachine, AWalkSeesADevicePluggedJustBefore)
{
    model::Engine engine(std::make_unique<sysfs::SysfsStore>([r = root_.string()] { return r; }, 3600 * 1000, false));
    model::ModelDevices devices(engine);
    model::ModelDeviceTree tree(engine);
    platform::Override<platform::Devices> use_devices(&platform::Platform::devices, devices);
    platform::Override<platform::DeviceTree> use_tree(&platform::Platform::devicetree, tree);
    example();
    EXPECT_EQ(list().find("Late Keyboard"), std::string::npos);
    usb({"1-4", example_devices()[2].descriptors, {{"product", "Late Keyboard"}, {"bConfigurationValue", "1"}}, {}}, 9);
    const std::string l = list();
    EXPECT_NE(l.find("\"Product\":\"Late Keyboard\""), std::string::npos) << l;
}

// The machine is read again when the set of devices changes, not when an attribute does: a walk
// sees one version. A device read before is read again only when it is another device in its
// place (plugged again: a new address); one listed before its files were all there is read at the
// next look, though nothing else changes.
TEST_F(SysfsMachine, SnapshotKeptUntilTheSetOfDevicesChanges)
{
    example();
    EXPECT_NE(list().find("\"Product\":\"Stick\""), std::string::npos);
    // An attribute rewritten where it is, as the kernel would change one.
    std::ofstream("/sys" + path_of("1-3") + "/product", std::ios::trunc) << "Renamed\n";
    EXPECT_NE(list().find("\"Product\":\"Stick\""), std::string::npos) << "the same devices: the same snapshot";
    usb({"1-4", example_devices()[2].descriptors, {{"product", "Late Keyboard"}, {"bConfigurationValue", "1"}}, {}}, 9);
    std::string l = list();
    EXPECT_NE(l.find("\"Product\":\"Late Keyboard\""), std::string::npos) << l;
    EXPECT_NE(l.find("\"Product\":\"Stick\""), std::string::npos) << "the stick is the same device\n" << l;

    // The stick plugged again, under its name, as another device.
    remove("1-3");
    UsbSpec again = example_devices()[4];
    for (auto& [name, value] : again.attributes)
        if (name == "product") value = "Plugged Again";
    usb(again, 12);
    l = list();
    EXPECT_NE(l.find("\"Product\":\"Plugged Again\""), std::string::npos) << l;
    EXPECT_EQ(l.find("\"Product\":\"Stick\""), std::string::npos) << l;

    // A device whose descriptors are not there yet (the kernel adds its files one by one).
    add("P: " + path_of("1-2") + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: busnum=1\nA: devnum=13\n"
        "A: speed=12\nA: bConfigurationValue=1\nA: product=Slow Pen\n");
    EXPECT_EQ(list().find("Slow Pen"), std::string::npos);
    std::vector<uint8_t> bytes = {0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x08, 0x44, 0x44,
                                  0x55, 0x55, 0x00, 0x01, 0x00, 0x02, 0x00, 0x01};
    umockdev_testbed_set_attribute_binary(tb_, ("/sys" + path_of("1-2")).c_str(), "descriptors", bytes.data(),
                                          gssize(bytes.size()));
    l = list();
    EXPECT_NE(l.find("\"Product\":\"Slow Pen\""), std::string::npos) << "read at the next look\n" << l;
}

} // namespace
} // namespace sysfs_test

namespace sysfs_test {
namespace {

// The entry of a sysfs device is found by its PDO name, and the PDO name leads back to it.
TEST(SysfsDescription, PdoNamesAndSysfsNamesLeadToEachOther)
{
    struct Case {
        std::u16string pdo;
        std::string name; // empty: not a sysfs USB device's
    } cases[] = {
        {u"\\Device\\USBPDO-1-1.2", "1-1.2"},
        {u"\\Device\\USBPDO-usb3", "usb3"},
        {u"\\Device\\USBPDO-1-1:1.0", ""}, // an interface's node
        {u"\\Device\\USBPDO-5", ""},       // a Windows machine's
        {u"\\Device\\sdb", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sysfs::sysfs_name_of(c.pdo), c.name) << text::to_utf8(c.pdo);
        if (!c.name.empty()) {
            EXPECT_EQ(sysfs::pdo_name(c.name), c.pdo);
        }
    }
}

// A store that answers with a fixed machine text, for the description alone.
class TextStore final : public platform::model::Store {
public:
    explicit TextStore(std::string text) : text_(std::move(text)) {}
    platform::Error stamp(platform::model::Stamp& stamp, bool& settled) override
    {
        stamp = {1, text_.size(), 1};
        settled = true;
        return 0;
    }
    platform::Error read(std::string& bytes, size_t) override
    {
        bytes = text_;
        return 0;
    }
    platform::Error replace(std::string_view) override { return 5; }

private:
    std::string text_;
};

std::string bytes_of(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// Strings read through usbfs are kept per language, as the device sent them: every language it
// lists answers, a failed request fails, and the language list is the device's own.
TEST(SysfsDescription, UsbfsStringsAnswerEveryLanguageOfTheDevice)
{
    sysfs::UsbDevice root, stick;
    root.name = "usb1";
    root.descriptors = bytes_of("12010002090000406b1d020000010302010109021900010100e0000904000001090000000705810304000c");
    root.maxchild = 2;
    stick.name = "1-1";
    stick.devnum = 2;
    stick.descriptors = bytes_of("120100020000004081076755000101020301");
    stick.languages = bytes_of("060309041504");
    stick.strings = {{1, {{0x0409, bytes_of("0a03410063006d006500")}, {0x0415, bytes_of("0a0341006b006d006500")}}},
                     {2, {{0x0409, std::nullopt}, {0x0415, bytes_of("08035300740069006b00")}}}};
    const std::string text = sysfs::machine_json({root, stick}, {});
    model::Machine m;
    std::string why;
    ASSERT_TRUE(model::load_machine(text, m, why)) << why << "\n" << text;

    model::Engine engine(std::make_unique<TextStore>(text));
    model::ModelDevices devices(engine);
    platform::Handle hub = 0;
    ASSERT_EQ(devices.open(u"\\\\.\\USB#ROOT_HUB20#usb1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}", 0x80000000u, 7, 0, hub), 0u);
    struct Case {
        const char* what;
        uint8_t index;
        uint16_t language;
        uint32_t error;
        std::string descriptor;
    } cases[] = {
        {"the language list as the device gave it", 0, 0, 0, bytes_of("060309041504")},
        {"English", 1, 0x0409, 0, bytes_of("0a03410063006d006500")},
        {"Polish, the device's second language", 1, 0x0415, 0, bytes_of("0a0341006b006d006500")},
        {"a request the device failed", 2, 0x0409, 31, ""},
        {"a language the device does not list", 1, 0x0407, 31, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint8_t request[12 + 255] = {1, 0, 0, 0, 0x80, 6, c.index, 3, uint8_t(c.language), uint8_t(c.language >> 8), 255, 0};
        uint32_t returned = 0;
        EXPECT_EQ(devices.control(hub, model::usb_ioctl::get_descriptor_from_node_connection, request, sizeof request,
                                  request, sizeof request, returned), c.error);
        if (!c.error) {
            ASSERT_GE(returned, 12u);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(request) + 12, returned - 12), c.descriptor);
        }
    }
    devices.close(hub);
}

} // namespace
} // namespace sysfs_test
