// Message-mode named pipes of the installed backend: the "more data" read protocol, message
// boundaries, large messages, bounded reads and the errors of the pipe's states.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "platform/pipes.h"
#include "platform/platform.h"
#include "sync_pipes_support.h"
#include "text/text.h"

namespace {

using platform::Error;
using platform::Handle;
namespace err = platform::err;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr Handle nothing = 0x7FFF1230;

Bytes pattern(size_t size, uint8_t seed)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return b;
}

Bytes bytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

long long ms_since(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class PipeTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (Handle h : handles_) pipes.close(h);
    }

    Handle keep(Handle h)
    {
        handles_.push_back(h);
        return h;
    }

    void close_now(Handle h)
    {
        handles_.erase(std::remove(handles_.begin(), handles_.end(), h), handles_.end());
        EXPECT_EQ(pipes.close(h), err::success);
    }

    // A server instance with the host's settings: 255 instances, 1024-byte buffers, 500 ms, the
    // LocalSystem/Everyone access list, an inheritable handle.
    Handle server(uint32_t max_instances = 255)
    {
        platform::PipeServerOptions o;
        o.max_instances = max_instances;
        o.system_and_everyone = true;
        o.inheritable = true;
        Handle h = platform::null_handle;
        const Error e = pipes.create_server(path_, o, h);
        EXPECT_EQ(e, err::success);
        return e == err::success ? keep(h) : platform::null_handle;
    }

    Handle client(bool message_mode = true)
    {
        Handle h = platform::null_handle;
        const Error e = pipes.open_client(path_, h);
        EXPECT_EQ(e, err::success);
        if (e != err::success) return platform::null_handle;
        keep(h);
        if (message_mode) {
            EXPECT_EQ(pipes.set_message_mode(h), err::success);
        }
        return h;
    }

    // A client of an instance that another thread is about to make listen (connect() after a
    // disconnect): busy until then, as on Windows.
    Handle client_when_listening()
    {
        Handle h = platform::null_handle;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        Error e;
        while ((e = pipes.open_client(path_, h)) == err::pipe_busy && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(e, err::success);
        if (e != err::success) return platform::null_handle;
        EXPECT_EQ(pipes.set_message_mode(h), err::success);
        return keep(h);
    }

    // A connected pair: the server instance and a message-mode client.
    std::pair<Handle, Handle> pair()
    {
        Handle s = server();
        Handle c = client();
        EXPECT_EQ(pipes.connect(s), err::success) << "a client that came first counts as connected";
        return {s, c};
    }

    void send(Handle h, const Bytes& message)
    {
        uint32_t written = 0;
        ASSERT_EQ(pipes.write(h, message.data(), static_cast<uint32_t>(message.size()), written), err::success);
        EXPECT_EQ(written, message.size());
    }

    // The host's way of reading one message: a 16-byte first read, then chunks that double up to
    // 1 MiB while the pipe says there is more.
    Error read_message(Handle h, Bytes& out, uint32_t timeout_ms = platform::infinite)
    {
        out.clear();
        uint32_t chunk = 16;
        for (;;) {
            const size_t have = out.size();
            out.resize(have + chunk);
            uint32_t got = 0;
            const Error e = pipes.read(h, out.data() + have, chunk, got, timeout_ms);
            out.resize(have + got);
            if (e != err::more_data) return e;
            chunk = std::min<uint32_t>(chunk * 2, 0x100000);
        }
    }

    testsupport::FreshRoot root_;
    platform::Pipes& pipes = platform::pipes();
    std::u16string path_ = u"\\\\.\\pipe\\" + testsupport::unique_name16("pipe");
    std::vector<Handle> handles_;
};

TEST_F(PipeTest, LongAnswerComesInChunksWithMoreData)
{
    auto [s, c] = pair();
    const Bytes answer = pattern(40, 1);
    send(s, answer);

    uint32_t available = 0, left = 0;
    // The answer may still be on its way; peek until it is there.
    for (int i = 0; i < 400 && available == 0; ++i) {
        ASSERT_EQ(pipes.peek(c, available, left), err::success);
        if (available == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(available, 40u);
    EXPECT_EQ(left, 40u);

    Bytes got(64, 0);
    uint32_t n = 0;
    ASSERT_EQ(pipes.read(c, got.data(), 16, n), err::more_data);
    EXPECT_EQ(n, 16u);
    ASSERT_EQ(pipes.peek(c, available, left), err::success);
    EXPECT_EQ(left, 24u);
    ASSERT_EQ(pipes.read(c, got.data() + 16, 32, n), err::success);
    EXPECT_EQ(n, 24u);
    got.resize(40);
    EXPECT_EQ(got, answer);
}

TEST_F(PipeTest, ByteModeClientReadsPartsWithoutMoreData)
{
    Handle s = server();
    Handle c = client(false);
    ASSERT_EQ(pipes.connect(s), err::success);
    const Bytes answer = pattern(40, 2);
    send(s, answer);
    Bytes got(40, 0);
    uint32_t n = 0;
    ASSERT_EQ(pipes.read(c, got.data(), 16, n), err::success);
    ASSERT_EQ(n, 16u);
    ASSERT_EQ(pipes.read(c, got.data() + 16, 24, n), err::success);
    ASSERT_EQ(n, 24u);
    EXPECT_EQ(got, answer);
}

TEST_F(PipeTest, MessagesKeepTheirBoundaries)
{
    auto [s, c] = pair();
    const std::vector<Bytes> sent = {bytes("hello"), bytes("second message!!"), Bytes{}, bytes("x")};
    for (const Bytes& m : sent) send(c, m);
    for (const Bytes& m : sent) {
        Bytes buf(64, 0xEE);
        uint32_t n = 99;
        ASSERT_EQ(pipes.read(s, buf.data(), static_cast<uint32_t>(buf.size()), n), err::success);
        buf.resize(n);
        EXPECT_EQ(buf, m) << "a read must end where the writer's message ended";
    }
}

TEST_F(PipeTest, ReadIntoNoRoomLosesNothing)
{
    auto [s, c] = pair();
    const Bytes m = pattern(10, 3);
    send(s, m);
    uint32_t n = 99;
    uint8_t none = 0;
    ASSERT_EQ(pipes.read(c, &none, 0, n), err::more_data);
    EXPECT_EQ(n, 0u);
    Bytes got;
    ASSERT_EQ(read_message(c, got), err::success);
    EXPECT_EQ(got, m);
}

struct Direction {
    const char* name;
    bool client_writes;
};

class LargeMessageTest : public PipeTest, public ::testing::WithParamInterface<Direction> {};

TEST_P(LargeMessageTest, ThreeMegabytesArriveWhole)
{
    auto [s, c] = pair();
    const Handle writer = GetParam().client_writes ? c : s;
    const Handle reader = GetParam().client_writes ? s : c;
    const Bytes big = pattern(3 * 1024 * 1024, 4);
    const Bytes after = bytes("after");
    // The writer blocks until the reader has taken the message, as WriteFile does.
    std::thread w([&] {
        uint32_t written = 0;
        EXPECT_EQ(pipes.write(writer, big.data(), static_cast<uint32_t>(big.size()), written), err::success);
        EXPECT_EQ(written, big.size());
        EXPECT_EQ(pipes.write(writer, after.data(), static_cast<uint32_t>(after.size()), written), err::success);
    });
    Bytes got;
    EXPECT_EQ(read_message(reader, got, 60000), err::success);
    EXPECT_TRUE(got == big) << "got " << got.size() << " bytes";
    EXPECT_EQ(read_message(reader, got, 60000), err::success);
    EXPECT_EQ(got, after);
    w.join();
}

INSTANTIATE_TEST_SUITE_P(Directions, LargeMessageTest,
                         ::testing::Values(Direction{"question", true}, Direction{"answer", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PipeTest, OversizedMessageIsRefusedByTheWriter)
{
    auto [s, c] = pair();
    const uint8_t one = 0;
    uint32_t written = 99;
    // The size is refused before anything is read from the buffer.
    EXPECT_EQ(pipes.write(c, &one, platform::max_pipe_message + 1, written), err::invalid_parameter);
    EXPECT_EQ(written, 0u);
    send(c, bytes("still fine"));
    Bytes got;
    ASSERT_EQ(read_message(s, got), err::success);
    EXPECT_EQ(got, bytes("still fine"));
}

struct TimeoutSide {
    const char* name;
    bool client_reads;
};

class ReadTimeoutTest : public PipeTest, public ::testing::WithParamInterface<TimeoutSide> {};

TEST_P(ReadTimeoutTest, SilentPeerGivesTimeoutAndTheLateMessageStaysWhole)
{
    auto [s, c] = pair();
    const Handle reader = GetParam().client_reads ? c : s;
    const Handle writer = GetParam().client_reads ? s : c;
    Bytes buf(16, 0);
    uint32_t n = 99;
    const auto start = Clock::now();
    EXPECT_EQ(pipes.read(reader, buf.data(), 16, n, 300), err::timeout);
    EXPECT_EQ(n, 0u);
    const long long took = ms_since(start);
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 5000);

    const Bytes late = pattern(40, 5);
    send(writer, late);
    Bytes got;
    EXPECT_EQ(read_message(reader, got, 5000), err::success);
    EXPECT_EQ(got, late);
}

INSTANTIATE_TEST_SUITE_P(Sides, ReadTimeoutTest,
                         ::testing::Values(TimeoutSide{"client", true}, TimeoutSide{"server", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PipeTest, ClientThatLeavesWithoutWritingDoesNotBreakTheServer)
{
    // The listener's loop: one instance per request.
    for (int round = 0; round < 2; ++round) {
        Handle s = server();
        Handle idle = client();
        ASSERT_EQ(pipes.connect(s), err::success);
        close_now(idle);
        Bytes got;
        EXPECT_EQ(read_message(s, got, 5000), err::broken_pipe);
        EXPECT_TRUE(got.empty());
        pipes.flush(s);
        EXPECT_EQ(pipes.disconnect(s), err::success);
        close_now(s);
    }

    // The next asker is served normally.
    Handle s = server();
    std::thread serve([&] {
        ASSERT_EQ(pipes.connect(s), err::success);
        Bytes question;
        ASSERT_EQ(read_message(s, question, 10000), err::success);
        EXPECT_EQ(question, bytes("ping"));
        send(s, bytes("pong"));
        EXPECT_EQ(pipes.flush(s), err::success);
        EXPECT_EQ(pipes.disconnect(s), err::success);
    });
    Handle c = client();
    send(c, bytes("ping"));
    Bytes answer;
    EXPECT_EQ(read_message(c, answer, 10000), err::success);
    EXPECT_EQ(answer, bytes("pong"));
    serve.join();
}

TEST_F(PipeTest, FlushWaitsUntilTheClientHasReadTheAnswer)
{
    auto [s, c] = pair();
    const Bytes answer = pattern(100, 6); // fits the pipe's buffer: the write does not wait
    send(s, answer);
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Bytes got;
        EXPECT_EQ(read_message(c, got, 10000), err::success);
        EXPECT_EQ(got, answer);
    });
    const auto start = Clock::now();
    EXPECT_EQ(pipes.flush(s), err::success);
    EXPECT_GE(ms_since(start), 200) << "flush returned before the client read";
    reader.join();
    EXPECT_EQ(pipes.disconnect(s), err::success);
}

TEST_F(PipeTest, TwoInstancesServeTwoClientsAtOnce)
{
    Handle s1 = server();
    Handle s2 = server();
    Handle c1 = client();
    Handle c2 = client();
    ASSERT_EQ(pipes.connect(s1), err::success);
    ASSERT_EQ(pipes.connect(s2), err::success);
    send(c1, bytes("one"));
    send(c2, bytes("two"));
    Bytes a, b;
    ASSERT_EQ(read_message(s1, a, 5000), err::success);
    ASSERT_EQ(read_message(s2, b, 5000), err::success);
    EXPECT_EQ(a, bytes("one"));
    EXPECT_EQ(b, bytes("two"));
    send(s1, bytes("1"));
    send(s2, bytes("2"));
    ASSERT_EQ(read_message(c1, a, 5000), err::success);
    ASSERT_EQ(read_message(c2, b, 5000), err::success);
    EXPECT_EQ(a, bytes("1"));
    EXPECT_EQ(b, bytes("2"));
}

TEST_F(PipeTest, InstancesBusyOrMissing)
{
    Handle h = platform::null_handle;
    EXPECT_EQ(pipes.open_client(path_, h), err::file_not_found);

    Handle s = server(1);
    platform::PipeServerOptions one;
    one.max_instances = 1;
    EXPECT_EQ(pipes.create_server(path_, one, h), err::pipe_busy) << "a name's instances are counted";

    Handle c = client();
    ASSERT_EQ(pipes.connect(s), err::success);
    EXPECT_EQ(pipes.open_client(path_, h), err::pipe_busy) << "the only instance is taken";

    // Pipe names ignore case, as on Windows.
    std::u16string upper = text::from_utf8(text::to_utf8(path_));
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char16_t ch) {
        return ch >= u'a' && ch <= u'z' ? static_cast<char16_t>(ch - 32) : ch;
    });
    EXPECT_EQ(pipes.open_client(upper, h), err::pipe_busy);

    close_now(c);
    close_now(s);
    EXPECT_EQ(pipes.open_client(path_, h), err::file_not_found) << "no instance left";
}

TEST_F(PipeTest, InstanceLimitHoldsExceptForUnlimited)
{
    for (int i = 0; i < 3; ++i) ASSERT_NE(server(3), platform::null_handle) << i;
    Handle h = platform::null_handle;
    platform::PipeServerOptions o;
    o.max_instances = 3;
    EXPECT_EQ(pipes.create_server(path_, o, h), err::pipe_busy);

    // 255 is PIPE_UNLIMITED_INSTANCES, not a count.
    path_ = u"\\\\.\\pipe\\";
    path_ += testsupport::unique_name16("many");
    for (int i = 0; i < 300; ++i) ASSERT_NE(server(255), platform::null_handle) << i;
}

#ifndef _WIN32
// A peer that does not speak the backend's framing (a foreign program on the socket) costs the
// server that connection and an error code, nothing more.
struct Garbage {
    const char* name;
    std::string record; // one raw record sent after the connection was accepted
    Error read;
};

class ForeignPeerTest : public PipeTest, public ::testing::WithParamInterface<Garbage> {};

TEST_P(ForeignPeerTest, GetsAnErrorAndTheServerGoesOn)
{
    Handle s = server();
    std::string socket_path;
    for (const auto& entry : std::filesystem::directory_iterator(root_.path() + "/objects")) {
        if (entry.path().filename().string().rfind("pipe.", 0) == 0) socket_path = entry.path().string();
    }
    ASSERT_FALSE(socket_path.empty());
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, socket_path.c_str(), sizeof a.sun_path - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    char ack = 0;
    ASSERT_EQ(::recv(fd, &ack, 1, 0), 1);
    ASSERT_EQ(::send(fd, GetParam().record.data(), GetParam().record.size(), 0),
              static_cast<ssize_t>(GetParam().record.size()));

    ASSERT_EQ(pipes.connect(s), err::success);
    Bytes got;
    EXPECT_EQ(read_message(s, got, 5000), GetParam().read);
    EXPECT_EQ(read_message(s, got, 5000), GetParam().read) << "the connection stays unusable";
    ::close(fd);
    EXPECT_EQ(pipes.disconnect(s), err::success);

    // The instance serves the next client normally.
    std::thread serve([&] { EXPECT_EQ(pipes.connect(s), err::success); });
    Handle c = client_when_listening();
    if (c == platform::null_handle) close_now(s); // frees the waiting connect: fail, do not hang
    serve.join();
    ASSERT_NE(c, platform::null_handle);
    send(c, bytes("fine"));
    EXPECT_EQ(read_message(s, got, 5000), err::success);
    EXPECT_EQ(got, bytes("fine"));
}

INSTANTIATE_TEST_SUITE_P(Records, ForeignPeerTest,
                         ::testing::Values(Garbage{"unknown_kind", std::string("\x07hello", 6), err::invalid_data},
                                           Garbage{"empty_record", std::string(), err::broken_pipe}),
                         [](const auto& info) { return std::string(info.param.name); });
#endif

TEST_F(PipeTest, BadArgumentsGiveErrors)
{
    Handle h = platform::null_handle;
    platform::PipeServerOptions o;
    for (uint32_t bad : {0u, 256u}) {
        o.max_instances = bad;
        EXPECT_EQ(pipes.create_server(path_, o, h), err::invalid_parameter) << bad;
    }
    o.max_instances = 1;
    EXPECT_EQ(pipes.create_server(u"\\\\.\\pipe\\", o, h), err::invalid_name);

    uint8_t buf[4];
    uint32_t n = 0, a = 0, l = 0;
    EXPECT_EQ(pipes.read(nothing, buf, sizeof buf, n), err::invalid_handle);
    EXPECT_EQ(pipes.read(nothing, buf, sizeof buf, n, 10), err::invalid_handle);
    EXPECT_EQ(pipes.write(nothing, buf, sizeof buf, n), err::invalid_handle);
    EXPECT_EQ(pipes.peek(nothing, a, l), err::invalid_handle);
    EXPECT_EQ(pipes.connect(nothing), err::invalid_handle);
    EXPECT_EQ(pipes.close(nothing), err::invalid_handle);
}

TEST_F(PipeTest, InstanceNotConnectedYetOrAnyMore)
{
    Handle s = server();
    uint8_t buf[8];
    uint32_t n = 0;
    EXPECT_EQ(pipes.read(s, buf, sizeof buf, n), err::pipe_listening) << "no client yet";
    EXPECT_EQ(pipes.write(s, buf, sizeof buf, n), err::pipe_listening);

    Handle c = client();
    ASSERT_EQ(pipes.connect(s), err::success);
    ASSERT_EQ(pipes.disconnect(s), err::success);
    EXPECT_EQ(pipes.read(s, buf, sizeof buf, n), err::pipe_not_connected);
    EXPECT_EQ(pipes.write(s, buf, sizeof buf, n), err::pipe_not_connected);
    close_now(c);

    // connect() makes a disconnected instance listen again.
    std::thread serve([&] { EXPECT_EQ(pipes.connect(s), err::success); });
    Handle next = client_when_listening();
    if (next == platform::null_handle) close_now(s); // frees the waiting connect: fail, do not hang
    serve.join();
    ASSERT_NE(next, platform::null_handle);
    send(next, bytes("again"));
    Bytes got;
    EXPECT_EQ(read_message(s, got, 5000), err::success);
    EXPECT_EQ(got, bytes("again"));
}

struct ServerLeaves {
    const char* name;
    bool disconnects; // DisconnectNamedPipe, or only CloseHandle
    Error read;
    Error write;
};

class ServerLeavesTest : public PipeTest, public ::testing::WithParamInterface<ServerLeaves> {};

TEST_P(ServerLeavesTest, ClientSeesWhatWindowsReports)
{
    auto [s, c] = pair();
    if (GetParam().disconnects) {
        ASSERT_EQ(pipes.disconnect(s), err::success);
    } else {
        close_now(s);
    }
    uint8_t buf[8] = {};
    uint32_t n = 0;
    EXPECT_EQ(pipes.read(c, buf, sizeof buf, n, 5000), GetParam().read);
    EXPECT_EQ(pipes.write(c, buf, sizeof buf, n), GetParam().write);
    EXPECT_EQ(pipes.read(c, buf, sizeof buf, n, 5000), GetParam().read) << "and keeps saying so";
}

INSTANTIATE_TEST_SUITE_P(Ways, ServerLeavesTest,
                         ::testing::Values(ServerLeaves{"disconnect", true, err::pipe_not_connected,
                                                        err::pipe_not_connected},
                                           ServerLeaves{"close", false, err::broken_pipe, err::no_data}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
