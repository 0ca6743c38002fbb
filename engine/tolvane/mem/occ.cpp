#include "tolvane/mem/occ.hpp"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "tolvane/core/fatal.hpp"
#include "tolvane/core/spin.hpp"

namespace tolvane {

namespace occ {

std::atomic<std::uint64_t> ALLOC_SLOTS_MASK{0};
std::atomic<std::uint64_t> OVERFLOW_COUNTER{0};
std::atomic<std::uint64_t> STRIPE_BOUND{0};

namespace {

constexpr std::uint8_t DTOR_REGISTERED = 0;
constexpr std::uint8_t DTOR_PENDING = 1;
constexpr std::uint8_t DTOR_RUN = 2;

// Gives the thread's slot back when the thread exits. Touching the
// thread_local object registers its destructor, so it is touched only once,
// on the first claim; the state byte lives apart from it because it must stay
// readable after the destructor ran.
struct SlotRegistration {
    std::uint8_t registered = 0;
    std::uint8_t slot = 0;
    ~SlotRegistration();
};

thread_local std::uint8_t registration_state = DTOR_PENDING;
thread_local SlotRegistration registration;

SlotRegistration::~SlotRegistration() {
    registration_state = DTOR_RUN;
    if (registered) {
        registered = 0;
        ALLOC_SLOTS_MASK.fetch_and(~(std::uint64_t{1} << slot), std::memory_order_release);
    }
}

void raise_stripe_bound(std::uint64_t bound) {
    std::uint64_t seen = STRIPE_BOUND.load(std::memory_order_relaxed);
    while (seen < bound &&
           !STRIPE_BOUND.compare_exchange_weak(seen, bound, std::memory_order_acq_rel,
                                               std::memory_order_relaxed)) {
    }
}

}  // namespace

std::uint64_t claim_writer_slot() {
    // A thread-exit destructor that allocates after ours ran would claim a
    // slot nobody gives back.
    require(registration_state != DTOR_RUN,
            "allocation slot claimed after the thread's slot registration was destroyed");
    std::uint64_t slot;
    std::uint64_t mask = ALLOC_SLOTS_MASK.load(std::memory_order_acquire);
    for (;;) {
        if (mask == ~std::uint64_t{0}) {
            slot = OVERFLOW_COUNTER.fetch_add(1, std::memory_order_relaxed) % NUM_SLOTS;
            break;
        }
        const unsigned bit = static_cast<unsigned>(std::countr_one(mask));
        if (ALLOC_SLOTS_MASK.compare_exchange_weak(mask, mask | (std::uint64_t{1} << bit),
                                                   std::memory_order_acq_rel,
                                                   std::memory_order_acquire)) {
            if (registration_state == DTOR_PENDING) {
                registration.registered = 0;  // first touch registers the destructor
                registration_state = DTOR_REGISTERED;
            }
            registration.registered = 1;
            registration.slot = static_cast<std::uint8_t>(bit);
            slot = bit;
            break;
        }
    }
    raise_stripe_bound(slot % NUM_STRIPES + 1);
    SLOT = slot;
    return slot;
}

}  // namespace occ

namespace {

void free_block(void* block) { std::free(block); }

void* next_of(const void* block) {
    void* next;
    std::memcpy(&next, block, sizeof next);
    return next;
}

void set_next(void* block, void* next) { std::memcpy(block, &next, sizeof next); }

}  // namespace

Collector::Collector() = default;

Collector::~Collector() {
    drain();
    // Bin vectors and registry entries are released by their own destructors.
}

Reader Collector::register_reader(const std::shared_ptr<Collector>& collector) {
    auto word = std::make_shared<std::atomic<std::uint64_t>>(IDLE);
    {
        std::lock_guard guard(collector->registry_lock_);
        collector->registry_.push_back(word);
    }
    return Reader(collector, std::move(word));
}

void Collector::unregister(const std::atomic<std::uint64_t>* word) {
    std::lock_guard guard(registry_lock_);
    std::erase_if(registry_, [word](const auto& entry) { return entry.get() == word; });
}

void Collector::retire(void* block, std::size_t size, std::size_t align) {
    // Orders the writer's unlinking stores before the choice of bin.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const std::uint64_t e = epoch_.load(std::memory_order_seq_cst);
    const unsigned s = occ::current_stripe();
    BinList& bin = bins_[e % 3][s];
    {
        std::lock_guard guard(bin.lock);
        try {
            bin.records.push_back(Garbage{block, size, align});
        } catch (const std::bad_alloc&) {
            // Callers run inside noexcept writes; this stops the process with
            // the engine's own message instead of an unexplained terminate.
            fatal("memory allocation failed");
        }
        bin.non_empty.store(1, std::memory_order_relaxed);
    }
    stripes_[s].retired_bytes.fetch_add(size, std::memory_order_relaxed);
}

void Collector::push_free(unsigned stripe, unsigned cls, void* block) {
    FreeList& list = stripes_[stripe].lists[cls];
    std::lock_guard guard(list.lock);
    set_next(block, list.head);
    list.head = block;
}

template <class Give>
void Collector::empty_bin(unsigned g, unsigned s, Give&& give) {
    BinList& bin = bins_[g][s];
    std::vector<Garbage> records;
    {
        std::lock_guard guard(bin.lock);
        bin.non_empty.store(0, std::memory_order_relaxed);
        records.swap(bin.records);
    }
    std::uint64_t bytes = 0;
    for (const Garbage& rec : records) {
        bytes += rec.size;
        give(rec);
    }
    // Keeps the retired-byte count in step with what the bins hold.
    stripes_[s].retired_bytes.fetch_sub(bytes, std::memory_order_relaxed);
}

void Collector::try_advance() {
    std::uint8_t idle = 0;
    if (!advancing_.compare_exchange_strong(idle, 1, std::memory_order_acquire,
                                            std::memory_order_relaxed))
        return;  // another thread is advancing
    std::uint64_t e = epoch_.load(std::memory_order_seq_cst);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    {
        std::lock_guard guard(registry_lock_);
        for (const auto& word : registry_) {
            const std::uint64_t seen = word->load(std::memory_order_seq_cst);
            if (seen != IDLE && seen != e) {
                advancing_.store(0, std::memory_order_release);
                return;
            }
        }
    }
    if (!epoch_.compare_exchange_strong(e, e + 1, std::memory_order_acq_rel,
                                        std::memory_order_relaxed)) {
        advancing_.store(0, std::memory_order_release);
        return;
    }
    // The generation filled while the epoch was e - 1: every reader that could
    // have seen those blocks has since gone idle or moved to e.
    const unsigned g = static_cast<unsigned>((e + 2) % 3);
    const std::uint64_t bound = occ::STRIPE_BOUND.load(std::memory_order_seq_cst);
    for (unsigned s = 0; s < bound && s < occ::NUM_STRIPES; ++s) {
        if (!bins_[g][s].non_empty.load(std::memory_order_relaxed)) continue;
        empty_bin(g, s, [&](const Garbage& rec) {
            const unsigned cls = size_class_of(rec.size, rec.align);
            if (cls != NO_SIZE_CLASS)
                push_free(s, cls, rec.block);
            else
                free_block(rec.block);
        });
    }
    advancing_.store(0, std::memory_order_release);
}

void Collector::wait_grace_period() {
    // Orders the caller's unlinking stores before the epoch it waits from,
    // as retire does before it picks a bin.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const std::uint64_t target = epoch_.load(std::memory_order_seq_cst) + 2;
    // Readers announce only for one short walk, so the epoch soon moves.
    for (SpinWait w; epoch_.load(std::memory_order_seq_cst) < target; w.pause()) try_advance();
}

void* Collector::pop_freelist(unsigned cls) {
    require(cls < NUM_SIZE_CLASSES, "size class index below 62");
    const unsigned s = occ::current_stripe();
    FreeList& list = stripes_[s].lists[cls];
    void* block;
    {
        std::lock_guard guard(list.lock);
        block = list.head;
        if (!block) return nullptr;
        list.head = next_of(block);
    }
    std::memset(block, 0, SIZE_CLASSES[cls].size);
    return block;
}

void Collector::recycle_unpublished(void* block, std::size_t size, std::size_t align) {
    const unsigned cls = size_class_of(size, align);
    if (cls == NO_SIZE_CLASS) {
        free_block(block);
        return;
    }
    push_free(occ::current_stripe(), cls, block);
}

std::uint64_t Collector::free_list_bytes() {
    std::uint64_t total = 0;
    for (Stripe& stripe : stripes_) {
        for (unsigned c = 0; c < NUM_SIZE_CLASSES; ++c) {
            std::lock_guard guard(stripe.lists[c].lock);
            for (void* b = stripe.lists[c].head; b; b = next_of(b)) total += SIZE_CLASSES[c].size;
        }
    }
    return total;
}

std::uint64_t Collector::release_free_lists() {
    std::uint64_t total = 0;
    for (Stripe& stripe : stripes_) {
        for (unsigned c = 0; c < NUM_SIZE_CLASSES; ++c) {
            void* block;
            {
                std::lock_guard guard(stripe.lists[c].lock);
                block = stripe.lists[c].head;
                stripe.lists[c].head = nullptr;
            }
            while (block) {
                void* next = next_of(block);
                free_block(block);
                total += SIZE_CLASSES[c].size;
                block = next;
            }
        }
    }
    return total;
}

void Collector::drain() {
    for (unsigned g = 0; g < 3; ++g) {
        for (unsigned s = 0; s < occ::NUM_STRIPES; ++s)
            empty_bin(g, s, [](const Garbage& rec) { free_block(rec.block); });
    }
    release_free_lists();
}

std::uint64_t Collector::retired_bytes() const {
    std::uint64_t total = 0;
    for (const Stripe& stripe : stripes_) total += stripe.retired_bytes.load(std::memory_order_relaxed);
    return total;
}

Reader& Reader::operator=(Reader&& other) noexcept {
    if (this != &other) {
        drop();
        collector_ = std::move(other.collector_);
        word_ = std::move(other.word_);
    }
    return *this;
}

Reader::~Reader() { drop(); }

void Reader::drop() noexcept {
    if (collector_ && word_) collector_->unregister(word_.get());
    word_.reset();
    collector_.reset();
}

void Reader::announce() {
    const Collector& c = *collector_;
    std::uint64_t e = c.epoch_.load(std::memory_order_seq_cst);
    for (;;) {
        word_->store(e, std::memory_order_seq_cst);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        const std::uint64_t again = c.epoch_.load(std::memory_order_seq_cst);
        if (again == e) return;
        e = again;
    }
}

}  // namespace tolvane
