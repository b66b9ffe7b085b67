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

// F_OFD_SETLK of one byte (or of `count` bytes from it): 0 or errno. With `wait` it is retried for
// at most lock_wait_limit_ms (then ETIMEDOUT): a process that holds a lock for ever must not hold
// every caller with it.
int lock_byte(int fd, off_t byte, short type, bool wait, off_t count = 1);
constexpr int lock_wait_limit_ms = 5000;
// Whether a description other than `fd`'s holds a lock on any of `count` bytes from `byte` that
// would keep a lock of type `as` from being taken there: any lock for F_WRLCK, an exclusive one
// for F_RDLCK.
bool locked_by_other(int fd, off_t byte, off_t count = 1, short as = F_WRLCK);

// The guard of an object file for the life of the scope.
// When the guard cannot be had in time the scope goes on without it (a stuck holder is a process
// that misbehaves; waiting for it for ever would be worse than the race the guard closes).
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

// Object files are their owner's alone (mode 0600): another user can neither hold a lock on them
// (and so neither hold a mutex of ours nor block its guard) nor take a pipe name from us.
constexpr mode_t file_mode = 0600;

// An object file counts when it belongs to this user or to root. Anything else in the folder was
// put there by another user (a folder shared by all users lets anyone create names in it) and
// names no object of ours: opening by name does not see it, creating replaces it when allowed.
bool trusted_owner(uid_t owner);

// Opens (creating when missing) the object file at `path` for reading and writing. A file of an
// untrusted owner is removed and made anew (EACCES when this user may not remove it); a file of
// this user gets `mode` back if something widened it.
int open_own_file(const std::string& path, int extra_flags = 0, mode_t mode = file_mode);

// An exclusive flock on the lock file at `path` (opened through open_own_file, so no other user
// can hold it shared), waited for at most lock_wait_limit_ms. The descriptor that holds it (close
// it to release), or -1 with errno set: ETIMEDOUT after the wait, which is also traced on the
// debugger output as "<what>: <path> still locked by another process after 5000 ms".
int hold_lock_file(const std::string& path, std::string_view what);

// Whether any process holds a lock on the first byte of the file at `path`, seen through
// /proc/locks, so that also a file this user may not open can be probed. False when the file
// does not exist.
bool held_by_anyone(const std::string& path);

// Whether process `pid` exists (a process of another user counts).
bool process_exists(pid_t pid);

} // namespace platform::posix::objects
