#include "platform/posix/file_sharing.h"

#include <fcntl.h>
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
