#include "platform/posix/file_sharing.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/files.h"

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

// Whether another open file description holds a lock on any of `count` bytes from `start`.
bool locked_elsewhere(int fd, off_t start, off_t count)
{
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    l.l_start = start;
    l.l_len = count;
    if (::fcntl(fd, F_OFD_GETLK, &l) != 0) return false;
    return l.l_type != F_UNLCK;
}

bool lock_shared(int fd, off_t byte)
{
    struct flock l {};
    l.l_type = F_RDLCK;
    l.l_whence = SEEK_SET;
    l.l_start = byte;
    l.l_len = 1;
    for (;;) {
        if (::fcntl(fd, F_OFD_SETLK, &l) == 0) return true;
        if (errno != EINTR) return false;
    }
}

} // namespace

int open_lock_descriptor(int fd)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

bool take_share_locks(int lock_fd, uint32_t rights, uint32_t share_mode)
{
    static constexpr uint32_t right_bits[3] = {want_read, want_write, want_delete};
    static constexpr uint32_t share_bits[3] = {share::read, share::write, share::del};
    for (uint32_t i = 0; i < 3; ++i) {
        if ((rights & right_bits[i]) && !lock_shared(lock_fd, uses_byte(i))) return false;
        if (!(share_mode & share_bits[i]) && !lock_shared(lock_fd, denies_byte(i))) return false;
    }
    // Both sides lock first and look second, so of two opens racing at least one sees the other.
    for (uint32_t i = 0; i < 3; ++i) {
        if ((rights & right_bits[i]) && locked_elsewhere(lock_fd, denies_byte(i), 1)) return false;
        if (!(share_mode & share_bits[i]) && locked_elsewhere(lock_fd, uses_byte(i), 1)) return false;
    }
    return true;
}

bool open_elsewhere(const std::string& native, bool any)
{
    const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return false;
    const bool held = any ? locked_elsewhere(fd, share_lock_base, share_lock_bytes)
                          : locked_elsewhere(fd, denies_byte(2), 1);
    ::close(fd);
    return held;
}

} // namespace platform::posix
