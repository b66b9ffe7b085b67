#include "platform/posix/service_process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <linux/close_range.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/common.h"
#include "platform/posix/root.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "text/text.h"

extern char** environ;

namespace platform::posix::services {
namespace {

bool is_file(const std::string& p)
{
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Marks every descriptor above the standard ones close-on-exec (async-signal-safe: used after
// fork), so that descriptors of the starting process that lack it (a lock file among them) do not
// live on in the daemon.
void close_on_exec_all(int highest)
{
#if defined(SYS_close_range) && defined(CLOSE_RANGE_CLOEXEC)
    if (::syscall(SYS_close_range, 3u, ~0u, unsigned(CLOSE_RANGE_CLOEXEC)) == 0) return;
#endif
    for (int fd = 3; fd < highest; ++fd) {
        const int f = ::fcntl(fd, F_GETFD);
        if (f >= 0) ::fcntl(fd, F_SETFD, f | FD_CLOEXEC);
    }
}

// Both ends of a close-on-exec pipe on descriptors above the standard ones. A starting process
// with 0, 1 or 2 closed would get a pipe end there, and the child's dup2 of /dev/null onto the
// standard descriptors would then replace it: the ready byte would go nowhere, and a failed exec
// would read as a success.
int pipe_above_standard(int ends[2])
{
    if (::pipe2(ends, O_CLOEXEC) != 0) return errno;
    for (int i = 0; i < 2; ++i) {
        if (ends[i] > 2) continue;
        const int moved = ::fcntl(ends[i], F_DUPFD_CLOEXEC, 3);
        const int e = errno;
        ::close(ends[i]);
        ends[i] = moved;
        if (moved < 0) {
            if (ends[1 - i] >= 0) ::close(ends[1 - i]);
            ends[0] = ends[1] = -1;
            return e;
        }
    }
    return 0;
}

struct ExecFailure {
    int error;
};

// Whether standard error is the journal's stream of a systemd service: systemd names that stream
// in $JOURNAL_STREAM as "<device>:<inode>". A daemon keeps it, so that its trace lines reach the
// service's journal; any other standard error (a terminal, a test runner's pipe) is not kept.
bool standard_error_is_journal()
{
    const char* named = std::getenv("JOURNAL_STREAM");
    if (!named || !*named) return false;
    unsigned long long device = 0, inode = 0;
    char rest = 0;
    if (std::sscanf(named, "%llu:%llu%c", &device, &inode, &rest) != 2) return false;
    struct stat st {};
    return ::fstat(STDERR_FILENO, &st) == 0 && st.st_dev == dev_t(device) && st.st_ino == ino_t(inode);
}

} // namespace

std::string program_of_command_line(const std::u16string& image_path)
{
    const std::u16string& s = image_path;
    size_t begin = 0;
    while (begin < s.size() && (s[begin] == u' ' || s[begin] == u'\t')) ++begin;
    if (begin < s.size() && s[begin] == u'"') {
        const size_t end = s.find(u'"', begin + 1);
        return native_path(s.substr(begin + 1, end == std::u16string::npos ? std::u16string::npos : end - begin - 1));
    }
    const std::string whole = native_path(s.substr(begin));
    if (is_file(whole)) return whole;
    const size_t blank = s.find_first_of(u" \t", begin);
    return native_path(s.substr(begin, blank == std::u16string::npos ? std::u16string::npos : blank - begin));
}

Error start_daemon(const std::string& program, const std::u16string& service_name, bool with_ready_pipe,
                   Daemon& daemon)
{
    daemon = Daemon{};
    if (!is_file(program)) return err::file_not_found;
    if (::access(program.c_str(), X_OK) != 0) return err::access_denied;

    int ready[2] = {-1, -1};
    if (with_ready_pipe) {
        if (const int e = pipe_above_standard(ready)) return from_errno(e);
    }
    int report[2];
    if (const int failed = pipe_above_standard(report)) {
        const Error e = from_errno(failed);
        if (ready[0] >= 0) ::close(ready[0]), ::close(ready[1]);
        return e;
    }

    // Everything the child needs is made before fork: after it only async-signal-safe calls.
    std::vector<std::string> env_text;
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, "ZELMUSB_SERVICE_NAME=", 21) == 0 || std::strncmp(*e, "ZELMUSB_READY_FD=", 17) == 0)
            continue;
        env_text.emplace_back(*e);
    }
    env_text.push_back("ZELMUSB_SERVICE_NAME=" + text::to_utf8(service_name));
    if (with_ready_pipe) env_text.push_back("ZELMUSB_READY_FD=" + std::to_string(ready[1]));
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string argv0 = program;
    char* argv[] = {argv0.data(), nullptr};
    const bool keep_journal = standard_error_is_journal();
    const long open_max = ::sysconf(_SC_OPEN_MAX);
    const int highest = open_max > 0 && open_max < 65536 ? int(open_max) : 65536;

    const pid_t child = ::fork();
    if (child < 0) {
        const Error e = from_errno(errno);
        for (int fd : {ready[0], ready[1], report[0], report[1]})
            if (fd >= 0) ::close(fd);
        return e;
    }
    if (child == 0) {
        ::setsid();
        const int null = ::open("/dev/null", O_RDWR);
        // A service has no terminal of its own: its trace goes where every process's goes
        // ($ZELMUSB_TRACE_FILE, inherited). Keeping the starter's standard error would also keep
        // whoever reads it (a test runner's pipe) waiting for as long as the daemon lives; the
        // journal of a systemd service is kept, and the daemon's lines join the service's.
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            if (!keep_journal) ::dup2(null, 2);
            if (null > 2) ::close(null);
        }
        close_on_exec_all(highest);
        // The ready end is the one descriptor the daemon inherits on purpose; the report pipe
        // closes by itself at exec.
        if (with_ready_pipe) ::fcntl(ready[1], F_SETFD, 0);
        // The daemon starts with the signal dispositions and mask of a new program, so that its
        // stop control (SIGTERM) reaches it whatever the starting thread had blocked.
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(argv[0], argv, envp.data());
        const ExecFailure f{errno};
        [[maybe_unused]] ssize_t n = ::write(report[1], &f, sizeof f);
        ::_exit(127);
    }

    ::close(report[1]);
    if (ready[1] >= 0) ::close(ready[1]);
    ExecFailure failure{};
    ssize_t n;
    while ((n = ::read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (n == sizeof failure) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        if (ready[0] >= 0) ::close(ready[0]);
        if (failure.error == ENOENT) return err::file_not_found;
        if (failure.error == ENOEXEC) return err::bad_exe_format;
        return from_errno(failure.error);
    }
    daemon.pid = child;
    daemon.ready_fd = ready[0];
    return err::success;
}

Error wait_ready(Daemon& daemon)
{
    const uint32_t began = platform::system().tick_count();
    Error result = err::service_request_timeout;
    for (;;) {
        pollfd pfd{daemon.ready_fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, 0);
        if (ready > 0) {
            // One byte 1: it serves its device. A zero byte and a 32-bit code: it cannot, and why
            // (one write, so it arrives whole). Nothing: it ended without a word.
            uint8_t word[5] = {0};
            ssize_t n;
            while ((n = ::read(daemon.ready_fd, word, sizeof word)) < 0 && errno == EINTR) {
            }
            const Error code = uint32_t(word[1]) | uint32_t(word[2]) << 8 | uint32_t(word[3]) << 16 |
                               uint32_t(word[4]) << 24;
            if (n >= 1 && word[0] == 1) result = err::success;
            else if (n == 5 && word[0] == 0 && code != 0) result = code;
            else result = err::gen_failure;
            break;
        }
        int status = 0;
        if (::waitpid(daemon.pid, &status, WNOHANG) == daemon.pid) {
            daemon.pid = 0; // reaped: it ended before it served its device
            result = err::gen_failure;
            break;
        }
        if (platform::system().tick_count() - began >= driver_ready_bound_ms) break;
        platform::sync().sleep(10);
    }
    ::close(daemon.ready_fd);
    daemon.ready_fd = -1;
    return result;
}

void reap_later(pid_t pid)
{
    if (pid <= 0) return;
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

void kill_now(pid_t pid)
{
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace platform::posix::services
