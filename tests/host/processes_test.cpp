#include <gtest/gtest.h>

#include "fakes.h"
#include "host/processes.h"

namespace {

class ProcessesTest : public ::testing::Test {
protected:
    fakes::System system;
    fakes::Processes table;
    platform::Override<platform::System> o1{&platform::Platform::system, system};
    platform::Override<platform::Processes> o2{&platform::Platform::processes, table};
    CProcesses processes;
};

TEST_F(ProcessesTest, ImagePathNamesAndFallbacks)
{
    table.add(0, u"");
    table.add(4, u"");
    table.add(100, u"C:\\Suite\\halvarmon.exe");
    table.add(200, u"C:\\Windows\\locked.exe", u"", false);  // cannot be opened: snapshot name
    EXPECT_EQ(processes.ProcessImagePath(0), u"Idle");
    EXPECT_EQ(processes.ProcessImagePath(4), u"System");
    EXPECT_EQ(processes.ProcessImagePath(100), u"C:\\Suite\\halvarmon.exe");
    EXPECT_EQ(processes.ProcessImagePath(200), u"locked.exe");
    EXPECT_EQ(processes.ProcessImagePath(999), u"");
    std::vector<uint32_t> ids;
    EXPECT_EQ(processes.EnumerateProcesses(ids), 3u);  // identifier 0 left out
}

TEST_F(ProcessesTest, FindByNameIsASubstringTestAndRemembersItsAnswer)
{
    table.add(10, u"C:\\Other\\xhalvarmon.exe");
    table.add(20, u"C:\\Suite\\HALVARMON.EXE");
    EXPECT_EQ(processes.FindProcessByName(u"HalvarMon.exe"), 10u);
    const int opens = table.opens;
    EXPECT_EQ(processes.FindProcessByName(u"halvarmon.exe"), 10u);
    EXPECT_EQ(table.opens, opens + 1);  // the remembered process is checked, not the whole list
    table.table[10].path = u"C:\\Other\\notepad.exe";  // identifier reused by another program
    EXPECT_EQ(processes.FindProcessByName(u"halvarmon.exe"), 20u);
    EXPECT_EQ(processes.FindProcessByName(u"missing.exe"), 0u);
}

TEST_F(ProcessesTest, BaseNamesAreCachedAndDesktopUsersComeFromExplorer)
{
    table.add(4, u"");
    table.add(30, u"C:\\Windows\\Explorer.EXE", u"ania");
    table.add(31, u"C:\\Windows\\explorer.exe", u"");  // no user: not listed
    table.add(32, u"C:\\Windows\\notepad.exe", u"ania");
    table.add(33, u"C:\\Windows\\explorer.exe", u"jan");
    EXPECT_EQ(processes.ProcessBaseName(4), u"System");
    EXPECT_EQ(processes.ProcessBaseName(999), u"<unknown>");
    std::vector<std::u16string> users;
    EXPECT_EQ(processes.DesktopUsers(users), 2u);
    EXPECT_EQ(users, (std::vector<std::u16string>{u"ania", u"30", u"jan", u"33"}));
    table.table[30].path = u"C:\\changed.exe";
    EXPECT_EQ(processes.ProcessBaseName(30), u"Explorer.EXE");  // from the cache
}

} // namespace
