// The cost of one question-and-answer exchange of the host (connect, "cfg"-sized request, answer)
// beside its two parts measured alone: the connect to a listening pipe, and a bare round trip of
// the same size over a connected SOCK_SEQPACKET pair, the transport the Linux backend's pipes use.
// The exchange is expected to cost no more than the connect plus two bare round trips.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "host/commp.h"
#include "platform/pipes.h"
#include "platform/platform.h"
#include "platform/sync.h"

namespace {

std::u16string answer_one(uint32_t, const std::u16string&)
{
    return u"1";
}

enum class Pause {
    none,  // right after the previous exchange, as a caller asking in a loop would
    spin,  // once the listener is ready again, the core kept busy meanwhile
    sleep, // once the listener is ready again, after the core was left idle
};

// The pause before each exchange is not timed. A core left idle for a while wakes slowly and with
// cold caches: the spinning pause keeps that cost out, so the exchange is timed as the bare round
// trip and the connect are, in tight loops; the sleeping one shows what a rare question costs.
void ask_text(benchmark::State& state, Pause pause)
{
    const auto root = std::filesystem::temp_directory_path() / "zelmusb-bench-commp";
    std::filesystem::remove_all(root);
    ::setenv("ZELMUSB_PLATFORM_ROOT", root.c_str(), 1);
    class_commp server(2000, 2000);
    server.text_handler = answer_one;
    std::atomic<bool> stop{false};
    std::thread listener([&] { server.listen(u"bench", &stop); });
    class_commp asker(2000, 2000);
    while (asker.AskText(0, u"cfg", u"bench") != u"1") {
    }
    for (auto _ : state) {
        if (pause == Pause::spin) {
            state.PauseTiming();
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(3);
            while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
            state.ResumeTiming();
        } else if (pause == Pause::sleep) {
            state.PauseTiming();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            state.ResumeTiming();
        }
        if (asker.AskText(0, u"cfg", u"bench") != u"1") state.SkipWithError("no answer");
    }
    stop = true;
    asker.AskText(0, u"bye", u"bench", 2000);
    listener.join();
    std::filesystem::remove_all(root);
}
void ask_text_back_to_back(benchmark::State& state) { ask_text(state, Pause::none); }
void ask_text_listener_ready(benchmark::State& state) { ask_text(state, Pause::spin); }
void ask_text_after_idle(benchmark::State& state) { ask_text(state, Pause::sleep); }
BENCHMARK(ask_text_back_to_back)->UseRealTime();
BENCHMARK(ask_text_listener_ready)->UseRealTime();
// A fixed count: each exchange follows 20 ms of sleep.
BENCHMARK(ask_text_after_idle)->UseRealTime()->Iterations(300);

// The connect alone, as an asker makes it: a client end opened on a listening instance of the
// pipe and closed again, through the platform's pipes family. The server makes a fresh instance
// for every client, as the host's listener does; each connect is timed once that instance is
// there.
void connect_only(benchmark::State& state)
{
    const auto root = std::filesystem::temp_directory_path() / "zelmusb-bench-connect";
    std::filesystem::remove_all(root);
    ::setenv("ZELMUSB_PLATFORM_ROOT", root.c_str(), 1);
    auto& pipes = platform::pipes();
    const std::u16string path = class_commp::pipe_path(u"bench", 0);
    std::atomic<uint64_t> instances{0}; // instances made so far
    std::atomic<bool> stop{false};
    std::thread server([&] {
        platform::PipeServerOptions options;
        options.system_and_everyone = true;
        for (;;) {
            platform::Handle h = platform::null_handle;
            if (pipes.create_server(path, options, h) != platform::err::success) {
                platform::sync().sleep(10);
                continue;
            }
            ++instances;
            pipes.connect(h);
            if (stop) {
                pipes.close(h);
                return;
            }
            uint8_t buf[16];
            uint32_t got = 0;
            // The client sends nothing: the read ends when it has gone.
            pipes.read(h, buf, sizeof buf, got, 2000);
            pipes.disconnect(h);
            pipes.close(h);
        }
    });
    auto connect_once = [&] {
        platform::Handle client = platform::null_handle;
        const platform::Error e = pipes.open_client(path, client);
        if (e == platform::err::success) pipes.close(client);
        return e;
    };
    uint64_t used = 0;
    for (auto _ : state) {
        state.PauseTiming();
        while (instances.load() <= used) std::this_thread::yield();
        ++used;
        state.ResumeTiming();
        if (connect_once() != platform::err::success) state.SkipWithError("no connection");
    }
    // The server has made its next instance before it is told to stop, so the last connect
    // reaches it and it sees `stop` once that connect returns.
    while (instances.load() <= used) std::this_thread::yield();
    stop = true;
    connect_once();
    server.join();
    std::filesystem::remove_all(root);
}
BENCHMARK(connect_only)->UseRealTime();

// The same bytes each way (the 10-byte request, the 2-byte answer) over a bare connected pair
// served by a thread: the floor that the exchange is measured against.
void bare_seqpacket_round_trip(benchmark::State& state)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    std::thread peer([fd = fds[1]] {
        char buf[64];
        while (::recv(fd, buf, sizeof buf, 0) > 0) ::send(fd, "1\0", 2, 0);
    });
    const char request[10] = {1, 2, 3, 4, 'c', 0, 'f', 0, 'g', 0};
    char reply[16];
    for (auto _ : state) {
        ::send(fds[0], request, sizeof request, 0);
        ::recv(fds[0], reply, sizeof reply, 0);
    }
    ::shutdown(fds[0], SHUT_RDWR);
    peer.join();
    ::close(fds[0]);
    ::close(fds[1]);
}
BENCHMARK(bare_seqpacket_round_trip)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
