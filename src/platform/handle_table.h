// Handles of one family of an emulated facility: values that look like Windows handles (multiples
// of 4, never 0) mapped to the family's own records. A value the table did not hand out, or one
// already closed, names nothing. Safe to use from several threads.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

namespace platform {

template <class Entry>
class HandleTable {
public:
    // `base`: the values handed out start above it, so that tables of different families can be
    // told apart when a handle of one reaches another.
    explicit HandleTable(uint64_t base = 0x1000) : next_(base) {}

    uint64_t add(Entry e)
    {
        std::lock_guard lock(mutex_);
        next_ += 4;
        entries_.emplace(next_, std::move(e));
        return next_;
    }
    // A copy of the entry, when the handle names one.
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
    // Closes the handle, giving its entry back; empty when it named nothing.
    std::optional<Entry> take(uint64_t h)
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(h);
        if (it == entries_.end()) return std::nullopt;
        Entry e = std::move(it->second);
        entries_.erase(it);
        return e;
    }

private:
    mutable std::mutex mutex_;
    std::map<uint64_t, Entry> entries_;
    uint64_t next_;
};

} // namespace platform
