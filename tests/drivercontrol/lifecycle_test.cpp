// Manager's service lifecycle against a scripted service manager, every wait in virtual time.
#include <gtest/gtest.h>

#include "drivercontrol/manager.h"
#include "scripted_manager.h"

namespace {

using namespace ZelmUsbVardoManager;

void record(uint32_t code, void* context) { static_cast<std::vector<uint32_t>*>(context)->push_back(code); }

class LifecycleTest : public dc_test::ScriptedManagerTest {
protected:
    std::vector<uint32_t> seen;

    void SetUp() override
    {
        ScriptedManagerTest::SetUp();
        clock.real_pause = false; // no other thread to let run
    }
    void installed(uint32_t state = platform::service::stopped)
    {
        services.service = name;
        services.exists = true;
        services.state = state;
    }
    // Every handle the operation opened was closed again.
    void expect_no_open_handles() { EXPECT_TRUE(services.open_handles.empty()); }
};

TEST_F(LifecycleTest, StartPolls)
{
    struct Case {
        const char* what;
        uint32_t state_before;
        int pending_polls;
        uint32_t wait;
        uint32_t code;
        std::vector<uint32_t> callbacks;
        uint64_t slept_ms;
        const char16_t* text; // nullptr: left as it was
    };
    const std::vector<uint32_t> never(3000, 2);
    std::vector<uint32_t> never_then_final = never;
    never_then_final.push_back(2);
    const Case cases[] = {
        {"running at once", platform::service::stopped, 0, 10, 0, {4}, 0, nullptr},
        {"pending three polls", platform::service::stopped, 3, 10, 0, {2, 2, 2, 4}, 30, nullptr},
        {"no waiting", platform::service::stopped, 3, 0, 0, {}, 0, nullptr},
        {"already running", platform::service::running, 0, 10, 1056, {}, 0, u"Serwis jest juz wystartowany"},
        {"never leaves start pending", platform::service::stopped, -1, 10, 1053, never_then_final, 30000,
         u"Operacja startowania serwisu nie zakończyła się w wymaganym czasie"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        services = platform_test::ScriptedServices{};
        installed(c.state_before);
        services.start_pending_polls = c.pending_polls;
        seen.clear();
        clock.time.slept_ms = 0;
        status = u"before";
        EXPECT_EQ(manager.Start(c.wait, status, &seen, record), c.code);
        EXPECT_EQ(seen, c.callbacks);
        EXPECT_EQ(clock.time.slept_ms, c.slept_ms);
        EXPECT_EQ(status, c.text ? c.text : u"before");
        EXPECT_EQ(services.accesses("open"), std::vector<uint32_t>{0x14});
        expect_no_open_handles();
    }
}

TEST_F(LifecycleTest, StartFailures)
{
    EXPECT_EQ(manager.Start(10, status, &seen, record), 1060u);
    EXPECT_EQ(status, u"Serwis nie jest zainstalowany");
    installed();
    services.start_error = 3;
    EXPECT_EQ(manager.Start(10, status, &seen, record), 3u);
    EXPECT_EQ(status, u"The service binary file could not be found");
    services.start_error = 0;
    services.query_error = 5;
    EXPECT_EQ(manager.Start(10, status, &seen, record), 5u);
    EXPECT_EQ(status, u"Odmowa dostępu do serwisu");
    services.open_manager_error = 1065;
    EXPECT_EQ(manager.Start(10, status, &seen, record), 1065u);
    EXPECT_EQ(status, u"Nie ma bazy danych SCManager-a");
    EXPECT_TRUE(seen.empty());
    expect_no_open_handles();
}

TEST_F(LifecycleTest, StopDetachesFirstAndPolls)
{
    installed(platform::service::running);
    services.stop_pending_polls = 2;
    ASSERT_TRUE(manager.Attach(status));
    ASSERT_EQ(driver.open_handles(), 1u);
    EXPECT_EQ(manager.Stop(10, status, &seen, record), 0u);
    EXPECT_FALSE(manager.IsAttached());
    EXPECT_EQ(driver.open_handles(), 0u);
    EXPECT_EQ(seen, (std::vector<uint32_t>{3, 3, 1}));
    EXPECT_EQ(services.accesses("open"), std::vector<uint32_t>{0x24});
    EXPECT_EQ(services.accesses("control"), std::vector<uint32_t>{1});
    expect_no_open_handles();
}

TEST_F(LifecycleTest, StopReturnsTheCodeOfTheStepThatFailed)
{
    struct Case {
        const char* what;
        std::function<void()> arrange;
        uint32_t code;
        const char16_t* text;
        uint64_t slept_ms;
    };
    const Case cases[] = {
        {"not installed", [&] {}, 1060, u"Serwis nie jest zainstalowany", 0},
        {"not running", [&] { installed(); }, 1062, u"Serwis nie jest wystartowany", 0},
        {"manager refused", [&] { services.open_manager_error = 5; }, 5, u"Odmowa dostępu do SCManager-a", 0},
        {"control refused", [&] { installed(platform::service::running); services.control_error = 1052; }, 1052,
         u"Polecenie jest niewłaściwe dla tego serwisu", 0},
        {"never stops", [&] { installed(platform::service::running); services.stop_pending_polls = -1; }, 1053,
         u"Serwis nie przyjął polecenia w wymaganym czasie", 5000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        services = platform_test::ScriptedServices{};
        c.arrange();
        clock.time.slept_ms = 0;
        ASSERT_TRUE(manager.Attach(status));
        EXPECT_EQ(manager.Stop(10, status, nullptr, nullptr), c.code);
        EXPECT_EQ(status, c.text);
        EXPECT_FALSE(manager.IsAttached());
        EXPECT_EQ(clock.time.slept_ms, c.slept_ms);
        expect_no_open_handles();
    }
}

TEST_F(LifecycleTest, StopWhenTheDeviceWillNotClose)
{
    installed(platform::service::running);
    ASSERT_TRUE(manager.Attach(status));
    driver.close_error = 6;
    EXPECT_EQ(manager.Stop(10, status, nullptr, nullptr), 6u);
    EXPECT_EQ(status, u"Driver handle not closed; err=0x00000006");
    EXPECT_TRUE(manager.IsAttached());
    EXPECT_TRUE(services.calls.empty()) << "the service is not touched";
    driver.close_error = 0;
}

TEST_F(LifecycleTest, UninstallWaitsForTheServiceToGo)
{
    installed();
    services.opens_after_delete = 3;
    EXPECT_EQ(manager.Uninstall(50, status, &seen, record), 0u);
    EXPECT_EQ(seen, (std::vector<uint32_t>{0, 0, 0}));
    EXPECT_EQ(clock.time.slept_ms, 150u);
    EXPECT_EQ(services.accesses("open"), (std::vector<uint32_t>{0x10000, 4, 4, 4, 4}));
    EXPECT_EQ(services.count("delete"), 1u);
    expect_no_open_handles();
}

TEST_F(LifecycleTest, UninstallOfAServiceThatNeverGoesEndsIn10Seconds)
{
    installed();
    services.opens_after_delete = -1;
    EXPECT_EQ(manager.Uninstall(50, status, &seen, record), 1072u);
    EXPECT_EQ(status, u"Serwis jest w trakcie usuwania");
    EXPECT_EQ(clock.time.slept_ms, 10000u);
    EXPECT_EQ(seen.size(), 201u);
    expect_no_open_handles();
}

TEST_F(LifecycleTest, UninstallFailures)
{
    EXPECT_EQ(manager.Uninstall(50, status, &seen, record), 1060u);
    EXPECT_EQ(status, u"Serwis nie jest zainstalowany");
    installed();
    services.delete_error = 5;
    EXPECT_EQ(manager.Uninstall(50, status, &seen, record), 5u);
    EXPECT_EQ(status, u"Odmowa dostępu do serwisu");
    EXPECT_TRUE(seen.empty());
    expect_no_open_handles();
}

TEST_F(LifecycleTest, InstallWaitsForTheNewServiceBounded)
{
    // The service comes up after two failed opens; each failure is called back.
    services.opens_failing_after_create = 2;
    const uint32_t first = manager.Install(10, u"x.sys", u"c.json", u"adm", 3, nullptr, nullptr, nullptr, status, true,
                                           &seen, record);
    EXPECT_EQ(seen, (std::vector<uint32_t>{1060, 1060}));
    EXPECT_EQ(clock.time.slept_ms, 20u);
    // The registry key of this scripted service does not exist: the values cannot be written.
    EXPECT_EQ(first, 2u);
    EXPECT_EQ(status, u"Nieudane otwarcie klucza rejestru; err=0x00000002");
    expect_no_open_handles();

    // A service that never opens: 10 s, then the open's error and text.
    services = platform_test::ScriptedServices{};
    services.service = name;
    services.opens_failing_after_create = -1;
    seen.clear();
    clock.time.slept_ms = 0;
    EXPECT_EQ(manager.Install(10, u"x.sys", u"c.json", u"adm", 3, nullptr, nullptr, nullptr, status, true, &seen,
                              record),
              1060u);
    EXPECT_EQ(status, u"Serwis nie jest zainstalowany");
    EXPECT_EQ(clock.time.slept_ms, 10000u);
    EXPECT_EQ(seen.size(), 1001u);
    expect_no_open_handles();
}

TEST_F(LifecycleTest, ControlDevice)
{
    EXPECT_TRUE(manager.Detach()) << "not attached";
    ASSERT_TRUE(manager.Attach(status));
    ASSERT_TRUE(manager.Attach(status));
    ASSERT_EQ(driver.opens.size(), 1u) << "attached once";
    EXPECT_EQ(driver.opens[0], std::make_pair(0x1F01FFu, 0u));
    EXPECT_EQ(manager.ClearAcceptedNameList(status), 0u);
    EXPECT_EQ(manager.ClearAcceptedTypeList(status), 0u);
    const auto calls = driver.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].code, 0x22201Cu);
    EXPECT_EQ(calls[1].code, 0x222048u);
    driver.errors[IOCTL_CLEAR_TYPE_LIST] = 1;
    EXPECT_EQ(manager.ClearAcceptedTypeList(status), 1u);
    EXPECT_EQ(status, u"Operation fail; err=0x00000001");
    EXPECT_TRUE(manager.Detach());
    EXPECT_FALSE(manager.IsAttached());

    driver.open_error = 2;
    SetLastLibraryError(0);
    EXPECT_FALSE(manager.Attach(status));
    EXPECT_EQ(status, u"Driver not open; err=0x00000002");
    EXPECT_EQ(GetLastLibraryError(), 2u);
    status.clear();
    EXPECT_EQ(manager.ClearAcceptedNameList(status), 2u);
    EXPECT_EQ(status, u"Driver not open; err=0x00000002");
}

TEST(Manager, CzekajSleepsThroughThePlatform)
{
    platform_test::VirtualClock clock;
    platform::Override<platform::Sync> use{&platform::Platform::sync, clock};
    Manager::Czekaj(1234);
    EXPECT_EQ(clock.time.slept_ms, 1234u);
}

} // namespace
