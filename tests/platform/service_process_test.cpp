// The daemon start of the Linux service manager, from a starting process whose standard
// descriptors are closed (a service manager started without a terminal): the pipes it uses to hear
// of a failed exec and of the driver's readiness must not land where the daemon's /dev/null goes.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../support/fresh_machine.h"
#include "platform/posix/service_process.h"

namespace {

namespace services = platform::posix::services;

std::string executable(const std::filesystem::path& path, const std::string& content)
{
    std::ofstream(path) << content;
    ::chmod(path.c_str(), 0755);
    return path.string();
}

// Runs `body` in a forked copy of this process with descriptors 0, 1 and 2 closed; its result is
// the copy's exit code (0 when every expectation held).
int with_standard_descriptors_closed(int (*body)(const std::string&, const std::string&), const std::string& a,
                                     const std::string& b)
{
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(0);
        ::close(1);
        ::close(2);
        ::_exit(body(a, b));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

TEST(ServiceProcess, StartsWithTheStandardDescriptorsClosed)
{
    platform_test::FreshMachine machine;
    const platform_test::TempFolder folder;
    // A driver that reports ready at once, and a file marked executable that is no program.
    const std::string ready = executable(folder.path() / "ready.sh", "#!/bin/sh\nprintf '\\001' >&\"$ZELMUSB_READY_FD\"\n");
    const std::string not_a_program = executable(folder.path() / "garbage", "\x7f" "ELX not a program\n");

    const int code = with_standard_descriptors_closed(
        [](const std::string& ready, const std::string& garbage) {
            services::Daemon d;
            // The failed exec is reported, not taken for a started daemon.
            if (services::start_daemon(garbage, u"bad", false, d) != 193) return 1;
            if (services::start_daemon(ready, u"drv", true, d) != 0) return 2;
            const platform::Error e = services::wait_ready(d);
            services::kill_now(d.pid);
            return e == 0 ? 0 : e == 1053 ? 3 : 4;
        },
        ready, not_a_program);
    EXPECT_EQ(code, 0) << "1: a failed exec read as success, 2: the driver did not start, 3: the ready byte was lost "
                          "(1053), 4: the ready pipe closed without a byte";
}

// The daemon's standard error: the journal stream of a systemd service (standard error is the
// stream $JOURNAL_STREAM names) is kept, so the daemon's lines join the service's journal; any
// other standard error is replaced by /dev/null, so that a reader of it (a test runner's pipe) is
// not kept waiting for as long as the daemon lives. Each case runs in a forked copy of this
// process whose standard error is a pipe, read to its end once the daemon has written and ended.
TEST(ServiceProcess, KeepsStandardErrorOnlyWhenItIsTheServicesJournal)
{
    platform_test::FreshMachine machine;
    const platform_test::TempFolder folder;
    const std::string speaker = executable(folder.path() / "speaker.sh", "#!/bin/sh\necho 'zelmusb.sys: a line' >&2\n");
    struct Case {
        const char* what;
        const char* journal_stream; // "pipe": the pipe's own device and inode
        const char* heard;
    };
    const Case cases[] = {
        {"standard error is the journal stream", "pipe", "zelmusb.sys: a line\n"},
        {"no JOURNAL_STREAM (a terminal, a test runner)", nullptr, ""},
        {"JOURNAL_STREAM names another stream", "0:1", ""},
        {"JOURNAL_STREAM is no device and inode", "journal", ""},
    };
    for (const Case& c : cases) {
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::dup2(out[1], 2);
            ::close(out[0]);
            ::close(out[1]);
            struct stat st {};
            ::fstat(2, &st);
            const std::string own = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
            if (!c.journal_stream)
                ::unsetenv("JOURNAL_STREAM");
            else
                ::setenv("JOURNAL_STREAM", std::string(c.journal_stream) == "pipe" ? own.c_str() : c.journal_stream, 1);
            services::Daemon d;
            ::_exit(services::start_daemon(speaker, u"drv", false, d) == 0 ? 0 : 1);
        }
        ::close(out[1]);
        std::string heard;
        char buffer[256];
        for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            heard.append(buffer, size_t(n));
        }
        ::close(out[0]);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what << ": the daemon did not start";
        EXPECT_EQ(heard, c.heard) << c.what;
    }
}

} // namespace

#endif
