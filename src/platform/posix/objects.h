// Named kernel objects of the emulated machine: files under <root>/objects/ and the locks on them.
//
// Locks are open-file-description locks: they belong to one open() of the file, so two handles
// in one process do not share or release each other's lock (as classic fcntl locks would), and the
// kernel drops them when the last descriptor goes, also when the process is killed.
#pragma once

#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/types.h>

#include "platform/errors.h"

namespace platform::posix::objects {

// <root>/objects, created when missing.
std::string folder();

// The object name without a leading "Global\\" or "Local\\" (both name one namespace here).
std::u16string_view strip_namespace(std::u16string_view name);

// "<kind>.<name>" with every byte outside [A-Za-z0-9._-] of the UTF-8 name written as %XX; when
// that is longer than `limit` bytes, "<kind>.h-<hash of the name>" instead.
std::string file_name(std::string_view kind, std::u16string_view name, size_t limit = 200);

// The lock bytes of an object file: every handle holds a shared lock on `holders`; creating,
// opening and changing an object's state is done under the exclusive `guard`.
constexpr off_t holders = 0;
constexpr off_t guard = 1;

// F_OFD_SETLK / F_OFD_SETLKW of one byte: 0 or errno.
int lock_byte(int fd, off_t byte, short type, bool wait);
// Whether a description other than `fd`'s holds a lock on `byte`.
bool locked_by_other(int fd, off_t byte);

// The guard of an object file for the life of the scope.
class Guard {
public:
    explicit Guard(int fd) : fd_(fd), held_(lock_byte(fd, guard, F_WRLCK, true) == 0) {}
    ~Guard()
    {
        if (held_) lock_byte(fd_, guard, F_UNLCK, false);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    int fd_;
    bool held_;
};

// The Windows code for an errno of a failed open or socket call on an object file.
Error error_from_errno(int e);

// Whether process `pid` exists (a process of another user counts).
bool process_exists(pid_t pid);

} // namespace platform::posix::objects
