// The driver core alone, with a clock and an event the test owns: limits and timing that are slow
// or impossible to reach through a loaded driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "driver_core.h"

namespace {

struct Fake {
    int signals = 0;
    int open_events = 0;
    zd_u32 open_error = 0;
};

void* fake_alloc(void*, zd_size n) { return std::malloc(n); }
void fake_release(void*, void* p) { std::free(p); }
zd_u32 fake_open(void* ctx, void*, zd_u64, zd_uptr* token)
{
    auto* f = static_cast<Fake*>(ctx);
    if (f->open_error) return f->open_error;
    ++f->open_events;
    *token = 1;
    return 0;
}
void fake_set(void* ctx, zd_uptr) { ++static_cast<Fake*>(ctx)->signals; }
void fake_close(void* ctx, zd_uptr) { --static_cast<Fake*>(ctx)->open_events; }

class DriverCore : public ::testing::Test {
protected:
    void SetUp() override
    {
        zd_ops ops{&fake, fake_alloc, fake_release, fake_open, fake_set, fake_close};
        zd_init(core.get(), &ops);
    }
    void TearDown() override
    {
        zd_shutdown(core.get(), now);
        EXPECT_EQ(0, fake.open_events) << "every event the core opened is closed";
    }

    zd_u32 call(zd_u32 code, std::vector<zd_u8> in, std::vector<zd_u8>& out, zd_uptr caller = 1)
    {
        zd_u32 returned = 0;
        const zd_u32 e = zd_control(core.get(), caller, nullptr, now, code, in.data(), zd_u32(in.size()),
                                    out.data(), zd_u32(out.size()), &returned);
        out.resize(returned);
        return e;
    }

    zd_u32 on(zd_u64 wait, zd_uptr caller = 1)
    {
        std::vector<zd_u8> in(ZD_EVENT_WAITING_SIZE, 0), out;
        for (int i = 0; i < 8; ++i) in[ZD_EW_WAIT_TIME + i] = zd_u8(wait >> (8 * i));
        in[ZD_EW_ZERO_WAIT] = wait == 0;
        in[ZD_EW_DEFAULT_ACCEPT] = 1;
        return call(ZD_IOCTL_USER_TEST_ON, in, out, caller);
    }

    zd_u32 raise(size_t chars, zd_u64* id = nullptr, zd_u8 hub = 0, zd_u8 flags = 0)
    {
        std::vector<zd_u8> in(ZD_RAISE_HEADER_SIZE + chars * 2, 'a'), out(8);
        std::fill(in.begin(), in.begin() + ZD_RAISE_HEADER_SIZE, zd_u8(0));
        in[ZD_RH_HUB] = hub;
        in[ZD_RH_FLAGS] = flags;
        const zd_u32 e = call(ZD_IOCTL_TEST_RAISE, in, out);
        if (id && !e) *id = out[0] | zd_u64(out[1]) << 8;
        return e;
    }

    zd_u8 state_of(zd_u64 id)
    {
        std::vector<zd_u8> in(8, 0), out(ZD_VERDICT_SIZE);
        in[0] = zd_u8(id), in[1] = zd_u8(id >> 8);
        return call(ZD_IOCTL_TEST_VERDICT, in, out) ? 0 : out[ZD_VR_STATE];
    }

    Fake fake;
    std::unique_ptr<zd_core> core = std::make_unique<zd_core>();
    zd_u64 now = 1000;
};

TEST_F(DriverCore, OneSignalPerNewRequestAndDeadlinesRunFromEachRaise)
{
    ASSERT_EQ(0u, on(100));
    zd_u64 a = 0, b = 0;
    ASSERT_EQ(0u, raise(3, &a));
    now += 60;
    ASSERT_EQ(0u, raise(3, &b));
    EXPECT_EQ(2, fake.signals);
    EXPECT_EQ(1100u, zd_expire(core.get(), now)) << "the next deadline is the first request's";
    now = 1100;
    EXPECT_EQ(1160u, zd_expire(core.get(), now));
    EXPECT_EQ(ZD_VERDICT_TIMED_OUT, state_of(a));
    EXPECT_EQ(ZD_VERDICT_PENDING, state_of(b));
    now = 1160;
    EXPECT_EQ(ZD_NEVER, zd_expire(core.get(), now));
    EXPECT_EQ(ZD_VERDICT_TIMED_OUT, state_of(b));
}

TEST_F(DriverCore, HeldRequestsAreBounded)
{
    ASSERT_EQ(0u, on(0));
    for (zd_u32 i = 0; i < ZD_MAX_PENDING; ++i) ASSERT_EQ(0u, raise(4)) << i;
    EXPECT_EQ(1450u, raise(4)) << "a full table refuses, it does not grow";
    // A decided request makes room again.
    std::vector<zd_u8> res(ZD_TEST_RESULT_SIZE, 0), none;
    res[0] = 1;
    ASSERT_EQ(0u, call(ZD_IOCTL_SET_TEST_RESULT, res, none));
    EXPECT_EQ(0u, raise(4));
}

// A raiser that must never see a device admitted unasked (the holder of a real machine) is told
// to keep it while nobody is registered; a hub under the hub rule is admitted all the same.
TEST_F(DriverCore, HoldingRaisesWaitForARegistration)
{
    struct Case {
        const char* what;
        bool registered, hub, hubs_accepted;
        zd_u32 result;
        zd_u8 state;
    };
    const Case cases[] = {
        {"nobody registered", false, false, false, 21, 0},
        {"nobody registered, a hub without the hub rule", false, true, false, 21, 0},
        {"nobody registered, a hub under the hub rule", false, true, true, 0, ZD_VERDICT_HUB_RULE},
        {"registered", true, false, false, 0, ZD_VERDICT_PENDING},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        if (c.registered) ASSERT_EQ(0u, on(0));
        std::vector<zd_u8> none;
        ASSERT_EQ(0u, call(c.hubs_accepted ? ZD_IOCTL_HUBS_ACCEPT_ON : ZD_IOCTL_HUBS_ACCEPT_OFF, {}, none));
        zd_u64 id = 0;
        EXPECT_EQ(c.result, raise(2, &id, c.hub, ZD_RAISE_HOLD_UNREGISTERED));
        if (!c.result) EXPECT_EQ(c.state, state_of(id));
        // Without the flag nobody's absence admits it, as it always did.
        if (!c.registered) EXPECT_EQ(0u, raise(2, &id, c.hub, 0));
    }
}

TEST_F(DriverCore, OldVerdictsAreForgottenAndTheJournalKeepsTheLatest)
{
    zd_u64 first = 0, last = 0;
    ASSERT_EQ(0u, raise(1, &first)); // nobody registered: decided at once
    for (zd_u32 i = 1; i < ZD_MAX_RECORDS + 5; ++i) ASSERT_EQ(0u, raise(1, &last));
    EXPECT_EQ(0u, state_of(first)) << "forgotten: 1168";
    EXPECT_EQ(ZD_VERDICT_UNASKED, state_of(last));
    std::vector<zd_u8> out(ZD_STATE_HEADER_SIZE + 3 * ZD_JOURNAL_ENTRY_SIZE + 5);
    ASSERT_EQ(0u, call(ZD_IOCTL_TEST_STATE, {}, out));
    ASSERT_EQ(ZD_STATE_HEADER_SIZE + 3 * ZD_JOURNAL_ENTRY_SIZE, out.size()) << "as many whole entries as fit";
    const zd_u8* newest = &out[ZD_STATE_HEADER_SIZE + 2 * ZD_JOURNAL_ENTRY_SIZE];
    EXPECT_EQ(last & 0xFF, newest[ZD_JE_REQUEST_ID]);
    EXPECT_EQ(ZD_VERDICT_UNASKED, newest[ZD_JE_VERDICT]);
}

TEST_F(DriverCore, AFailedEventOpenLeavesNoRegistration)
{
    fake.open_error = 6;
    EXPECT_EQ(6u, on(100));
    fake.open_error = 0;
    EXPECT_EQ(0u, on(100));
    EXPECT_EQ(31u, on(100, 2));
    zd_cleanup(core.get(), 2, now); // another handle's cleanup leaves the registration alone
    EXPECT_EQ(31u, on(100, 3));
    zd_cleanup(core.get(), 1, now);
    EXPECT_EQ(0u, on(100, 3));
}

TEST_F(DriverCore, ConfigurationFileMembers)
{
    struct Case {
        const char* what;
        std::u16string text;
        bool hubs, capture;
        zd_u32 mode;
    };
    const Case cases[] = {
        {"the library's compact form", u"{\"capture\":false,\"filesAndCacheMode\":3,\"hubs_always_accepted\":true}", true, false, 3},
        {"spaces and numbers for booleans", u"{ \"capture\" : 1 , \"hubs_always_accepted\" :\r\n 0 }", false, true, 1},
        {"a mode out of range is ignored", u"{\"filesAndCacheMode\":7}", false, true, 1},
        {"not JSON at all", u"garbage \"capture", false, true, 1},
        {"empty", u"", false, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        zd_init(core.get(), &core->ops);
        zd_apply_config(core.get(), reinterpret_cast<const zd_u16*>(c.text.data()), c.text.size());
        EXPECT_EQ(c.hubs, core->hubs_accepted != 0);
        EXPECT_EQ(c.capture, core->capture != 0);
        EXPECT_EQ(c.mode, core->files_cache_mode);
    }
}

} // namespace
