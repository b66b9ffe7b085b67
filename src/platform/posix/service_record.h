// One service of the emulated service control manager: its record file under <root>/services/,
// and the processes that the service runs.
//
// A record file is never replaced, only rewritten in place, so that the locks on it stay with it:
// every open service handle, in any process, holds a shared lock on its `holders` byte, and every
// read-modify-write of the record is done under its exclusive `guard` byte (objects.h). A handle
// of a process that died holds nothing any more, since the kernel drops its locks. A record is
// created whole (written under a temporary name, then linked in place) and removed by unlinking
// it under its guard; a handle that finds its file unlinked names a service that is gone.
//
// The state kept in the file is what the last call saw; refresh() brings it up to date with the
// processes themselves (a daemon that exited is STOPPED; a stop that takes longer than its bound
// ends the daemon with SIGKILL).
#pragma once

#include <cstdint>
#include <string>

#include <sys/types.h>

#include "platform/errors.h"
#include "platform/services.h"

namespace platform::posix::services {

// ERROR_SERVICE_NEVER_STARTED and ERROR_PROCESS_ABORTED: a service's exit code before its first
// start, and after its process ended without being asked to stop.
constexpr uint32_t never_started = 1077;
constexpr uint32_t process_aborted = 1067;

// How long a daemon may take to end after SIGTERM before SIGKILL ends it.
constexpr uint64_t stop_bound_ms = 5000;

struct Record {
    ServiceDefinition definition; // desired_access unused
    uint32_t state = service::stopped;
    pid_t pid = 0;                // the service's process while it is not STOPPED
    uint64_t pid_start = 0;       // its start time (/proc/<pid>/stat), against reused ids
    pid_t starter = 0;            // the process waiting for a kernel driver to report ready
    uint64_t stop_requested_ms = 0; // CLOCK_MONOTONIC ms of the stop control
    uint32_t exit_code = never_started; // WIN32_EXIT_CODE while stopped
    bool marked_for_delete = false;
};

std::string encode(const Record& r);
// False when the text is not a sound record.
bool decode(const std::string& text, Record& r);

// <root>/services, and the record file of a service name (names ignore case).
std::string folder();
std::string record_path(std::u16string_view name);

// Reads or rewrites the record of an open record file (the caller holds its guard). A file that
// belongs neither to this user nor to root is refused with 5: it was not written by a service
// manager of this machine.
Error read(int fd, Record& r);
Error write(int fd, const Record& r);
// Whether the open record file is still the one linked under its name.
bool linked(int fd);

// Brings the state up to date with the service's process; true when the record changed.
bool refresh(Record& r);

// Start time of a living process (0 when it is gone or a zombie).
uint64_t process_start_time(pid_t pid);
// Whether `pid` is still the process that started at `start_time`; never for a start time of 0.
bool process_alive(pid_t pid, uint64_t start_time);
// Sends `signal` to `pid` only while it is the process that started at `start_time` (checked
// right before the signal, through a pidfd); true when it was sent. Every signal to a service's
// process goes through here: a record may be stale or forged, and its pid another process's.
bool signal_process(pid_t pid, uint64_t start_time, int signal);
uint64_t monotonic_ms();

// The key of a service below HKLM.
std::u16string registry_key(std::u16string_view name);

} // namespace platform::posix::services
