// The lock, dismount and eject steps of a USB volume; what they read of the running system (the
// mount table, the processes) is mounts.h's Host.
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/linux/errno_codes.h"
#include "platform/linux/mounts.h"
#include "platform/linux/sysfs_block.h"
#include "platform/linux/sysfs_volumes.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "text/text.h"

namespace platform::posix::sysfs {

// --- the volume of a letter ---------------------------------------------------------------------

namespace {

struct Target {
    std::string name; // "sdb1"
    std::string path; // its sysfs directory
    uint64_t dev = 0;
    std::string usb_device;
};

Error resolve(const std::string& root, char16_t letter, Target& t)
{
    if (letter >= u'a' && letter <= u'z') letter = char16_t(letter - u'a' + u'A');
    if (letter < u'A' || letter > u'Z') return err::file_not_found;
    char buffer[4096];
    const std::string link = root + "/dosdevices/" + char(letter - u'A' + u'a') + "::";
    if (!trusted_link(link)) return err::file_not_found;
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (n < 0) return err::file_not_found;
    const std::string target(buffer, size_t(n));
    if (target.compare(0, 5, "/dev/") != 0 || !plain_name(target.substr(5))) return err::invalid_function;
    t.name = target.substr(5);
    t.path = block_path(t.name);
    if (t.path.empty()) return device_not_connected;
    t.usb_device = usb_device_of(t.path);
    if (t.usb_device.empty()) return err::invalid_function;
    const auto dev = device_number(t.path);
    if (!dev) return device_not_connected; // its attributes went with it
    t.dev = *dev;
    return err::success;
}

// The device each letter was resolved to when its volume was locked, the first step of an
// ejection: the later steps act on that device, not on whatever the link names by then, and
// refuse when the link no longer names it (someone pointed the letter elsewhere meanwhile).
std::mutex pinned_mutex;
std::map<std::pair<std::string, char16_t>, Target> pinned;

char16_t upper(char16_t letter) { return letter >= u'a' && letter <= u'z' ? char16_t(letter - u'a' + u'A') : letter; }

// The letter's device for a step after the lock: the pinned one, while the link still names it.
Error resolve_pinned(const std::string& root, char16_t letter, Target& t, bool last_step)
{
    Target now;
    const Error e = resolve(root, letter, now);
    std::lock_guard lock(pinned_mutex);
    const auto it = pinned.find({root, upper(letter)});
    if (it == pinned.end()) {
        t = now;
        return e;
    }
    const Target was = it->second;
    if (last_step) pinned.erase(it);
    if (e == err::success && (now.dev != was.dev || now.usb_device != was.usb_device)) {
        platform::system().debug_output(text::from_utf8(std::string("Drive ") + char(upper(letter)) + ": names " + now.name +
                                                        " now, not " + was.name + " that was locked; refused"));
        return err::access_denied;
    }
    if (e != err::success) return e;
    t = was;
    return err::success;
}

bool mounted_from(const Mount& m, uint64_t dev, const std::string& name)
{
    return makedev(m.major, m.minor) == dev || m.source == "/dev/" + name;
}

bool has_holders(const std::string& path)
{
    DIR* d = ::opendir((path + "/holders").c_str());
    if (!d) return false;
    bool any = false;
    while (const dirent* e = any ? nullptr : ::readdir(d)) any = plain_name(e->d_name);
    ::closedir(d);
    return any;
}

} // namespace

namespace {
Error lock_resolved(const Target& t);
} // namespace

Error lock_volume(const std::string& platform_root, char16_t letter)
{
    Target t;
    if (const Error e = resolve(platform_root, letter, t)) return e;
    const Error locked = lock_resolved(t);
    if (locked == err::success) {
        std::lock_guard lock(pinned_mutex);
        pinned[{platform_root, upper(letter)}] = t;
    }
    return locked;
}

namespace {
Error lock_resolved(const Target& t)
{
    if (has_holders(t.path)) return err::access_denied;
    // The file systems mounted from it may carry a device number of their own (btrfs does).
    std::vector<uint64_t> devs{t.dev};
    for (const Mount& m : parse_mountinfo(host().mountinfo())) {
        struct stat st {};
        if (mounted_from(m, t.dev, t.name) && ::stat(m.mount_point.c_str(), &st) == 0 &&
            std::find(devs.begin(), devs.end(), uint64_t(st.st_dev)) == devs.end())
            devs.push_back(uint64_t(st.st_dev));
    }
    return host().in_use(devs) ? err::access_denied : err::success;
}
} // namespace

Error dismount_volume(const std::string& platform_root, char16_t letter)
{
    Target t;
    if (const Error e = resolve_pinned(platform_root, letter, t, false)) return e;
    const std::vector<Mount> mounts = parse_mountinfo(host().mountinfo());
    // Later lines are mounted on top of earlier ones: the innermost goes first.
    for (auto m = mounts.rbegin(); m != mounts.rend(); ++m)
        if (mounted_from(*m, t.dev, t.name))
            if (const Error e = host().unmount(m->mount_point)) return e;
    return err::success;
}

Error eject_volume(const std::string& platform_root, char16_t letter)
{
    Target t;
    if (const Error e = resolve_pinned(platform_root, letter, t, true)) return e;
    // Any volume of the same USB device still mounted or open keeps it attached.
    std::vector<uint64_t> devs;
    const std::vector<Mount> mounts = parse_mountinfo(host().mountinfo());
    for (const BlockDevice& b : block_devices_below(t.usb_device)) {
        devs.push_back(b.dev);
        for (const Mount& m : mounts)
            if (mounted_from(m, b.dev, b.name)) return err::access_denied;
    }
    if (host().in_use(devs)) return err::access_denied;
    const int fd = ::open((t.usb_device + "/remove").c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? device_not_connected : from_errno(errno);
    const ssize_t written = ::write(fd, "1", 1);
    const int write_error = errno;
    ::close(fd);
    if (written == 1) return err::success;
    return write_error == ENODEV || write_error == ENOENT ? device_not_connected : from_errno(write_error);
}

} // namespace platform::posix::sysfs
