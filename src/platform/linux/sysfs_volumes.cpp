// The USB disks of sysfs and their drive letters in <platform root>/dosdevices.
#include "platform/linux/sysfs_volumes.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

#include "platform/linux/sysfs_block.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "text/text.h"

namespace platform::posix::sysfs {

// --- sysfs -------------------------------------------------------------------------------------

std::optional<std::string> attribute(const std::string& dir, const char* name)
{
    std::ifstream in(dir + "/" + name);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

bool plain_name(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string block_path(const std::string& name)
{
    if (!plain_name(name)) return {};
    char resolved[PATH_MAX];
    if (!::realpath((class_block + name).c_str(), resolved)) return {};
    return resolved;
}

std::string usb_device_of(const std::string& device_path)
{
    static const std::string devices = "/sys/devices/";
    std::string dir = device_path;
    while (dir.size() > devices.size() && dir.compare(0, devices.size(), devices) == 0) {
        std::ifstream in(dir + "/uevent");
        for (std::string line; std::getline(in, line);)
            if (line == "DEVTYPE=usb_device") return dir;
        dir.resize(dir.find_last_of('/'));
    }
    return {};
}

std::optional<uint64_t> device_number(const std::string& device_path)
{
    const auto text = attribute(device_path, "dev");
    if (!text) return std::nullopt;
    unsigned major_number = 0, minor_number = 0;
    char end = 0;
    if (std::sscanf(text->c_str(), "%u:%u%c", &major_number, &minor_number, &end) != 2) return std::nullopt;
    return uint64_t(makedev(major_number, minor_number));
}

namespace {
std::vector<std::string> entries(const std::string& dir);
} // namespace

std::vector<BlockDevice> block_devices_below(const std::string& usb_device)
{
    std::vector<BlockDevice> found;
    for (const std::string& name : entries(class_block)) {
        const std::string path = block_path(name);
        if (path.compare(0, usb_device.size() + 1, usb_device + "/") != 0) continue;
        if (const auto dev = device_number(path)) found.push_back({name, *dev});
    }
    return found;
}

namespace {

std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (const dirent* e = ::readdir(d))
        if (plain_name(e->d_name)) names.emplace_back(e->d_name);
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool is_partition(const std::string& path)
{
    struct stat st {};
    return ::stat((path + "/partition").c_str(), &st) == 0;
}

std::optional<uint32_t> number_of(const std::string& text)
{
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return uint32_t(std::stoul(text));
}

// Windows numbers disks 0, 1, 2, ... and CD-ROM drives apart; sda, sdb, ... and sr0, sr1, ...
// are the same counts. Other names (never a USB disk today) take their device number.
uint32_t disk_number(const std::string& name, const std::string& path)
{
    if (name.size() > 2 && name.compare(0, 2, "sd") == 0 && name.size() <= 6 &&
        std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= 'a' && c <= 'z'; })) {
        uint32_t n = 0;
        for (size_t i = 2; i < name.size(); ++i) n = n * 26 + uint32_t(name[i] - 'a' + 1);
        return n - 1;
    }
    if (name.size() > 2 && name.compare(0, 2, "sr") == 0)
        if (const auto n = number_of(name.substr(2))) return *n;
    const uint64_t dev = device_number(path).value_or(0);
    return uint32_t(::major(dev) << 20 | (::minor(dev) & 0xFFFFF));
}

uint32_t drive_type_of_disk(const std::string& name, const std::string& path)
{
    if (name.compare(0, 2, "sr") == 0) return 5;
    if (attribute(path, "removable") == "1") return 2;
    return usb_device_of(path).empty() ? 3 : 2;
}

std::vector<Disk> scan()
{
    std::vector<Disk> disks;
    for (const std::string& name : entries(class_block)) {
        const std::string path = block_path(name);
        if (path.empty() || is_partition(path)) continue;
        Disk disk;
        disk.usb_device = usb_device_of(path);
        if (disk.usb_device.empty()) continue;
        disk.name = name;
        disk.cdrom = name.compare(0, 2, "sr") == 0;
        disk.number = disk_number(name, path);
        const uint32_t type = drive_type_of_disk(name, path);
        for (const std::string& sub : entries(path)) {
            const std::string part = path + "/" + sub;
            if (!is_partition(part)) continue;
            const auto number = number_of(attribute(part, "partition").value_or(""));
            if (!number) continue; // a partition that says no number is not one the system can name
            disk.volumes.push_back({0, *number, type, "/dev/" + sub});
        }
        std::sort(disk.volumes.begin(), disk.volumes.end(),
                  [](const Volume& a, const Volume& b) { return a.partition < b.partition; });
        if (disk.volumes.empty()) disk.volumes.push_back({0, 0, type, "/dev/" + name});
        disks.push_back(std::move(disk));
    }
    std::sort(disks.begin(), disks.end(),
              [](const Disk& a, const Disk& b) { return std::pair(a.cdrom, a.number) < std::pair(b.cdrom, b.number); });
    return disks;
}

// --- drive letters -----------------------------------------------------------------------------

std::string link_name(const std::string& dir, char letter, bool device)
{
    return dir + "/" + char(letter - 'A' + 'a') + (device ? "::" : ":");
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::optional<std::string> link_target(const std::string& path)
{
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n < 0) return std::nullopt;
    return std::string(buffer, size_t(n));
}

// The block device name of a `::` link that names one ("/dev/sdb1" gives "sdb1"), else "".
std::string device_of_link(const std::string& target)
{
    if (target.compare(0, 5, "/dev/") != 0) return {};
    const std::string name = target.substr(5);
    return plain_name(name) ? name : std::string();
}

// Serialises the scans of all processes on one platform root; released when destroyed.
class ScanLock {
public:
    ScanLock(const std::string& root, int wait_ms)
    {
        fd_ = ::open((root + "/dosdevices.lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0) return;
        // A file left by an older version or made under another mode is narrowed to its owner.
        struct stat st {};
        if (::fstat(fd_, &st) == 0 && (st.st_mode & 077) && st.st_uid == ::geteuid()) ::fchmod(fd_, 0600);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
        for (;;) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                held_ = true;
                return;
            }
            if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~ScanLock()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    ScanLock(const ScanLock&) = delete;
    ScanLock& operator=(const ScanLock&) = delete;
    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

const Mount* first_mount(const std::vector<Mount>& mounts, const std::string& name, std::optional<uint64_t> dev)
{
    for (const Mount& m : mounts)
        if ((dev && makedev(m.major, m.minor) == *dev) || m.source == "/dev/" + name) return &m;
    return nullptr;
}

// Points `x:` at the volume's mount point, or removes it while the volume is not mounted. Only a
// link is ever replaced or removed: a folder someone made there is left alone.
void update_mount_link(const std::string& link, const Mount* mount)
{
    struct stat st {};
    const bool present = ::lstat(link.c_str(), &st) == 0;
    if (present && !S_ISLNK(st.st_mode)) return;
    if (!mount) {
        if (present) ::unlink(link.c_str());
        return;
    }
    if (present && link_target(link) == mount->mount_point) return;
    if (present) ::unlink(link.c_str());
    ::symlink(mount->mount_point.c_str(), link.c_str());
}

} // namespace

bool trusted_link(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    if (st.st_uid == 0 || st.st_uid == ::geteuid()) return true;
    platform::system().debug_output(text::from_utf8("Drive letter link " + path + " of uid " + std::to_string(st.st_uid) +
                                                    " is ignored: only root and this program's user make them"));
    return false;
}

std::vector<Disk> usb_disks(const std::string& platform_root, int lock_wait_ms)
{
    std::vector<Disk> disks = scan();
    const std::string dir = platform_root + "/dosdevices";
    std::error_code ec;
    std::filesystem::create_directories(platform_root, ec);
    // The letters are the owner's alone whatever the umask: nobody else may point one elsewhere.
    if (::mkdir(dir.c_str(), 0700) == 0) ::chmod(dir.c_str(), 0700);
    if (struct stat st {}; ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
                           (st.st_mode & 077) != 0)
        ::chmod(dir.c_str(), 0700);
    const ScanLock lock(platform_root, lock_wait_ms);
    const bool change = lock.held();

    // Which letter each block device owns; a letter whose device has left sysfs is freed.
    std::map<std::string, char> owner;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        const std::string link = link_name(dir, letter, true);
        if (!exists(link) || !trusted_link(link)) continue;
        const auto target = link_target(link);
        if (!target) continue;
        const std::string name = device_of_link(*target);
        if (name.empty()) continue;
        if (block_path(name).empty()) {
            if (change) {
                ::unlink(link.c_str());
                const std::string mount_link = link_name(dir, letter, false);
                struct stat st {};
                if (::lstat(mount_link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(mount_link.c_str());
            }
            continue;
        }
        owner.emplace("/dev/" + name, letter); // the lowest letter wins when two name one device
    }

    const std::vector<Mount> mounts = change ? parse_mountinfo(host().mountinfo()) : std::vector<Mount>{};
    for (Disk& disk : disks) {
        const std::string disk_path = block_path(disk.name);
        std::vector<Volume> lettered;
        for (Volume& volume : disk.volumes) {
            auto own = owner.find(volume.device);
            if (own == owner.end() && change) {
                for (char letter = 'D'; letter <= 'Z'; ++letter) {
                    const std::string link = link_name(dir, letter, true);
                    if (exists(link) || exists(link_name(dir, letter, false))) continue;
                    if (::symlink(volume.device.c_str(), link.c_str()) != 0) continue; // taken meanwhile
                    own = owner.emplace(volume.device, letter).first;
                    break;
                }
            }
            if (own == owner.end()) continue;
            volume.letter = char16_t(own->second);
            if (change) {
                const std::string name = volume.device.substr(5);
                const std::string path = name == disk.name ? disk_path : disk_path + "/" + name;
                update_mount_link(link_name(dir, own->second, false), first_mount(mounts, name, device_number(path)));
            }
            lettered.push_back(volume);
        }
        disk.volumes = std::move(lettered);
    }
    return disks;
}

} // namespace platform::posix::sysfs
