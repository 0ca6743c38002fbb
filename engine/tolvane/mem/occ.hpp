#pragma once
// Epoch-based reclamation for trees that readers walk while a writer replaces
// nodes, and the process-wide allocation slots.
//
// Collector invariants:
// - The epoch starts at 0 and only ever grows by 1, through try_advance, one
//   advance at a time (advancing flag).
// - The epoch moves from e to e+1 only after every registered reader was seen
//   idle or announcing e. A block retired while the epoch was e sits in bin
//   [e mod 3][stripe] and is recycled when the epoch moves from e+1 to e+2:
//   onto free list [stripe][class], or back to the system when it has no class.
// - A free-list block's first 8 bytes link to the next block of its list.
// - No operation holds two of the collector's locks at once.
//
// Allocation slots: a thread claims the lowest clear bit of ALLOC_SLOTS_MASK
// on first need and gives it back when it exits; once all 64 are taken it
// gets a shared slot (OVERFLOW_COUNTER modulo 64) that is never given back.
// The slot picks the thread's statistics line (slot) and stripe (slot mod 16).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "tolvane/mem/size_classes.hpp"

namespace tolvane {

namespace occ {

inline constexpr std::uint64_t NO_SLOT = ~std::uint64_t{0};
inline constexpr unsigned NUM_SLOTS = 64;
inline constexpr unsigned NUM_STRIPES = 16;

extern std::atomic<std::uint64_t> ALLOC_SLOTS_MASK;
extern std::atomic<std::uint64_t> OVERFLOW_COUNTER;
extern std::atomic<std::uint64_t> STRIPE_BOUND;
// The calling thread's slot; NO_SLOT (any value of 64 or more) until claimed.
inline thread_local std::uint64_t SLOT = NO_SLOT;

// Returns the calling thread's allocation slot, claiming one.
std::uint64_t claim_writer_slot();

// The thread's slot, claiming one on first need.
inline std::uint64_t current_slot() {
    const std::uint64_t slot = SLOT;
    return slot < NUM_SLOTS ? slot : claim_writer_slot();
}

inline unsigned current_stripe() { return static_cast<unsigned>(current_slot() % NUM_STRIPES); }

}  // namespace occ

// A block that readers may still see, waiting out its grace period.
struct Garbage {
    void* block;
    std::uint64_t size;
    std::uint64_t align;
};

class Reader;

class alignas(64) Collector {
public:
    static constexpr std::uint64_t IDLE = ~std::uint64_t{0};

    Collector();
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // A new reader, idle, listed in this collector's registry.
    static Reader register_reader(const std::shared_ptr<Collector>& collector);

    // Queues a block that readers may still see. Its record is the only
    // thing retiring allocates: when even that cannot be had the process
    // stops as for a node that cannot be had.
    void retire(void* block, std::size_t size, std::size_t align);
    void try_advance();
    // Returns once the epoch has moved on twice since the call began, so
    // that no reader can still be inside anything unlinked before it: the
    // caller may then free those blocks at once. Allocates nothing. The
    // caller must not be announced itself nor hold anything that an
    // announced reader may wait for (a writer lock, an odd root version).
    void wait_grace_period();
    // A block of class cls from the calling thread's stripe with its first
    // (class size) bytes zeroed, or null.
    void* pop_freelist(unsigned cls);
    void recycle_unpublished(void* block, std::size_t size, std::size_t align);
    std::uint64_t free_list_bytes();
    std::uint64_t release_free_lists();
    void drain();

    std::uint64_t epoch(std::memory_order order = std::memory_order_seq_cst) const {
        return epoch_.load(order);
    }
    bool alive(std::memory_order order = std::memory_order_acquire) const {
        return alive_.load(order) != 0;
    }
    // The owning container is gone; cached readers of it may be discarded.
    void mark_dead() { alive_.store(0, std::memory_order_seq_cst); }
    // Bytes retired and not yet recycled, over all stripes (wrapping sum).
    std::uint64_t retired_bytes() const;

private:
    friend class Reader;

    struct alignas(64) BinList {
        std::mutex lock;
        std::vector<Garbage> records;
        std::atomic<std::uint8_t> non_empty{0};
    };
    struct FreeList {
        std::mutex lock;
        void* head = nullptr;
    };
    struct alignas(64) Stripe {
        FreeList lists[NUM_SIZE_CLASSES];
        std::atomic<std::uint64_t> retired_bytes{0};
    };

    void push_free(unsigned stripe, unsigned cls, void* block);
    void unregister(const std::atomic<std::uint64_t>* word);
    // Takes every record out of bin (g, s), hands each to `give` and lowers
    // the stripe's retired bytes by what the bin held.
    template <class Give>
    void empty_bin(unsigned g, unsigned s, Give&& give);

    BinList bins_[3][occ::NUM_STRIPES];
    std::atomic<std::uint64_t> epoch_{0};
    std::atomic<std::uint8_t> advancing_{0};
    std::atomic<std::uint8_t> alive_{1};
    std::mutex registry_lock_;
    std::vector<std::shared_ptr<std::atomic<std::uint64_t>>> registry_;
    Stripe stripes_[occ::NUM_STRIPES];
};

// A registered reader: announces the epoch it works in through its epoch word
// (IDLE when it reads nothing). Dropping it takes it out of the registry.
class Reader {
public:
    Reader(Reader&& other) noexcept = default;
    Reader& operator=(Reader&& other) noexcept;
    ~Reader();

    // Announces the current epoch: store it, full fence, re-read, until both
    // reads agree. Tree nodes may be read only after this returns.
    void announce();
    // Done reading: the epoch may move on past this reader.
    void go_idle() { word_->store(Collector::IDLE, std::memory_order_release); }

    std::atomic<std::uint64_t>& epoch_word() const { return *word_; }
    Collector& collector() const { return *collector_; }
    const std::shared_ptr<Collector>& collector_ref() const { return collector_; }

private:
    friend class Collector;
    Reader(std::shared_ptr<Collector> collector, std::shared_ptr<std::atomic<std::uint64_t>> word)
        : collector_(std::move(collector)), word_(std::move(word)) {}
    void drop() noexcept;

    std::shared_ptr<Collector> collector_;
    std::shared_ptr<std::atomic<std::uint64_t>> word_;
};

}  // namespace tolvane
