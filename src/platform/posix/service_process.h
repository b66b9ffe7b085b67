// The processes a service runs on the emulated machine: a kernel driver's image or an own-process
// service's binary, started as a daemon (own session, standard input, output and error on
// /dev/null, the environment inherited with ZELMUSB_SERVICE_NAME added). Standard error is kept
// when it is the journal stream of a systemd service (as $JOURNAL_STREAM names it), so that a
// daemon started by the zelmarusb service traces into that service's journal.
#pragma once

#include <cstdint>
#include <string>

#include <sys/types.h>

#include "platform/errors.h"

namespace platform::posix::services {

// How long a kernel driver may take to report that it serves its control device.
constexpr uint32_t driver_ready_bound_ms = 10000;

struct Daemon {
    pid_t pid = 0;
    int ready_fd = -1; // read end of the ready pipe (kernel drivers), -1 otherwise
};

// The program of an own-process service's image path (a command line: a quoted first word, or
// the whole text when it names a file, else its first word), as a Linux path.
std::string program_of_command_line(const std::u16string& image_path);

// Starts `program` without arguments. With `with_ready_pipe` the daemon gets ZELMUSB_READY_FD,
// the write end of a pipe whose read end comes back in `daemon.ready_fd`. 0, or the Windows code
// of why the program could not be started (2 missing, 5 not executable, 193 not a program).
Error start_daemon(const std::string& program, const std::u16string& service_name, bool with_ready_pipe,
                   Daemon& daemon);

// Waits, through the platform's sleep and tick count, for the one byte a kernel driver writes
// once it serves its control device: 0 when it came; the driver's own code when it wrote a zero
// byte and a 32-bit Windows code (little-endian) instead (its device cannot be made, say 183);
// 31 when the pipe closed first or the daemon ended, 1053 when nothing came within
// driver_ready_bound_ms. Closes the read end.
Error wait_ready(Daemon& daemon);

// Reaps the daemon when it ends (a thread of this process waits for it), so that it never lingers
// as a zombie while this process lives.
void reap_later(pid_t pid);

// Ends a daemon: SIGKILL, and reaps it.
void kill_now(pid_t pid);

} // namespace platform::posix::services
