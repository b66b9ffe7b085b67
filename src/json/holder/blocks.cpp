#include "json/holder/blocks.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace json_blocks {

namespace {

// In front of every block: the store it was cut from, or null for a block of the general heap.
// Blocks are aligned to eight bytes, which is all that the values, texts, containers and their
// buffers need; a smaller header keeps a large tree markedly smaller.
struct Header {
    Store* store;
};
static_assert(sizeof(Header) == kBlockAlignment);

constexpr size_t round_up(size_t n)
{
    return (n + kBlockAlignment - 1) & ~(kBlockAlignment - 1);
}

// Blocks larger than this never come from a store: a long text is released whole when its value
// goes, and a store's pieces stay small.
constexpr size_t kLargestStoreBlock = 2048;
constexpr size_t kFirstPiece = 4096;
constexpr size_t kLargestPiece = 256 * 1024;

thread_local Store* t_current = nullptr;

// The releases put off by a ReleaseScope: `t_pending` blocks of `t_pending_store`.
thread_local int t_release_depth = 0;
thread_local Store* t_pending_store = nullptr;
thread_local size_t t_pending = 0;

} // namespace

// Pieces of memory cut in order. The count of live blocks is kept without atomic operations while
// the store is being filled (only its own thread can hold its blocks then) and atomically after.
class Store {
public:
    static Store* create()
    {
        void* raw = std::malloc(sizeof(Store));
        if (!raw) throw std::bad_alloc();
        return new (raw) Store;
    }

    void* cut(size_t bytes)
    {
        if (size_t(end_ - next_) < bytes) grow(bytes);
        void* p = next_;
        next_ += bytes;
        ++filling_;
        return p;
    }

    // A block released by the filling thread while the store is being filled.
    void forget_one() noexcept { --filling_; }

    // The blocks counted while filling join the atomic count: before another store takes over
    // the thread (whose releases of this store's blocks then count atomically), and at the end.
    void flush() noexcept
    {
        live_.fetch_add(filling_, std::memory_order_relaxed);
        filling_ = 0;
    }

    // The end of filling: the store goes when no block is left (also when none was ever cut).
    void finish_filling() noexcept
    {
        flush();
        drop();
    }

    void drop(size_t blocks = 1) noexcept
    {
        if (live_.fetch_sub(blocks, std::memory_order_acq_rel) == blocks) destroy();
    }

private:
    struct Piece {
        Piece* previous;
    };

    void grow(size_t bytes)
    {
        size_t size = piece_size_;
        while (size - round_up(sizeof(Piece)) < bytes) size *= 2;
        auto* piece = static_cast<Piece*>(std::malloc(size));
        if (!piece) throw std::bad_alloc();
        piece->previous = last_;
        last_ = piece;
        next_ = reinterpret_cast<char*>(piece) + round_up(sizeof(Piece));
        end_ = reinterpret_cast<char*>(piece) + size;
        if (piece_size_ < kLargestPiece) piece_size_ *= 2;
    }

    void destroy() noexcept
    {
        for (Piece* p = last_; p;) {
            Piece* previous = p->previous;
            std::free(p);
            p = previous;
        }
        this->~Store();
        std::free(this);
    }

    std::atomic<size_t> live_{1}; // the filling itself holds one
    size_t filling_ = 0;
    Piece* last_ = nullptr;
    char* next_ = nullptr;
    char* end_ = nullptr;
    size_t piece_size_ = kFirstPiece;
};

void* allocate(size_t bytes)
{
    const size_t total = round_up(bytes) + sizeof(Header);
    Store* store = t_current;
    void* raw;
    if (store && total <= kLargestStoreBlock) {
        raw = store->cut(total);
    } else {
        store = nullptr;
        raw = std::malloc(total);
        if (!raw) throw std::bad_alloc();
    }
    static_cast<Header*>(raw)->store = store;
    return static_cast<char*>(raw) + sizeof(Header);
}

namespace {
void give_back_pending() noexcept
{
    if (t_pending_store) t_pending_store->drop(t_pending);
    t_pending_store = nullptr;
    t_pending = 0;
}
} // namespace

void release(void* block) noexcept
{
    if (!block) return;
    auto* header = reinterpret_cast<Header*>(static_cast<char*>(block) - sizeof(Header));
    Store* store = header->store;
    if (!store) {
        std::free(header);
    } else if (store == t_current) {
        store->forget_one();
    } else if (t_release_depth > 0) {
        if (store != t_pending_store) {
            give_back_pending();
            t_pending_store = store;
        }
        ++t_pending;
    } else {
        store->drop();
    }
}

void Releaser::release_other(void* block) noexcept
{
    if (!block) return;
    Store* store = reinterpret_cast<Header*>(static_cast<char*>(block) - sizeof(Header))->store;
    // A block of the heap, or of the store being filled, goes at once, as release() does it.
    if (!store || store == t_current) {
        release(block);
        return;
    }
    flush();
    store_ = store;
    count_ = 1;
}

void Releaser::flush() noexcept
{
    if (store_) store_->drop(count_);
    store_ = nullptr;
    count_ = 0;
}

ReleaseScope::ReleaseScope() noexcept
{
    ++t_release_depth;
}

ReleaseScope::~ReleaseScope()
{
    if (--t_release_depth == 0) give_back_pending();
}

LoadScope::LoadScope() : store_(Store::create()), outer_(t_current)
{
    if (outer_) outer_->flush();
    t_current = store_;
}

LoadScope::~LoadScope()
{
    t_current = outer_;
    store_->finish_filling();
}

TextBlock* TextBlock::make(std::u16string_view text)
{
    if (text.size() > (size_t(-1) - sizeof(TextBlock)) / sizeof(char16_t)) throw std::bad_alloc();
    auto* block = static_cast<TextBlock*>(allocate(sizeof(TextBlock) + text.size() * sizeof(char16_t)));
    block->size = text.size();
    if (!text.empty()) std::memcpy(block->units(), text.data(), text.size() * sizeof(char16_t));
    return block;
}

} // namespace json_blocks
