// A small program the host tests start as another process (on Linux also as another user).
//
//   hold <file> <share> <release>      opens <file> for reading with the share bits <share>, writes
//                                      <release>.ready, keeps it open until <release> exists (30 s)
//   ask <pid> <channel> <question> <out>  asks process <pid> on <channel>; writes "=" + the answer
//   take <name> <pipe path> <out>     tries to create the global mutex <name> and a server instance
//                                      of <pipe path>; writes "mutex=<code> pipe=<code> present=<0|1>"
//                                      (whether the mutex is then seen held)
//   squat <name> <release>             creates and holds the global mutex <name>, writes
//                                      <release>.ready, until <release> exists (30 s)
//   serve <channel> <answer> <release>  answers every question on <channel> with <answer> until
//                                      <release> exists (30 s); copied under a suite program's name,
//                                      it stands in for that program run by another user
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "host/commp.h"
#include "host/files.h"
#include "platform/files.h"
#include "platform/pipes.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "text/text.h"

namespace {
void wait_for(const std::string& release)
{
    std::ofstream(release + ".ready").put('1');
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!std::filesystem::exists(release) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return 100;
    const std::string mode = argv[1];
    if (mode == "hold" && argc == 5) {
        platform::Handle h = platform::null_handle;
        const platform::Error e =
            platform::files().open(text::from_utf8(argv[2]), platform::access::generic_read, uint32_t(std::atoi(argv[3])),
                                   platform::disposition::open_existing, platform::attribute::normal, h);
        if (e != platform::err::success) return 10;
        wait_for(argv[4]);
        platform::files().close(h);
        return 0;
    }
    if (mode == "ask" && argc == 6) {
        class_commp commp(2000, 2000);
        const std::u16string answer =
            commp.AskText(uint32_t(std::atoi(argv[2])), text::from_utf8(argv[4]), text::from_utf8(argv[3]), 5000);
        std::ofstream(argv[5], std::ios::binary) << "=" << text::to_utf8(answer);
        return 0;
    }
    if (mode == "take" && argc == 5) {
        platform::Handle m = platform::null_handle, p = platform::null_handle;
        const platform::Error me = platform::sync().create_mutex(u"Global\\" + text::from_utf8(argv[2]), m);
        platform::PipeServerOptions options;
        options.system_and_everyone = true;
        const platform::Error pe = platform::pipes().create_server(text::from_utf8(argv[3]), options, p);
        std::ofstream(argv[4], std::ios::binary)
            << "mutex=" << me << " pipe=" << pe << " present=" << (MutexPresent(text::from_utf8(argv[2])) ? 1 : 0);
        return 0;
    }
    if (mode == "squat" && argc == 4) {
        platform::Handle m = platform::null_handle;
        const platform::Error e = platform::sync().create_mutex(u"Global\\" + text::from_utf8(argv[2]), m);
        if (e != platform::err::success) return 11;
        wait_for(argv[3]);
        return 0;
    }
    if (mode == "serve" && argc == 5) {
        static std::string answer = argv[3];
        class_commp server(2000, 2000);
        server.text_handler = [](uint32_t, const std::u16string&) { return text::from_utf8(answer); };
        std::atomic<bool> stop{false};
        std::thread waker([&] {
            wait_for(argv[4]);
            stop = true;
            class_commp knock(2000, 2000);
            knock.AskText(0, u"bye", text::from_utf8(argv[2]), 2000);
        });
        server.listen(text::from_utf8(argv[2]), &stop);
        waker.join();
        return 0;
    }
    return 102;
}
