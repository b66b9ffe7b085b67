// A umockdev testbed that this process (and every process it starts) sees as /sys: host
// controllers, hubs and devices with their attributes, binary `descriptors` and udev properties,
// built from test code.
//
// Nothing may read or write the real machine: SetUp checks that the preload library is in the
// preload list, that UMOCKDEV_DIR is this testbed's and that a random token planted in the
// testbed reads back through /sys, and stops the test before its body otherwise. The binary runs
// under umockdev-wrapper (tests/CMakeLists.txt).
#pragma once

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <umockdev.h>

namespace sysfs_test {

constexpr const char* pci = "/devices/pci0000:00/0000:00:14.0";

// One USB device of the testbed.
struct UsbSpec {
    std::string name;        // "1-1.2", or "usb1" for a root hub
    std::string descriptors; // hex, blanks allowed: the device descriptor and configuration sets
    std::vector<std::pair<std::string, std::string>> attributes; // besides busnum, devnum, descriptors
    std::vector<std::pair<std::string, std::string>> properties; // udev's (ID_MODEL_FROM_DATABASE, ...)
};

class Testbed : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* preload = std::getenv("LD_PRELOAD");
        ASSERT_TRUE(preload && std::strstr(preload, "libumockdev-preload")) << "run this test under umockdev-wrapper";
        tb_ = umockdev_testbed_new();
        gchar* dir = umockdev_testbed_get_root_dir(tb_);
        testbed_dir_ = dir;
        g_free(dir);
        const char* env = std::getenv("UMOCKDEV_DIR");
        ASSERT_TRUE(env && testbed_dir_ == env) << "UMOCKDEV_DIR is not this test's testbed";
        const std::string token = std::to_string(std::random_device{}());
        add("P: /devices/platform/zelmusb-probe\nE: SUBSYSTEM=platform\nA: token=" + token + "\n");
        std::ifstream probe("/sys/devices/platform/zelmusb-probe/token");
        std::string seen;
        ASSERT_TRUE(std::getline(probe, seen) && seen == token) << "/sys is not the testbed";
        in_testbed_ = true;
    }

    void TearDown() override
    {
        if (tb_) g_object_unref(tb_);
    }

    void add(const std::string& description)
    {
        GError* error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_string(tb_, description.c_str(), &error))
            << (error ? error->message : "") << "\n" << description;
    }

    // The host controller (a PCI function) that the root hubs hang below.
    void controller(const std::string& model = "USB xHCI Compliant Host Controller")
    {
        add(std::string("P: ") + pci + "\nE: SUBSYSTEM=pci\nE: ID_MODEL_FROM_DATABASE=" + model +
            "\nA: vendor=0x8086\nA: device=0xa36d\n");
    }

    // The sysfs path (without "/sys") of a USB device: below the root hub of its bus, each hub
    // of its name in turn ("1-1.2" lies in usb1/1-1/1-1.2).
    static std::string path_of(const std::string& name)
    {
        if (name.rfind("usb", 0) == 0) return std::string(pci) + "/" + name;
        const std::string bus = name.substr(0, name.find('-'));
        std::string path = std::string(pci) + "/usb" + bus;
        for (size_t at = name.find('.'); ; at = name.find('.', at + 1)) {
            path += "/" + name.substr(0, at);
            if (at == std::string::npos) break;
        }
        return path;
    }

    // Hex bytes without the blanks that keep them readable in the tests.
    static std::string hex(const std::string& spaced)
    {
        std::string h;
        for (const char c : spaced)
            if (c != ' ') h += c;
        return h;
    }

    static std::string sys(const std::string& name) { return "/sys" + path_of(name); }

    // A file's first line ("" when it cannot be read).
    static std::string read(const std::string& file)
    {
        std::ifstream in(file);
        std::string line;
        std::getline(in, line);
        return line;
    }
    static std::string authorized(const std::string& name) { return read(sys(name) + "/authorized"); }

    // `authorized` of the device becomes `value` within `limit`.
    static bool becomes(const std::string& name, const std::string& value,
                        std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (authorized(name) != value) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    void usb(const UsbSpec& d, uint32_t devnum)
    {
        const std::string bus = d.name.rfind("usb", 0) == 0 ? d.name.substr(3) : d.name.substr(0, d.name.find('-'));
        std::string text = "P: " + path_of(d.name) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: busnum=" + bus +
                           "\nA: devnum=" + std::to_string(devnum) + "\nH: descriptors=";
        const std::string hex = Testbed::hex(d.descriptors);
        text += hex + "\nA: authorized=1\n";
        // The attributes the kernel derives from the device descriptor, as peers read them.
        if (hex.size() >= 36 && hex.compare(2, 2, "01") == 0)
            text += "A: idVendor=" + hex.substr(18, 2) + hex.substr(16, 2) + "\nA: idProduct=" + hex.substr(22, 2) +
                    hex.substr(20, 2) + "\nA: bDeviceClass=" + hex.substr(8, 2) + "\n";
        for (const auto& [k, v] : d.attributes) text += "A: " + k + "=" + v + "\n";
        for (const auto& [k, v] : d.properties) text += "E: " + k + "=" + v + "\n";
        add(text);
    }

    // A block disk with one partition below a USB device's first interface (for the volumes).
    void disk(const std::string& usb_name, const std::string& disk, int major, int minor, int host = 6)
    {
        const std::string h = std::to_string(host);
        const std::string iface = path_of(usb_name) + "/" + usb_name + ":1.0";
        add("P: " + iface + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceClass=08\n");
        const std::string path = iface + "/host" + h + "/target" + h + ":0:0/" + h + ":0:0:0/block/" + disk;
        add("P: " + path + "\nE: SUBSYSTEM=block\nE: DEVTYPE=disk\nE: DEVNAME=/dev/" + disk +
            "\nA: size=2048\nA: removable=1\nA: dev=" + std::to_string(major) + ":" + std::to_string(minor) + "\n");
        add("P: " + path + "/" + disk + "1\nE: SUBSYSTEM=block\nE: DEVTYPE=partition\nE: DEVNAME=/dev/" + disk +
            "1\nA: partition=1\nA: dev=" + std::to_string(major) + ":" + std::to_string(minor + 1) +
            "\nA: size=1024\n");
    }

    void remove(const std::string& name)
    {
        umockdev_testbed_remove_device(tb_, ("/sys" + path_of(name)).c_str());
    }

    UMockdevTestbed* tb_ = nullptr;
    std::string testbed_dir_;
    bool in_testbed_ = false;
};

// The example machine of the model's documentation (tests/fixtures/usbinventory/example_machine.json)
// as sysfs shows it: the same descriptors, strings and classes; the stick's disk sdb with sdb1.
inline const std::vector<UsbSpec>& example_devices()
{
    static const std::vector<UsbSpec> devices = {
        {"usb1",
         "12 01 00 03 09 00 03 09 6b 1d 03 00 06 06 03 02 01 01 09 02 1f 00 01 01 00 e0 00 09 04 00 00 01 09 00 00 00 07 05 81 03 04 00 0c 06 30 00 00 02 00",
         {{"speed", "5000"}, {"maxchild", "4"}, {"bConfigurationValue", "1"}, {"product", "xHCI Host Controller"},
          {"manufacturer", "Linux 6.1.0 xhci-hcd"}, {"serial", "0000:00:14.0"}},
         {{"ID_MODEL_FROM_DATABASE", "4.0 root hub"}}},
        {"1-1", "12 01 00 02 09 00 01 40 11 11 22 22 00 01 00 01 00 01 09 02 19 00 01 01 00 e0 00 09 04 00 00 01 09 00 00 00 07 05 81 03 01 00 0c",
         {{"speed", "480"}, {"maxchild", "4"}, {"bConfigurationValue", "1"}, {"product", "USB2.0 Hub"}},
         {{"ID_MODEL_FROM_DATABASE", "Generic USB Hub"}}},
        {"1-1.1", "12 01 10 01 00 00 00 08 33 33 44 44 00 01 01 02 00 01 09 02 22 00 01 01 00 a0 32 09 04 00 00 01 03 01 01 00 09 21 11 01 00 01 22 3f 00 07 05 81 03 08 00 0a",
         {{"speed", "12"}, {"bConfigurationValue", "1"}, {"manufacturer", "Acme"}, {"product", "Acme Keyboard"}},
         {{"ID_MODEL_FROM_DATABASE", "USB Input Device"}}},
        {"1-1.3", "12 01 00 02 ef 02 01 40 55 55 66 66 00 01 01 02 03 01 09 02 39 00 02 01 00 80 32 09 04 00 00 01 03 00 00 00 09 21 11 01 00 01 22 20 00 07 05 81 03 08 00 0a 09 04 01 00 02 ff 00 00 00 07 05 82 02 40 00 00 07 05 02 02 40 00 00",
         {{"speed", "480"}, {"bConfigurationValue", "1"}, {"product", "Combo"}, {"serial", "C0MB0-42"}},
         {{"ID_MODEL_FROM_DATABASE", "USB Composite Device"}, {"ID_VENDOR_FROM_DATABASE", "(Standard USB Host Controller)"}}},
        {"1-3", "12 01 00 02 00 00 00 40 81 07 67 55 00 01 01 02 03 01 09 02 20 00 01 01 00 80 32 09 04 00 00 02 08 06 50 00 07 05 81 02 00 02 00 07 05 02 02 00 02 00",
         {{"speed", "480"}, {"bConfigurationValue", "1"}, {"manufacturer", "Globex"}, {"product", "Stick"}},
         // The serial string does not answer now; udev kept the one read when it was plugged.
         {{"ID_MODEL_FROM_DATABASE", "USB Mass Storage Device"}, {"ID_SERIAL_SHORT", "4C530001"}}},
    };
    return devices;
}

} // namespace sysfs_test
