// The cost of one question-and-answer exchange of the host (connect, "cfg"-sized request, answer)
// beside a bare round trip of the same size over a connected SOCK_SEQPACKET pair, the transport
// the Linux backend's pipes use.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "host/commp.h"

namespace {

std::u16string answer_one(uint32_t, const std::u16string&)
{
    return u"1";
}

// `settle`: whether each exchange starts once the listener is ready for the next client (the
// pause is not timed), or right after the previous one, as a caller asking in a loop would.
void ask_text(benchmark::State& state, bool settle)
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
        if (settle) {
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
void ask_text_back_to_back(benchmark::State& state) { ask_text(state, false); }
void ask_text_listener_ready(benchmark::State& state) { ask_text(state, true); }
BENCHMARK(ask_text_back_to_back)->UseRealTime();
BENCHMARK(ask_text_listener_ready)->UseRealTime();

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
