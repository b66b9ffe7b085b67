#include "platform/posix/file_sharing.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/posix/objects.h"

namespace platform::posix {
namespace {

// Each right's region is 2^44 bytes: a slot is the process id (below 2^22, Linux's largest) times
// 2^20 plus the process's own number. The regions start far beyond any data a file can hold.
constexpr off_t region_bytes = off_t(1) << 44;
constexpr off_t first_region = off_t(1) << 60;
constexpr off_t region(uint32_t right_index) { return first_region + off_t(right_index) * region_bytes; }
constexpr uint32_t slot_numbers = 1u << 20;

constexpr uint32_t right_bits[3] = {want_read, want_write, want_delete};
constexpr uint32_t share_bits[3] = {share::read, share::write, share::del};

} // namespace

bool lock_needs_read(uint32_t rights)
{
    return rights != 0;
}

bool lock_needs_write(uint32_t share_mode)
{
    return (share_mode & (share::read | share::write | share::del)) != (share::read | share::write | share::del);
}

int open_lock_descriptor(int fd, int access_mode, const std::string& native, int& error)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int reopened = ::open(self.c_str(), access_mode | O_CLOEXEC | O_NONBLOCK);
    if (reopened >= 0) return reopened;
    error = errno;
    if (error == EMFILE || error == ENFILE || error == ENOMEM || error == EACCES || error == EPERM || error == EROFS)
        return -1;
    // Without /proc (a chroot, a container that does not mount it) the file is found again by
    // its path, and taken only when it is still the file `fd` is open on.
    const int by_path = ::open(native.c_str(), access_mode | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (by_path < 0) {
        error = errno;
        return -1;
    }
    struct stat opened {}, found {};
    if (::fstat(fd, &opened) == 0 && ::fstat(by_path, &found) == 0 && opened.st_dev == found.st_dev &&
        opened.st_ino == found.st_ino)
        return by_path;
    ::close(by_path);
    error = EBUSY; // the path names another file now: another process replaced it meanwhile
    return -1;
}

bool take_share_locks(int lock_fd, uint32_t rights, uint32_t share_mode, uint32_t number)
{
    // The uses: one shared lock over each run of neighbouring regions whose rights are used (a
    // reader, or a reader and writer, takes one).
    for (uint32_t i = 0; i < 3;) {
        if (!(rights & right_bits[i])) {
            ++i;
            continue;
        }
        uint32_t end = i + 1;
        while (end < 3 && (rights & right_bits[end])) ++end;
        if (objects::lock_byte(lock_fd, region(i), F_RDLCK, false, region(end) - region(i)) != 0) return false;
        i = end;
    }
    // The denials: the handle's own slot in each region whose right it does not share.
    if (!lock_needs_write(share_mode)) return true;
    const off_t slot = off_t(::getpid()) * slot_numbers + off_t(number % slot_numbers);
    for (uint32_t i = 0; i < 3; ++i)
        if (!(share_mode & share_bits[i]) && objects::lock_byte(lock_fd, region(i) + slot, F_WRLCK, false) != 0)
            return false;
    return true;
}

bool open_elsewhere(const std::string& native, bool any)
{
    const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return false;
    // Any lock at all; or a denial of deletion, the only exclusive lock of the delete region.
    const bool held = any ? objects::locked_by_other(fd, region(0), region(3) - region(0))
                          : objects::locked_by_other(fd, region(2), region_bytes, F_RDLCK);
    ::close(fd);
    return held;
}

} // namespace platform::posix
