// Named mutexes and events of the installed backend, inside one process and across processes.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "child/spawn.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "sync_pipes_support.h"
#include "text/text.h"

namespace {

using platform::Error;
using platform::Handle;
namespace err = platform::err;
using Clock = std::chrono::steady_clock;

// A value that no handle table of a test process reaches.
constexpr Handle nothing = 0x7FFF1230;

class SyncTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (Handle h : handles_) sync.close(h);
    }

    // Keeps a handle to be closed when the test ends.
    Handle keep(Handle h)
    {
        if (h != platform::null_handle) handles_.push_back(h);
        return h;
    }

    // Closes a kept handle now.
    void close_now(Handle h)
    {
        for (auto it = handles_.begin(); it != handles_.end(); ++it) {
            if (*it == h) {
                handles_.erase(it);
                break;
            }
        }
        EXPECT_EQ(sync.close(h), err::success);
    }

    // What the host's MutexPresent answers: open succeeds or is denied.
    bool present(const std::u16string& name)
    {
        Handle h = platform::null_handle;
        const Error e = sync.open_mutex(name, h);
        if (e == err::success) sync.close(h);
        return e == err::success || e == err::access_denied;
    }

    Handle new_event(bool manual_reset = true, bool initially_set = false, const std::u16string& name = {})
    {
        Handle h = platform::null_handle;
        const Error e = sync.create_event(manual_reset, initially_set, name, h);
        EXPECT_TRUE(e == err::success || e == err::already_exists) << e;
        EXPECT_NE(h, platform::null_handle);
        return keep(h);
    }

    testsupport::FreshRoot root_;
    platform::Sync& sync = platform::sync();
    std::vector<Handle> handles_;
};

std::string global8(const std::string& what)
{
    std::string name = "Global\\";
    name += testsupport::unique_name(what);
    return name;
}

std::u16string global(const std::string& what)
{
    return text::from_utf8(global8(what));
}

TEST_F(SyncTest, MutexExistsWhileAnyHandleIsOpen)
{
    const std::u16string name = global("mtx");
    EXPECT_FALSE(present(name));
    Handle probe = platform::null_handle;
    EXPECT_EQ(sync.open_mutex(name, probe), err::file_not_found);
    EXPECT_EQ(probe, platform::null_handle);
    EXPECT_FALSE(present(name)) << "a failed probe must not create the mutex";

    Handle first = platform::null_handle, second = platform::null_handle;
    ASSERT_EQ(sync.create_mutex(name, first), err::success);
    keep(first);
    EXPECT_TRUE(present(name));

    // Windows hands out the existing mutex with 183; the caller decides what to do with it.
    ASSERT_EQ(sync.create_mutex(name, second), err::already_exists);
    ASSERT_NE(second, platform::null_handle);
    keep(second);

    close_now(first);
    EXPECT_TRUE(present(name)) << "the second handle still holds it";
    close_now(second);
    EXPECT_FALSE(present(name));

    // Gone means gone: the next create is a new mutex again.
    Handle again = platform::null_handle;
    EXPECT_EQ(sync.create_mutex(name, again), err::success);
    keep(again);
}

TEST_F(SyncTest, MutexNamesDoNotCollide)
{
    // Names that a careless mapping to file names would fold together.
    const std::string base = testsupport::unique_name("n");
    const std::u16string a = text::from_utf8("Global\\" + base + "_a/b");
    const std::u16string b = text::from_utf8("Global\\" + base + "_a%2Fb");
    const std::u16string c = text::from_utf8("Global\\" + base + "_A/B");
    const std::u16string d = text::from_utf8("Global\\" + base + "_\xC5\xBC\xC3\xB3\xC5\x82w"); // "żółw"
    Handle h = platform::null_handle;
    ASSERT_EQ(sync.create_mutex(a, h), err::success);
    keep(h);
    EXPECT_FALSE(present(b));
    EXPECT_FALSE(present(c)) << "mutex names are case-sensitive";
    EXPECT_FALSE(present(d));
    ASSERT_EQ(sync.create_mutex(d, h), err::success);
    keep(h);
    EXPECT_TRUE(present(d));
}

TEST_F(SyncTest, ManualResetEventStaysSetUntilReset)
{
    Handle ev = new_event(true, false);
    EXPECT_EQ(sync.wait(ev, 0), err::wait_timeout);
    ASSERT_EQ(sync.set_event(ev), err::success);
    ASSERT_EQ(sync.set_event(ev), err::success); // setting a set event changes nothing
    EXPECT_EQ(sync.wait(ev, 0), err::success);
    EXPECT_EQ(sync.wait(ev, 0), err::success) << "a wait must not consume a manual-reset event";
    ASSERT_EQ(sync.reset_event(ev), err::success);
    EXPECT_EQ(sync.wait(ev, 0), err::wait_timeout) << "one reset clears it, however often it was set";

    Handle on = new_event(true, true);
    EXPECT_EQ(sync.wait(on, 0), err::success);
}

TEST_F(SyncTest, AutoResetEventLetsOneWaitThrough)
{
    Handle ev = new_event(false, false);
    ASSERT_EQ(sync.set_event(ev), err::success);
    ASSERT_EQ(sync.set_event(ev), err::success);
    EXPECT_EQ(sync.wait(ev, 0), err::success);
    EXPECT_EQ(sync.wait(ev, 0), err::wait_timeout);
}

TEST_F(SyncTest, WaitTimesOutInBoundedTime)
{
    Handle ev = new_event();
    const auto start = Clock::now();
    EXPECT_EQ(sync.wait(ev, 200), err::wait_timeout);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(took, 150);
    EXPECT_LT(took, 5000);
}

struct WhichCase {
    const char* name;
    bool set_first;
    bool set_second;
    Error expected;
    size_t index;
};

class WaitAnyTest : public SyncTest, public ::testing::WithParamInterface<WhichCase> {};

TEST_P(WaitAnyTest, ReportsTheSignalledEvent)
{
    const WhichCase& c = GetParam();
    Handle stop = new_event();
    Handle request = new_event();
    if (c.set_first) {
        ASSERT_EQ(sync.set_event(stop), err::success);
    }
    if (c.set_second) {
        ASSERT_EQ(sync.set_event(request), err::success);
    }
    size_t index = 99;
    EXPECT_EQ(sync.wait_any({stop, request}, 50, index), c.expected);
    if (c.expected == err::success) {
        EXPECT_EQ(index, c.index);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, WaitAnyTest,
                         ::testing::Values(WhichCase{"second", false, true, err::success, 1},
                                           WhichCase{"first", true, false, err::success, 0},
                                           WhichCase{"both_gives_the_lower", true, true, err::success, 0},
                                           WhichCase{"neither", false, false, err::wait_timeout, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SyncTest, WaitWakesWhenAnotherThreadSets)
{
    Handle stop = new_event();
    Handle request = new_event();
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        sync.set_event(request);
    });
    size_t index = 99;
    const auto start = Clock::now();
    EXPECT_EQ(sync.wait_any({stop, request}, platform::infinite, index), err::success);
    EXPECT_EQ(index, 1u);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    setter.join();
}

TEST_F(SyncTest, NamedEventIsSharedAndKeepsItsState)
{
    const std::u16string name = global("ev");
    Handle a = new_event(true, true, name);
    Handle b = platform::null_handle;
    ASSERT_EQ(sync.create_event(true, false, name, b), err::already_exists);
    keep(b);
    EXPECT_EQ(sync.wait(b, 0), err::success) << "the existing event keeps its state, not the new initial one";
    ASSERT_EQ(sync.reset_event(b), err::success);
    EXPECT_EQ(sync.wait(a, 0), err::wait_timeout);
}

TEST_F(SyncTest, EventOpenedByValueOutlivesTheOwnersHandle)
{
    // What the driver does with the event handle it is given: it keeps its own reference.
    Handle original = platform::null_handle;
    ASSERT_EQ(sync.create_event(true, false, {}, original), err::success);
    Handle theirs = platform::null_handle;
    ASSERT_EQ(sync.open_event_of(testsupport::own_pid(), original, theirs), err::success);
    keep(theirs);
    ASSERT_EQ(sync.set_event(theirs), err::success);
    EXPECT_EQ(sync.wait(original, 0), err::success) << "both handles name one event";
    ASSERT_EQ(sync.reset_event(original), err::success);
    EXPECT_EQ(sync.close(original), err::success);
    ASSERT_EQ(sync.set_event(theirs), err::success);
    EXPECT_EQ(sync.wait(theirs, 0), err::success);
}

TEST_F(SyncTest, HandlesThatNameNothingGiveAnError)
{
    Handle out = platform::null_handle;
    size_t index = 0;
    EXPECT_EQ(sync.set_event(nothing), err::invalid_handle);
    EXPECT_EQ(sync.reset_event(nothing), err::invalid_handle);
    EXPECT_EQ(sync.wait(nothing, 0), err::invalid_handle);
    EXPECT_EQ(sync.close(nothing), err::invalid_handle);
    EXPECT_EQ(sync.open_event_of(testsupport::own_pid(), nothing, out), err::invalid_handle);
    EXPECT_EQ(out, platform::null_handle);

    Handle ev = new_event();
    EXPECT_EQ(sync.wait_any({ev, nothing}, 0, index), err::invalid_handle);
    EXPECT_EQ(sync.wait_any({}, 0, index), err::invalid_parameter);
    EXPECT_EQ(sync.wait_any(std::vector<Handle>(platform::max_wait_handles + 1, ev), 0, index),
              err::invalid_parameter);

    // A closed handle is a handle that names nothing.
    Handle gone = platform::null_handle;
    ASSERT_EQ(sync.create_event(true, true, {}, gone), err::success);
    ASSERT_EQ(sync.close(gone), err::success);
    EXPECT_EQ(sync.open_event_of(testsupport::own_pid(), gone, out), err::invalid_handle);
}

// --- across processes -----------------------------------------------------------------------

// Polls until `cond` holds or 20 seconds have passed.
template <class Cond>
bool eventually(Cond cond)
{
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

enum class Ending { exits, killed };

class MutexHolderTest : public SyncTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(MutexHolderTest, SeenByAnotherProcessUntilTheHolderEnds)
{
    const std::string mutex = global8("held");
    const std::string quit = global8("quit");
    const std::u16string mutex16 = text::from_utf8(mutex);
    Handle quit_event = new_event(true, false, text::from_utf8(quit));

    testchild::Child holder;
    ASSERT_TRUE(holder.start({"hold-mutex", mutex, quit}));
    ASSERT_TRUE(eventually([&] { return present(mutex16) || !holder.running() || holder.wait(0) >= 0; }));
    ASSERT_TRUE(present(mutex16)) << "holder ended with " << holder.wait(0);

    Handle mine = platform::null_handle;
    EXPECT_EQ(sync.create_mutex(mutex16, mine), err::already_exists);
    if (mine != platform::null_handle) {
        EXPECT_EQ(sync.close(mine), err::success);
    }

    if (GetParam() == Ending::exits) {
        ASSERT_EQ(sync.set_event(quit_event), err::success);
        EXPECT_EQ(holder.wait(20000), 0);
    } else {
        holder.kill();
    }
    EXPECT_TRUE(eventually([&] { return !present(mutex16); })) << "the mutex outlived its holder";
}

INSTANTIATE_TEST_SUITE_P(Endings, MutexHolderTest, ::testing::Values(Ending::exits, Ending::killed),
                         [](const auto& info) { return info.param == Ending::exits ? "exits" : "killed"; });

TEST_F(SyncTest, EventSetInAnotherProcessWakesTheWait)
{
    Handle stop = new_event();
    Handle request = new_event();
    testchild::Child driver;
    ASSERT_TRUE(driver.start({"set-event", std::to_string(testsupport::own_pid()), std::to_string(request)}));
    size_t index = 99;
    EXPECT_EQ(sync.wait_any({stop, request}, 20000, index), err::success);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(driver.wait(20000), 0);
}

TEST_F(SyncTest, AnotherProcessGivenAValueThatNamesNothingGetsAnError)
{
    Handle request = new_event();
    testchild::Child driver;
    ASSERT_TRUE(driver.start({"set-event", std::to_string(testsupport::own_pid()), std::to_string(nothing)}));
    EXPECT_EQ(driver.wait(20000), static_cast<int>(err::invalid_handle));
    EXPECT_EQ(sync.wait(request, 0), err::wait_timeout);
}

} // namespace

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include "../support/fresh_machine.h"

namespace {
// A process that takes a mutex file's guard and never lets go holds nobody for long: creating and
// opening the mutex go on within the bound of a lock wait.
TEST(SyncGuard, AHolderOfTheGuardThatNeverLetsGoHoldsNobody)
{
    platform_test::FreshMachine machine;
    auto& sync = platform::sync();
    Handle first = platform::null_handle;
    ASSERT_EQ(sync.create_mutex(u"Global\\guarded", first), err::success);
    const std::filesystem::path file = machine.root() / "objects" / "mutex.guarded";
    const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    l.l_start = 1; // the guard byte
    l.l_len = 1;
    ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &l), 0);

    const auto start = std::chrono::steady_clock::now();
    Handle second = platform::null_handle, opened = platform::null_handle;
    sync.create_mutex(u"Global\\guarded", second);
    sync.open_mutex(u"Global\\guarded", opened);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(15));
    ::close(fd);
    for (Handle h : {first, second, opened})
        if (h != platform::null_handle) sync.close(h);
}
} // namespace
#endif
