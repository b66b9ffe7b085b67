// Devices raised to the running driver and decided by the program: rules, the user's answer, the
// policy off, capture mode; and a burst of a hundred devices, every one decided by the policy.
#include "driver_e2e.h"

#include <thread>

#ifndef _WIN32
#include <csignal>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/posix/control_device.h"
#endif

#include "driver_client.h"
#include "platform/platform.h"
#include "platform/services.h"
#include "text/text.h"

namespace driver_e2e {
namespace {

namespace fs = std::filesystem;

// The settings of the rows: a rule allowing keyboards and one blocking the Acme flash drive.
std::string settings(int active, int action)
{
    return "{\"active\":" + std::to_string(active) + ",\"action\":" + std::to_string(action) +
           ",\"report_on_allow\":1,\"rules\":[[{\"produkt\":\"Keyboard\"},1],[{\"produkt\":\"Acme Flash\"},0]]}";
}

size_t files_below(const fs::path& folder, const std::string& extension)
{
    size_t n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_regular_file() && (extension.empty() || it->path().extension() == extension)) ++n;
    return n;
}

std::vector<std::string> lines_of(const fs::path& file)
{
    std::vector<std::string> lines;
    const std::string text = e2e::read_file(file);
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return lines;
}

size_t starting_with(const std::vector<std::string>& lines, const std::string& prefix)
{
    size_t n = 0;
    for (const auto& l : lines)
        if (l.rfind(prefix, 0) == 0) ++n;
    return n;
}

TEST_F(DriverRun, DevicesDecidedByRulesTheUserAndTheSettings)
{
    struct Case {
        const char* what;
        int active, action;
        const char* menu_answer; // nullptr: no menu runs
        bool capture;
        std::string product;
        Verdict verdict;
        bool report;       // a report file written
        bool recorded;     // the accept folder holds the device
        int asked;         // "ask_usb_device|" questions to the menu
        int blocked_notes; // "usb_device_blocked|" notices to the menu
        int rules_sent;    // rules sent to the monitor
    };
    const Case cases[] = {
        {"allowed by a rule", 1, 2, "1", false, "USB Keyboard", Verdict::allowed, true, true, 0, 0, 0},
        {"blocked by a rule", 1, 2, "1", false, "Acme Flash Drive", Verdict::blocked, true, true, 0, 1, 0},
        {"asked, the user allows", 1, 2, "1", false, "Gadget", Verdict::allowed, true, true, 1, 0, 1},
        {"asked, the user blocks", 1, 2, "0", false, "Gadget", Verdict::blocked, true, true, 1, 0, 1},
        {"asked, no answer", 1, 2, "none", false, "Gadget", Verdict::blocked, true, true, 1, 0, 1},
        {"no rule, blocked by the settings", 1, 0, "1", false, "Gadget", Verdict::blocked, true, true, 0, 1, 0},
        {"policy off", 0, 0, "1", false, "Acme Flash Drive", Verdict::allowed, false, false, 0, 0, 0},
        {"capture mode", 1, 0, "1", true, "Acme Flash Drive", Verdict::allowed, false, true, 0, 0, 0},
    };

    const uint32_t monitor = start_monitor(settings(1, 2));
    ASSERT_NE(monitor, 0u);
    const uint32_t instance = start_instance();
    ASSERT_TRUE(in_order(trace(), start_lines));

    int serial = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        set_monitor_settings(settings(c.active, c.action));
        ASSERT_TRUE(reload_settings(instance)) << trace().substr(trace().size() > 3000 ? trace().size() - 3000 : 0);
        std::error_code ignored;
        fs::remove(menu_log(), ignored);
        const uint32_t menu = start_menu(c.menu_answer);
        uint32_t capture = 0;
        if (c.capture) {
            capture = machine().start(e2e::Program::capture, {u"--hold-ms", u"20000"});
            std::this_thread::sleep_for(500ms);
        }
        const size_t reports = files_below(reports_folder(), "");
        const size_t recorded = files_below(accept_folder(), ".json");
        const size_t rules = starting_with(lines_of(monitor_log()), "usb_device_add_rule");

        // Each row's device is new to the accept folder: its serial number differs.
        const std::string document =
            device_document("Acme", c.product, "SN" + std::to_string(++serial), "USB", "A device");
        EXPECT_EQ(raise_with_usbsim(document), c.verdict);

        // The report follows the driver's answer to the verdict, so it may come just after it.
        for (int waited = 0; c.report && waited < 100 && files_below(reports_folder(), "") == reports; ++waited)
            std::this_thread::sleep_for(50ms);
        EXPECT_EQ(files_below(reports_folder(), "") - reports, c.report ? 1u : 0u);
        EXPECT_EQ(files_below(accept_folder(), ".json") - recorded, c.recorded ? 1u : 0u);
        // The blocked notice goes out on its own thread after the verdict.
        for (int waited = 0; c.blocked_notes && waited < 100; ++waited) {
            if (starting_with(lines_of(menu_log()), "usb_device_blocked|") >= size_t(c.blocked_notes)) break;
            std::this_thread::sleep_for(50ms);
        }
        // So does the answer the monitor is asked to store as a rule.
        for (int waited = 0; c.rules_sent && waited < 100; ++waited) {
            if (starting_with(lines_of(monitor_log()), "usb_device_add_rule") - rules >= size_t(c.rules_sent)) break;
            std::this_thread::sleep_for(50ms);
        }
        const auto menu_lines = lines_of(menu_log());
        EXPECT_EQ(starting_with(menu_lines, "ask_usb_device|"), size_t(c.asked));
        EXPECT_EQ(starting_with(menu_lines, "usb_device_blocked|"), size_t(c.blocked_notes));
        EXPECT_EQ(starting_with(lines_of(monitor_log()), "usb_device_add_rule") - rules, size_t(c.rules_sent));
        if (c.capture) {
            const std::string handed = e2e::read_file(data_folder() / "tmp" / "usbdevice.json");
            EXPECT_NE(handed.find("\"produkt\" : \"=Acme Flash Drive\""), std::string::npos) << handed;
        }
        machine().kill(menu);
        if (capture) machine().kill(capture);
    }
    ASSERT_TRUE(stop_instance(instance, true)) << trace();
}

// A hundred devices raised at once: the driver signals its event once for many of them, and every
// one must still be decided by the policy, in the driver's order, none left to the default.
TEST_F(DriverRun, BurstOfAHundredDevicesAllDecided)
{
    start_monitor(settings(1, 0));
    const uint32_t instance = start_instance();
    ASSERT_TRUE(in_order(trace(), start_lines));

    std::vector<std::string> documents;
    std::vector<Verdict> expected;
    for (int i = 0; i < 100; ++i) {
        const int kind = i % 3; // allowed by a rule, blocked by a rule, no rule: blocked by the settings
        const char* product = kind == 0 ? "USB Keyboard" : kind == 1 ? "Acme Flash Drive" : "Gadget";
        documents.push_back(device_document("Acme", product, "B" + std::to_string(i), "USB", "Burst"));
        expected.push_back(kind == 0 ? Verdict::allowed : Verdict::blocked);
    }
    // A request the program loses is defaulted by the driver after its wait, capped here to 30 s
    // so that a loss shows at once rather than after the program's 120 s.
    ASSERT_TRUE(cap_driver_wait(30000));
    std::vector<uint64_t> ids;
    const std::vector<Verdict> verdicts = raise_all(documents, 60s, &ids);
    EXPECT_EQ(verdicts, expected);

    // Decided in the driver's order: the decisions' trace lines follow the raises.
    EXPECT_EQ(count(trace(), ">> New device, allow="), 100u);
    std::vector<std::string> order;
    const std::string t = trace();
    for (size_t at = t.find(">> New device, allow="); at != std::string::npos; at = t.find(">> New device, allow=", at + 1))
        order.push_back(t.substr(at + 21, 1));
    std::vector<std::string> expected_order;
    for (const Verdict v : expected) expected_order.push_back(v == Verdict::allowed ? "1" : "0");
    EXPECT_EQ(order, expected_order);
    ASSERT_TRUE(stop_instance(instance, true)) << trace();
}

// /uninstall while the user is being asked (the menu takes a minute to answer): the decision in
// progress cannot hold the stop, which ends by itself well before the 30-second watchdog.
TEST_F(DriverRun, UninstallWhileTheUserIsAsked)
{
    start_monitor(settings(1, 2));
    start_menu("1", 60000);
    const uint32_t instance = start_instance();
    ASSERT_TRUE(in_order(trace(), start_lines));
    ASSERT_TRUE(raise_no_wait(device_document("Gizmo", "Gadget", "Q1", "USB", "Asked")));
    ASSERT_TRUE(machine().trace_has("USB Ask User.", 10s)) << trace();

    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(stop_instance(instance, true)) << trace();
    // The stop request is seen at the next 5-second poll; the stop itself is bounded well below 30 s.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 25s);
    const std::string t = trace();
    EXPECT_EQ(t.find("Force process termination"), std::string::npos) << t;
    EXPECT_TRUE(in_order(t, {"*** USB STOPPED.\r\n", "Driver uninstalled.\r\n", "Exit.\r\n"}));
}

#ifndef _WIN32
// The driver's process id: the peer of a connection to its control device; 0 when it does not run.
uint32_t driver_pid()
{
    sockaddr_un address{};
    if (!platform::posix::control_device::socket_address(u"ZelmUsb", address)) return 0;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    uint32_t pid = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) pid = uint32_t(peer.pid);
    }
    ::close(fd);
    return pid;
}

bool start_driver()
{
    auto& services = platform::services();
    platform::Handle manager = platform::null_handle, service = platform::null_handle;
    if (services.open_manager(platform::service::manager_connect, manager)) return false;
    bool started = false;
    if (services.open(manager, u"ZelmUsb", platform::service::start, service) == 0) {
        started = services.start(service) == 0;
        services.close(service);
    }
    services.close(manager);
    return started;
}

// Whether a user test is registered with the running driver, looked at until `limit` passes.
bool registered_within(std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    do {
        driver_client::DriverClient client;
        driver_client::DriverState state;
        if (client.open() == 0 && client.state(state) == 0 && state.registered) return true;
        std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}
#endif

// The driver killed and started again while the program runs: the program's user test is back
// within its 5-second poll, so a device a rule blocks stays blocked instead of being admitted
// unasked by a driver nobody registered with.
TEST_F(DriverRun, DriverStartedAgainGetsTheUserTestBack)
{
#ifdef _WIN32
    GTEST_SKIP() << "a kernel driver is not killed and started again under the program";
#else
    start_monitor(settings(1, 0));
    const uint32_t instance = start_instance();
    ASSERT_TRUE(in_order(trace(), start_lines));
    EXPECT_EQ(raise_with_usbsim(device_document("Acme", "Acme Flash Drive", "K1", "USB", "Before")), Verdict::blocked);

    const uint32_t pid = driver_pid();
    ASSERT_NE(pid, 0u);
    ASSERT_EQ(::kill(pid_t(pid), SIGKILL), 0);
    const auto dead_by = std::chrono::steady_clock::now() + 10s;
    while (driver_pid() != 0 && std::chrono::steady_clock::now() < dead_by) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(start_driver());
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(registered_within(10s)) << trace();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(raise_with_usbsim(device_document("Acme", "Acme Flash Drive", "K2", "USB", "After")), Verdict::blocked);
    EXPECT_EQ(raise_with_usbsim(device_document("Acme", "USB Keyboard", "K3", "USB", "After")), Verdict::allowed);
    ASSERT_TRUE(stop_instance(instance, true)) << trace();
#endif
}

} // namespace
} // namespace driver_e2e
