#include "host/threads.h"

#include <atomic>

#include "platform/platform.h"
#include "platform/sync.h"

CThreadGroup::~CThreadGroup()
{
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& r : threads_) {
        if (r.done->load())
            r.thread.join();
        else
            r.thread.detach();
    }
}

void CThreadGroup::remove_finished()
{
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = threads_.begin(); it != threads_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = threads_.erase(it);
        } else {
            ++it;
        }
    }
}

bool CThreadGroup::StartThread(std::function<void()> work)
{
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (threads_.size() <= limit_) break;
        }
        remove_finished();
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (threads_.size() <= limit_) break;
        }
        platform::sync().sleep(10);
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    Record record;
    try {
        record.thread = std::thread([work = std::move(work), done] {
            work();
            done->store(true);
        });
    } catch (const std::system_error&) {
        return false;
    }
    record.done = done;
    std::lock_guard<std::mutex> guard(lock_);
    threads_.push_back(std::move(record));
    return true;
}

bool CThreadGroup::StartThread(Procedure procedure, void* parameter)
{
    return StartThread([procedure, parameter] { procedure(parameter); });
}

size_t CThreadGroup::size()
{
    std::lock_guard<std::mutex> guard(lock_);
    return threads_.size();
}

void CThreadGroup::WaitAll()
{
    std::vector<Record> all;
    {
        std::lock_guard<std::mutex> guard(lock_);
        all.swap(threads_);
    }
    for (auto& r : all) r.thread.join();
}

CThreadGroup& host_threads()
{
    static CThreadGroup group(100);
    return group;
}

CThreadGroup& notification_threads()
{
    static CThreadGroup group(100);
    return group;
}
