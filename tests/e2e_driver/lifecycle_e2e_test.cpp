// The driver's life through the program: /start on a clean machine, /stop, a second /start, and
// /uninstall, read back with the system's own tools; a missing driver image; a device name that
// another user took first.
#include "driver_e2e.h"

#include <fstream>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/posix/control_device.h"
#endif

#include "platform/platform.h"
#include "platform/services.h"
#include "text/text.h"

namespace driver_e2e {
namespace {

// The configuration file the run leaves: UTF-16LE without byte-order mark, hubs admitted.
std::string expected_config()
{
    std::string bytes;
    for (const uint8_t b : text::to_utf16le(u"{\"capture\":true,\"filesAndCacheMode\":1,\"filter\":true,"
                                            u"\"hubs_always_accepted\":true,\"notify_handle\":true}"))
        bytes.push_back(char(b));
    return bytes;
}

// The service is not installed: OpenService gives 1060, and so does sc query (whose exit status
// keeps only its low byte on Linux; Wine's sc prints nothing and exits with 1 for it).
::testing::AssertionResult service_gone(const std::u16string& name, const e2e::ToolRun& query)
{
    auto& services = platform::services();
    platform::Handle manager = platform::null_handle, service = platform::null_handle;
    if (const platform::Error e = services.open_manager(platform::service::manager_connect, manager))
        return ::testing::AssertionFailure() << "the service manager cannot be opened: " << e;
    const platform::Error opened = services.open(manager, name, platform::service::query_status, service);
    if (opened == 0) services.close(service);
    services.close(manager);
    if (opened != 1060) return ::testing::AssertionFailure() << "OpenService gives " << opened;
    const bool sc_says_so = query.ended && ((query.exit_code & 0xFF) == (1060 & 0xFF) ? query.output.find("1060") != std::string::npos
                                                                                    : query.exit_code == 1 && query.output.empty());
    if (!sc_says_so) return ::testing::AssertionFailure() << "sc query exit " << query.exit_code << ":\n" << query.output;
    return ::testing::AssertionSuccess();
}

bool running(const e2e::ToolRun& query)
{
    return query.ended && query.exit_code == 0 && query.output.find("RUNNING") != std::string::npos &&
           query.output.find(": 4") != std::string::npos;
}

TEST_F(DriverRun, StartStopStartAgainAndUninstall)
{
    write_settings(R"({"active":1,"action":1})");
    const uint32_t first = start_instance();
    ASSERT_TRUE(in_order(trace(), start_lines));
    const std::string started = trace();
    // The service came up through its pending state to running.
    EXPECT_NE(started.find("DriverStateCallback: 4\r\n"), std::string::npos) << started;
    EXPECT_FALSE(start_failed(started)) << started;
    EXPECT_EQ(started.find("Driver attach error"), std::string::npos) << started;

    const e2e::ToolRun query = sc_query();
    EXPECT_TRUE(running(query)) << query.exit_code << "\n" << query.output;
    const e2e::ToolRun values = reg_query();
    EXPECT_EQ(values.exit_code, 0) << values.output;
    for (const std::string value : {"ConfigFilePath", "AdmittancesFolderPath", "ServiceActive"})
        EXPECT_NE(values.output.find(value), std::string::npos) << values.output;
    EXPECT_NE(values.output.find("0x1"), std::string::npos) << values.output;
    EXPECT_NE(values.output.find("config.json"), std::string::npos) << values.output;
    EXPECT_NE(values.output.find("internal_accept"), std::string::npos) << values.output;
    EXPECT_EQ(e2e::read_file(config_file()), expected_config());

    // /stop: the user test off, both lists cleared, the driver left running.
    ASSERT_TRUE(stop_instance(first, false)) << trace();
    const std::string stopped = trace().substr(started.size());
    EXPECT_TRUE(in_order(stopped, {"*** USB STOPPED.\r\n", "User mode disabled.\r\n", "Exit.\r\n"}));
    EXPECT_EQ(stopped.find("Driver stopped."), std::string::npos) << stopped;
    EXPECT_TRUE(running(sc_query()));

    // A second /start finds the service installed (1073) and running (1056): both are success.
    const uint32_t second = start_instance();
    const std::string again = trace().substr(started.size() + stopped.size());
    EXPECT_TRUE(in_order(again, start_lines));
    EXPECT_FALSE(start_failed(again)) << again;

    // /uninstall: stopped and deleted; the configuration file and the admittance folder stay.
    ASSERT_TRUE(stop_instance(second, true)) << trace();
    const std::string removed = trace().substr(started.size() + stopped.size() + again.size());
    EXPECT_TRUE(in_order(removed, {"*** USB STOPPED.\r\n", "User mode disabled.\r\n", "Driver stopped.\r\n",
                                   "Driver uninstalled.\r\n", "Exit.\r\n"}));
    EXPECT_TRUE(service_gone(u"ZelmUsb", sc_query()));
    EXPECT_NE(reg_query().exit_code, 0);
    EXPECT_TRUE(std::filesystem::exists(config_file()));
    EXPECT_TRUE(std::filesystem::is_directory(admittance_folder()));
}

// Without the driver's image beside the program the run cannot start: the error lines, the stop,
// the emergency delay before the exit.
TEST_F(DriverRun, MissingDriverImageStopsTheRun)
{
    // The program alone, copied where no driver image lies beside it.
    const std::filesystem::path lonely = machine().folder() / "bin";
    std::filesystem::create_directories(lonely);
    const std::filesystem::path program = lonely / std::filesystem::path(e2e::program_path(e2e::Program::zelmarusb)).filename();
    std::filesystem::copy_file(e2e::program_path(e2e::Program::zelmarusb), program);
    write_settings(R"({"active":1})");

    const auto begin = std::chrono::steady_clock::now();
    const uint32_t pid = machine().start_path(program, {u"/start"});
    ASSERT_NE(pid, 0u);
    int code = -1;
    ASSERT_TRUE(machine().ended_within(pid, 40s, &code)) << trace();
    const auto took = std::chrono::steady_clock::now() - begin;
    const std::string t = trace();
#ifdef _WIN32
    // Wine's service manager refuses a kernel driver whose image is missing with 1114, not 2.
    const std::string start_error = "Driver starting error: ";
#else
    const std::string start_error = "Driver starting error: 2 : ";
#endif
    EXPECT_TRUE(in_order(t, {"*** USB STARTED.\r\n", "Driver installed.\r\n", start_error,
                             "*** USB STOPPED.\r\n", "User mode disable", "Emergency delay...\r\n", "Exit.\r\n"}));
    EXPECT_EQ(t.find("Driver started."), std::string::npos) << t;
    // Two seconds' pause and the twenty-second delay, well inside the watchdog.
    EXPECT_GE(took, 21s);
    EXPECT_EQ(t.find("Force process termination"), std::string::npos) << t;
}

#ifndef _WIN32
// Another user's socket holds the control device's name before /start: the driver refuses to
// serve on it (183, traced by the driver), the program never talks to it, and the run stops.
TEST_F(DriverRun, ADeviceNameAnotherUserTookStopsTheRun)
{
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to give the squatting socket to another user";
    namespace cd = platform::posix::control_device;
    std::filesystem::create_directories(cd::device_folder());
    sockaddr_un address{};
    ASSERT_TRUE(cd::socket_address(u"ZelmUsb", address));
    const int squatter = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_EQ(0, ::bind(squatter, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, ::listen(squatter, 8));
    ASSERT_EQ(0, ::lchown(address.sun_path, 65534, 65534));
    write_settings(R"({"active":1})");

    const uint32_t pid = machine().start_path(e2e::program_path(e2e::Program::zelmarusb), {u"/start"});
    ASSERT_NE(pid, 0u);
    ASSERT_TRUE(machine().ended_within(pid, 40s)) << trace();
    const std::string t = trace();
    EXPECT_TRUE(in_order(t, {"zelmusb.sys:0 -> cannot serve \\\\.\\ZelmUsb: the device name is held by a file of user 65534 "
                             "(error 183)",
                             "Driver starting error: 183 : ", "*** USB STOPPED.\r\n", "Exit.\r\n"}));
    EXPECT_EQ(t.find("Driver started."), std::string::npos) << t;
    EXPECT_LT(::accept(squatter, nullptr, nullptr), 0) << "nobody connected to the squatter";
    ::close(squatter);
    ::unlink(address.sun_path);
}
#endif

// The driver's configuration file cannot be written any more (a read-only data folder): the start
// fails at the hubs step, and the driver is taken out of service again, so that no device meets a
// driver that runs with nobody to answer it (it would let every device in unasked).
TEST_F(DriverRun, UnwritableConfigurationStopsTheDriver)
{
    write_settings(R"({"active":1,"action":0})");
    // A first run installs the driver and leaves it running.
    const uint32_t first = start_instance();
    ASSERT_TRUE(in_order(trace(), start_lines)) << trace();
    ASSERT_TRUE(stop_instance(first, false)) << trace();
    ASSERT_TRUE(running(sc_query()));
    const size_t before = trace().size();

    // A folder where the configuration file was: it can no longer be replaced.
    std::filesystem::remove(config_file());
    std::filesystem::create_directories(config_file() / "x");
    const uint32_t pid = machine().start(e2e::Program::zelmarusb, {u"/start"});
    ASSERT_NE(pid, 0u);
    int code = -1;
    ASSERT_TRUE(machine().ended_within(pid, 40s, &code)) << trace();
    const std::string t = trace().substr(before);
    EXPECT_TRUE(in_order(t, {"Driver started.\r\n", "Hubs accepted error: ", "Driver stopped.\r\n",
                             "*** USB STOPPED.\r\n", "Exit.\r\n"}))
        << t;
    EXPECT_EQ(t.find("User mode enable done."), std::string::npos) << t;
    EXPECT_FALSE(running(sc_query()));
    // Nothing holds a device for a verdict that nobody would give.
    EXPECT_FALSE(raise_no_wait(device_document("Acme", "Flash", "SN1", "USB", "A stick")));
    std::filesystem::remove_all(config_file());
}

// /gud: has the list of present devices written by a copy of the program that runs as a temporary
// service, created, started and deleted through sc.exe, all well inside the 30-second watchdog.
TEST_F(DriverRun, DeviceListThroughTheTemporaryService)
{
#ifndef _WIN32
    // The emulated machine's USB devices: a hub with a keyboard behind it, a flash drive...
    e2e::write_file(machine().folder() / "root" / "machine.json",
                    e2e::read_file(std::string(ZELMUSB_FIXTURES) + "/usbinventory/example_machine.json"));
#endif
    // (A value with blanks is the switch reader's matter, tested with it; each leg quotes blanks its own way.)
    const std::filesystem::path list = machine().folder() / "out" / "usb-list.json";
    std::filesystem::create_directories(list.parent_path());
    const auto begin = std::chrono::steady_clock::now();
    const uint32_t pid = machine().start(e2e::Program::zelmarusb, {u"/gud:" + list.u16string()});
    ASSERT_NE(pid, 0u);
    int code = -1;
    ASSERT_TRUE(machine().ended_within(pid, 35s, &code)) << trace();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 15s);
    const std::string t = trace();
    EXPECT_EQ(t.find("Force process termination"), std::string::npos) << t;
    // The service copy wrote the list where it was asked to, and the service is gone. (Under Wine
    // the copy is started by the service manager, whose processes' lines the test does not watch.)
#ifndef _WIN32
    ASSERT_TRUE(machine().trace_has("USB list path: ", 5s)) << t;
#endif
#ifndef _WIN32
    // (Under Wine the copy runs in the service manager's environment, not the test's data folder,
    // so it finds no hand-over file there; only the service's coming and going is checked.)
    const std::string written = e2e::read_file(list);
    EXPECT_EQ(written.rfind("{", 0), 0u) << written;
    EXPECT_NE(written.find("\"rules\""), std::string::npos) << written;
    EXPECT_NE(written.find("=Acme Keyboard"), std::string::npos) << written;
#endif
    EXPECT_TRUE(service_gone(u"zelmusbtmpsvc", sc_query(u"zelmusbtmpsvc")));
#ifndef _WIN32
    // The hand-over file is consumed.
    EXPECT_FALSE(std::filesystem::exists(data_folder() / "tmp" / "zelmusbtmppath.txt"));
#endif
}

} // namespace
} // namespace driver_e2e
