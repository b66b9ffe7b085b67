// Windows' share modes between the processes of the Linux backend, kept with open file
// description (OFD) locks that every handle holds on its file, far beyond any data.
//
// For each right (read, write, delete) the locks live in a region of their own. A handle that
// uses the right holds a shared lock on the whole region; a handle that does not share it holds an
// exclusive lock on one byte of the region, its own slot. A use and a denial of the same right
// always overlap, two uses never conflict, and two denials never meet (their slots differ), so the
// lock call itself finds every conflict: nothing is probed afterwards, and of two opens racing the
// kernel lets the second see the first.
#pragma once

#include <cstdint>
#include <string>

namespace platform::posix {

// The data rights of a handle, as sharing sees them.
constexpr uint32_t want_read = 1;
constexpr uint32_t want_write = 2;
constexpr uint32_t want_delete = 4;

// What a descriptor must be open for to hold the locks of a handle: reading for its uses (shared
// locks), writing for its denials (exclusive locks).
bool lock_needs_read(uint32_t rights);
bool lock_needs_write(uint32_t share_mode);
// A new descriptor of the file `fd` is open on at `native`, open as `access_mode` (O_RDONLY,
// O_WRONLY or O_RDWR): the locks of a handle whose own descriptor cannot hold them. Reopened
// through /proc/self/fd, or by the path when /proc is not there (then only when the path still
// names that file). -1 when it cannot be had, with `error` the errno of why (EBUSY: the path
// names another file now).
int open_lock_descriptor(int fd, int access_mode, const std::string& native, int& error);
// Takes the share-mode locks of a handle with `rights` (want_*) and `share_mode` (share::*) on
// `lock_fd` (open for what lock_needs_* say), its denials in the slot `slot`, which no other
// handle of the machine holds: the process id and `number`, a number of the process's own that no
// other of its open handles has (below 2^20). False when a handle of another open file description
// conflicts (the locks taken are then dropped with the descriptor).
bool take_share_locks(int lock_fd, uint32_t rights, uint32_t share_mode, uint32_t number);
// Whether a handle of another process (or description) that does not share deletion has `native`
// open, or, with `any`, whether any handle at all has it open with a right or a denial.
bool open_elsewhere(const std::string& native, bool any);

} // namespace platform::posix
