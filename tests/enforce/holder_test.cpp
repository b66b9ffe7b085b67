// zelmusb.sys on a running machine, the machine being a umockdev testbed: new USB devices wait
// with `authorized` 0 until the user test's verdict (or the driver's default) decides them; the
// hubs' `authorized_default` is 0 while the driver runs, stays 0 when it is killed, and is put
// back when it is stopped.
#include "holder_fixture.h"

namespace {

using namespace enforce_test;

TEST_F(Holder, NewDevicesWaitForTheVerdict)
{
    start_driver();
    ASSERT_EQ(hub_default("usb1"), "0");
    ASSERT_EQ(hub_default("usb2"), "0");
    register_user_test(3'000'000 /* 300 ms */, true);

    struct Case {
        const char* what;
        std::string name, product;
        const char* expected;
    };
    const Case cases[] = {
        {"the user test admits it", "1-3", "Allowed stick", "1"},
        {"the user test refuses it", "1-4", "Blocked stick", "0"},
        {"no answer in time: the default (admit)", "1-5", "Silent stick", "1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int before = asked_;
        plug(c.name, c.product);
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (asked_ == before && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
        EXPECT_GT(asked_.load(), before) << "the user test was not asked";
        EXPECT_TRUE(becomes(c.name, c.expected)) << authorized(c.name);
    }
    // A device admitted after the refusal shows that the refusal was dealt with before it.
    plug("1-6", "Allowed sentinel");
    ASSERT_TRUE(becomes("1-6", "1"));
    EXPECT_EQ(authorized("1-4"), "0");
    EXPECT_EQ(authorized("1-2"), "1") << "a device present at start keeps its state";
}

TEST_F(Holder, HubsFollowTheHubRule)
{
    start_driver();
    register_user_test(0, false);
    ASSERT_TRUE(hubs_accept(true));
    plug("1-7", "Blocked hub", hub_descriptors);
    EXPECT_TRUE(becomes("1-7", "1")) << "a hub is admitted without asking while hubs are always accepted";
    ASSERT_TRUE(hubs_accept(false));
    plug("1-8", "Blocked hub", hub_descriptors);
    plug("1-9", "Allowed sentinel");
    ASSERT_TRUE(becomes("1-9", "1"));
    EXPECT_EQ(authorized("1-8"), "0") << "a hub is asked like any device otherwise";
}

TEST_F(Holder, BurstOfAHundredDevicesNoneDefaulted)
{
    start_driver();
    // The default would refuse: a device that got it instead of its answer stays 0.
    register_user_test(600'000'000 /* 60 s */, false);
    for (int port = 10; port < 110; ++port) plug("1-" + std::to_string(port), "Allowed burst " + std::to_string(port));
    const auto end = std::chrono::steady_clock::now() + 60s;
    for (int port = 10; port < 110; ++port) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        EXPECT_TRUE(becomes("1-" + std::to_string(port), "1", std::max(left, 0ms))) << port;
    }
    EXPECT_EQ(asked_.load(), 100);
}

TEST_F(Holder, KilledDriverKeepsDevicesHeldAndAStopPutsTheHubsBack)
{
    start_driver();
    register_user_test(0, false);
    plug("1-3", "Allowed before");
    ASSERT_TRUE(becomes("1-3", "1"));

    // Killed outright: nothing is put back, a device arriving now waits.
    EXPECT_TRUE(WIFSIGNALED(stop_driver(SIGKILL)));
    EXPECT_EQ(hub_default("usb1"), "0");
    EXPECT_TRUE(fs::exists(root_ / "drivers" / "zelmusb.hubs"));
    EXPECT_EQ(fs::status(root_ / "drivers" / "zelmusb.hubs").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    plug("1-4", "Allowed meanwhile");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(authorized("1-4"), "0");

    // Started again: the user test is registered again by its worker, and decides.
    start_driver();
    ASSERT_TRUE(registered_within(3s));
    plug("1-5", "Blocked after");
    plug("1-6", "Allowed after");
    ASSERT_TRUE(becomes("1-6", "1"));
    EXPECT_EQ(authorized("1-5"), "0");

    // Stopped (the service manager's stop, as /uninstall does it): the values from before the
    // first start, not the 0 the second start found.
    tester_.reset();
    const int status = stop_driver(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(hub_default("usb1"), "1");
    EXPECT_EQ(hub_default("usb2"), "2");
    EXPECT_FALSE(fs::exists(root_ / "drivers" / "zelmusb.hubs"));
}

} // namespace
