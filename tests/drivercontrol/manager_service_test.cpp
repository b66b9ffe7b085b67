// Manager against the real service control manager: the emulated one on Linux, Wine's own in the
// Windows build. A kernel-driver service whose image is missing is installed, refuses to start,
// and is uninstalled; the values and the file install writes land in the key the manager made.
#include <filesystem>

#include <gtest/gtest.h>

#include "../support/fresh_machine.h"
#include "drivercontrol/manager.h"
#include "files_support.h"
#include "platform/registry.h"

#ifndef _WIN32
#include "platform/posix/services_admin.h"
#endif

namespace {

using namespace ZelmUsbVardoManager;

void count(uint32_t, void* context) { ++*static_cast<int*>(context); }

class ManagerServiceTest : public ::testing::Test {
protected:
    platform_test::FreshMachine machine;
    platform_test::TempFolder dir;
    const std::u16string name = text::u16(platform_test::unique_name("zelmtest-mgr"));
    Manager manager{name, name, u"\\\\.\\" + name};
    std::u16string status;

    void TearDown() override
    {
#ifdef _WIN32
        std::u16string ignored;
        manager.Uninstall(0, ignored, nullptr, nullptr);
#else
        platform::posix::end_all_services();
#endif
    }
};

TEST_F(ManagerServiceTest, InstallStartAndUninstallAKernelDriverWithAMissingImage)
{
    const std::u16string cfg = dir.windows(u"config.json");
    int calls = 0;
    ASSERT_EQ(manager.Install(10, dir.windows(u"missing.sys"), cfg, dir.windows(u"adm"), 3, nullptr, nullptr,
                              nullptr, status, true, &calls, count),
              0u)
        << text::to_utf8(status);
    EXPECT_EQ(dc_test::read_utf16(dir.path() / "config.json"),
              u"{\"capture\":true,\"filesAndCacheMode\":1,\"filter\":true,\"hubs_always_accepted\":false,"
              u"\"notify_handle\":true}");
    std::u16string stored;
    ASSERT_EQ(manager.GetConfigFile(stored, status), 0u);
    EXPECT_EQ(stored, cfg);

    EXPECT_EQ(manager.Install(10, dir.windows(u"missing.sys"), cfg, dir.windows(u"adm"), 3, nullptr, nullptr,
                              nullptr, status, true, nullptr, nullptr),
              1073u);
    EXPECT_EQ(status, u"Serwis o tej nazwie już istnieje");

    // Windows gives 2 for the missing image; Wine's driver host fails to load it with 1114.
    const uint32_t started = manager.Start(10, status, &calls, count);
    EXPECT_TRUE(started == 2 || started == 1114) << started;
    EXPECT_EQ(status, SCManager::StatusText(SCManager::Operation::StartSvc, started));
    EXPECT_EQ(calls, 0) << "no callback for a start that failed";

    EXPECT_EQ(manager.Stop(10, status, nullptr, nullptr), 1062u);
    EXPECT_EQ(status, u"Serwis nie jest wystartowany");

    ASSERT_EQ(manager.Uninstall(50, status, &calls, count), 0u) << text::to_utf8(status);
    EXPECT_EQ(manager.Start(10, status, nullptr, nullptr), 1060u);
    EXPECT_EQ(status, u"Serwis nie jest zainstalowany");
    EXPECT_EQ(manager.Uninstall(50, status, nullptr, nullptr), 1060u);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "config.json")) << "uninstall leaves the file";
}

} // namespace
