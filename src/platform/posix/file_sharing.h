// Windows' share modes between the processes of the Linux backend, kept with open file
// description (OFD) locks that every handle holds on its file, far beyond any data.
#pragma once

#include <cstdint>
#include <string>

namespace platform::posix {

// The data rights of a handle, as sharing sees them.
constexpr uint32_t want_read = 1;
constexpr uint32_t want_write = 2;
constexpr uint32_t want_delete = 4;

// A new descriptor, open for reading, of the file `fd` is open on at `native`: the locks of a
// handle whose own descriptor cannot hold a read lock. Reopened through /proc/self/fd, or by the
// path when /proc is not there (then only when the path still names that file). -1 when it
// cannot be had, with `error` the errno of why (EBUSY: the path names another file now).
int open_lock_descriptor(int fd, const std::string& native, int& error);
// Takes the share-mode locks of a handle with `rights` (want_*) and `share_mode` (share::*) on
// `lock_fd`, a descriptor open for reading; false when a handle of another open file description
// conflicts (the locks taken are then dropped with the descriptor).
bool take_share_locks(int lock_fd, uint32_t rights, uint32_t share_mode);
// Whether a handle of another process (or description) that does not share deletion has `native`
// open, or, with `any`, whether any handle at all has it open with a right or a denial.
bool open_elsewhere(const std::string& native, bool any);

} // namespace platform::posix
