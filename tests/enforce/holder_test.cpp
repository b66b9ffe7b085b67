// zelmusb.sys on a running machine, the machine being a umockdev testbed: new USB devices wait
// with `authorized` 0 until the user test's verdict (or the driver's default) decides them; the
// hubs' `authorized_default` is 0 while the driver runs, stays 0 when it is killed, and is put
// back when it is stopped.
#include <functional>

#include <sys/stat.h>

#include "holder_fixture.h"
#include "platform/platform.h"
#include "platform/posix/hub_values.h"
#include "platform/services.h"
#include "text/text.h"

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

// The kept file spoiled while no driver runs (lost, broken, planted by another user, a link):
// the hubs get their kept values back only from a file that is believed, each hub once with a
// value the kernel takes; otherwise 1, the kernel's default, with a line naming the hub and why.
TEST_F(Holder, HubValuesComeBackOnlyFromAFileThatIsBelieved)
{
    ASSERT_TRUE(in_testbed_);
    namespace hubs = platform::posix::hub_values;
    constexpr uid_t nobody = 65534;
    const fs::path kept = hubs::kept_path();
    const fs::path folder = kept.parent_path();
    const fs::path roots_file = root_ / "root-owned.txt";
    struct Case {
        const char* what;
        std::function<void()> spoil;
        const char* usb1;
        const char* usb2;
        const char* traced; // in the line naming usb1
        bool needs_root = false;
    };
    auto write = [&](const std::string& text) { std::ofstream(kept, std::ios::binary | std::ios::trunc) << text; };
    const Case cases[] = {
        {"intact", [&] { write("usb1 1\nusb2 2\n"); }, "1", "2", nullptr},
        {"intact, a kept 0 goes back as 0", [&] { write("usb1 0\nusb2 2\n"); }, "0", "2", nullptr},
        {"lost", [&] {}, "1", "1", "holds with no kept value"},
        {"empty", [&] { write(""); }, "1", "1", "empty"},
        {"a value the kernel does not take", [&] { write("usb1 garbage\nusb2 2\n"); }, "1", "2", "not one the kernel takes"},
        {"a hub listed twice", [&] { write("usb1 0\nusb2 2\nusb1 0\n"); }, "1", "2", "more than once"},
        {"a line naming no hub", [&] { write("usb1 0\nrm -rf 0\n"); }, "1", "1", "names no root hub"},
        {"too long", [&] { write("usb1 0\n" + std::string(2 << 20, '#')); }, "1", "1", "too long"},
        {"writable by others", [&] { write("usb1 0\nusb2 0\n"); fs::permissions(kept, fs::perms(0666)); }, "1", "1", "writable by other users"},
        {"planted by another user", [&] { write("usb1 0\nusb2 0\n"); (void)::chown(kept.c_str(), nobody, nobody); }, "1", "1", "belongs to uid 65534", true},
        {"a link to a file of root's", [&] { std::ofstream(roots_file) << "usb1 0\nusb2 0\n"; fs::create_symlink(roots_file, kept); }, "1", "1", "symbolic link"},
        {"its folder another user's", [&] { write("usb1 0\nusb2 0\n"); (void)::chown(folder.c_str(), nobody, nobody); }, "1", "1", "folder belongs to uid 65534", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && ::geteuid() != 0) continue;
        fs::remove_all(folder);
        fs::remove(roots_file);
        fs::create_directories(folder);
        fs::permissions(folder, fs::perms::owner_all);
        c.spoil();
        std::ofstream(sys("usb1") + "/authorized_default") << "0";
        std::ofstream(sys("usb2") + "/authorized_default") << "0";
        std::vector<std::string> lines;
        hubs::restore_kept([&](const std::string& line) { lines.push_back(line); });
        EXPECT_EQ(hub_default("usb1"), c.usb1);
        EXPECT_EQ(hub_default("usb2"), c.usb2);
        if (c.traced) {
            const bool named = std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
                return l.find(c.traced) != std::string::npos;
            }) && std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("usb1: ", 0) == 0; });
            EXPECT_TRUE(named) << "no line names usb1 and \"" << c.traced << "\"";
        }
        if (fs::exists(roots_file)) {
            std::ifstream in(roots_file);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "usb1 0\nusb2 0\n") << "a file of root's was changed";
        }
        (void)::chown(folder.c_str(), ::geteuid(), ::getegid());
    }
}

// Keeping never writes through a link planted in the new file's place, and refuses a folder that
// another user owns.
TEST_F(Holder, KeepingWritesNoLinkAndNoFolderOfAnotherUser)
{
    namespace hubs = platform::posix::hub_values;
    const fs::path kept = hubs::kept_path();
    const fs::path roots_file = root_ / "root-owned.txt";
    std::ofstream(roots_file) << "precious\n";
    fs::create_symlink(roots_file, kept.string() + ".new");
    ASSERT_TRUE(hubs::keep({{"usb1", "1"}, {"usb2", "2"}}));
    std::ifstream in(roots_file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious\n");
    EXPECT_FALSE(fs::is_symlink(kept));
    struct stat st{};
    ASSERT_EQ(::stat(kept.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    hubs::Values back;
    EXPECT_EQ(hubs::load(back, [](const std::string&) {}), hubs::Kept::read);
    EXPECT_EQ(back, (hubs::Values{{"usb1", "1"}, {"usb2", "2"}}));
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(kept.parent_path().c_str(), 65534, 65534), 0);
        EXPECT_FALSE(hubs::keep({{"usb1", "1"}}));
        (void)::chown(kept.parent_path().c_str(), 0, 0);
    }
}

// /uninstall while the driver is dead: deleting its service puts the hubs back (the service
// manager does it, as Windows unloads a filter driver with its service), and a driver started
// after a lost file keeps 1 for the hubs it finds at 0, not that 0.
TEST_F(Holder, DeletingTheServiceOfADeadDriverPutsTheHubsBack)
{
    auto& services = platform::services();
    platform::Handle manager = platform::null_handle, service = platform::null_handle;
    ASSERT_EQ(services.open_manager(platform::service::manager_all_access, manager), 0u);
    platform::ServiceDefinition d;
    d.name = u"ZelmUsb";
    d.service_type = platform::service::kernel_driver;
    d.start_type = platform::service::demand_start;
    d.image_path = text::from_utf8(ZELMUSB_LINUX_DRIVER);
    ASSERT_EQ(services.create(manager, d, service), 0u);
    ASSERT_EQ(services.start(service), 0u);
    ASSERT_EQ(hub_default("usb1"), "0");
    // The daemon's pid is not in a driver's status: it is the one process running the image.
    const std::string pid_text = [] {
        std::string out;
        for (const auto& e : fs::directory_iterator("/proc")) {
            std::error_code ec;
            if (fs::read_symlink(e.path() / "exe", ec).string() == ZELMUSB_LINUX_DRIVER) out = e.path().filename().string();
        }
        return out;
    }();
    ASSERT_FALSE(pid_text.empty());
    ::kill(std::stoi(pid_text), SIGKILL);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(hub_default("usb1"), "0");
    ASSERT_EQ(services.remove(service), 0u);
    services.close(service);
    services.close(manager);
    EXPECT_EQ(hub_default("usb1"), "1");
    EXPECT_EQ(hub_default("usb2"), "2");
    EXPECT_FALSE(fs::exists(platform::posix::hub_values::kept_path()));

    // Held again by a driver whose file is then lost: the next driver keeps 1, not the 0 it finds.
    start_driver();
    EXPECT_TRUE(WIFSIGNALED(stop_driver(SIGKILL)));
    fs::remove(platform::posix::hub_values::kept_path());
    start_driver();
    tester_.reset();
    stop_driver(SIGTERM);
    EXPECT_EQ(hub_default("usb1"), "1");
    EXPECT_EQ(hub_default("usb2"), "1");
}

} // namespace
