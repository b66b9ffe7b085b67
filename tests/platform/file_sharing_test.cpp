// Share modes on the Linux backend when a handle's locks need a descriptor of their own (a handle
// open for writing only): without /proc the locks are still taken, and when no descriptor is left
// for them the open fails instead of giving a handle whose share mode nobody sees.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../support/fresh_machine.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix/file_sharing.h"

namespace {

using namespace platform;

constexpr int cannot_set_up = 77;

// Runs `body` in a forked copy of this process; its exit code (0 when every expectation held).
template <class Body>
int in_child(Body body)
{
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

class FileSharingLocks : public ::testing::Test {
protected:
    FileSharingLocks() { std::ofstream(dir.path() / "doc.txt") << "text"; }
    platform_test::FreshMachine machine;
    platform_test::TempFolder dir;
    const std::u16string doc = dir.windows(u"doc.txt");
    const std::string native = (dir.path() / "doc.txt").string();
};

TEST_F(FileSharingLocks, TakenByThePathWhenProcIsNotThere)
{
    const int code = in_child([&] {
        // /proc hidden in a mount namespace of this process alone.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
            return cannot_set_up;
        if (::access("/proc/self/fd", F_OK) == 0) return cannot_set_up;
        Handle h = 0;
        if (files().open(doc, access::generic_write, share::none, disposition::open_existing, attribute::normal, h) !=
            err::success)
            return 1;
        // Another open file description sees the handle's locks.
        if (!platform::posix::open_elsewhere(native, true)) return 2;
        files().close(h);
        return platform::posix::open_elsewhere(native, true) ? 3 : 0;
    });
    if (code == cannot_set_up) GTEST_SKIP() << "no mount namespace with /proc hidden can be made here";
    EXPECT_EQ(code, 0) << "1: the open failed, 2: the handle holds no share locks, 3: its locks outlived it";
}

TEST_F(FileSharingLocks, OpenFailsWhenNoDescriptorIsLeftForThem)
{
    const int code = in_child([&] {
        // Every call made once beforehand, so that the sanitizers' checks of them (which may need
        // descriptors of their own) are done before the room runs out.
        Handle h = 0;
        for (const uint32_t rights : {access::generic_read, access::generic_write}) {
            if (files().open(doc, rights, share::read, disposition::open_existing, attribute::normal, h) != err::success)
                return cannot_set_up;
            files().close(h);
        }
        constexpr uint32_t share_all = share::read | share::write | share::del;
        // Room for exactly one more descriptor: the lowest free one is the last allowed.
        const int lowest_free = ::dup(0);
        if (lowest_free < 0) return cannot_set_up;
        ::close(lowest_free);
        const rlimit limit{rlim_t(lowest_free + 1), rlim_t(lowest_free + 1)};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return cannot_set_up;
        // A reader that shares everything holds its locks on its own descriptor: one is enough.
        if (files().open(doc, access::generic_read, share_all, disposition::open_existing, attribute::normal, h) !=
            err::success)
            return 1;
        files().close(h);
        // A handle with no data access (DELETE alone) that shares nothing: its own descriptor
        // (O_PATH) cannot hold locks, so they need a second one, and there is no room for it.
        constexpr uint32_t delete_access = 0x00010000u;
        const Error e = files().open(doc, delete_access, share::none, disposition::open_existing, attribute::normal, h);
        if (e == err::success) return 2;
        if (e != err::too_many_open_files) return 3;
        // Nothing of the failed open is left behind: the reader opens again.
        if (files().open(doc, access::generic_read, share_all, disposition::open_existing, attribute::normal, h) !=
            err::success)
            return 4;
        return 0;
    });
    ASSERT_NE(code, cannot_set_up);
    EXPECT_EQ(code, 0) << "1: a reader could not open, 2: a handle got no share locks, 3: another "
                          "error than 4, 4: the failed open left a descriptor open";
}

} // namespace

#endif
