#include <chrono>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../support/fresh_machine.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "text/text.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using namespace platform;
using platform_test::FreshMachine;
using platform_test::ScopedEnv;
using platform_test::TempFolder;

class SystemTest : public ::testing::Test {
protected:
    FreshMachine machine;
    System& sys = platform::system();
};

std::string hex(const Sha1Digest& d)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : d) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

TEST_F(SystemTest, Sha1OfKnownTexts)
{
    struct Case {
        std::string input;
        const char* digest;
    };
    const Case cases[] = {
        {"abc", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
        {"", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"},
        {std::string(1000000, 'a'), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 20));
        Sha1Digest d{};
        ASSERT_EQ(sys.sha1(std::span(reinterpret_cast<const uint8_t*>(c.input.data()), c.input.size()), d),
                  err::success);
        EXPECT_EQ(hex(d), c.digest);
    }
    // The digest of UTF-8 text, as identities are hashed.
    const std::string polish = text::to_utf8(u"Łódź");
    Sha1Digest a{}, b{};
    sys.sha1(std::span(reinterpret_cast<const uint8_t*>(polish.data()), polish.size()), a);
    const std::string latin = "Lodz";
    sys.sha1(std::span(reinterpret_cast<const uint8_t*>(latin.data()), latin.size()), b);
    EXPECT_NE(a, b);
}

TEST_F(SystemTest, TickCountGrowsWithTime)
{
    const uint32_t first = sys.tick_count();
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    const uint32_t second = sys.tick_count();
    const uint32_t elapsed = second - first; // modulo 2^32, as callers compute it
    EXPECT_GE(elapsed, 90u);
    EXPECT_LT(elapsed, 10000u);
}

TEST_F(SystemTest, LocalTimeIsTheClockInLocalFields)
{
    const std::time_t before = std::time(nullptr);
    const LocalTime t = sys.local_time();
    const std::time_t after = std::time(nullptr);

    ASSERT_GE(t.month, 1);
    ASSERT_LE(t.month, 12);
    ASSERT_GE(t.day, 1);
    ASSERT_LE(t.day, 31);
    EXPECT_LE(t.hour, 23);
    EXPECT_LE(t.minute, 59);
    EXPECT_LE(t.second, 59);
    EXPECT_LE(t.milliseconds, 999);
    EXPECT_LE(t.day_of_week, 6);

    // The fields name a moment between the two readings of the C clock, in the same time zone.
    std::tm fields{};
    fields.tm_year = t.year - 1900;
    fields.tm_mon = t.month - 1;
    fields.tm_mday = t.day;
    fields.tm_hour = t.hour;
    fields.tm_min = t.minute;
    fields.tm_sec = t.second;
    fields.tm_isdst = -1;
    const std::time_t moment = std::mktime(&fields);
    EXPECT_GE(moment, before - 1);
    EXPECT_LE(moment, after + 1);
    EXPECT_EQ(t.day_of_week, fields.tm_wday);
}

TEST_F(SystemTest, EnvironmentVariablesAreReadAsTheyAreSet)
{
    const std::string name = platform_test::unique_name("ZELMUSB_TEST_VAR");
    std::u16string value;
    EXPECT_EQ(sys.environment(text::u16(name), value), err::envvar_not_found);
    {
#ifdef _WIN32
        ASSERT_TRUE(SetEnvironmentVariableW(reinterpret_cast<const wchar_t*>(text::u16(name).c_str()), L"C:\\zażółć"));
#else
        ScopedEnv set(name.c_str(), text::to_utf8(u"C:\\zażółć").c_str());
#endif
        ASSERT_EQ(sys.environment(text::u16(name), value), err::success);
        EXPECT_EQ(value, u"C:\\zażółć");
#ifdef _WIN32
        SetEnvironmentVariableW(reinterpret_cast<const wchar_t*>(text::u16(name).c_str()), nullptr);
#endif
    }
    EXPECT_EQ(sys.environment(text::u16(name), value), err::envvar_not_found);
}

#ifndef _WIN32

TEST_F(SystemTest, SharedDataFolderDefaultsBelowThePlatformRoot)
{
    std::u16string value;
    {
        ScopedEnv unset("ALLUSERSPROFILE", nullptr);
        ASSERT_EQ(sys.environment(u"ALLUSERSPROFILE", value), err::success);
        std::u16string expected = text::u16((machine.root() / "ProgramData").string());
        for (char16_t& c : expected)
            if (c == u'/') c = u'\\';
        EXPECT_EQ(value, expected);
    }
    ScopedEnv set("ALLUSERSPROFILE", "/srv/shared");
    ASSERT_EQ(sys.environment(u"ALLUSERSPROFILE", value), err::success);
    EXPECT_EQ(value, u"/srv/shared");
}

class TraceFileTest : public SystemTest {
protected:
    TempFolder dir;
    const std::string file = (dir.path() / "trace.log").string();
    ScopedEnv env{"ZELMUSB_TRACE_FILE", file.c_str()};
};

TEST_F(TraceFileTest, DebugOutputLinesAreAppendedToTheTraceFile)
{
    sys.debug_output(u"[ODS][00001a2c]  CzelmarusbApp::InitInstance:57 -> Zażółć\r\n");
    sys.debug_output(u"no line end");
    EXPECT_EQ(platform_test::read_text_file(file),
              text::to_utf8(u"[ODS][00001a2c]  CzelmarusbApp::InitInstance:57 -> Zażółć\r\nno line end\n"));
}

TEST_F(TraceFileTest, LinesOfConcurrentWritersNeverMix)
{
    constexpr int writers = 6, lines = 150;
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([this, w] {
            // Long lines, so that a writer that wrote in pieces would be caught mixing them.
            const std::u16string body(600, char16_t(u'a' + w));
            for (int i = 0; i < lines; ++i)
                sys.debug_output(text::u16("w" + std::to_string(w) + " ") + body + u"\r\n");
        });
    }
    for (auto& t : threads) t.join();

    std::istringstream in(platform_test::read_text_file(file));
    std::map<int, int> per_writer;
    std::string line;
    int total = 0;
    while (std::getline(in, line)) {
        ++total;
        ASSERT_GE(line.size(), 3u);
        const int w = line[1] - '0';
        ASSERT_EQ(line, "w" + std::to_string(w) + " " + std::string(600, char('a' + w)) + "\r") << "line " << total;
        ++per_writer[w];
    }
    EXPECT_EQ(total, writers * lines);
    for (int w = 0; w < writers; ++w) EXPECT_EQ(per_writer[w], lines);
}

#else

// Without a debugger, Windows hands debugger output to whoever listens on the DBWIN buffer.
TEST_F(SystemTest, DebugOutputReachesADebugMonitor)
{
    HANDLE buffer_ready = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    HANDLE data_ready = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER");
    ASSERT_TRUE(buffer_ready && data_ready && mapping);
    const auto* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 4096));
    ASSERT_NE(view, nullptr);
    SetEvent(buffer_ready);

    sys.debug_output(u"zelmusb debug output probe\r\n");
    const DWORD waited = WaitForSingleObject(data_ready, 5000);
    std::string text;
    if (waited == WAIT_OBJECT_0) text.assign(view + sizeof(DWORD));
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(data_ready);
    CloseHandle(buffer_ready);
    if (waited != WAIT_OBJECT_0) GTEST_SKIP() << "this system gives debugger output to no monitor";
    EXPECT_EQ(text, "zelmusb debug output probe\r\n");
}

#endif


#ifndef _WIN32
} // namespace
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/posix/root.h"
namespace {

// The platform root and the folders above it must be safe from the machine's other users: a
// folder another (non-root) user owns, or one any group or other user may write that is not a
// sticky folder of root's, is named with its owner; the machine is then refused at /start.
TEST(StateFolders, RefusedWhenAnotherUserCanChangeThem)
{
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand folders to nobody";
    constexpr uid_t nobody = 65534;
    struct Case {
        const char* what;
        mode_t parent_mode;
        uid_t parent_owner;
        mode_t root_mode;
        uid_t root_owner;
        bool root_made;   // the root exists already
        bool via_link;    // the root's path is a link to the real folder
        const char* refused; // "parent", "root" or nullptr
        const char* owner;
    };
    const Case cases[] = {
        {"root's own folders", 0755, 0, 0700, 0, true, false, nullptr, nullptr},
        {"below a folder of nobody", 0755, nobody, 0700, 0, true, false, "parent", "nobody"},
        {"below a folder of nobody, root not made yet", 0755, nobody, 0700, 0, false, false, "parent", "nobody"},
        {"below a folder anyone may write", 0777, 0, 0700, 0, true, false, "parent", "root"},
        {"below a folder its group may write", 0775, 0, 0700, 0, true, false, "parent", "root"},
        {"below a sticky folder of root's, as /tmp", 01777, 0, 0700, 0, true, false, nullptr, nullptr},
        {"below a sticky folder of nobody", 01777, nobody, 0700, 0, true, false, "parent", "nobody"},
        {"the root itself nobody's", 0755, 0, 0700, nobody, true, false, "root", "nobody"},
        {"the root itself open to all", 0755, 0, 0777, 0, true, false, "root", "root"},
        {"a link to a root below nobody's folder", 0755, nobody, 0700, 0, true, true, "parent", "nobody"},
    };
    // A relative root is judged from the working folder.
    {
        TempFolder base;
        ASSERT_EQ(::chmod(base.path().c_str(), 0777), 0);
        const auto cwd = std::filesystem::current_path();
        std::filesystem::current_path(base.path());
        ScopedEnv env("ZELMUSB_PLATFORM_ROOT", "relative/root");
        std::u16string folder, owner;
        EXPECT_EQ(platform::system().check_state_folders(folder, owner), err::access_denied);
        EXPECT_EQ(text::to_utf8(folder), base.path().string());
        std::filesystem::current_path(cwd);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder base;
        ASSERT_EQ(::chmod(base.path().c_str(), 0755), 0);
        const std::filesystem::path parent = base.path() / "parent", root = parent / "root";
        std::filesystem::create_directories(root);
        ASSERT_EQ(::chmod(parent.c_str(), c.parent_mode), 0);
        ASSERT_EQ(::chown(parent.c_str(), c.parent_owner, c.parent_owner), 0);
        ASSERT_EQ(::chmod(root.c_str(), c.root_mode), 0);
        ASSERT_EQ(::chown(root.c_str(), c.root_owner, c.root_owner), 0);
        if (!c.root_made) std::filesystem::remove(root);
        std::filesystem::path named = root;
        if (c.via_link) {
            named = base.path() / "link";
            std::filesystem::create_symlink(root, named);
        }
        ScopedEnv env("ZELMUSB_PLATFORM_ROOT", named.c_str());
        std::u16string folder, owner;
        const Error e = platform::system().check_state_folders(folder, owner);
        if (!c.refused) {
            EXPECT_EQ(e, err::success) << text::to_utf8(folder);
            continue;
        }
        EXPECT_EQ(e, err::access_denied);
        EXPECT_EQ(text::to_utf8(folder), (std::string(c.refused) == "parent" ? parent : root).string());
        EXPECT_EQ(text::to_utf8(owner), c.owner);
    }
}

// Folders made below the platform root are their owner's alone whatever the umask, the program's
// data folders among them; "objects" lets others reach the pipes and mutexes.
TEST(StateFolders, MadeOwnerOnlyWhateverTheUmask)
{
    FreshMachine machine;
    const mode_t old = ::umask(0);
    const std::u16string data = text::from_utf8((machine.root() / "ProgramData").string());
    EXPECT_EQ(platform::files().create_directory(data), 0u);
    EXPECT_EQ(platform::files().create_directory(data + u"/zelmusb"), 0u);
    platform::posix::root_folder("drivers");
    platform::posix::root_folder("objects");
    TempFolder elsewhere;
    EXPECT_EQ(platform::files().create_directory(text::from_utf8((elsewhere.path() / "mine").string())), 0u);
    ::umask(old);
    struct Case {
        std::filesystem::path path;
        mode_t mode;
    } cases[] = {
        {machine.root() / "ProgramData", 0700},
        {machine.root() / "ProgramData" / "zelmusb", 0700},
        {machine.root() / "drivers", 0700},
        {machine.root() / "objects", 0755},
        {elsewhere.path() / "mine", 0777}, // outside the root the umask decides, as the parent's rights do on Windows
    };
    for (const Case& c : cases) {
        struct stat st{};
        ASSERT_EQ(::stat(c.path.c_str(), &st), 0) << c.path;
        EXPECT_EQ(st.st_mode & 0777, c.mode) << c.path;
    }
}
#endif

} // namespace
