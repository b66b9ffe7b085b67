// An asker with an exchange limit is free again within that limit, whether the listener is slow
// to answer or busy with someone else.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host/commp.h"
#include "listener_fixture.h"
#include "text/text.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> questions{0};

std::u16string slow(uint32_t, const std::u16string& question)
{
    ++questions;
    if (question != u"bye") std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    return u"late";
}

class SlowListener : public ListenerFixture {
protected:
    SlowListener() : ListenerFixture(slow) { questions = 0; }

    static long ms_since(Clock::time_point start)
    {
        return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    }
};

TEST_F(SlowListener, AnswerLaterThanTheLimitIsTheEmptyAnswer)
{
    class_commp asker(2000, 2000);
    asker.exchange_limit_ms = 500;
    const auto start = Clock::now();
    EXPECT_EQ(asker.AskText(0, u"hello", channel_), u"");
    EXPECT_LT(ms_since(start), 2000);
    EXPECT_EQ(questions.load(), 1);
    // Without a limit the same listener's answer arrives.
    class_commp patient(2000, 2000);
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
    EXPECT_EQ(patient.AskText(0, u"hello", channel_, 10000), u"late");
}

TEST_F(SlowListener, BusyListenerIsGivenUpWithoutSending)
{
    std::thread first([this] {
        class_commp asker(2000, 2000);
        EXPECT_EQ(asker.AskText(0, u"first", channel_, 10000), u"late");
    });
    for (int i = 0; i < 500 && questions.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(questions.load(), 1);

    class_commp asker(2000, 2000);
    asker.exchange_limit_ms = 500;
    CByteBuffer answer;
    const auto start = Clock::now();
    EXPECT_EQ(asker.ask(0, text::to_utf16le(u"second"), answer, channel_), 0);
    EXPECT_LT(ms_since(start), 2000);
    first.join();
    EXPECT_EQ(questions.load(), 1);  // the second question never reached the listener
}

} // namespace
