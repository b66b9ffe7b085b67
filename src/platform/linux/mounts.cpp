// The mount table, the processes that use a device, and the host that reads and unmounts them.
#include "platform/linux/mounts.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/linux/errno_codes.h"

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

} // namespace platform::posix::sysfs
