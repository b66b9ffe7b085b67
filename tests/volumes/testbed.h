// A umockdev testbed that this process sees as /sys, with USB sticks, CD drives and SATA disks
// built into it, a scratch platform root for the drive letters, and a scripted host for the mount
// table, the unmount calls and the process scan.
//
// The volume code writes to /sys (a USB device's `remove`): nothing runs unless the testbed's
// SetUp found /sys to be the testbed.
#pragma once

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "../sysfs/testbed.h"
#include "platform/linux/sysfs_volumes.h"

namespace volumes_test {

namespace sysfs = platform::posix::sysfs;

// The mount table and the process scan as a test scripts them; unmounting drops the lines.
class ScriptedHost final : public sysfs::Host {
public:
    std::vector<std::string> lines; // mountinfo lines
    bool busy = false;
    platform::Error unmount_error = 0;
    std::vector<std::string> unmounted;
    std::vector<std::vector<uint64_t>> asked; // the device numbers of every in_use question

    // One mountinfo line: "8:17", "/media/u/STICK\\040A", "/dev/sdb1".
    void mount(const std::string& numbers, const std::string& point, const std::string& source,
               const std::string& type = "vfat")
    {
        lines.push_back(std::to_string(100 + lines.size()) + " 29 " + numbers + " / " + point +
                        " rw,nosuid shared:412 - " + type + " " + source + " rw");
    }

    std::string mountinfo() override
    {
        std::string text;
        for (const std::string& l : lines) text += l + "\n";
        return text;
    }
    platform::Error unmount(const std::string& point) override
    {
        unmounted.push_back(point);
        if (unmount_error) return unmount_error;
        std::erase_if(lines, [&](const std::string& l) {
            return sysfs::parse_mountinfo(l).at(0).mount_point == point;
        });
        return 0;
    }
    bool in_use(std::span<const uint64_t> devs) override
    {
        asked.emplace_back(devs.begin(), devs.end());
        return busy;
    }
};

// The sysfs machine tests' testbed (its SetUp makes sure /sys is the testbed before anything
// runs), with the platform root and the scripted host of the volume code.
class Testbed : public sysfs_test::Testbed {
protected:
    static constexpr const char* root_hub = "/devices/pci0000:00/0000:00:14.0/usb1";

    void SetUp() override
    {
        sysfs_test::Testbed::SetUp();
        if (HasFatalFailure()) return;
        root_ = std::filesystem::temp_directory_path() / ("zelmusb-volumes-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(root_);
        add("P: " + std::string(root_hub) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: busnum=1\n");
    }

    void TearDown() override
    {
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored); // never follows the letter links
        sysfs_test::Testbed::TearDown();
    }

    // A USB device on a port of the root hub ("1-1"), with a `remove` attribute when asked; its
    // sysfs path.
    std::string usb_port(const std::string& port, bool removable_attribute = true)
    {
        const std::string path = std::string(root_hub) + "/" + port;
        add("P: " + path + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: busnum=1\n" +
            (removable_attribute ? "A: remove=\n" : ""));
        add("P: " + path + "/" + port + ":1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceClass=08\n");
        return "/sys" + path;
    }

    // A whole disk below a USB device's mass-storage interface (or below a SATA port when `usb` is
    // empty); `attributes` are extra "A: name=value" lines. Its sysfs path without "/sys".
    std::string scsi_disk(const std::string& usb_path, int host, const std::string& name, const std::string& dev,
                     const std::string& attributes = "A: removable=1\n")
    {
        const std::string h = std::to_string(host);
        const std::string chain = "/host" + h + "/target" + h + ":0:0/" + h + ":0:0:0/block/" + name;
        const std::string path = usb_path.empty()
                                     ? "/devices/pci0000:00/0000:00:17.0/ata" + h + chain
                                     : usb_path.substr(4) + "/" + usb_path.substr(usb_path.rfind('/') + 1) + ":1.0" + chain;
        add("P: " + path + "\nE: SUBSYSTEM=block\nE: DEVTYPE=disk\nE: DEVNAME=/dev/" + name +
            "\nA: size=2048\nA: dev=" + dev + "\n" + attributes);
        return path;
    }

    void partition(const std::string& disk_path, const std::string& name, const std::string& number,
                   const std::string& dev)
    {
        add("P: " + disk_path + "/" + name + "\nE: SUBSYSTEM=block\nE: DEVTYPE=partition\nE: DEVNAME=/dev/" + name +
            "\nA: partition=" + number + "\nA: dev=" + dev + "\nA: size=1024\n");
    }

    void unplug(const std::string& path_without_sys) { umockdev_testbed_remove_device(tb_, ("/sys" + path_without_sys).c_str()); }

    // What the program wrote into an attribute of the testbed, read from the testbed's own folder.
    std::string written(const std::string& sys_path) const
    {
        std::ifstream in(testbed_dir_ + sys_path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // The target of a letter link ("d::"), or "-" when there is none.
    std::string link(const std::string& name) const
    {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(root_ / "dosdevices" / name, ec);
        return ec ? "-" : target.string();
    }
    void make_link(const std::string& name, const std::string& target) const
    {
        std::filesystem::create_directories(root_ / "dosdevices");
        std::filesystem::create_symlink(target, root_ / "dosdevices" / name);
    }

    std::string root() const { return root_.string(); }

    std::filesystem::path root_;
    ScriptedHost host_;
    sysfs::HostOverride override_{host_};
};

} // namespace volumes_test
