#include "platform/posix/file_sharing.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/posix/objects.h"

namespace platform::posix {
namespace {

// Sharing between processes: every handle holds shared OFD locks on the file itself, far beyond
// any data, one byte for each right it uses and one for each right it does not share. A new open
// conflicts when another handle denies a right it wants, or uses a right it does not share. The
// locks go with the handle's open file description, so a process that dies releases them.
constexpr off_t share_lock_base = 0x7FFFFFFF00000000LL;
constexpr off_t uses_byte(uint32_t right_index) { return share_lock_base + off_t(right_index); }
constexpr off_t denies_byte(uint32_t right_index) { return share_lock_base + 3 + off_t(right_index); }
constexpr off_t share_lock_bytes = 6;

} // namespace

int open_lock_descriptor(int fd, const std::string& native, int& error)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int reopened = ::open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (reopened >= 0) return reopened;
    error = errno;
    if (error == EMFILE || error == ENFILE || error == ENOMEM) return -1;
    // Without /proc (a chroot, a container that does not mount it) the file is found again by
    // its path, and taken only when it is still the file `fd` is open on.
    const int by_path = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
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

bool take_share_locks(int lock_fd, uint32_t rights, uint32_t share_mode)
{
    static constexpr uint32_t right_bits[3] = {want_read, want_write, want_delete};
    static constexpr uint32_t share_bits[3] = {share::read, share::write, share::del};
    for (uint32_t i = 0; i < 3; ++i) {
        if ((rights & right_bits[i]) && objects::lock_byte(lock_fd, uses_byte(i), F_RDLCK, false) != 0) return false;
        if (!(share_mode & share_bits[i]) && objects::lock_byte(lock_fd, denies_byte(i), F_RDLCK, false) != 0) return false;
    }
    // Both sides lock first and look second, so of two opens racing at least one sees the other.
    for (uint32_t i = 0; i < 3; ++i) {
        if ((rights & right_bits[i]) && objects::locked_by_other(lock_fd, denies_byte(i))) return false;
        if (!(share_mode & share_bits[i]) && objects::locked_by_other(lock_fd, uses_byte(i))) return false;
    }
    return true;
}

bool open_elsewhere(const std::string& native, bool any)
{
    const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return false;
    const bool held = any ? objects::locked_by_other(fd, share_lock_base, share_lock_bytes)
                          : objects::locked_by_other(fd, denies_byte(2));
    ::close(fd);
    return held;
}

} // namespace platform::posix
