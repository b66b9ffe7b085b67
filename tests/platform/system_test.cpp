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

} // namespace
