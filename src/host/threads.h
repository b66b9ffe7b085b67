// Bounded groups of worker threads started by the host.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class CThreadGroup {
public:
    using Procedure = uint32_t (*)(void* parameter);

    explicit CThreadGroup(uint32_t limit = 100) : limit_(limit) {}
    // Threads still running when the group ends are left to end with the process: a standard
    // thread cannot be terminated from outside, so they are detached rather than waited for.
    ~CThreadGroup();
    CThreadGroup(const CThreadGroup&) = delete;
    CThreadGroup& operator=(const CThreadGroup&) = delete;

    // Starts `procedure(parameter)` on a new thread. While the group holds more than `limit`
    // threads, finished ones are removed and the caller waits in 10 ms steps. Returns false when
    // the thread cannot be created.
    bool StartThread(Procedure procedure, void* parameter);
    bool StartThread(std::function<void()> work);

    // Threads started and not yet removed (finished ones are removed by StartThread).
    size_t size();
    // Waits until every thread of the group has finished (for tests and orderly shutdown).
    void WaitAll();

private:
    struct Record {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void remove_finished();

    uint32_t limit_;
    std::mutex lock_;
    std::vector<Record> threads_;
};

// The two groups of the process: the host group (listener, watchdog, clean-up of the new-device
// file) and the notification group.
CThreadGroup& host_threads();
CThreadGroup& notification_threads();
