// What the volume steps read of the running system and do to it, behind Host so that tests can
// stand in for it: the mount table (/proc/self/mountinfo), the processes that use a device
// (/proc), and the unmount.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace platform::posix::sysfs {

// One line of a mount table.
struct Mount {
    uint32_t major = 0, minor = 0;
    std::string mount_point; // unescaped
    std::string source;      // unescaped ("/dev/sdb1")
};

// The mount table in /proc/self/mountinfo's format; lines that do not parse are skipped.
std::vector<Mount> parse_mountinfo(std::string_view text);

// Whether a process below `proc_root` (normally "/proc") holds one of the block devices `devs`
// open, or a file (open, mapped, or its working directory, root or program) on a file system whose
// device number is one of `devs`. Device numbers as makedev gives them. Processes that cannot be
// read (gone meanwhile, or another user's without the right to look) are passed over.
bool processes_use(const std::string& proc_root, std::span<const uint64_t> devs);

class Host {
public:
    virtual ~Host() = default;
    virtual std::string mountinfo() = 0;                       // the text of /proc/self/mountinfo
    virtual Error unmount(const std::string& mount_point) = 0; // umount2(mount_point, 0)
    virtual bool in_use(std::span<const uint64_t> devs) = 0;   // processes_use("/proc", devs)
};

// The host in force: the real one unless a HostOverride is alive.
Host& host();

class HostOverride {
public:
    explicit HostOverride(Host& replacement);
    ~HostOverride();
    HostOverride(const HostOverride&) = delete;
    HostOverride& operator=(const HostOverride&) = delete;

private:
    Host* previous_;
};

} // namespace platform::posix::sysfs
