// The service control manager's meanings, the same table on the emulated manager (Linux) and on
// Wine's real one (Windows build), plus the emulated manager's daemons.
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child/spawn.h"
#include "../support/fresh_machine.h"
#include "../support/virtual_clock.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "platform/services.h"
#include "text/text.h"

#ifndef _WIN32
#include <csignal>
#include <fstream>

#include "platform/posix/services_admin.h"
#include "platform/sync.h"
#include "platform/system.h"
#endif

namespace {

using namespace platform;
using platform_test::cat;

constexpr uint32_t missing_image = 0, child_image = 1;

std::u16string child_program()
{
    return platform_test::built_program(ZELMUSB_SERVICE_CHILD);
}

bool key_exists(const std::u16string& name)
{
    Handle key = null_handle;
    if (registry().open_key(u"SYSTEM\\CurrentControlSet\\services\\" + name, key_access::read, key)) return false;
    registry().close_key(key);
    return true;
}

// A fresh machine (Linux) and a manager handle; every service a test creates is stopped and
// removed at the end, also when the test failed midway.
class ServicesTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(services().open_manager(service::manager_all_access, manager), 0u); }

    void TearDown() override
    {
        for (Handle h : handles)
            if (h) services().close(h);
#ifdef _WIN32
        for (const auto& name : created) {
            Handle h = null_handle;
            if (services().open(manager, name, service::all_access, h)) continue;
            ServiceStatus s;
            if (services().control(h, service::control_stop, s) == 0) wait_state(h, service::stopped);
            services().remove(h);
            services().close(h);
        }
#else
        posix::end_all_services();
#endif
        services().close(manager);
    }

    std::u16string new_name(const std::string& what)
    {
        const std::u16string name = text::from_utf8(platform_test::unique_name("zelmtest-" + what));
        created.push_back(name);
        return name;
    }

    ServiceDefinition definition(const std::u16string& name, uint32_t type, uint32_t image)
    {
        ServiceDefinition d;
        d.name = name;
        d.display_name = name;
        d.service_type = type;
        d.start_type = service::demand_start;
        d.image_path = image == child_image ? child_program() : folder.windows(u"absent.sys");
        return d;
    }

    // Polls the status until the state is `state` (at most 10 s): the last state seen.
    uint32_t wait_state(Handle h, uint32_t state)
    {
        ServiceStatus s;
        for (int i = 0; i < 1000; ++i) {
            if (services().query_status(h, s)) return 0;
            if (s.current_state == state) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return s.current_state;
    }

    platform_test::FreshMachine machine;
    platform_test::TempFolder folder;
    Handle manager = null_handle;
    std::vector<Handle> handles = std::vector<Handle>(4, null_handle);
    std::vector<std::u16string> created;
};

enum class Op { create, open, start, stop, pause, query, wait, remove, close, key_present, key_absent };

constexpr Error same = ~0u;

struct Step {
    Op op;
    int slot = 0;         // which handle
    Error expected = 0;
    uint32_t state = 0;   // the state the call reports (stop, query, wait), when not 0
    Error wine = same;    // what Wine's service manager answers where it differs from Windows
};

struct Case {
    const char* what;
    uint32_t type;
    uint32_t image;
    std::vector<Step> steps;
};

const Case meaning_cases[] = {
    {"a second create of the same name gives 1073",
     service::kernel_driver, missing_image,
     {{Op::create, 0}, {Op::create, 1, err::service_exists}, {Op::key_present}}},
    {"a kernel driver whose image is missing does not start and stays stopped",
     service::kernel_driver, missing_image,
     // Wine's driver host fails to load a missing image with 1114 (ERROR_DLL_INIT_FAILED).
     {{Op::create, 0}, {Op::start, 0, err::file_not_found, 0, 1114}, {Op::query, 0, 0, service::stopped}}},
    {"stopping a stopped service gives 1062 with its status",
     service::kernel_driver, missing_image,
     {{Op::create, 0}, {Op::stop, 0, err::service_not_active, service::stopped}}},
    {"a running service: a second start gives 1056, a control it does not take 1052, a stop ends it",
     service::own_process, child_image,
     {{Op::create, 0}, {Op::pause, 0, err::service_not_active}, {Op::start, 0}, {Op::wait, 0, 0, service::running},
      {Op::start, 0, err::service_already_running}, {Op::pause, 0, err::invalid_service_control},
      {Op::stop, 0},
      {Op::wait, 0, 0, service::stopped}, {Op::stop, 0, err::service_not_active, service::stopped}}},
    {"deleted with a handle open: 1072 until the last handle closes, then 1060 and the key is gone",
     service::kernel_driver, missing_image,
     // A marked service still opens and answers queries; each new handle keeps it longer. Wine
     // does not check the mark at start and tries to load the image.
     {{Op::create, 0}, {Op::open, 1}, {Op::remove, 0}, {Op::remove, 1, err::service_marked_for_delete},
      {Op::close, 0}, {Op::query, 1, 0, service::stopped},
      {Op::start, 1, err::service_marked_for_delete, 0, 1114},
      {Op::create, 2, err::service_marked_for_delete}, {Op::open, 2}, {Op::query, 2, 0, service::stopped},
      {Op::close, 2}, {Op::key_present}, {Op::close, 1}, {Op::open, 2, err::service_does_not_exist},
      {Op::key_absent}}},
    {"deleted with no other handle: gone when its handle closes, the name free again",
     service::kernel_driver, missing_image,
     {{Op::create, 0}, {Op::remove, 0}, {Op::close, 0}, {Op::key_absent},
      {Op::open, 1, err::service_does_not_exist}, {Op::create, 1}, {Op::key_present}}},
};

TEST_F(ServicesTest, MeaningsOfTheCalls)
{
    for (const Case& c : meaning_cases) {
        SCOPED_TRACE(c.what);
        const std::u16string name = new_name("m");
        const ServiceDefinition d = definition(name, c.type, c.image);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            Handle& h = handles[size_t(s.slot)];
            Error got = 0;
            ServiceStatus status;
            switch (s.op) {
            case Op::create: got = services().create(manager, d, h); break;
            case Op::open: got = services().open(manager, name, service::all_access, h); break;
            case Op::start: got = services().start(h); break;
            case Op::stop: got = services().control(h, service::control_stop, status); break;
            case Op::pause: got = services().control(h, 2 /* SERVICE_CONTROL_PAUSE */, status); break;
            case Op::query: got = services().query_status(h, status); break;
            case Op::wait: status.current_state = wait_state(h, s.state); break;
            case Op::remove: got = services().remove(h); break;
            case Op::close:
                got = services().close(h);
                h = null_handle;
                break;
            case Op::key_present: EXPECT_TRUE(key_exists(name)); continue;
            case Op::key_absent: EXPECT_FALSE(key_exists(name)); continue;
            }
#ifdef _WIN32
            EXPECT_EQ(got, s.wine == same ? s.expected : s.wine);
#else
            EXPECT_EQ(got, s.expected);
#endif
            if (s.state) {
                EXPECT_EQ(status.current_state, s.state);
            }
        }
        for (Handle& h : handles) {
            if (h) services().close(h);
            h = null_handle;
        }
    }
}

TEST_F(ServicesTest, CreateWritesTheServiceKey)
{
    const std::u16string name = new_name("key");
    ServiceDefinition d = definition(name, service::kernel_driver, missing_image);
    d.display_name = cat(name, u" display");
    ASSERT_EQ(services().create(manager, d, handles[0]), 0u);

    Handle key = null_handle;
    ASSERT_EQ(registry().open_key(u"SYSTEM\\CurrentControlSet\\services\\" + name, key_access::read, key), 0u);
    auto dword = [&](const char16_t* value) {
        uint32_t type = 0;
        std::vector<uint8_t> data;
        EXPECT_EQ(registry().query_value(key, value, type, data), 0u) << text::to_utf8(value);
        EXPECT_EQ(type, reg_type::dword);
        return data.size() == 4 ? uint32_t(data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24) : ~0u;
    };
    auto string = [&](const char16_t* value, uint32_t& type) {
        std::vector<uint8_t> data;
        EXPECT_EQ(registry().query_value(key, value, type, data), 0u) << text::to_utf8(value);
        std::u16string s;
        for (size_t i = 0; i + 1 < data.size(); i += 2) s += char16_t(data[i] | data[i + 1] << 8);
        while (!s.empty() && s.back() == 0) s.pop_back();
        return s;
    };
    EXPECT_EQ(dword(u"Type"), service::kernel_driver);
    EXPECT_EQ(dword(u"Start"), service::demand_start);
    EXPECT_EQ(dword(u"ErrorControl"), service::error_normal);
    uint32_t type = 0;
    EXPECT_EQ(string(u"DisplayName", type), d.display_name);
    EXPECT_EQ(type, reg_type::sz);
    const std::u16string image = string(u"ImagePath", type);
    EXPECT_TRUE(type == reg_type::expand_sz || type == reg_type::sz);
    EXPECT_EQ(image, d.image_path);
    registry().close_key(key);
}

TEST_F(ServicesTest, HandlesNameNothingAfterTheyClose)
{
    const std::u16string name = new_name("h");
    ASSERT_EQ(services().create(manager, definition(name, service::kernel_driver, missing_image), handles[0]), 0u);
    Handle narrow = null_handle;
    ASSERT_EQ(services().open(manager, name, service::query_status, narrow), 0u);
    // A handle opened for one right is refused the others.
    EXPECT_EQ(services().start(narrow), err::access_denied);
    EXPECT_EQ(services().remove(narrow), err::access_denied);
    ServiceStatus s;
    EXPECT_EQ(services().query_status(narrow, s), 0u);
    EXPECT_EQ(s.service_type, service::kernel_driver);
    EXPECT_EQ(services().close(narrow), 0u);
}

#ifndef _WIN32
// ---- The emulated manager's processes (Linux) -------------------------------------------------

bool process_gone(pid_t pid)
{
    // Reaped, or a zombie whose parent has not collected it yet.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t paren = text.rfind(')');
    return text.empty() || (paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'Z');
}

pid_t pid_written_by(const std::filesystem::path& root, const std::u16string& name)
{
    std::ifstream in(root / (text::to_utf8(name) + ".pid"));
    int pid = 0;
    in >> pid;
    return pid_t(pid);
}

bool eventually(const std::function<bool()>& condition)
{
    for (int i = 0; i < 1000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

TEST_F(ServicesTest, KernelDriverRunsAsADaemonUntilStopped)
{
    const std::u16string name = new_name("drv");
    Handle& h = handles[0];
    ASSERT_EQ(services().create(manager, definition(name, service::kernel_driver, child_image), h), 0u);
    ASSERT_EQ(services().start(h), 0u);
    // start returns once the driver has reported ready: running at once.
    ServiceStatus s;
    ASSERT_EQ(services().query_status(h, s), 0u);
    EXPECT_EQ(s.current_state, service::running);
    EXPECT_EQ(s.controls_accepted, service::accept_stop);
    const pid_t pid = pid_written_by(machine.root(), name);
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(process_gone(pid));

    // Another process of the machine sees the same state.
    testchild::Child other;
    const std::string release = (folder.path() / "release").string();
    ASSERT_TRUE(other.start_program(ZELMUSB_SERVICE_CHILD, {"hold", text::to_utf8(name), release}));
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(release + ".held"); }));
    std::ofstream(release).put('x');
    EXPECT_EQ(other.wait(10000), 0);

    ASSERT_EQ(services().control(h, service::control_stop, s), 0u);
    EXPECT_TRUE(s.current_state == service::stop_pending || s.current_state == service::stopped);
    EXPECT_EQ(wait_state(h, service::stopped), service::stopped);
    EXPECT_TRUE(eventually([&] { return process_gone(pid); }));
}

TEST_F(ServicesTest, ADriverThatIgnoresTheStopIsEndedAfterTheBound)
{
    const std::u16string name = new_name("stubborn");
    Handle& h = handles[0];
    ASSERT_EQ(services().create(manager, definition(name, service::kernel_driver, child_image), h), 0u);
    ASSERT_EQ(services().start(h), 0u);
    const pid_t pid = pid_written_by(machine.root(), name);
    ASSERT_GT(pid, 0);
    ServiceStatus s;
    ASSERT_EQ(services().control(h, service::control_stop, s), 0u);
    EXPECT_EQ(s.current_state, service::stop_pending);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(services().query_status(h, s), 0u);
    EXPECT_EQ(s.current_state, service::stop_pending);
    // A second stop while it is pending is refused.
    EXPECT_EQ(services().control(h, service::control_stop, s), err::service_cannot_accept_ctrl);
    // Polling past the 5 s bound ends it.
    EXPECT_EQ(wait_state(h, service::stopped), service::stopped);
    EXPECT_TRUE(eventually([&] { return process_gone(pid); }));
}

TEST_F(ServicesTest, KernelDriverThatNeverServesIsNotRunning)
{
    struct Row {
        const char* what;
        const char* kind;
        Error expected;
    };
    const Row rows[] = {
        {"ends before it reports ready", "quit", err::gen_failure},
        {"closes its ready descriptor without a word", "mute", err::gen_failure},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Handle h = null_handle;
        ASSERT_EQ(services().create(manager, definition(new_name(r.kind), service::kernel_driver, child_image), h), 0u);
        EXPECT_EQ(services().start(h), r.expected);
        ServiceStatus s;
        EXPECT_EQ(services().query_status(h, s), 0u);
        EXPECT_EQ(s.current_state, service::stopped);
        services().close(h);
    }
}

TEST_F(ServicesTest, DriverStartIsBoundedWhenReadyNeverComes)
{
    const std::u16string name = new_name("silent");
    Handle& h = handles[0];
    ASSERT_EQ(services().create(manager, definition(name, service::kernel_driver, child_image), h), 0u);
    platform_test::VirtualClock clock(1000);
    clock.real_pause = false;
    Override<System> system_override(&Platform::system, clock);
    Override<Sync> sync_override(&Platform::sync, clock);
    EXPECT_EQ(services().start(h), err::service_request_timeout);
    EXPECT_GE(clock.time.now_ms - 1000, 10000u);
    EXPECT_LT(clock.time.now_ms - 1000, 10100u);
    ServiceStatus s;
    EXPECT_EQ(services().query_status(h, s), 0u);
    EXPECT_EQ(s.current_state, service::stopped);
}

TEST_F(ServicesTest, OwnProcessServiceRunsWhileItsProcessLives)
{
    struct Row {
        const char* what;
        const char* kind;
        bool ends_by_itself;
    };
    for (const Row& r : {Row{"runs until stopped", "own", false}, Row{"ends by itself", "quit", true}}) {
        SCOPED_TRACE(r.what);
        const std::u16string name = new_name(r.kind);
        Handle h = null_handle;
        ASSERT_EQ(services().create(manager, definition(name, service::own_process, child_image), h), 0u);
        ASSERT_EQ(services().start(h), 0u);
        ServiceStatus s;
        if (r.ends_by_itself) {
            EXPECT_EQ(wait_state(h, service::stopped), service::stopped);
        } else {
            ASSERT_EQ(services().query_status(h, s), 0u);
            EXPECT_EQ(s.current_state, service::running);
            EXPECT_NE(s.process_id, 0u);
            ASSERT_TRUE(eventually([&] { return pid_written_by(machine.root(), name) != 0; }));
            EXPECT_EQ(pid_t(s.process_id), pid_written_by(machine.root(), name));
            ASSERT_EQ(services().control(h, service::control_stop, s), 0u);
            EXPECT_EQ(wait_state(h, service::stopped), service::stopped);
            EXPECT_TRUE(eventually([&] { return process_gone(pid_t(s.process_id)); }));
        }
        services().close(h);
    }
}

TEST_F(ServicesTest, AHandleOfADeadProcessDoesNotKeepADeletedService)
{
    const std::u16string name = new_name("dead");
    ASSERT_EQ(services().create(manager, definition(name, service::kernel_driver, missing_image), handles[0]), 0u);
    testchild::Child other;
    const std::string release = (folder.path() / "release").string();
    ASSERT_TRUE(other.start_program(ZELMUSB_SERVICE_CHILD, {"hold", text::to_utf8(name), release}));
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(release + ".held"); }));

    ASSERT_EQ(services().remove(handles[0]), 0u);
    ASSERT_EQ(services().close(handles[0]), 0u);
    handles[0] = null_handle;
    Handle h = null_handle;
    EXPECT_EQ(services().create(manager, definition(name, service::kernel_driver, missing_image), h),
              err::service_marked_for_delete);
    EXPECT_TRUE(key_exists(name));

    // The other process ends without closing its handle.
    std::ofstream(release).put('x');
    EXPECT_EQ(other.wait(10000), 0);
    EXPECT_EQ(services().open(manager, name, service::all_access, h), err::service_does_not_exist);
    EXPECT_FALSE(key_exists(name));
}

TEST_F(ServicesTest, TeardownEndsEveryDaemonAndRecord)
{
    const std::u16string name = new_name("drv");
    Handle& h = handles[0];
    ASSERT_EQ(services().create(manager, definition(name, service::kernel_driver, child_image), h), 0u);
    ASSERT_EQ(services().start(h), 0u);
    const pid_t pid = pid_written_by(machine.root(), name);
    ASSERT_GT(pid, 0);

    posix::end_all_services();
    EXPECT_TRUE(eventually([&] { return process_gone(pid); }));
    EXPECT_FALSE(key_exists(name));
    Handle again = null_handle;
    EXPECT_EQ(services().open(manager, name, service::all_access, again), err::service_does_not_exist);
}
#endif

} // namespace
