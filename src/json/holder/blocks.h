// Block allocation for the JSON values. Loading a document makes tens of thousands of small
// objects (values, containers, map nodes, member names); taken one by one from the general heap they cost about
// half the loading time and scatter the tree over memory. While a document is read, its small
// objects are cut in order from large blocks of one store per document instead.
//
// Every block carries a header naming its store (or none), so a value can still be released on
// its own, by any thread, at any time, and a tree may mix values of several documents and values
// built one by one: a store lives until the last block cut from it is released. Outside a load
// (no store in use by the thread) blocks come from the general heap.
//
// A store does not reuse the room of blocks released before the store itself ends: a document that
// is loaded and then thinned out keeps its full size until the last of its values goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

namespace json_blocks {

class Store;

// Every block is aligned to this; no object made in blocks may need more.
constexpr size_t kBlockAlignment = 8;

// A block of at least `bytes`, aligned to kBlockAlignment; throws std::bad_alloc.
void* allocate(size_t bytes);
// Releases a block of allocate(); null is ignored.
void release(void* block) noexcept;

// Within its lifetime, the blocks the thread allocates come from a new store of their own. A
// scope in a scope starts another store; the outer one resumes when it ends.
class LoadScope {
public:
    LoadScope();
    ~LoadScope();
    LoadScope(const LoadScope&) = delete;
    LoadScope& operator=(const LoadScope&) = delete;

private:
    Store* store_;
    Store* outer_;
};

// Within its lifetime, the blocks of other stores that the thread releases are counted per store
// and given back together when the outermost scope ends, rather than one atomic step per block:
// releasing a large tree touches each of its stores' counts a few times instead of once per value.
// Memory of a store thus goes back at the end of the scope at the latest.
class ReleaseScope {
public:
    ReleaseScope() noexcept;
    ~ReleaseScope();
    ReleaseScope(const ReleaseScope&) = delete;
    ReleaseScope& operator=(const ReleaseScope&) = delete;
};

// The standard allocator interface over allocate/release, for containers and strings.
template <class T>
struct Allocator {
    using value_type = T;
    Allocator() noexcept = default;
    template <class U>
    Allocator(const Allocator<U>&) noexcept
    {
    }
    T* allocate(size_t n)
    {
        static_assert(alignof(T) <= kBlockAlignment);
        if (n > size_t(-1) / 2 / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(json_blocks::allocate(n * sizeof(T)));
    }
    void deallocate(T* p, size_t) noexcept { json_blocks::release(p); }
    template <class U>
    bool operator==(const Allocator<U>&) const noexcept
    {
        return true;
    }
};

// A text whose buffer is a block (when longer than the string's own room).
using String = std::basic_string<char16_t, std::char_traits<char16_t>, Allocator<char16_t>>;

} // namespace json_blocks
