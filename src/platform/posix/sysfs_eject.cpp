// The lock, dismount and eject steps of a USB volume, and the parts of the running system they
// read (the mount table, the processes) behind Host.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/posix/common.h"
#include "platform/posix/sysfs_block.h"
#include "platform/posix/sysfs_volumes.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "text/text.h"

namespace platform::posix::sysfs {

// --- the mount table -----------------------------------------------------------------------------

namespace {

// Undoes the octal escapes (\040 for a blank, \134 for a backslash) of a mountinfo field.
std::string unescape(std::string_view field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            std::all_of(field.begin() + long(i) + 1, field.begin() + long(i) + 4, [](char c) { return c >= '0' && c <= '7'; })) {
            out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

} // namespace

std::vector<Mount> parse_mountinfo(std::string_view text)
{
    std::vector<Mount> mounts;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        std::vector<std::string_view> fields;
        for (size_t at = 0; at < line.size();) {
            const size_t blank = std::min(line.find(' ', at), line.size());
            if (blank > at) fields.push_back(line.substr(at, blank - at));
            at = blank + 1;
        }
        // id parent major:minor root mount-point options [optional fields...] - type source options
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 6 || dash == fields.end() || dash - fields.begin() < 6 || fields.end() - dash < 3) continue;
        Mount m;
        const std::string numbers(fields[2]);
        char rest = 0;
        if (std::sscanf(numbers.c_str(), "%u:%u%c", &m.major, &m.minor, &rest) != 2) continue;
        m.mount_point = unescape(fields[4]);
        m.source = unescape(dash[2]);
        mounts.push_back(std::move(m));
    }
    return mounts;
}

// --- the processes ---------------------------------------------------------------------------------

bool processes_use(const std::string& proc_root, std::span<const uint64_t> devs)
{
    const std::set<uint64_t> wanted(devs.begin(), devs.end());
    const auto uses = [&](const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return false;
        if (S_ISBLK(st.st_mode) && wanted.count(uint64_t(st.st_rdev))) return true;
        return wanted.count(uint64_t(st.st_dev)) != 0;
    };
    DIR* procs = ::opendir(proc_root.c_str());
    if (!procs) return false;
    bool found = false;
    while (const dirent* p = found ? nullptr : ::readdir(procs)) {
        const std::string pid = p->d_name;
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
        const std::string dir = proc_root + "/" + pid;
        found = uses(dir + "/cwd") || uses(dir + "/root") || uses(dir + "/exe");
        if (DIR* fds = found ? nullptr : ::opendir((dir + "/fd").c_str())) {
            while (const dirent* f = found ? nullptr : ::readdir(fds))
                if (f->d_name[0] != '.') found = uses(dir + "/fd/" + f->d_name);
            ::closedir(fds);
        }
        // Mapped files name their device in the maps themselves: "addr perms offset 08:11 inode path".
        std::ifstream maps(dir + "/maps");
        for (std::string line; !found && std::getline(maps, line);) {
            std::istringstream fields(line);
            std::string range, perms, offset, device;
            unsigned major_number = 0, minor_number = 0;
            char end = 0;
            if (fields >> range >> perms >> offset >> device &&
                std::sscanf(device.c_str(), "%x:%x%c", &major_number, &minor_number, &end) == 2 &&
                (major_number || minor_number))
                found = wanted.count(uint64_t(makedev(major_number, minor_number))) != 0;
        }
    }
    ::closedir(procs);
    return found;
}

// --- the host ------------------------------------------------------------------------------------

namespace {

class RealHost final : public Host {
public:
    std::string mountinfo() override
    {
        std::ifstream in("/proc/self/mountinfo");
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    Error unmount(const std::string& mount_point) override
    {
        if (::umount2(mount_point.c_str(), UMOUNT_NOFOLLOW) == 0) return err::success;
        return errno == EBUSY || errno == EPERM ? err::access_denied : from_errno(errno);
    }
    bool in_use(std::span<const uint64_t> devs) override { return processes_use("/proc", devs); }
};

std::atomic<Host*> installed{nullptr};

} // namespace

Host& host()
{
    static RealHost real;
    Host* h = installed.load();
    return h ? *h : real;
}

HostOverride::HostOverride(Host& replacement) : previous_(installed.exchange(&replacement)) {}

HostOverride::~HostOverride()
{
    installed.store(previous_);
}

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
