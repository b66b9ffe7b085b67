#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "../support/fresh_machine.h"
#include "platform/platform.h"
#include "platform/processes.h"
#include "text/text.h"

#ifndef ZELMUSB_PLATFORM_A_CHILD
#error "the build passes the path of the child program"
#endif

namespace {

using namespace platform;
using platform_test::FreshMachine;
using platform_test::TempFolder;

#ifdef _WIN32
constexpr char16_t test_program[] = u"test_platform.exe";
constexpr char16_t child_program[] = u"platform_a_child.exe";
#else
constexpr char16_t test_program[] = u"test_platform";
constexpr char16_t child_program[] = u"platform_a_child";
#endif

std::u16string lower(std::u16string_view s)
{
    return text::to_lower(s);
}

bool ends_with(std::u16string_view s, std::u16string_view tail)
{
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

std::u16string child_path()
{
    return platform_test::built_program(ZELMUSB_PLATFORM_A_CHILD);
}

class ProcessesTest : public ::testing::Test {
protected:
    FreshMachine machine;
    TempFolder dir;
    Processes& procs = platform::processes();

    LaunchRequest child(std::u16string parameters, bool wait = true)
    {
        LaunchRequest r;
        r.file = child_path();
        r.parameters = std::move(parameters);
        r.wait = wait;
        r.wait_limit_ms = 60000;
        return r;
    }

    // Waits until the process is no longer there: ended, and its identifier names nothing or
    // another program.
    bool gone(uint32_t pid)
    {
        for (int attempt = 0; attempt < 500; ++attempt) {
            Handle h = 0;
            if (procs.open(pid, h) != err::success) return true;
            // A process on its way out may already have lost its image while it is still listed:
            // only a name that can be read and is another program's counts as gone.
            std::u16string base;
            const Error e = procs.module_base_name(h, base);
            procs.close(h);
            if (e == err::success && lower(base) != child_program) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // A path inside the scratch folder, as the child program's own file calls take it, quoted for
    // a command line.
    std::u16string quoted(std::u16string_view name) const
    {
        return platform_test::cat(u"\"", (dir.path() / std::filesystem::path(std::u16string(name))).u16string(), u"\"");
    }
};

TEST_F(ProcessesTest, OwnImagePathBaseNameAndUser)
{
    std::u16string own;
    ASSERT_EQ(procs.current_module_path(own), err::success);
    EXPECT_TRUE(ends_with(lower(own), std::u16string(u"\\") + test_program)) << text::to_utf8(own);

    Handle h = 0;
    ASSERT_EQ(procs.open(procs.current_id(), h), err::success);
    std::u16string path, image, base, user, me;
    ASSERT_EQ(procs.module_file_name(h, path), err::success);
    EXPECT_EQ(lower(path), lower(own));
    ASSERT_EQ(procs.full_image_name(h, image), err::success);
    EXPECT_TRUE(ends_with(lower(image), std::u16string(u"\\") + test_program)) << text::to_utf8(image);
    ASSERT_EQ(procs.module_base_name(h, base), err::success);
    EXPECT_EQ(lower(base), test_program);
    ASSERT_EQ(procs.token_user_name(h, user), err::success);
    ASSERT_EQ(procs.current_user_name(me), err::success);
    EXPECT_FALSE(me.empty());
    EXPECT_EQ(user, me);
    EXPECT_EQ(procs.close(h), err::success);

    std::u16string snapshot;
    ASSERT_EQ(procs.snapshot_exe_name(procs.current_id(), snapshot), err::success);
    EXPECT_EQ(lower(snapshot), test_program);

    std::vector<uint32_t> ids;
    ASSERT_EQ(procs.enumerate(ids), err::success);
    EXPECT_NE(std::find(ids.begin(), ids.end(), procs.current_id()), ids.end());
    EXPECT_NE(procs.current_thread_id(), 0u);
}

// The identifiers are kept once asked: another thread still gets its own, and so does the child
// of a fork (on Linux), which must not answer with its parent's.
TEST_F(ProcessesTest, ProcessAndThreadIdentifiersAreTheAskersOwn)
{
    const uint32_t pid = procs.current_id(), tid = procs.current_thread_id();
    EXPECT_EQ(procs.current_thread_id(), tid);
    uint32_t other_pid = 0, other_tid = 0;
    std::thread([&] {
        other_pid = procs.current_id();
        other_tid = procs.current_thread_id();
    }).join();
    EXPECT_EQ(other_pid, pid);
    EXPECT_NE(other_tid, 0u);
    EXPECT_NE(other_tid, tid);
#ifndef _WIN32
    int link[2];
    ASSERT_EQ(::pipe(link), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const uint32_t ids[4] = {procs.current_id(), procs.current_thread_id(), uint32_t(::getpid()),
                                 uint32_t(::syscall(SYS_gettid))};
        (void)!::write(link[1], ids, sizeof ids);
        ::_exit(0);
    }
    ::close(link[1]);
    uint32_t ids[4] = {};
    EXPECT_EQ(::read(link[0], ids, sizeof ids), ssize_t(sizeof ids));
    ::close(link[0]);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(ids[0], uint32_t(child));
    EXPECT_EQ(ids[0], ids[2]);
    EXPECT_EQ(ids[1], ids[3]);
    EXPECT_NE(ids[1], tid);
#endif
}

TEST_F(ProcessesTest, AnotherProcessIsFoundByItsExecutableName)
{
    LaunchResult started;
    ASSERT_EQ(procs.launch(child(u"linger " + quoted(u"stop"), false), started), err::success);
    ASSERT_NE(started.process_id, 0u);
    EXPECT_FALSE(started.ended);

    // The way the host looks for the suite's programs: every process, by the name of its image.
    uint32_t found = 0;
    std::u16string found_path, found_user;
    for (int attempt = 0; attempt < 100 && !found; ++attempt) {
        std::vector<uint32_t> ids;
        ASSERT_EQ(procs.enumerate(ids), err::success);
        for (uint32_t pid : ids) {
            Handle h = 0;
            if (procs.open(pid, h) != err::success) continue;
            std::u16string base;
            if (procs.module_base_name(h, base) == err::success && lower(base) == child_program) {
                found = pid;
                procs.module_file_name(h, found_path);
                procs.token_user_name(h, found_user);
            }
            procs.close(h);
            if (found) break;
        }
        if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::ofstream(dir.path() / "stop") << "stop";
    EXPECT_TRUE(gone(started.process_id));
    EXPECT_EQ(found, started.process_id);
    EXPECT_TRUE(ends_with(lower(found_path), std::u16string(u"\\") + child_program)) << text::to_utf8(found_path);
    std::u16string me;
    procs.current_user_name(me);
    EXPECT_EQ(found_user, me);
}

#ifndef _WIN32
// Emulated machines side by side on one Linux host see only their own processes, as two computers
// would: a test's suite programs must not be found by another test on another machine.
TEST_F(ProcessesTest, ProcessesOfAnotherMachineAreNotListed)
{
    LaunchResult started;
    ASSERT_EQ(procs.launch(child(u"linger " + quoted(u"stop"), false), started), err::success);
    const auto listed = [&](uint32_t pid) {
        std::vector<uint32_t> ids;
        EXPECT_EQ(procs.enumerate(ids), err::success);
        return std::find(ids.begin(), ids.end(), pid) != ids.end();
    };
    EXPECT_TRUE(listed(started.process_id));
    {
        platform_test::TempFolder other;
        platform_test::ScopedEnv elsewhere("ZELMUSB_PLATFORM_ROOT", other.path().string().c_str());
        EXPECT_FALSE(listed(started.process_id));
        EXPECT_TRUE(listed(procs.current_id()));  // the asking process is where it looks from
    }
    EXPECT_TRUE(listed(started.process_id));  // and back on its own machine
    std::ofstream(dir.path() / "stop") << "stop";
    EXPECT_TRUE(gone(started.process_id));
    EXPECT_FALSE(listed(started.process_id));
}
#endif

TEST_F(ProcessesTest, LaunchPassesParametersByWindowsQuotingRulesAndWaitsForTheEnd)
{
    struct Case {
        const char16_t* parameters;
        std::string expected; // one argument a line
    };
    const Case cases[] = {
        {u"plain two", "plain\ntwo\n"},
        {u"\"with space\"   x", "with space\nx\n"},
        {u"a\\\"b", "a\"b\n"},                       // a\"b: an escaped quote
        {u"\"c:\\dir\\\\\" next", "c:\\dir\\\nnext\n"}, // "c:\dir\\" next: the doubled backslash ends in one
        {u"x\\y \\\\z", "x\\y\n\\\\z\n"},           // backslashes not before a quote stay as they are
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(text::to_utf8(c.parameters));
        const std::u16string out = u"args" + text::u16(std::to_string(n++)) + u".txt";
        LaunchResult result;
        ASSERT_EQ(procs.launch(child(u"args " + quoted(out) + u" " + c.parameters), result), err::success);
        EXPECT_TRUE(result.ended);
        EXPECT_EQ(result.exit_code, 3u);
        EXPECT_EQ(platform_test::read_text_file(dir.path() / std::filesystem::path(out)), c.expected);
    }
}

TEST_F(ProcessesTest, LaunchReportsExitCodesWorkingFolderAndMissingPrograms)
{
    LaunchResult result;
    ASSERT_EQ(procs.launch(child(u"exit 42"), result), err::success);
    EXPECT_TRUE(result.ended);
    EXPECT_EQ(result.exit_code, 42u);
    EXPECT_NE(result.process_id, 0u);

    // Ending itself through the platform skips everything after the call and keeps the code.
    ASSERT_EQ(procs.launch(child(u"terminate 7"), result), err::success);
    EXPECT_TRUE(result.ended);
    EXPECT_EQ(result.exit_code, 7u);

    TempFolder elsewhere;
    LaunchRequest in_folder = child(u"cwd " + quoted(u"cwd.txt"));
    in_folder.directory = elsewhere.windows();
    ASSERT_EQ(procs.launch(in_folder, result), err::success);
    EXPECT_TRUE(result.ended);
    EXPECT_TRUE(std::filesystem::equivalent(platform_test::read_text_file(dir.path() / "cwd.txt"), elsewhere.path()));

    LaunchRequest missing = child(u"exit 0");
    missing.file = dir.windows(u"no-such-program.exe");
    EXPECT_EQ(procs.launch(missing, result), err::file_not_found);
    EXPECT_EQ(result.process_id, 0u);

#ifndef _WIN32
    // A bare name is found beside the running program (as "sc.exe" beside the program is), from
    // any working folder and whatever PATH holds.
    const std::filesystem::path beside = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    ASSERT_TRUE(std::filesystem::equivalent(std::filesystem::path(ZELMUSB_PLATFORM_A_CHILD).parent_path(), beside));
    platform_test::ScopedEnv no_path("PATH", "/nonexistent");
    LaunchRequest bare = child(u"exit 5");
    bare.file = text::from_utf8(std::filesystem::path(ZELMUSB_PLATFORM_A_CHILD).filename().string() + ".exe");
    bare.directory = elsewhere.windows();
    ASSERT_EQ(procs.launch(bare, result), err::success);
    EXPECT_EQ(result.exit_code, 5u);
#endif
}

TEST_F(ProcessesTest, AWaitThatRunsOutLeavesTheProgramRunning)
{
    LaunchRequest r = child(u"linger " + quoted(u"stop"));
    r.wait_limit_ms = 300;
    LaunchResult result;
    const auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(procs.launch(r, result), err::success);
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_FALSE(result.ended);
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(10));

    Handle h = 0;
    std::u16string base;
    ASSERT_EQ(procs.open(result.process_id, h), err::success);
    EXPECT_EQ(procs.module_base_name(h, base), err::success);
    EXPECT_EQ(lower(base), child_program);
    procs.close(h);
    std::ofstream(dir.path() / "stop") << "stop";
    EXPECT_TRUE(gone(result.process_id));
}

TEST_F(ProcessesTest, AHandleThatNamesNothingIsAnErrorNotACrash)
{
    const Handle bogus = 0x7A5A5A0;
    std::u16string s;
    EXPECT_NE(procs.module_file_name(bogus, s), err::success);
    EXPECT_NE(procs.module_base_name(bogus, s), err::success);
    EXPECT_NE(procs.token_user_name(bogus, s), err::success);
    EXPECT_EQ(procs.close(bogus), err::invalid_handle);
    Handle h = 0;
    EXPECT_EQ(procs.open(0xFFFFFFF0u, h), err::invalid_parameter); // no such process
}

#ifndef _WIN32
TEST_F(ProcessesTest, UserInterfaceLanguageFollowsTheLocaleVariables)
{
    struct Case {
        const char* lc_all;
        const char* lc_messages;
        const char* lang;
        uint16_t expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, "pl_PL.UTF-8", 0x0415},
        {nullptr, nullptr, "en_GB.UTF-8", 0x0809},
        {nullptr, nullptr, "de_DE@euro", 0x0407},
        {nullptr, nullptr, "pt_BR", 0x0416},
        {nullptr, "cs_CZ.UTF-8", "pl_PL.UTF-8", 0x0405},
        {"fr_FR.UTF-8", "cs_CZ.UTF-8", "pl_PL.UTF-8", 0x040C},
        {nullptr, nullptr, "C.UTF-8", 0x0409},
        {nullptr, nullptr, nullptr, 0x0409},
        {"", "", "xx_YY", 0x0409},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.lc_all ? c.lc_all : "-") + " " + (c.lc_messages ? c.lc_messages : "-") + " " +
                     (c.lang ? c.lang : "-"));
        platform_test::ScopedEnv all("LC_ALL", c.lc_all), messages("LC_MESSAGES", c.lc_messages), lang("LANG", c.lang);
        EXPECT_EQ(procs.user_ui_language(), c.expected);
    }
}
#endif

} // namespace
