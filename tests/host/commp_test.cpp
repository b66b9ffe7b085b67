#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "host/app.h"
#include "host/commp.h"
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
