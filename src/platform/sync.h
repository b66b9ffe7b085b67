// Named mutexes, events, waits and sleep: CreateMutexW/OpenMutexW, CreateEventW/SetEvent/
// ResetEvent, DuplicateHandle of another process's event, WaitForSingleObject/
// WaitForMultipleObjects and Sleep.
//
// The program holds its named mutexes only to be seen: a mutex exists while some process has a
// handle to it, and other instances probe for it (MutexPresent). Nobody waits on a mutex, so the
// waits here are for events.
//
// Names: the program names its objects "Global\\..." (machine-wide on Windows; names without the
// prefix are per session there). posix has one namespace: "Global\\", "Local\\" and bare names
// all name it. Windows keeps mutexes and events in one namespace; posix keeps them apart.
// Names are case-sensitive on both.
//
// posix: a mutex is a lock file under <root>/objects/ on which every handle keeps a shared
// open-file-description lock; the kernel drops the lock when the handle is closed or its process
// dies (killed included), so "present" means "some live process holds a handle". An event is a
// FIFO under <root>/objects/ opened by every handle: a byte in it is the signalled state (set
// writes one, reset drains, a manual-reset wait only polls, an auto-reset wait takes the byte).
// Each event handle is also published as <root>/objects/handle.<pid>.<value>, which is how another
// process opens it from the value alone (open_event_of). The posix waits take event handles of
// this family only (a mutex, process or foreign value gives 6); nothing in the program waits on
// anything else. Object files are their owner's alone (mode 0600), so another user can neither
// hold a mutex of ours nor block it; a file of another user (neither this one nor root) in the
// objects folder names no object of ours: opening by name gives 2, creating replaces it where this
// user may remove it, else 5. Another user probing a mutex it may not open sees it held (5) while
// some process holds it, through /proc/locks. No lock is waited for longer than a few seconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace platform {

// A time-out that never ends (INFINITE).
constexpr uint32_t infinite = 0xFFFFFFFFu;

// WaitForMultipleObjects takes at most this many handles (MAXIMUM_WAIT_OBJECTS).
constexpr size_t max_wait_handles = 64;

class Sync {
public:
    virtual ~Sync() = default;

    // CreateMutexW(default security, not initially owned, name). 0 with a handle for a new mutex;
    // 183 *with a handle* when the mutex already existed (the caller usually closes it at once);
    // another error without a handle (6 on Windows when the name belongs to an event).
    virtual Error create_mutex(const std::u16string& name, Handle& out) = 0;
    // OpenMutexW(MUTEX_ALL_ACCESS, not inherited, name): 0 with a handle when the mutex exists;
    // 5 when it exists but its security denies this process (it is still present); 2 when no
    // process holds it. It never creates the mutex.
    virtual Error open_mutex(const std::u16string& name, Handle& out) = 0;

    // CreateEventW(default security, manual_reset, initially_set, name). An empty name makes an
    // unnamed event. A named one that already existed gives 183 with a handle to it, its state
    // untouched, as Windows does.
    virtual Error create_event(bool manual_reset, bool initially_set, const std::u16string& name,
                               Handle& out) = 0;
    virtual Error set_event(Handle event) = 0;
    virtual Error reset_event(Handle event) = 0;

    // Opens, for this process, the event that handle `value` names in process `owner_pid` (which
    // may be this process). This is what a driver does with the event handle that a program puts
    // into an I/O control buffer: on Windows the kernel driver works with the value directly,
    // and this call is DuplicateHandle(owner, value, this process, same access); on posix the
    // driver learns the owner from its socket peer and calls this. The new handle is
    // this process's own (close it with close()); it keeps the event alive after the owner closes
    // its handle. 6 when `value` names nothing in that process (on posix: names no event),
    // 87 when the process does not exist.
    virtual Error open_event_of(uint32_t owner_pid, Handle value, Handle& out) = 0;

    // CloseHandle of a mutex or event handle from this family. 6 for a value that names nothing.
    virtual Error close(Handle h) = 0;

    // WaitForMultipleObjects(handles, wait for any, timeout_ms): 0 with `index` set to the first
    // signalled handle in the list (an auto-reset event so reported has been reset by the wait);
    // 258 when the time passed first (infinite never passes); 87 for an empty list or more than
    // max_wait_handles; 6 when a handle names nothing (on posix: names no event of this family).
    virtual Error wait_any(const std::vector<Handle>& handles, uint32_t timeout_ms, size_t& index) = 0;
    // WaitForSingleObject: 0 when signalled, 258 on time-out, otherwise the error.
    virtual Error wait(Handle h, uint32_t timeout_ms) = 0;

    // Sleep.
    virtual void sleep(uint32_t ms) = 0;
};

} // namespace platform
