// The driver run's start and stop sequences against a scripted service manager and driver: the
// order of the calls, the trace lines, each failure's line and result, the start-up sweep's uptime
// test, and the facade shared with another thread.
#include "../policy/policy_fixture.h"
#include "../support/scripted_driver.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <thread>

#include "app/app.h"
#include "app/driver_run.h"
#include "drivercontrol/driver_interface.h"
#include "drivercontrol/manager.h"
#include "host/paths.h"
#include "platform/devices.h"
#include "platform/services.h"
#include "policy/decision.h"

namespace {

using namespace policy_test;
namespace zv = ZelmUsbVardoManager;

// The driver's calls, without the worker's polls (which depend on timing) and the opens and
// queries around each step: "create", "start", "control", "delete" and the control codes.
std::vector<std::string> steps(platform_test::CallJournal& journal)
{
    std::vector<std::string> out;
    for (const auto& c : journal.entries())
        if (c != "open_manager" && c != "open" && c != "query" &&
            c != platform_test::CallJournal::ioctl(zv::IOCTL_GET_TEST_JSON_SIZE))
            out.push_back(c);
    return out;
}
std::string ioctl(uint32_t code) { return platform_test::CallJournal::ioctl(code); }

class DriverRunSequence : public PolicyTest {
protected:
    DriverRunSequence()
    {
        g_stop_request = 0;
        g_uninstall_request = 0;
        g_settings = UsbSettings{};
        uptime_.env = system_.env;
        uptime_.time.now_ms = 3600000;
        // As the service manager does: the service's key, where the install writes its values.
        driver_.services.on_create = [](const platform::ServiceDefinition& d) {
            platform::Handle key = platform::null_handle;
            if (platform::registry().create_key(u"SYSTEM\\CurrentControlSet\\services\\" + d.name,
                                                platform::key_access::all_access, key) == 0)
                platform::registry().close_key(key);
        };
        had_service_key_ = service_key_present();
    }
    ~DriverRunSequence() override
    {
        stop_driver_run();
        g_uninstall_request = 0;
        // The values the install wrote; under Wine the registry outlives the test.
        if (!had_service_key_) platform::registry().delete_tree(service_key);
    }

    static constexpr const char16_t* service_key = u"SYSTEM\\CurrentControlSet\\services\\ZelmUsb";
    static bool service_key_present()
    {
        platform::Handle k = platform::null_handle;
        if (platform::registry().open_key(service_key, platform::key_access::read, k) != 0) return false;
        platform::registry().close_key(k);
        return true;
    }
    bool had_service_key_ = false;

    // The _COUT texts traced so far, in order, without their prefixes.
    std::vector<std::string> traced()
    {
        std::vector<std::string> out;
        std::lock_guard g(uptime_.lock);
        for (const auto& line : uptime_.lines) {
            std::string l = text::to_utf8(line);
            const size_t arrow = l.find("-> ");
            if (arrow != std::string::npos) l = l.substr(arrow + 3);
            while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
            out.push_back(l);
        }
        return out;
    }
    // The traced texts that are one of `of`, in order.
    std::vector<std::string> traced_of(const std::vector<std::string>& of)
    {
        std::vector<std::string> out;
        for (const auto& l : traced())
            for (const auto& o : of)
                if (l.rfind(o, 0) == 0) out.push_back(l);
        return out;
    }
    bool traced_starting(const std::string& text)
    {
        for (const auto& l : traced())
            if (l.rfind(text, 0) == 0) return true;
        return false;
    }

    platform_test::ScriptedDriverService driver_;
    System uptime_{platform::system()};
    platform::Override<platform::System> uptime_override_{&platform::Platform::system, uptime_};
    platform::Override<platform::Services> services_override_{&platform::Platform::services, driver_.services};
    platform::Override<platform::Devices> devices_override_{&platform::Platform::devices, driver_.device};
};

const std::vector<std::string> outcome_lines = {
    "Driver installed.", "Driver installation error: ", "Driver started.", "Driver starting error: ",
    "Driver attached.", "Driver attach error: ", "Hubs accepted done.", "Hubs accepted error: ",
    "User mode enable done.", "User mode enable error: ", "User mode disabled.", "User mode disable error: ",
    "Driver stopped.", "Driver stopping error: ", "Driver uninstalled.", "Driver uninstall error: "};

TEST_F(DriverRunSequence, StartsInOrderAndStopsWithOrWithoutUninstall)
{
    ASSERT_EQ(start_driver_run(), 1);
    EXPECT_EQ(traced_of(outcome_lines),
              (std::vector<std::string>{"Driver installed.", "Driver started.", "Driver attached.",
                                        "Hubs accepted done.", "User mode enable done."}));
    const std::vector<std::string> start_calls = {"create", "start", ioctl(zv::IOCTL_HUBS_ACCEPT_ON),
                                                  ioctl(zv::IOCTL_USER_TEST_ON)};
    EXPECT_EQ(steps(driver_.journal), start_calls);
    EXPECT_TRUE(traced_starting("DriverStateCallback: 4"));

    // A second start while the facade exists does nothing.
    EXPECT_EQ(start_driver_run(), 1);
    EXPECT_EQ(steps(driver_.journal), start_calls);

    // "stop": the user test off and both lists cleared; the driver keeps running.
    EXPECT_EQ(stop_driver_run(), 1);
    auto calls = steps(driver_.journal);
    EXPECT_EQ(std::vector<std::string>(calls.begin() + 4, calls.end()),
              (std::vector<std::string>{ioctl(zv::IOCTL_USER_TEST_OFF),
                                        ioctl(zv::IOCTL_CLEAR_NAME_LIST),
                                        ioctl(zv::IOCTL_CLEAR_TYPE_LIST)}));
    EXPECT_TRUE(driver_.services.running());
    EXPECT_FALSE(facade_exists());
    EXPECT_EQ(stop_driver_run(), 1); // nothing left to stop

    // Again, now with "uninstall": the service exists (1073) and runs (1056), both are success.
    ASSERT_EQ(start_driver_run(), 1);
    g_uninstall_request = 1;
    EXPECT_EQ(stop_driver_run(), 1);
    EXPECT_FALSE(driver_.services.installed());
    EXPECT_FALSE(driver_.services.running());
    const auto lines = traced_of(outcome_lines);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 6, lines.end()),
              (std::vector<std::string>{"Driver installed.", "Driver started.", "Driver attached.",
                                        "Hubs accepted done.", "User mode enable done.", "User mode disabled.",
                                        "Driver stopped.", "Driver uninstalled."}));
}

TEST_F(DriverRunSequence, AFailedStepEndsTheStartWithItsLine)
{
    // A driver left running without a registered user test would admit every device unasked: a
    // start that fails once the driver runs stops it again.
    struct Case {
        const char* what;
        platform::Error manager_error = 0;
        platform::Error start_error = 0;
        std::map<uint32_t, std::deque<platform::Error>> control_errors;
        int result;
        std::string failure_line; // the step's outcome line, up to the status text
        bool stopped_after;       // "Driver stopped." follows it
        bool running;             // the driver runs at the end of the start
    };
    const Case cases[] = {
        {"the service manager refuses", 5, 0, {}, 0, "Driver installation error: 5 : ", false, false},
        {"the image cannot be started", 0, 2, {}, 0, "Driver starting error: 2 : ", false, false},
        {"hubs not admitted", 0, 0, {{zv::IOCTL_HUBS_ACCEPT_ON, {1}}}, 0, "Hubs accepted error: 1 : ", true, false},
        {"config file read-only", 0, 0, {{zv::IOCTL_HUBS_ACCEPT_ON, {19}}}, 0, "Hubs accepted error: 19 : ", true,
         false},
        {"registration refused", 0, 0, {{zv::IOCTL_USER_TEST_ON, {5}}}, 0, "User mode enable error: 5 : ", true, false},
        // A registration left by a crashed run is replaced once; a second 31 is a failure.
        {"stale registration recovered", 0, 0, {{zv::IOCTL_USER_TEST_ON, {31}}}, 1, "User mode enable done.", false,
         true},
        {"stale registration stays", 0, 0, {{zv::IOCTL_USER_TEST_ON, {31, 31}}}, 0, "User mode enable error: 31 : ",
         true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        driver_.services.uninstall_now();
        driver_.services.open_manager_error = c.manager_error;
        driver_.services.start_error = c.start_error;
        driver_.device.answers = c.control_errors;
        const size_t before = traced_of(outcome_lines).size();
        EXPECT_EQ(start_driver_run(), c.result);
        const auto lines = traced_of(outcome_lines);
        ASSERT_GT(lines.size(), before);
        const std::string& last = c.stopped_after ? lines[lines.size() - 2] : lines.back();
        EXPECT_EQ(last.substr(0, c.failure_line.size()), c.failure_line);
        if (c.stopped_after) {
            EXPECT_EQ(lines.back(), "Driver stopped.");
        }
        EXPECT_EQ(driver_.services.running(), c.running);
        // A failed start leaves the facade for the stop sequence, which always ends it.
        EXPECT_TRUE(facade_exists());
        EXPECT_EQ(stop_driver_run(), 1);
        EXPECT_FALSE(facade_exists());
    }
}

// The sweep runs only while the policy is on and the system has just booted; the uptime is 64-bit,
// so a machine up for 49.7 days and more is not taken for a fresh boot.
TEST_F(DriverRunSequence, StartUpSweepOnlyRightAfterBoot)
{
    struct Case {
        const char* what;
        int32_t active;
        uint64_t uptime_ms;
        bool swept;
    };
    const Case cases[] = {
        {"just booted", 1, 60000, true},
        {"policy off", 0, 60000, false},
        {"up ten minutes", 1, 600000, false},
        {"32-bit count just wrapped", 1, (uint64_t(1) << 32) + 60000, false},
    };
    // The initial list exists, so only the sweep asks for the present devices.
    ASSERT_EQ(WriteWholeFile(get_path(u"current_usb"), u"{\"rules\":[]}"), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_settings.active = c.active;
        uptime_.time.now_ms = c.uptime_ms;
        const size_t before = traced().size();
        ASSERT_EQ(start_driver_run(), 1);
        bool swept = false;
        const auto lines = traced();
        for (size_t i = before; i < lines.size(); ++i)
            for (const char* sweep : {"Unknown devices", "generate_current_usb_list", "Current USB list generated."})
                if (lines[i].find(sweep) != std::string::npos) swept = true;
        EXPECT_EQ(swept, c.swept);
        stop_driver_run();
    }
}

// The facade is used by the pipe listener while the main thread starts and stops the run: a user
// never sees it half-built or freed.
TEST_F(DriverRunSequence, FacadeSharedWithAnotherThread)
{
    std::atomic<bool> done{false};
    std::atomic<int> uses{0};
    // The listener as "cfg" drives it: the initial list (found missing each time) and the facade.
    const std::filesystem::path initial_list = data_folder() / "zelmusb" / "current_usb.json";
    std::thread listener([&] {
        while (!done) {
            std::error_code ignored;
            std::filesystem::remove(initial_list, ignored);
            ensure_initial_list();
            if (use_facade([](zv::Manager& m) { m.IsAttached(); })) ++uses;
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(start_driver_run(), 1);
        EXPECT_EQ(stop_driver_run(), 1);
    }
    done = true;
    listener.join();
    EXPECT_FALSE(facade_exists());
}

// The user test's callback hands the document to the decision; a null document stays null and
// gets the "action" default.
TEST_F(DriverRunSequence, UserTestCallbackPassesTheDocument)
{
    struct Case {
        const char* what;
        int32_t active, action;
        bool null_document;
        uint8_t verdict;
    };
    const Case cases[] = {
        {"policy off", 0, 0, false, 1},
        {"null document, block by default", 1, 0, true, 0},
        {"null document, allow by default", 1, 1, true, 1},
        {"document, block by default", 1, 0, false, 0},
        {"document, allow by default", 1, 1, false, 1},
    };
    const char16_t* document = u"{\"DeviceDescriptor\":{\"Manufacturer\":\"Acme\",\"Product\":\"Stick\"}}";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_settings.active = c.active;
        g_settings.action = c.action;
        g_settings.report_on_allow = 0;
        const uint8_t verdict = user_test_decision(c.null_document ? nullptr : document, nullptr);
        EXPECT_EQ(verdict, c.verdict);
        user_test_outcome(verdict, 0, nullptr);
    }
}

// The report follows the verdict the driver applied: a verdict the driver refused (it came after
// the device met the time-out and the default, admit) is not reported as given.
TEST_F(DriverRunSequence, ReportsFollowTheVerdictTheDriverApplied)
{
    struct Case {
        const char* what;
        int32_t action;          // no rule decides: 0 blocks, 1 admits
        int32_t report_on_allow;
        uint32_t driver_answer;  // to the verdict: 0 taken, 1235 too late
        const char* report;      // the report file's ending, or "" for none
    };
    const Case cases[] = {
        {"blocked, taken", 0, 0, 0, "-1403.json"},
        {"blocked, too late: admitted by default", 0, 0, 1235, ""},
        {"blocked, too late, allowed ones reported", 0, 1, 1235, "-1401.json"},
        {"blocked, driver gone", 0, 1, 6, "-1401.json"},
        {"admitted, taken, allowed ones reported", 1, 1, 0, "-1401.json"},
        {"admitted, taken", 1, 0, 0, ""},
    };
    const char16_t* document = u"{\"DeviceDescriptor\":{\"Manufacturer\":\"Acme\",\"Product\":\"Stick\"}}";
    const auto logs = data_folder() / "logs";
    auto reports = [&] {
        std::vector<std::string> found;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(logs, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            if (it->is_regular_file()) found.push_back(it->path().filename().string());
        return found;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(logs);
        g_settings.active = 1;
        g_settings.action = c.action;
        g_settings.report_on_allow = c.report_on_allow;
        const uint8_t verdict = user_test_decision(document, nullptr);
        EXPECT_EQ(verdict, c.action != 0 ? 1 : 0);
        EXPECT_TRUE(reports().empty()) << "nothing reported before the driver answered";
        user_test_outcome(verdict, c.driver_answer, nullptr);
        const auto found = reports();
        if (std::string(c.report).empty()) {
            EXPECT_TRUE(found.empty()) << found.front();
        } else {
            ASSERT_EQ(found.size(), 1u);
            EXPECT_TRUE(found[0].ends_with(c.report)) << found[0];
        }
    }
    // A decision outside the user-test channel reports at once.
    std::filesystem::remove_all(logs);
    g_settings.action = 0;
    const std::u16string text(document);
    EXPECT_EQ(zelmusb_decision(&text), 0);
    EXPECT_EQ(reports().size(), 1u);
}

} // namespace
