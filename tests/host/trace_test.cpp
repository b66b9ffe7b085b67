#include <gtest/gtest.h>

#include "fakes.h"
#include "host/trace.h"
#include "text/text.h"

namespace {

class TraceTest : public ::testing::Test {
protected:
    fakes::System system;
    fakes::Processes processes;
    platform::Override<platform::System> o1{&platform::Platform::system, system};
    platform::Override<platform::Processes> o2{&platform::Platform::processes, processes};
};

TEST(TraceFunctionName, CutsSignaturesToTheSameVisibleName)
{
    struct Case {
        const char* signature;
        const char16_t* expected;
    };
    const Case cases[] = {
        {"int __cdecl CzelmarusbApp::InitInstance(void)", u" CzelmarusbApp::InitInstance"},
        {"void __cdecl _COUT(const wchar_t *,int)", u" _COUT"},
        {"int CzelmarusbApp::InitInstance()", u" CzelmarusbApp::InitInstance"},
        {"void read_config()", u" read_config"},
        {"std::map<int, int> make_map(int)", u" make_map"},
        {"CProcesses::CProcesses()", u" CProcesses::CProcesses"},
        {"(weird)", u" (weird)"},
    };
    for (const auto& c : cases) EXPECT_EQ(trace_function_name(c.signature), c.expected) << c.signature;
}

TEST_F(TraceTest, PrefixHasThreadNameAndLine)
{
    EXPECT_EQ(trace_prefix("int __cdecl CzelmarusbApp::InitInstance(void)", 57),
              u"[ODS][00001a2c]  CzelmarusbApp::InitInstance:57 -> ");
}

TEST_F(TraceTest, LinesEndInCrLfAndCarryTheirFunction)
{
    TRACE(u"Stop result: %s", u"1");
    ASSERT_EQ(system.lines.size(), 1u);
    const std::u16string& line = system.lines[0];
    EXPECT_EQ(line.rfind(u"[ODS][00001a2c]  ", 0), 0u) << text::to_utf8(line);
    EXPECT_NE(line.find(u"TraceTest_LinesEndInCrLfAndCarryTheirFunction_Test::TestBody:"), std::u16string::npos);
    const std::u16string tail = u" -> Stop result: 1\r\n";
    ASSERT_GT(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
}

TEST_F(TraceTest, CoutReplacesPercentCutsAt128AndNamesItself)
{
    _COUT(u"100% done %s %i");
    _COUT(std::u16string(200, u'x'));
    ASSERT_EQ(system.lines.size(), 2u);
    EXPECT_EQ(system.lines[0].rfind(u"[ODS][00001a2c]  _COUT:", 0), 0u);
    EXPECT_NE(system.lines[0].find(u" -> 100_ done _s _i\r\n"), std::u16string::npos);
    EXPECT_NE(system.lines[1].find(u" -> " + std::u16string(128, u'x') + u"\r\n"), std::u16string::npos);
}

TEST_F(TraceTest, OverlongLineBecomesBufferTooSmall)
{
    const std::u16string prefix = u"P";
    trace_line(prefix, u"%s", std::u16string(4095, u'a'));
    trace_line(prefix, u"%s", std::u16string(4096, u'a'));
    ASSERT_EQ(system.lines.size(), 2u);
    EXPECT_EQ(system.lines[0].size(), 1 + 4095 + 2u);
    EXPECT_EQ(system.lines[1], u"P log buffer too small\r\n");
}

TEST_F(TraceTest, TimestampsAndIntText)
{
    EXPECT_EQ(LocalTimestamp(), u"2024.01.31 09:59:59");
    EXPECT_EQ(CompactTimestamp(), u"20240131095959");
    EXPECT_EQ(IntText(-42), u"-42");

    // Each field as "%.4i" or "%.2i" gives it, at the ends of its range too.
    const platform::LocalTime times[] = {
        {0, 0, 0, 0, 0, 0, 0, 0},           {7, 1, 0, 2, 3, 4, 5, 0},
        {999, 12, 6, 31, 23, 59, 60, 999}, {65535, 65535, 0, 100, 65535, 10, 99, 0},
        {10000, 10, 0, 10, 10, 10, 10, 0},
    };
    for (const auto& t : times) {
        system.now = t;
        EXPECT_EQ(LocalTimestamp(), text::format(u"%.4i.%.2i.%.2i %.2i:%.2i:%.2i", t.year, t.month, t.day, t.hour,
                                                 t.minute, t.second));
        EXPECT_EQ(CompactTimestamp(),
                  text::format(u"%.4i%.2i%.2i%.2i%.2i%.2i", t.year, t.month, t.day, t.hour, t.minute, t.second));
    }
}

} // namespace
