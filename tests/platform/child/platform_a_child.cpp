// A small program the platform tests start as another process.
//
//   args <file> [arguments...]  writes each argument on a line of its own to <file>, exits with 3
//   cwd <file>                  writes its working folder to <file>
//   exit <code>                 exits with <code>
//   terminate <code>            ends itself through the platform's process termination
//   linger <file> [ms]          runs until <file> exists (at most ms, 30000 by default)
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/processes.h"

int main(int argc, char** argv)
{
    if (argc < 3) return 100;
    const std::string mode = argv[1];
    if (mode == "args") {
        std::ofstream out(argv[2], std::ios::binary);
        for (int i = 3; i < argc; ++i) out << argv[i] << '\n';
        return 3;
    }
    if (mode == "cwd") {
        std::ofstream out(argv[2], std::ios::binary);
        out << std::filesystem::current_path().string();
        return 0;
    }
    if (mode == "exit") return std::atoi(argv[2]);
    if (mode == "terminate") {
        platform::processes().terminate_current(uint32_t(std::atoi(argv[2])));
        return 101; // not reached
    }
    if (mode == "linger") {
        const int limit = argc > 3 ? std::atoi(argv[3]) : 30000;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
        while (!std::filesystem::exists(argv[2]) && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return 0;
    }
    return 102;
}
