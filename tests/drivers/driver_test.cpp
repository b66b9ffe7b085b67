// The filter driver loaded as a driver on this machine (the daemon on Linux, the kernel
// driver under Wine) and driven through \\.\ZelmUsb the way the program's user-test worker drives
// it: registration with an event, signals, size, text, verdict; the defaults; bad input.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "driver_client.h"
#include "loaded_driver.h"
#include "platform/le_fields.h"
#include "platform/platform.h"
#include "platform/sync.h"

namespace {

using driver_client::DriverClient;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t seconds_100ns = 10000000ull;
const std::u16string device_doc = u"{\"DeviceDescriptor\":{\"idVendor\":1921,\"Product\":\"Cruzer\"}}";

// A user-test client as the program's worker is one: its own handle and a manual-reset event.
class Registrant {
public:
    Registrant()
    {
        EXPECT_EQ(0u, device.open());
        EXPECT_EQ(0u, platform::sync().create_event(true, false, u"", event));
    }
    ~Registrant()
    {
        device.close();
        platform::sync().close(event);
    }

    platform::Error on(uint64_t wait, bool default_accept, uint64_t event_value = 0)
    {
        Bytes in(ZD_EVENT_WAITING_SIZE), out;
        platform::le::put(&in[ZD_EW_EVENT], 8, event_value ? event_value : event);
        platform::le::put(&in[ZD_EW_WAIT_TIME], 8, wait);
        in[ZD_EW_ZERO_WAIT] = wait == 0;
        in[ZD_EW_DEFAULT_ACCEPT] = default_accept;
        return device.control(ZD_IOCTL_USER_TEST_ON, in, out);
    }

    bool signalled(uint32_t ms) { return platform::sync().wait(event, ms) == 0; }

    // One fetch, as the worker makes it after a signal: clear, size, text.
    platform::Error fetch(uint64_t& id, std::u16string& text, bool& no_data)
    {
        platform::sync().reset_event(event);
        Bytes size(ZD_JSON_SIZE_SIZE);
        if (platform::Error e = device.control(ZD_IOCTL_GET_TEST_JSON_SIZE, {}, size)) return e;
        no_data = size.size() < ZD_JSON_SIZE_SIZE || size[ZD_JS_NO_DATA];
        if (no_data) return 0;
        id = platform::le::get(&size[ZD_JS_REQUEST_ID], 8);
        const uint32_t n = uint32_t(platform::le::get(&size[ZD_JS_SIZE], 4));
        Bytes buf(n);
        platform::le::put(&buf[ZD_JR_REQUEST_ID], 8, id);
        Bytes out = buf;
        if (platform::Error e = device.control(ZD_IOCTL_GET_TEST_JSON, buf, out)) return e;
        no_data = out.size() < ZD_JSON_HEADER_SIZE || out[ZD_JR_NO_DATA];
        text.clear();
        for (size_t i = ZD_JR_TEXT; i + 1 < out.size() && (out[i] | out[i + 1]); i += 2)
            text.push_back(char16_t(out[i] | out[i + 1] << 8));
        return 0;
    }

    platform::Error answer(uint64_t id, bool rejected)
    {
        Bytes in(ZD_TEST_RESULT_SIZE), out;
        platform::le::put(&in[ZD_TR_REQUEST_ID], 8, id);
        in[ZD_TR_REJECTED] = rejected;
        return device.control(ZD_IOCTL_SET_TEST_RESULT, in, out);
    }

    DriverClient device;
    platform::Handle event = platform::null_handle;
};

class LoadedDriverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { driver = new driver_test::LoadedDriver(); }
    static void TearDownTestSuite()
    {
        delete driver;
        driver = nullptr;
    }

    void SetUp() override
    {
        ASSERT_EQ(0u, driver->error()) << "loading the driver failed at: " << driver->failed_step();
        ASSERT_EQ(0u, observer.open());
    }

    // Each test leaves the driver as it found it: no registration, no cap.
    void TearDown() override
    {
        Bytes none;
        observer.control(ZD_IOCTL_USER_TEST_OFF, {}, none);
        observer.cap_wait(0);
    }

    uint64_t raise(bool hub = false, const std::u16string& doc = device_doc)
    {
        uint64_t id = 0;
        EXPECT_EQ(0u, observer.raise({hub, 0x781, 0x5567, 0x100}, doc, id));
        return id;
    }

    driver_client::Verdict verdict(uint64_t id)
    {
        driver_client::Verdict v;
        EXPECT_EQ(0u, observer.verdict(id, v));
        return v;
    }

    // Polls (bounded) until the request is no longer pending.
    driver_client::Verdict settled(uint64_t id, uint32_t ms = 5000)
    {
        driver_client::Verdict v;
        for (uint32_t waited = 0; waited <= ms; waited += 10) {
            v = verdict(id);
            if (v.state != ZD_VERDICT_PENDING) break;
            platform::sync().sleep(10);
        }
        return v;
    }

    static driver_test::LoadedDriver* driver;
    DriverClient observer;
};

driver_test::LoadedDriver* LoadedDriverTest::driver = nullptr;

TEST_F(LoadedDriverTest, RaisedDeviceReachesTheRegisteredClientAndItsVerdictIsKept)
{
    Registrant worker;
    ASSERT_EQ(0u, worker.on(120 * seconds_100ns, true));
    const uint64_t id = raise();
    ASSERT_TRUE(worker.signalled(5000));
    uint64_t fetched = 0;
    std::u16string text;
    bool no_data = true;
    ASSERT_EQ(0u, worker.fetch(fetched, text, no_data));
    ASSERT_FALSE(no_data);
    EXPECT_EQ(id, fetched);
    EXPECT_EQ(device_doc, text);
    EXPECT_EQ(ZD_VERDICT_PENDING, verdict(id).state);
    EXPECT_TRUE(verdict(id).fetched);

    ASSERT_EQ(0u, worker.answer(id, true));
    const driver_client::Verdict v = verdict(id);
    EXPECT_EQ(ZD_VERDICT_ANSWERED, v.state);
    EXPECT_FALSE(v.allowed);
    // A second answer changes nothing.
    EXPECT_EQ(1235u, worker.answer(id, false));
    EXPECT_FALSE(verdict(id).allowed);

    // The journal holds the exchange in order, with the verdict.
    driver_client::DriverState s;
    ASSERT_EQ(0u, observer.state(s));
    EXPECT_TRUE(s.registered);
    std::vector<uint32_t> codes;
    bool answered = false;
    for (const auto& j : s.journal) {
        if (j.request_id == id || j.code == ZD_IOCTL_USER_TEST_ON) codes.push_back(j.code);
        if (j.request_id == id && j.verdict == ZD_VERDICT_ANSWERED && !j.allowed) answered = true;
    }
    const std::vector<uint32_t> expected = {ZD_IOCTL_USER_TEST_ON, ZD_IOCTL_TEST_RAISE, ZD_IOCTL_GET_TEST_JSON_SIZE,
                                            ZD_IOCTL_GET_TEST_JSON, ZD_IOCTL_SET_TEST_RESULT, ZD_IOCTL_SET_TEST_RESULT};
    EXPECT_EQ(expected, codes);
    EXPECT_TRUE(answered);
}

TEST_F(LoadedDriverTest, DefaultVerdicts)
{
    enum class End { wait_out, user_test_off, close_registrant };
    struct Case {
        const char* what;
        uint64_t wait;
        bool default_accept;
        End end;
        uint8_t state;
        bool allowed;
    };
    const Case cases[] = {
        {"time-out admits when the default is allow", 120 * seconds_100ns, true, End::wait_out, ZD_VERDICT_TIMED_OUT, true},
        {"time-out blocks when the default is block", 120 * seconds_100ns, false, End::wait_out, ZD_VERDICT_TIMED_OUT, false},
        {"USER_TEST_OFF applies the default", 0, false, End::user_test_off, ZD_VERDICT_OFF, false},
        {"closing the registering handle applies the default", 0, true, End::close_registrant, ZD_VERDICT_CLOSED, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0u, observer.cap_wait(c.end == End::wait_out ? 50 : 0));
        auto worker = std::make_unique<Registrant>();
        ASSERT_EQ(0u, worker->on(c.wait, c.default_accept));
        const uint64_t id = raise();
        Bytes none;
        if (c.end == End::user_test_off) {
            // Zero wait is no limit: still pending long after a capped wait would have passed.
            platform::sync().sleep(150);
            EXPECT_EQ(ZD_VERDICT_PENDING, verdict(id).state);
            ASSERT_EQ(0u, worker->device.control(ZD_IOCTL_USER_TEST_OFF, {}, none));
        } else if (c.end == End::close_registrant) {
            worker.reset();
        }
        const driver_client::Verdict v = settled(id);
        EXPECT_EQ(c.state, v.state);
        EXPECT_EQ(c.allowed, v.allowed);

        // An expired request is fetched as no-data, and a late answer is refused.
        Bytes buf(ZD_JSON_HEADER_SIZE + 200);
        platform::le::put(&buf[ZD_JR_REQUEST_ID], 8, id);
        Bytes out = buf;
        ASSERT_EQ(0u, observer.control(ZD_IOCTL_GET_TEST_JSON, buf, out));
        ASSERT_GE(out.size(), ZD_JSON_HEADER_SIZE);
        EXPECT_NE(0, out[ZD_JR_NO_DATA]);
        Registrant late;
        EXPECT_EQ(1235u, late.answer(id, false));
        observer.control(ZD_IOCTL_USER_TEST_OFF, {}, none);
    }
}

TEST_F(LoadedDriverTest, SignalsAreEdgeStyleSoOneFetchPerSignalLosesTheOthers)
{
    ASSERT_EQ(0u, observer.cap_wait(300));
    Registrant worker;
    ASSERT_EQ(0u, worker.on(120 * seconds_100ns, true));
    const uint64_t ids[] = {raise(), raise(), raise()};
    ASSERT_TRUE(worker.signalled(5000));
    uint64_t id = 0;
    std::u16string text;
    bool no_data = true;
    ASSERT_EQ(0u, worker.fetch(id, text, no_data));
    ASSERT_FALSE(no_data);
    EXPECT_EQ(ids[0], id);
    ASSERT_EQ(0u, worker.answer(id, false));
    // No further signal comes for the two that arrived before the client looked.
    EXPECT_FALSE(worker.signalled(100));
    EXPECT_EQ(ZD_VERDICT_ANSWERED, settled(ids[0]).state);
    EXPECT_EQ(ZD_VERDICT_TIMED_OUT, settled(ids[1]).state);
    EXPECT_EQ(ZD_VERDICT_TIMED_OUT, settled(ids[2]).state);
    EXPECT_FALSE(verdict(ids[1]).fetched);
}

TEST_F(LoadedDriverTest, OneRegistrationAtATime)
{
    auto first = std::make_unique<Registrant>();
    ASSERT_EQ(0u, first->on(120 * seconds_100ns, true));
    Registrant second;
    EXPECT_EQ(31u, second.on(120 * seconds_100ns, true));
    EXPECT_EQ(31u, first->on(120 * seconds_100ns, true));
    // Its handle closes: the driver's cleanup drops the registration. The cleanup may run after
    // CloseHandle returns (a daemon reading the end of its connection, Wine's driver process), so
    // the new registration is tried for a bounded time.
    first.reset();
    platform::Error e = 31;
    for (int i = 0; i < 250 && e == 31; ++i) {
        e = second.on(120 * seconds_100ns, true);
        if (e == 31) platform::sync().sleep(20);
    }
    EXPECT_EQ(0u, e);
    const uint64_t id = raise();
    EXPECT_TRUE(second.signalled(5000));
    EXPECT_EQ(ZD_VERDICT_PENDING, verdict(id).state);
}

TEST_F(LoadedDriverTest, DevicesAdmittedWithoutAsking)
{
    Bytes none;
    // Nobody registered: nothing to ask.
    EXPECT_EQ(ZD_VERDICT_UNASKED, verdict(raise()).state);
    EXPECT_TRUE(verdict(raise()).allowed);

    Registrant worker;
    ASSERT_EQ(0u, worker.on(120 * seconds_100ns, false));
    ASSERT_EQ(0u, observer.control(ZD_IOCTL_HUBS_ACCEPT_ON, {}, none));
    const uint64_t hub = raise(true);
    EXPECT_EQ(ZD_VERDICT_HUB_RULE, verdict(hub).state);
    EXPECT_FALSE(worker.signalled(50));
    EXPECT_EQ(ZD_VERDICT_PENDING, verdict(raise(false)).state); // only hubs pass
    ASSERT_EQ(0u, observer.control(ZD_IOCTL_HUBS_ACCEPT_OFF, {}, none));
    EXPECT_EQ(ZD_VERDICT_PENDING, verdict(raise(true)).state);
}

TEST_F(LoadedDriverTest, RegistrationWithAnEventThatDoesNotExistIsRefused)
{
    Registrant worker;
    EXPECT_NE(0u, worker.on(120 * seconds_100ns, true, 0x7FFFFFF0u));
    driver_client::DriverState s;
    ASSERT_EQ(0u, observer.state(s));
    EXPECT_FALSE(s.registered);
    EXPECT_EQ(0u, worker.on(120 * seconds_100ns, true)); // and a good one is taken afterwards
}

TEST_F(LoadedDriverTest, BadInputGivesItsCode)
{
    struct Case {
        const char* what;
        uint32_t code;
        size_t input, output;
        uint32_t error;
        std::vector<std::pair<size_t, uint8_t>> bytes = {}; // input bytes set
    };
    const uint32_t unknown_id_at = ZD_JR_REQUEST_ID;
    const Case cases[] = {
        {"unknown code", 0x222999, 0, 0, 1},
        {"unknown code of another device type", 0x80002000, 0, 0, 1},
        {"USER_TEST_ON too short", ZD_IOCTL_USER_TEST_ON, 17, 0, 87},
        {"USER_TEST_ON too long", ZD_IOCTL_USER_TEST_ON, 19, 0, 87},
        {"size output too small", ZD_IOCTL_GET_TEST_JSON_SIZE, 0, 13, 122},
        {"size with an input", ZD_IOCTL_GET_TEST_JSON_SIZE, 4, 14, 87},
        {"json header too short", ZD_IOCTL_GET_TEST_JSON, 13, 13, 87},
        {"json of a request never raised", ZD_IOCTL_GET_TEST_JSON, 14, 14, 1168, {{unknown_id_at + 5, 0x7F}}},
        {"result too short", ZD_IOCTL_SET_TEST_RESULT, 8, 0, 87},
        {"result of a request never raised", ZD_IOCTL_SET_TEST_RESULT, 9, 0, 1168, {{6, 0x7F}}},
        {"mode of the wrong size", ZD_IOCTL_SET_FILES_AND_CACHE_MODE, 2, 0, 87},
        {"mode out of range", ZD_IOCTL_SET_FILES_AND_CACHE_MODE, 4, 0, 87, {{0, 4}}},
        {"off with an input", ZD_IOCTL_USER_TEST_OFF, 1, 0, 87},
        {"raise without a document", ZD_IOCTL_TEST_RAISE, 8, 8, 87},
        {"raise of an odd length", ZD_IOCTL_TEST_RAISE, 11, 8, 87, {{8, 'x'}, {10, 'y'}}},
        {"raise with a NUL inside", ZD_IOCTL_TEST_RAISE, 12, 8, 87, {{8, 'x'}}},
        {"raise without room for the id", ZD_IOCTL_TEST_RAISE, 10, 4, 122, {{8, 'x'}}},
        {"verdict of a request never raised", ZD_IOCTL_TEST_VERDICT, 8, 4, 1168, {{5, 0x7F}}},
        {"verdict output too small", ZD_IOCTL_TEST_VERDICT, 8, 3, 122, {{0, 1}}},
        {"state output too small", ZD_IOCTL_TEST_STATE, 0, ZD_STATE_HEADER_SIZE - 1, 122},
    };
    raise(); // request 1 exists for the rows that need one
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes in(c.input), out(c.output);
        for (auto [at, value] : c.bytes) in[at] = value;
        EXPECT_EQ(c.error, observer.control(c.code, in, out));
    }
    // Good sizes pass.
    Bytes mode(4), none;
    mode[0] = 3;
    EXPECT_EQ(0u, observer.control(ZD_IOCTL_SET_FILES_AND_CACHE_MODE, mode, none));
    for (uint32_t code : {ZD_IOCTL_CLEAR_NAME_LIST, ZD_IOCTL_CLEAR_TYPE_LIST, ZD_IOCTL_NOTIFY_OFF})
        EXPECT_EQ(0u, observer.control(code, {}, none));
    driver_client::DriverState s;
    ASSERT_EQ(0u, observer.state(s));
    EXPECT_EQ(3u, s.files_cache_mode);
}

TEST_F(LoadedDriverTest, FetchBuffersAreCheckedAgainstTheText)
{
    Registrant worker;
    ASSERT_EQ(0u, worker.on(120 * seconds_100ns, true));
    const uint64_t id = raise();
    const size_t whole = ZD_JSON_HEADER_SIZE + (device_doc.size() + 1) * 2;
    Bytes in(whole - 1);
    platform::le::put(&in[ZD_JR_REQUEST_ID], 8, id);
    Bytes out = in;
    EXPECT_EQ(122u, worker.device.control(ZD_IOCTL_GET_TEST_JSON, in, out));
    EXPECT_FALSE(verdict(id).fetched);
    in.resize(whole);
    out = in;
    EXPECT_EQ(0u, worker.device.control(ZD_IOCTL_GET_TEST_JSON, in, out));
    EXPECT_EQ(whole, out.size());
}

TEST_F(LoadedDriverTest, LargeDocumentsAndGarbage)
{
    Registrant worker;
    ASSERT_EQ(0u, worker.on(120 * seconds_100ns, true));
    // A 1 MB document crosses whole.
    std::u16string big = u"{\"d\":\"" + std::u16string(512 * 1024, u'x') + u"\"}";
    const uint64_t id = raise(false, big);
    ASSERT_NE(0u, id);
    uint64_t fetched = 0;
    std::u16string text;
    bool no_data = true;
    ASSERT_EQ(0u, worker.fetch(fetched, text, no_data));
    EXPECT_EQ(id, fetched);
    EXPECT_TRUE(text == big);
    ASSERT_EQ(0u, worker.answer(id, false));
    // Past the limit it is refused.
    uint64_t none_id = 0;
    EXPECT_EQ(87u, observer.raise({}, std::u16string(ZD_MAX_DOCUMENT_BYTES / 2 + 1, u'x'), none_id));

    // Random codes of the driver's device type with random bytes: answered, never a crash.
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) {
        const uint32_t code = 0x220000u | (random() % 0x1000u) << 2 | (random() % 4 == 0 ? random() % 4 : 0);
        if (code == ZD_IOCTL_TEST_RAISE || code == ZD_IOCTL_USER_TEST_ON || code == ZD_IOCTL_USER_TEST_OFF)
            continue;
        Bytes in(random() % 64), out(random() % 64);
        for (auto& b : in) b = uint8_t(random());
        observer.control(code, in, out);
    }
    driver_client::DriverState s;
    ASSERT_EQ(0u, observer.state(s));
    EXPECT_TRUE(s.registered);
}

// Loads its own driver: the configuration file named in the service key is read at start, and
// the driver loads again after an unload.
TEST(DriverStart, ReadsItsConfigurationFileAndLoadsAgain)
{
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        driver_test::LoadedDriver driver(
            "{\"capture\":false,\"filesAndCacheMode\":2,\"filter\":true,\"hubs_always_accepted\":true,\"notify_handle\":false}");
        ASSERT_EQ(0u, driver.error()) << driver.failed_step();
        DriverClient client;
        ASSERT_EQ(0u, client.open());
        driver_client::DriverState s;
        ASSERT_EQ(0u, client.state(s));
        EXPECT_TRUE(s.config_read);
        EXPECT_FALSE(s.capture);
        EXPECT_TRUE(s.filter);
        EXPECT_FALSE(s.notify_handle);
        EXPECT_TRUE(s.hubs_accepted);
        EXPECT_EQ(2u, s.files_cache_mode);
        EXPECT_EQ(0u, s.journal_total) << "a fresh load starts a fresh journal";
        client.close();
        EXPECT_EQ(0u, driver.unload());
        EXPECT_EQ(2u, client.open());
    }
}

} // namespace
