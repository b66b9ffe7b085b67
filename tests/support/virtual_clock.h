// Virtual time for tests: a clock that moves only when the code under test sleeps, so that waits
// of seconds take none and their lengths can be checked exactly. The one clock of every test that
// scripts time: the native families with this clock (`VirtualClock`), and the host tests' fakes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/forwarding.h"
#include "platform/platform.h"

namespace platform_test {

// Now, in milliseconds from an origin of the test's choosing; a sleep moves it on at once and is
// kept in the record of sleeps. Safe to sleep from several threads; read the record of sleeps when
// no sleeper runs.
class VirtualTime {
public:
    explicit VirtualTime(uint64_t start_ms = 0) : now_ms(start_ms) {}

    std::atomic<uint64_t> now_ms;
    std::atomic<uint64_t> slept_ms{0}; // the sum of the sleeps, settable by the test
    std::vector<uint32_t> sleeps;      // each sleep in turn

    void pass(uint32_t ms)
    {
        std::lock_guard<std::mutex> g(lock_);
        now_ms += ms;
        slept_ms += ms;
        sleeps.push_back(ms);
    }

private:
    std::mutex lock_;
};

// The native system and sync families, with the clock in virtual time: the tick counts are `time`
// and a sleep passes it. Events and waits stay real. With `real_pause` each sleep also takes a real
// millisecond, so that a worker thread the sleeper polls gets to run; without it a sleep only
// yields.
class VirtualClock : public platform::ForwardingSystem, public platform::ForwardingSync {
public:
    explicit VirtualClock(uint64_t start_ms = 0, platform::System& system = platform::system(),
                          platform::Sync& sync = platform::sync())
        : ForwardingSystem(system), ForwardingSync(sync), time(start_ms)
    {
    }

    VirtualTime time;
    std::atomic<bool> real_pause{true};

    uint32_t tick_count() override { return static_cast<uint32_t>(time.now_ms); }
    uint64_t tick_count64() override { return time.now_ms; }
    void sleep(uint32_t ms) override
    {
        time.pass(ms);
        if (real_pause)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        else
            std::this_thread::yield();
    }
};

} // namespace platform_test
