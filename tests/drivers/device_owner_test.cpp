// The control device is root's and the driver's own user's. Another user (nobody, through setpriv)
// tries what an intruder would, with the driver started under umask 000 and the objects folder
// open to all (1777): read a held device's document, admit it, switch the user test off, register
// itself; and take the device's name before the driver starts. Every one is refused.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "../platform/child/spawn.h"
#include "../support/fresh_machine.h"
#include "driver_client.h"
#include "loaded_driver.h"
#include "platform/le_fields.h"
#include "platform/platform.h"
#include "platform/posix/control_device.h"
#include "platform/sync.h"
#include "text/text.h"

namespace {

namespace cd = platform::posix::control_device;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uid_t nobody = 65534;

std::string hex(const Bytes& b)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t c : b) s += {digits[c >> 4], digits[c & 15]};
    return s;
}

class DeviceOwner : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv"))
            GTEST_SKIP() << "needs root, to run the other user as nobody through /usr/bin/setpriv";
        active_ = true;
        old_umask_ = ::umask(0); // the driver starts under the loosest umask there is
        ::chmod(out_.path().c_str(), 0777);
        ::chmod(trace_.path().c_str(), 0777);
    }
    void TearDown() override
    {
        if (active_) ::umask(old_umask_);
    }

    // The objects folder shared by all, as a machine whose suite programs run as users has it.
    static void share_objects()
    {
        const fs::path objects = fs::path(std::getenv("ZELMUSB_PLATFORM_ROOT")) / "objects";
        fs::create_directories(objects);
        ::chmod(objects.c_str(), 01777);
    }

    // Runs the intruder as nobody and returns the line it wrote.
    std::string as_nobody(std::vector<std::string> args)
    {
        const std::string out = (out_.path() / platform_test::unique_name("report")).string();
        args.push_back(out);
        std::vector<std::string> all = {"--reuid=65534", "--regid=65534", "--clear-groups", ZELMUSB_DRIVER_INTRUDER};
        all.insert(all.end(), args.begin(), args.end());
        testchild::Child child;
        if (!child.start_program("/usr/bin/setpriv", all)) return "not started";
        if (child.wait(60000) < 0) return "did not end";
        return platform_test::read_text_file(out);
    }

    std::string trace() const { return platform_test::read_text_file(trace_file_); }

    bool active_ = false;
    mode_t old_umask_ = 022;
    platform_test::TempFolder out_, trace_;
    std::string trace_file_ = (trace_.path() / "trace.txt").string();
    platform_test::ScopedEnv trace_env_{"ZELMUSB_TRACE_FILE", trace_file_.c_str()};
};

TEST_F(DeviceOwner, AnotherUserCanNeitherReachNorSwayTheDriver)
{
    driver_test::LoadedDriver driver("", share_objects);
    ASSERT_EQ(0u, driver.error()) << driver.failed_step();

    // The program's side, as root: registered, and a device held waiting for its verdict.
    driver_client::DriverClient tester, observer;
    ASSERT_EQ(0u, tester.open());
    ASSERT_EQ(0u, observer.open());
    platform::Handle event = platform::null_handle;
    ASSERT_EQ(0u, platform::sync().create_event(true, false, u"", event));
    Bytes on(ZD_EVENT_WAITING_SIZE), none;
    platform::le::put(&on[ZD_EW_EVENT], 8, event);
    platform::le::put(&on[ZD_EW_WAIT_TIME], 8, 600 * 10000000ull);
    ASSERT_EQ(0u, tester.control(ZD_IOCTL_USER_TEST_ON, on, none));
    uint64_t id = 0;
    ASSERT_EQ(0u, observer.raise({false, 0x781, 0x5567, 0x100}, u"{\"Product\":\"Blocked by a rule\"}", id));

    Bytes fetch(ZD_JSON_HEADER_SIZE + 4096, 0), admit(ZD_TEST_RESULT_SIZE, 0), register_self(ZD_EVENT_WAITING_SIZE, 0);
    platform::le::put(&fetch[ZD_JR_REQUEST_ID], 8, id);
    platform::le::put(&admit[ZD_TR_REQUEST_ID], 8, id);
    platform::le::put(&register_self[ZD_EW_EVENT], 8, 4);
    struct Case {
        const char* what;
        uint32_t code;
        Bytes input;
        uint32_t output_size;
        int tries;
    };
    const Case cases[] = {
        {"read the document of the held device", ZD_IOCTL_GET_TEST_JSON, fetch, uint32_t(fetch.size()), 1},
        {"admit the device a rule blocks", ZD_IOCTL_SET_TEST_RESULT, admit, 0, 20},
        {"switch the user test off", ZD_IOCTL_USER_TEST_OFF, {}, 0, 1},
        {"register itself as the user test", ZD_IOCTL_USER_TEST_ON, register_self, 0, 1},
        {"read the driver's state", ZD_IOCTL_TEST_STATE, {}, 4096, 1},
    };
    auto code_text = [](uint32_t code) {
        char s[16];
        std::snprintf(s, sizeof s, "%x", code);
        return std::string(s);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // As the program opens the device: refused with 5 (the devices folder is not nobody's).
        EXPECT_EQ("open=5 served=0", as_nobody({"control", code_text(c.code), hex(c.input),
                                                std::to_string(c.output_size), std::to_string(c.tries)}));
        // Straight at the socket: the folder lets nobody in (EACCES).
        EXPECT_EQ("connect=13 answered=0",
                  as_nobody({"raw", code_text(c.code), hex(c.input), std::to_string(c.output_size)}));
    }

    // Past the folder and the socket's mode (as if both were opened up): the driver itself ends
    // the connection of another user before it reads a byte.
    std::string socket;
    ASSERT_TRUE(cd::socket_path(u"ZelmUsb", socket));
    ASSERT_EQ(0, ::chmod(cd::device_folder().c_str(), 0755));
    ASSERT_EQ(0, ::chmod(socket.c_str(), 0666));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ("connect=0 answered=0",
                  as_nobody({"raw", code_text(c.code), hex(c.input), std::to_string(c.output_size)}));
        EXPECT_EQ("open=0 served=0", as_nobody({"control", code_text(c.code), hex(c.input),
                                                std::to_string(c.output_size), "1"}));
    }
    // In the trace's own form, CR LF included, as every line of a shared trace file is read.
    EXPECT_TRUE(std::regex_search(trace(), std::regex(R"(\[ODS\]\[[0-9a-f]{8}\]  zelmusb\.sys:0 -> )"
                                                      R"(refused a handle of user 65534[^\r\n]*\r\n)")))
        << trace();

    // Nothing changed: still registered by the program, the device still held, and the driver
    // never saw one of the intruder's requests.
    driver_client::DriverState state;
    ASSERT_EQ(0u, observer.state(state));
    EXPECT_TRUE(state.registered);
    driver_client::Verdict v;
    ASSERT_EQ(0u, observer.verdict(id, v));
    EXPECT_EQ(ZD_VERDICT_PENDING, v.state);
    for (const auto& entry : state.journal) {
        EXPECT_NE(entry.code, ZD_IOCTL_GET_TEST_JSON);
        EXPECT_NE(entry.code, ZD_IOCTL_SET_TEST_RESULT);
        EXPECT_NE(entry.code, ZD_IOCTL_USER_TEST_OFF);
    }
    tester.close();
    platform::sync().close(event);
}

TEST_F(DeviceOwner, ANameAnotherUserTookIsNeitherServedNorUsed)
{
    struct Case {
        const char* what;
        bool folder_is_nobodys; // else only the socket is
        platform::Error start_error;
        const char* traced;
    };
    const Case cases[] = {
        {"nobody's socket holds the device name", false, platform::err::already_exists,
         "the device name is held by a file of user 65534"},
        {"nobody made the devices folder first", true, platform::err::access_denied,
         "is not this machine's (user 65534)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string socket, report;
        testchild::Child squatter;
        auto squat = [&] {
            share_objects();
            const std::string folder = cd::device_folder();
            fs::create_directories(folder);
            ::chmod(folder.c_str(), 0777); // long enough for nobody to bind in it
            if (c.folder_is_nobodys) ::chown(folder.c_str(), nobody, nobody);
            ASSERT_TRUE(cd::socket_path(u"ZelmUsb", socket));
            report = (out_.path() / platform_test::unique_name("squat")).string();
            ASSERT_TRUE(squatter.start_program("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                                                     ZELMUSB_DRIVER_INTRUDER, "squat", socket, report}));
            for (int i = 0; i < 1000 && platform_test::read_text_file(report).empty(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_EQ("listening", platform_test::read_text_file(report));
            if (!c.folder_is_nobodys) ::chmod(folder.c_str(), 0700);
        };
        driver_test::LoadedDriver driver("", squat);
        EXPECT_EQ(c.start_error, driver.error());
        EXPECT_EQ("start", driver.failed_step());
        EXPECT_NE(trace().find(c.traced), std::string::npos) << trace();

        // The program does not talk to the squatter either, and the name stays where it was.
        driver_client::DriverClient client;
        EXPECT_EQ(platform::err::access_denied, client.open());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(fs::exists(report + ".contacted"));
        struct stat st {};
        ASSERT_EQ(0, ::lstat(socket.c_str(), &st));
        EXPECT_EQ(nobody, st.st_uid);
        squatter.kill();
        ::unlink(socket.c_str()); // so that the driver's unload sees the name gone
    }
}

} // namespace
#endif
