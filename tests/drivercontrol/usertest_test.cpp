// The user-test channel against a scripted driver: registration, draining bursts, the driver's
// sizes, stale registrations, and stopping bounded in virtual time.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "../support/fresh_machine.h"
#include "drivercontrol/manager.h"
#include "../support/scripted_driver.h"
#include "../support/virtual_clock.h"

namespace {

using namespace ZelmUsbVardoManager;
using Request = platform_test::ScriptedDriver::Request;

// What the callback sees and how it answers: it refuses texts holding "block", and can be held
// inside a request until released.
struct Decider {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::u16string> texts;
    bool hold = false;
    bool inside = false;

    static uint8_t decide(const char16_t* json, void* context)
    {
        auto* self = static_cast<Decider*>(context);
        std::unique_lock<std::mutex> g(self->m);
        self->texts.emplace_back(json);
        self->inside = true;
        self->cv.notify_all();
        self->cv.wait(g, [&] { return !self->hold; });
        self->inside = false;
        return std::u16string(json).find(u"block") == std::u16string::npos ? 7 : 0;
    }
    bool wait_inside()
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::seconds(20), [&] { return inside; });
    }
    void release()
    {
        std::lock_guard<std::mutex> g(m);
        hold = false;
        cv.notify_all();
    }
    size_t count()
    {
        std::lock_guard<std::mutex> g(m);
        return texts.size();
    }
};

// Real-time, bounded: until `done` holds.
template <class F>
bool eventually(F done)
{
    for (int i = 0; i < 20000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

class UserTestTest : public ::testing::Test {
protected:
    platform_test::ScriptedDriver driver;
    platform_test::VirtualClock clock;
    platform::Override<platform::Devices> use_devices{&platform::Platform::devices, driver};
    platform::Override<platform::Sync> use_clock{&platform::Platform::sync, clock};
    Decider decider;
    std::u16string status;
    Manager manager{u"ZelmUsb", u"ZelmUsb", u"\\\\.\\ZelmUsb"};

    void TearDown() override
    {
        decider.release();
        if (manager.UserTestOn()) manager.UserTest_off(status);
    }
    uint32_t on(uint64_t wait = 1200000000, bool accepted = true)
    {
        return manager.UserTest_on(&Decider::decide, wait, &decider, accepted, status);
    }
    static Request req(uint64_t id, std::u16string json) { return Request{id, std::move(json)}; }
};

TEST(DriverRecords, ByteForByte)
{
    VardEventWaiting w{0x1122334455667788ull, 1200000000ull, 0, 1};
    EXPECT_EQ(w.Encode(), (std::vector<uint8_t>{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00, 0x8C, 0x86,
                                                0x47, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}));
    VardJsonSize s;
    ASSERT_TRUE(s.Decode(std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 0x20, 0, 0, 0, 1, 9}));
    EXPECT_EQ(s.requestId, 0x0807060504030201ull);
    EXPECT_EQ(s.jsonSize, 0x20u);
    EXPECT_EQ(s.noData, 1);
    EXPECT_FALSE(s.Decode(std::vector<uint8_t>(13)));
    // The identifier at offset 4, misaligned; two spare zero bytes past the buffer.
    const auto buffer = VardJson::MakeRequest(0xA1A2A3A4A5A6A7A8ull, 16);
    EXPECT_EQ(buffer, (std::vector<uint8_t>{0, 0, 0, 0, 0xA8, 0xA7, 0xA6, 0xA5, 0xA4, 0xA3, 0xA2, 0xA1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(VardJson::RequestId(buffer), 0xA1A2A3A4A5A6A7A8ull);
    VardUserTestResult r{0x0102030405060708ull, 1};
    EXPECT_EQ(r.Encode(), (std::vector<uint8_t>{8, 7, 6, 5, 4, 3, 2, 1, 1}));

    // Text: only the bytes returned count, up to the first NUL.
    std::vector<uint8_t> answer(14, 0);
    for (char16_t c : std::u16string(u"{\"a\":1}")) {
        answer.push_back(uint8_t(c));
        answer.push_back(0);
    }
    answer.push_back(0);
    answer.push_back(0);
    EXPECT_EQ(VardJson::Text(answer, uint32_t(answer.size())), u"{\"a\":1}");
    EXPECT_EQ(VardJson::Text(answer, 14 + 6), u"{\"a");
    EXPECT_EQ(VardJson::Text(answer, 14 + 5), u"{\"") << "half a code unit is not read";
    EXPECT_EQ(VardJson::Text(answer, 3), u"");
}

TEST_F(UserTestTest, RegistersItsEventWithTheDriver)
{
    ASSERT_EQ(on(), 0u) << text::to_utf8(status);
    EXPECT_EQ(driver.opens.back(), std::make_pair(0x1F01FFu, 0u));
    auto calls = driver.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, 0x22205Cu);
    VardEventWaiting w;
    ASSERT_TRUE(w.Decode(calls[0].input));
    EXPECT_NE(w.hEvent, 0u);
    EXPECT_EQ(w.waitTime, 1200000000u);
    EXPECT_EQ(w.zeroWaitTime, 0);
    EXPECT_EQ(w.defaultAccepted, 1);

    EXPECT_EQ(on(), 1u);
    EXPECT_EQ(status, u"User Test already started");
    EXPECT_EQ(driver.count(IOCTL_USER_TEST_ON), 1u) << "the first channel stays";

    ASSERT_EQ(manager.UserTest_off(status), 0u);
    EXPECT_EQ(driver.count(IOCTL_USER_TEST_OFF), 1u);
    EXPECT_EQ(driver.open_handles(), 0u) << "the tester's own handle is closed";
    EXPECT_FALSE(manager.UserTestOn());

    ASSERT_EQ(on(0, false), 0u);
    calls = driver.calls();
    ASSERT_TRUE(w.Decode(calls.back().input));
    EXPECT_EQ(w.zeroWaitTime, 1);
    EXPECT_EQ(w.defaultAccepted, 0);
}

TEST_F(UserTestTest, RefusedSwitchOns)
{
    EXPECT_EQ(manager.UserTest_on(nullptr, 1, nullptr, true, status), 87u);
    EXPECT_EQ(status, u"Callback function is NULL");
    EXPECT_TRUE(driver.opens.empty());

    driver.open_error = 2;
    EXPECT_EQ(on(), 2u);
    EXPECT_EQ(status, u"Operation fail; err=0x00000002");
    EXPECT_FALSE(manager.UserTestOn());
    driver.open_error = 0;

    driver.answers[ZelmUsbVardoManager::IOCTL_USER_TEST_ON] = {5};
    EXPECT_EQ(on(), 5u);
    EXPECT_EQ(status, u"Operation fail; err=0x00000005");
    EXPECT_FALSE(manager.UserTestOn());
    EXPECT_EQ(driver.open_handles(), 0u) << "everything opened is closed";
}

TEST_F(UserTestTest, StaleRegistrationIsReplacedOnce)
{
    driver.answers[ZelmUsbVardoManager::IOCTL_USER_TEST_ON] = {31};
    ASSERT_EQ(on(), 0u);
    std::vector<uint32_t> codes;
    for (const auto& c : driver.calls()) codes.push_back(c.code);
    EXPECT_EQ(codes, (std::vector<uint32_t>{IOCTL_USER_TEST_ON, IOCTL_USER_TEST_OFF, IOCTL_USER_TEST_ON}));
    // The channel works.
    driver.raise({req(1, u"{}")});
    ASSERT_TRUE(driver.wait_verdicts(1));
    ASSERT_EQ(manager.UserTest_off(status), 0u);

    // A registration still refused is a failure; the worker ends through its stop event.
    driver.answers[ZelmUsbVardoManager::IOCTL_USER_TEST_ON] = {31, 31};
    EXPECT_EQ(on(), 31u);
    EXPECT_EQ(status, u"Operation fail; err=0x0000001F");
    EXPECT_FALSE(manager.UserTestOn());
    EXPECT_EQ(driver.open_handles(), 0u);
}

TEST_F(UserTestTest, ABurstSignalledOnceIsDrained)
{
    ASSERT_EQ(on(), 0u);
    std::vector<Request> burst;
    for (uint64_t id = 1; id <= 100; ++id)
        burst.push_back(req(id * 0x100000001ull, id % 3 == 0 ? u"{\"block\":" + text::u16(std::to_string(id)) + u"}"
                                                             : u"{\"allow\":" + text::u16(std::to_string(id)) + u"}"));
    driver.raise(burst);
    ASSERT_TRUE(driver.wait_verdicts(100)) << "answered: " << driver.verdicts().size();
    const auto verdicts = driver.verdicts();
    for (size_t i = 0; i < 100; ++i) {
        EXPECT_EQ(verdicts[i].first, burst[i].id) << "in the driver's order";
        EXPECT_EQ(verdicts[i].second, (i + 1) % 3 == 0 ? 1 : 0) << i;
    }
    EXPECT_EQ(decider.texts.front(), u"{\"allow\":1}");
    EXPECT_EQ(driver.pending(), 0u);
}

// The host is told what the driver made of each verdict: taken, or refused (too late).
std::mutex told_lock;
std::vector<std::pair<uint8_t, uint32_t>> told;

void tell(uint8_t verdict, uint32_t result, void*)
{
    std::lock_guard g(told_lock);
    told.emplace_back(verdict, result);
}

TEST_F(UserTestTest, TheOutcomeOfEachVerdictIsTold)
{
    auto told_count = [] {
        std::lock_guard g(told_lock);
        return told.size();
    };
    told.clear();
    // The third request meets the driver's time-out while it is decided: the driver drops it and
    // refuses its verdict.
    driver.on_fetch = [&](const Request& r) {
        if (r.id != 3) return;
        driver.expire_all();
        driver.errors[IOCTL_SET_TEST_RESULT] = 1235;
    };
    ASSERT_EQ(manager.UserTest_on(&Decider::decide, 1200000000, &decider, true, status, &tell), 0u);
    driver.raise({req(1, u"{\"allow\":1}"), req(2, u"{\"block\":2}"), req(3, u"{\"block\":3}")});
    ASSERT_TRUE(eventually([&] { return told_count() == 3; }));
    std::lock_guard g(told_lock);
    EXPECT_EQ(told, (std::vector<std::pair<uint8_t, uint32_t>>{{7, 0}, {0, 0}, {0, 1235}}));
}

TEST_F(UserTestTest, AnExpiredFetchMovesOn)
{
    ASSERT_EQ(on(), 0u);
    Request gone = req(1, u"{\"first\":1}");
    gone.expired = true;
    driver.raise({gone, req(2, u"{\"second\":2}"), req(3, u"{\"block\":3}")});
    ASSERT_TRUE(driver.wait_verdicts(2));
    EXPECT_EQ(driver.verdicts(), (std::vector<std::pair<uint64_t, uint8_t>>{{2, 0}, {3, 1}}));
    EXPECT_EQ(decider.texts, (std::vector<std::u16string>{u"{\"second\":2}", u"{\"block\":3}"}));
}

TEST_F(UserTestTest, TheDriversSizeIsNotTrusted)
{
    ASSERT_EQ(on(), 0u);
    struct Case {
        const char* what;
        uint32_t size;
        bool fetched;
        const char16_t* text; // what the callback sees
    };
    const Case cases[] = {
        {"zero", 1, false, nullptr},
        {"header only", 14, false, nullptr},
        {"header and half a unit", 15, false, nullptr},
        {"above 1 MiB", (1u << 20) + 1, false, nullptr},
        {"4 GiB", 0xFFFFFFFFu, false, nullptr},
        {"larger than the text", 4096, true, u"{\"x\":\"abc\"}"},
        {"too small for the text: no terminator inside", 14 + 6, true, u"{\"x"},
        {"exactly 1 MiB", 1u << 20, true, u"{\"x\":\"abc\"}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t sizes_before = driver.count(IOCTL_GET_TEST_JSON_SIZE);
        const size_t fetches_before = driver.count(IOCTL_GET_TEST_JSON);
        const size_t verdicts_before = driver.verdicts().size();
        Request r = req(7, u"{\"x\":\"abc\"}");
        r.size_override = c.size;
        driver.raise({r});
        if (c.fetched) {
            ASSERT_TRUE(driver.wait_verdicts(verdicts_before + 1));
            EXPECT_EQ(decider.texts.back(), c.text);
        } else {
            ASSERT_TRUE(eventually([&] { return driver.count(IOCTL_GET_TEST_JSON_SIZE) > sizes_before; }));
            // The refused request is left to the driver's own time-out.
            driver.expire_all();
            EXPECT_EQ(driver.count(IOCTL_GET_TEST_JSON), fetches_before);
        }
    }
    // The channel still serves requests after the refused ones.
    const size_t before = driver.verdicts().size();
    driver.raise({req(8, u"{}")});
    ASSERT_TRUE(driver.wait_verdicts(before + 1));
}

TEST_F(UserTestTest, StopIsBoundedAndKeepsWhatTheWorkerUses)
{
    ASSERT_EQ(on(), 0u);
    decider.hold = true;
    driver.raise({req(1, u"{\"one\":1}"), req(2, u"{\"two\":2}")});
    ASSERT_TRUE(decider.wait_inside());

    clock.time.slept_ms = 0;
    EXPECT_EQ(manager.UserTest_off(status), 258u);
    EXPECT_EQ(status, u"Operation fail; err=0x00000102");
    EXPECT_EQ(clock.time.slept_ms, 5000u);
    EXPECT_TRUE(manager.UserTestOn()) << "kept: its worker still runs";
    EXPECT_EQ(driver.open_handles(), 1u) << "the worker's device handle stays open";

    // Released, the worker answers the request it holds, sees the stop event and fetches no more.
    decider.release();
    ASSERT_TRUE(driver.wait_verdicts(1));
    ASSERT_EQ(manager.UserTest_off(status), 0u);
    EXPECT_EQ(driver.fetched(), std::vector<uint64_t>{1});
    EXPECT_EQ(driver.open_handles(), 0u);
    EXPECT_FALSE(manager.UserTestOn());
}

TEST_F(UserTestTest, OffRefusedByTheDriverKeepsTheChannel)
{
    ASSERT_EQ(on(), 0u);
    driver.errors[IOCTL_USER_TEST_OFF] = 1;
    EXPECT_EQ(manager.UserTest_off(status), 1u);
    EXPECT_EQ(status, u"Operation fail; err=0x00000001");
    EXPECT_TRUE(manager.UserTestOn());
    driver.raise({req(1, u"{}")});
    ASSERT_TRUE(driver.wait_verdicts(1)) << "still serving";
    driver.errors.clear();
    EXPECT_EQ(manager.UserTest_off(status), 0u);
}

TEST_F(UserTestTest, OffWithoutAChannelStillTellsTheDriver)
{
    ASSERT_EQ(manager.UserTest_off(status), 0u);
    EXPECT_EQ(driver.count(IOCTL_USER_TEST_OFF), 1u);
    EXPECT_TRUE(manager.IsAttached()) << "attached on demand, and left attached";
    manager.Detach();
    driver.open_error = 2;
    EXPECT_EQ(manager.UserTest_off(status), 2u);
    EXPECT_EQ(status, u"Operation fail; err=0x00000002");
}

TEST_F(UserTestTest, FacadeFreedWhileTheWorkerIsInsideARequest)
{
    {
        Manager doomed{u"ZelmUsb", u"ZelmUsb", u"\\\\.\\ZelmUsb"};
        ASSERT_EQ(doomed.UserTest_on(&Decider::decide, 1, &decider, true, status), 0u);
        decider.hold = true;
        driver.raise({req(1, u"{\"held\":1}"), req(2, u"{}")});
        ASSERT_TRUE(decider.wait_inside());
    } // the worker is still inside the callback
    decider.release();
    ASSERT_TRUE(driver.wait_verdicts(1));
    ASSERT_TRUE(eventually([&] { return driver.open_handles() == 0; })) << "the worker ends and closes its handle";
    EXPECT_EQ(driver.fetched(), std::vector<uint64_t>{1});
}

TEST_F(UserTestTest, WholeStopFitsTheWatchdogWithAQuestionOpen)
{
    platform_test::FreshMachine machine;
    platform_test::ScriptedServices services;
    platform::Override<platform::Services> use_services{&platform::Platform::services, services};
    services.exists = true;
    services.state = platform::service::running;
    services.stop_pending_polls = -1;
    services.opens_after_delete = -1;

    ASSERT_EQ(on(), 0u);
    decider.hold = true;
    driver.raise({req(1, u"{}")});
    ASSERT_TRUE(decider.wait_inside());
    clock.time.slept_ms = 0;
    // The host's stop and uninstall, with every wait at its worst.
    EXPECT_EQ(manager.UserTest_off(status), 258u);
    EXPECT_EQ(manager.ClearAcceptedNameList(status), 0u);
    EXPECT_EQ(manager.ClearAcceptedTypeList(status), 0u);
    EXPECT_EQ(manager.Stop(10, status, nullptr, nullptr), 1053u);
    EXPECT_EQ(manager.Uninstall(50, status, nullptr, nullptr), 1072u);
    EXPECT_LE(clock.time.slept_ms, 25000u);
    decider.release();
}

// The facade destroyed after the stop sequence's off timed out (a question to the user still
// open) gives the worker one more bounded wait, not one for each owner of the tester: the host's
// whole stop has to fit its 30 s watchdog.
TEST_F(UserTestTest, FacadeDestroyedAfterATimedOutOffWaitsOnceMore)
{
    auto doomed = std::make_unique<Manager>(u"ZelmUsb", u"ZelmUsb", u"\\\\.\\ZelmUsb");
    ASSERT_EQ(doomed->UserTest_on(&Decider::decide, 1, &decider, true, status), 0u);
    decider.hold = true;
    driver.raise({req(1, u"{}")});
    ASSERT_TRUE(decider.wait_inside());
    clock.time.slept_ms = 0;
    EXPECT_EQ(doomed->UserTest_off(status), 258u);
    doomed.reset();
    EXPECT_EQ(clock.time.slept_ms, 10000u);
    EXPECT_EQ(driver.count(IOCTL_USER_TEST_OFF), 2u);
    decider.release();
    ASSERT_TRUE(driver.wait_verdicts(1));
    ASSERT_TRUE(eventually([&] { return driver.open_handles() == 0; })) << "the worker ends and closes its handle";
}

} // namespace
