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
#include <string_view>

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

// Releases the blocks of a whole tree in a row, as release() does, the run of blocks of one store
// counted inline and given back together (at a block of another store, or at the end at the latest).
class Releaser {
public:
    Releaser() noexcept = default;
    ~Releaser() { flush(); }
    Releaser(const Releaser&) = delete;
    Releaser& operator=(const Releaser&) = delete;

    void operator()(void* block) noexcept
    {
        if (block && store_ && *reinterpret_cast<Store* const*>(static_cast<char*>(block) - kBlockAlignment) == store_)
            ++count_;
        else
            release_other(block);
    }

private:
    void release_other(void* block) noexcept;
    void flush() noexcept;
    Store* store_ = nullptr;
    size_t count_ = 0;
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

// A text of fixed content in one block: its length, then its code units. One block where a String
// longer than its own room takes two (the string and its buffer), and a quarter of a String's size
// where it is held.
struct TextBlock {
    size_t size;
    const char16_t* units() const noexcept { return reinterpret_cast<const char16_t*>(this + 1); }
    char16_t* units() noexcept { return reinterpret_cast<char16_t*>(this + 1); }
    std::u16string_view view() const noexcept { return {units(), size}; }

    // A block holding `text`; throws std::bad_alloc.
    static TextBlock* make(std::u16string_view text);
};
static_assert(sizeof(TextBlock) % alignof(char16_t) == 0);

// Owns a TextBlock (none for the empty text) and reads as a text.
class Text {
public:
    Text() noexcept = default;
    explicit Text(std::u16string_view text) : block_(text.empty() ? nullptr : TextBlock::make(text)) {}
    Text(const Text& other) : Text(other.view()) {}
    Text(Text&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }

    Text& operator=(Text other) noexcept
    {
        TextBlock* mine = block_;
        block_ = other.block_;
        other.block_ = mine;
        return *this;
    }
    ~Text() { release(block_); }
    // Gives up the block, which the caller then releases; the text becomes empty.
    TextBlock* take() noexcept
    {
        TextBlock* block = block_;
        block_ = nullptr;
        return block;
    }

    size_t size() const noexcept { return block_ ? block_->size : 0; }
    bool empty() const noexcept { return size() == 0; }
    const char16_t* data() const noexcept { return block_ ? block_->units() : u""; }
    const char16_t* begin() const noexcept { return data(); }
    const char16_t* end() const noexcept { return data() + size(); }
    std::u16string_view view() const noexcept { return block_ ? block_->view() : std::u16string_view(); }
    operator std::u16string_view() const noexcept { return view(); }

    friend std::u16string operator+(const char16_t* a, const Text& b) { return std::u16string(a) += b.view(); }
    friend std::u16string operator+(const std::u16string& a, const Text& b) { return std::u16string(a) += b.view(); }

private:
    TextBlock* block_ = nullptr;
};

} // namespace json_blocks
