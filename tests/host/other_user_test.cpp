// Another user of the machine (nobody) against the /start instance's objects: its "cfg", "stop"
// and "uninstall" are refused, and it can neither hold the run mutex nor take the pipe name,
// also when the objects folder lets everyone create names in it.
#include <gtest/gtest.h>

#if !defined(_WIN32) && defined(ZELMUSB_HOST_CHILD)

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "../platform/child/spawn.h"
#include "app/app.h"
#include "host/commp.h"
#include "host/files.h"
#include "listener_fixture.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "text/text.h"

namespace {

std::u16string commands_without_reload(uint32_t asker, const std::u16string& question)
{
    return question == u"cfg" ? u"1" : HandleDefaultQuestion(asker, question);
}

class OtherUser : public ListenerFixture {
protected:
    OtherUser() : ListenerFixture(commands_without_reload) { server_.request_filter = default_channel_filter; }
    void SetUp() override
    {
        if (::geteuid() != 0 || !std::filesystem::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
        g_stop_request = 0;
        g_uninstall_request = 0;
        ListenerFixture::SetUp();
        // Everyone may reach the machine; the objects folder is shared as a sticky /tmp is.
        const std::filesystem::path objects = root_ / "objects";
        std::filesystem::create_directories(objects);
        ::chmod(root_.c_str(), 0755);
        ::chmod(objects.c_str(), 01777);
        out_ = root_ / "out";
        std::filesystem::create_directories(out_);
        ::chmod(out_.c_str(), 0777);
    }
    void TearDown() override
    {
        if (::geteuid() != 0 || !std::filesystem::exists("/usr/bin/setpriv")) return;
        ListenerFixture::TearDown();
        g_stop_request = 0;
        g_uninstall_request = 0;
    }

    // Runs the helper as nobody and returns what it wrote.
    std::string as_nobody(std::vector<std::string> args, const std::string& out_name)
    {
        const std::string out = (out_ / out_name).string();
        args.push_back(out);
        std::vector<std::string> all = {"--reuid=65534", "--regid=65534", "--clear-groups", ZELMUSB_HOST_CHILD};
        all.insert(all.end(), args.begin(), args.end());
        testchild::Child child;
        if (!child.start_program("/usr/bin/setpriv", all)) return "not started";
        child.wait(60000);
        std::ifstream in(out, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::filesystem::path out_;
};

TEST_F(OtherUser, CfgStopAndUninstallRefused)
{
    const std::string me = std::to_string(::getpid());
    const std::string channel = text::to_utf8(channel_);
    EXPECT_EQ(as_nobody({"ask", me, channel, "uninstall"}, "uninstall.txt"), "=");
    EXPECT_EQ(as_nobody({"ask", me, channel, "stop"}, "stop.txt"), "=");
    EXPECT_EQ(g_stop_request.load(), 0u);
    EXPECT_EQ(g_uninstall_request.load(), 0u);
    EXPECT_EQ(as_nobody({"ask", me, channel, "cfg"}, "cfg.txt"), "=");
    // The instance's own user is obeyed.
    class_commp own(2000, 2000);
    EXPECT_EQ(own.AskText(0, u"stop", channel_), u"1");
    EXPECT_EQ(g_stop_request.load(), 1u);
}

TEST_F(OtherUser, CannotHoldTheRunMutexNorTakeThePipeName)
{
    auto& sync = platform::sync();
    platform::Handle run = platform::null_handle;
    ASSERT_EQ(sync.create_mutex(u"Global\\" + std::u16string(run_mutex), run), 0u);
    // Refused both (5), while the run mutex is still seen held by nobody's probe.
    EXPECT_EQ(as_nobody({"take", text::to_utf8(run_mutex), text::to_utf8(class_commp::pipe_path(channel_, 0))},
                        "take.txt"),
              "mutex=5 pipe=5 present=1");
    sync.close(run);

    // A name nobody made first in the shared folder is not the program's mutex: not seen held,
    // and the program creates its own.
    const std::string release = (out_ / "release").string();
    testchild::Child squatter;
    ASSERT_TRUE(squatter.start_program("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                                             ZELMUSB_HOST_CHILD, "squat", "ZELMUSB_TEST_SQUAT", release}));
    for (int i = 0; i < 1500 && !std::filesystem::exists(release + ".ready"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(std::filesystem::exists(release + ".ready"));
    EXPECT_FALSE(MutexPresent(u"ZELMUSB_TEST_SQUAT"));
    platform::Handle mine = platform::null_handle;
    EXPECT_EQ(sync.create_mutex(u"Global\\ZELMUSB_TEST_SQUAT", mine), 0u);
    EXPECT_TRUE(MutexPresent(u"ZELMUSB_TEST_SQUAT"));
    sync.close(mine);
    std::ofstream(release).put('1');
    squatter.wait(30000);
}

// A process of another user named like the suite's monitor is neither asked for the settings nor
// given rules: the settings file applies as when no monitor runs. The menu program is the
// logged-on user's by design and is asked whoever runs it.
TEST_F(OtherUser, AMonitorOfAnotherUserIsNotBelieved)
{
    const std::filesystem::path fake = out_ / "halvarmon.exe";
    std::filesystem::copy_file(ZELMUSB_HOST_CHILD, fake);
    ::chmod(fake.c_str(), 0755);
    const std::string release = (out_ / "monitor-release").string();
    testchild::Child monitor;
    ASSERT_TRUE(monitor.start_program("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                                            fake.string(), "serve", "default", "{\"usb\":{\"active\":0}}", release}));
    for (int i = 0; i < 1500 && !std::filesystem::exists(release + ".ready"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    struct Case {
        const char* what;
        bool trusted_only;
        bool answered;
    } cases[] = {{"any asker reaches it (the impostor is there)", false, true},
                 {"the settings and rules are not asked of it", true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::u16string answer;
        for (int i = 0; i < 100 && answer.empty(); ++i) {
            class_commp asker(2000, 2000);
            asker.trusted_peers_only = c.trusted_only;
            answer = asker.AskProcess(u"halvarmon.exe", u"get_config", u"default", 2000);
            if (!c.answered) break;
            if (answer.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_EQ(!answer.empty(), c.answered) << text::to_utf8(answer);
    }
    std::ofstream(release).put('1');
    monitor.wait(30000);
}

} // namespace

#endif
