// Handle values of the model's families: numbers that look like Windows handles (multiples of 4,
// never 0), each naming one record until it is closed.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

namespace platform::model {

template <class Entry>
class Handles {
public:
    uint64_t add(Entry e)
    {
        std::lock_guard lock(mutex_);
        next_ += 4;
        entries_.emplace(next_, std::move(e));
        return next_;
    }
    std::optional<Entry> get(uint64_t h) const
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(h);
        if (it == entries_.end()) return std::nullopt;
        return it->second;
    }
    // Runs `change` on the entry under the table's lock; false when the handle names nothing.
    template <class F>
    bool update(uint64_t h, F&& change)
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(h);
        if (it == entries_.end()) return false;
        change(it->second);
        return true;
    }
    bool remove(uint64_t h)
    {
        std::lock_guard lock(mutex_);
        return entries_.erase(h) == 1;
    }

private:
    mutable std::mutex mutex_;
    std::map<uint64_t, Entry> entries_;
    uint64_t next_ = 0x2000;
};

} // namespace platform::model
