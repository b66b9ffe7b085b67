#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "app/app.h"
#include "host/commp.h"
#include "host/files.h"
#include "listener_fixture.h"
#include "platform/pipes.h"
#include "platform/platform.h"
#include "text/text.h"

namespace {

std::u16string echo(uint32_t, const std::u16string& question)
{
    return u"ans:" + std::u16string(question.substr(0, 16)) + text::format(u"/%u", unsigned(question.size()));
}

class Listener : public ListenerFixture {
protected:
    Listener() : ListenerFixture(echo) {}
};

TEST_F(Listener, AnswersQuestionsOfAnySize)
{
    class_commp asker(2000, 2000);
    EXPECT_EQ(asker.AskText(0, u"hello", channel_), u"ans:hello/5");
    const std::u16string big(512 * 1024, u'ż');  // a 1 MB request
    EXPECT_EQ(asker.AskText(0, big, channel_), u"ans:" + big.substr(0, 16) + u"/524288");
}

TEST_F(Listener, ShortOrAbandonedRequestsDoNotStopIt)
{
    auto& pipes = platform::pipes();
    const std::u16string path = class_commp::pipe_path(channel_, 0);
    for (uint32_t size : {0u, 2u}) {
        platform::Handle client = platform::null_handle;
        for (int i = 0; i < 200 && pipes.open_client(path, client) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_NE(client, platform::null_handle);
        ASSERT_EQ(pipes.set_message_mode(client), 0u);
        if (size) {
            uint32_t written = 0;
            ASSERT_EQ(pipes.write(client, "ab", size, written), 0u);
            // No answer comes to a request shorter than the asker's identifier.
            char reply[16];
            uint32_t got = 0;
            EXPECT_NE(pipes.read(client, reply, sizeof reply, got, 1000), 0u);
            EXPECT_EQ(got, 0u);
        }
        pipes.close(client);  // size 0: gone without a word
    }
    class_commp asker(2000, 2000);
    EXPECT_EQ(asker.AskText(0, u"still there?", channel_), u"ans:still there?/12");
}

// A client that never takes its answer is given its time-out away from the listener: the next
// asker is answered at once, and the slow one still finds its answer when it reads at last.
TEST_F(Listener, ClientThatDoesNotReadHoldsUpNobody)
{
    auto& pipes = platform::pipes();
    const std::u16string path = class_commp::pipe_path(channel_, 0);
    platform::Handle slow = platform::null_handle;
    for (int i = 0; i < 200 && pipes.open_client(path, slow) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_NE(slow, platform::null_handle);
    ASSERT_EQ(pipes.set_message_mode(slow), 0u);
    std::vector<uint8_t> request = {1, 0, 0, 0};
    const auto question = text::to_utf16le(u"slow");
    request.insert(request.end(), question.begin(), question.end());
    uint32_t written = 0;
    ASSERT_EQ(pipes.write(slow, request.data(), uint32_t(request.size()), written), 0u);

    // Well below the 10 s a client has to take its answer, which the next asker used to wait out.
    class_commp asker(2000, 2000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(asker.AskText(0, u"next", channel_), u"ans:next/4");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));

    char reply[64];
    uint32_t got = 0;
    ASSERT_EQ(pipes.read(slow, reply, sizeof reply, got, 5000), 0u);
    EXPECT_EQ(text::from_utf16le(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(reply), got)), u"ans:slow/4");
    pipes.close(slow);
}

// When an asker has its answer the listener is ready for the next one: not busy, and an instance
// of the pipe free, so asking again at once costs no wait (askers probe a busy listener in steps).
TEST_F(Listener, ReadyForTheNextAskerOnceAnAnswerIsRead)
{
    auto& pipes = platform::pipes();
    const std::u16string path = class_commp::pipe_path(channel_, 0);
    class_commp asker(2000, 2000);
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(asker.AskText(0, u"again", channel_), u"ans:again/5");
        EXPECT_FALSE(MutexPresent(class_commp::busy_mutex_name(channel_, 0))) << "round " << round;
        platform::Handle client = platform::null_handle;
        EXPECT_EQ(pipes.open_client(path, client), 0u) << "round " << round;
        if (client != platform::null_handle) pipes.close(client);
    }
}

TEST(Commp, NobodyListeningIsAnEmptyAnswerInBoundedTime)
{
    class_commp asker(300, 300);
    CByteBuffer answer;
    EXPECT_EQ(asker.ask(0, text::to_utf16le(u"x"), answer, u"nobody-listens-here"), 0);
    EXPECT_EQ(asker.AskText(0, u"x", u"nobody-listens-here"), u"");
}

TEST(DefaultChannel, CommandsAndFlags)
{
    g_stop_request = 0;
    g_uninstall_request = 0;
    EXPECT_EQ(HandleDefaultQuestion(1, u"STOP"), u"");
    EXPECT_EQ(HandleDefaultQuestion(1, u"whatever"), u"");
    EXPECT_EQ(g_stop_request.load(), 0u);
    EXPECT_EQ(HandleDefaultQuestion(1, u"stop"), u"1");
    EXPECT_EQ(g_stop_request.load(), 1u);
    EXPECT_EQ(g_uninstall_request.load(), 0u);
    g_stop_request = 0;
    EXPECT_EQ(HandleDefaultQuestion(1, u"uninstall"), u"1");
    EXPECT_EQ(g_stop_request.load(), 1u);
    EXPECT_EQ(g_uninstall_request.load(), 1u);
    g_stop_request = 0;
    g_uninstall_request = 0;
}

} // namespace
