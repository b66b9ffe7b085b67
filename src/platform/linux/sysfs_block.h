// Reading block devices from sysfs, shared by the volume scan and the ejection steps
// (sysfs_volumes.h states what they promise). Every path is below /sys, which umockdev replaces.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::posix::sysfs {

// Where the kernel lists every block device, whole disks and partitions, by name.
inline const std::string class_block = "/sys/class/block/";

// The first line of a sysfs attribute without its line end; nothing when it cannot be read.
std::optional<std::string> attribute(const std::string& dir, const char* name);

// The canonical path of a block device (/sys/devices/...), or "" when it is not there.
std::string block_path(const std::string& name);

// The canonical path of the USB device a sysfs device hangs below, or "" when it hangs below none.
std::string usb_device_of(const std::string& device_path);

// The device number in the `dev` attribute ("8:17") as makedev gives it.
std::optional<uint64_t> device_number(const std::string& device_path);

// One block device below a USB device: a whole disk or one of its partitions.
struct BlockDevice {
    std::string name;
    uint64_t dev = 0;
};

// Every block device whose canonical path lies below `usb_device`, partitions included.
std::vector<BlockDevice> block_devices_below(const std::string& usb_device);

// A block device name as it may appear in /dev: no slashes, no dot names.
bool plain_name(const std::string& name);

// Whether the drive letter link at `path` is one to believe: a symbolic link made by root or by
// this program's user. Another user's link is traced and ignored.
bool trusted_link(const std::string& path);

} // namespace platform::posix::sysfs
