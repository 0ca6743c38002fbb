#pragma once
// Shared<T>: the block of one concurrent container around its engine
// container T (TolvaneMap or TolvaneSet). Any number of threads use it at
// once: optimistic readers validate against version words and never block;
// writers first try optimistic lock coupling below the root from inside a
// writer slot, and everything else runs in the exclusive section.
//
// Invariants:
// - root_version is even while the published root (root_kind, root_word0,
//   root_word1) is stable and odd between the two increments of an
//   exclusive mutation or a refold. Only the holder of writer_lock changes
//   it: a relaxed increment and a full fence before the change, a release
//   store of the next value after it. Every change of the published words,
//   of the root-leaf block, of the root edge and every exclusive change of
//   the tree lies between the two increments.
// - The published root equals the engine's root (see PublishedRoot) whenever
//   root_version is even.
// - The engine's allocator is deferred to `collector`, its tree word is
//   root_version and its root-covered byte is 1, except between steps 3 and
//   5 of an exclusive mutation, where it is 2 (the bracket already holds the
//   version odd, so the mutators bump nothing).
// - fallback is 1 exactly while an exclusive section is entering or held.
//   A writer counts itself active in its slot, fences, then tests the flag;
//   the section sets the flag, fences, then waits for every claimed slot's
//   active count to reach 0. So no writer is inside a slot while the
//   section runs, and none enters before it leaves.
// - Lock order: fallback_lock before writer_lock, released in reverse with
//   the flag cleared in between.
// - The population is pop's total (ShardedTreePop); the engine's length
//   field may lag it and is brought up to date inside the exclusive section
//   where it is read. Branch population fields under a dirty top-level digit
//   may be stale (DirtyDigits); refold_population makes them exact.
// - Every line that several threads write (root words, shards, base, each
//   dirty word, each slot line, the slot mask, the exclusive counter) is a
//   64-byte line of its own.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>

#include "tolvane/core/fatal.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/int/detached_root.hpp"
#include "tolvane/mem/occ.hpp"
#include "tolvane/sync/engine_root.hpp"
#include "tolvane/sync/fold.hpp"
#include "tolvane/sync/population.hpp"
#include "tolvane/core/spin.hpp"
#include "tolvane/sync/writer_readers.hpp"
#include "tolvane/sync/writer_slots.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::sync {

inline constexpr u64 ADVANCE_EVERY = 32;
inline constexpr u64 COUNTDOWN_START = ADVANCE_EVERY - 1;
inline constexpr unsigned OPTIMISTIC_ATTEMPTS = 64;
inline constexpr unsigned BACKOFF_SPIN_MAX = 64;

// ThreadSanitizer in g++ 12 does not model atomic_thread_fence, so the
// store-fence-load handshakes (writer entry against the drain) would read to
// it as unsynchronised. Under TSan those operations are sequentially
// consistent themselves, which TSan does model; elsewhere they keep the
// relaxed/acquire orderings with the full fence between them.
#if TOLVANE_TSAN
inline constexpr std::memory_order HANDSHAKE_RELAXED = std::memory_order_seq_cst;
inline constexpr std::memory_order HANDSHAKE_ACQUIRE = std::memory_order_seq_cst;
#else
inline constexpr std::memory_order HANDSHAKE_RELAXED = std::memory_order_relaxed;
inline constexpr std::memory_order HANDSHAKE_ACQUIRE = std::memory_order_acquire;
#endif

template <class T>
class alignas(64) Shared {
  public:
    struct alignas(64) SlotLine {
        std::atomic<u64> countdown{COUNTDOWN_START};  // optimistic writes left before an advance
        std::atomic<u64> active{0};                   // writers inside the slot
    };

    // ---- line 0: the published root ----
    // Plain words accessed only through atomic_ref (load_acquire,
    // load_relaxed, store_relaxed...), so that readers written against any
    // block with these four fields work here; root_version is also the
    // allocator's tree word.
    alignas(64) u64 root_version = 0;
    u64 root_kind = ROOT_EMPTY;
    u64 root_word0 = 0;
    u64 root_word1 = 0;

    alignas(64) T tree;
    ShardedTreePop pop;
    alignas(64) std::mutex writer_lock;
    alignas(64) std::shared_ptr<Collector> collector;
    DirtyDigits dirty;
    alignas(64) u64 gate_id = 0;
    std::atomic<u8> fallback{0};
    alignas(64) std::mutex fallback_lock;
    SlotLine slot_lines[WRITER_SLOTS];
    alignas(64) std::atomic<u64> slot_mask{0};
    alignas(64) u64 exclusive_writes = 0;  // only the writer_lock holder touches it

    // Construction: empty engine, allocator deferred to a new collector and
    // bound to root_version, root covered.
    Shared();
    // Teardown: marks the collector dead (writers drop their cached readers
    // at their next miss), frees every node at once and drains the
    // collector. No operation may be running, so no reader is inside the
    // tree and nothing needs to wait out a grace period: teardown allocates
    // nothing.
    ~Shared();
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    // ---- root version ----

    u64 version_acquire() const noexcept { return load_acquire(root_version); }
    u64 version_relaxed() const noexcept { return load_relaxed(root_version); }
    // Waits while an exclusive mutation is between its increments; returns
    // the even version seen (acquire).
    u64 stable_version() const noexcept {
        u64 v = version_acquire();
        for (SpinWait w; v & 1; v = version_acquire()) w.pause();
        return v;
    }
    // One optimistic read of the published root: false when it changed
    // meanwhile (the caller tries again).
    bool try_read_root(PublishedRoot& out) const noexcept {
        const u64 v = stable_version();
        out.kind = load_relaxed(root_kind);
        out.word0 = load_relaxed(root_word0);
        out.word1 = load_relaxed(root_word1);
        std::atomic_thread_fence(std::memory_order_acquire);
        return version_relaxed() == v;
    }

    // ---- writers ----

    // Finds this thread's slot and enters it; returns once counted active
    // while no exclusive section is entering or held.
    u64 enter_writer() noexcept;
    void leave_writer(u64 slot) noexcept {
        slot_lines[slot].active.fetch_sub(1, std::memory_order_release);
    }
    // Counts one finished optimistic write of the slot; every 32nd advances
    // the epoch. A lost decrement between two threads sharing a token slot
    // is harmless.
    void note_optimistic_write(u64 slot) noexcept;
    bool fallback_set() const noexcept { return fallback.load(std::memory_order_relaxed) != 0; }
    void mark_dirty(u64 key) noexcept { dirty.mark(key); }

    // ---- exclusive section ----

    // The holder has the tree to itself; optimistic readers keep running.
    class ExclusiveSection {
      public:
        explicit ExclusiveSection(Shared& s) noexcept : s_(s) { s_.enter_exclusive(); }
        ~ExclusiveSection() { s_.leave_exclusive(); }
        ExclusiveSection(const ExclusiveSection&) = delete;
        ExclusiveSection& operator=(const ExclusiveSection&) = delete;

      private:
        Shared& s_;
    };

    // The bracket of every exclusive change of the tree; call inside an
    // ExclusiveSection. Returns what `mutation` returns.
    template <class F>
    auto exclusive_mutation(F&& mutation) -> std::invoke_result_t<F&, T&>;

    // Inside the exclusive section: the engine's length field becomes the
    // counters' total (before a removal, so its condensing sees the true
    // count).
    void refresh_engine_length() noexcept {
        set_tree_length(tree, pop.total(slot_mask.load(std::memory_order_acquire)));
    }

    // Inside the exclusive section, before queries that read branch
    // population fields: recounts the dirty top-level subtrees.
    void refold_population() noexcept;

    // Inside one exclusive section after a refold: `query(tree)` for rank,
    // select, range, iteration and snapshot queries.
    template <class F>
    auto query_refolded(F&& query) {
        ExclusiveSection section(*this);
        refold_population();
        return query(tree);
    }

    // After a refold: the engine's own check, then the published root and
    // the counters against the engine. None when sound, else the broken
    // invariant.
    std::optional<std::string> validate() noexcept;

    // ---- accounting ----

    // Optimistic reads of the published root, then the exclusive section.
    u64 len() noexcept;
    // Empties the container; writer slots stay claimed, dirty bits stay set.
    // The entries are detached in one exclusive mutation and freed at once
    // after the grace period, waited for outside the section: clearing
    // queues nothing in the collector and allocates nothing. The caller must
    // not be announced as a reader.
    void clear() noexcept;
    u64 mem_held() noexcept;
    i64 mem_used() noexcept;
    u64 collector_held() const noexcept {
        return collector->free_list_bytes() + collector->retired_bytes();
    }
    u64 release_collector() noexcept { return collector->release_free_lists(); }

  private:
    void enter_exclusive() noexcept;
    void leave_exclusive() noexcept;
    void version_open() noexcept {
        store_relaxed(root_version, version_relaxed() + 1);
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
    void version_close() noexcept { store_release(root_version, version_relaxed() + 1); }
    void republish_root() noexcept {
        const PublishedRoot r = published_root(tree);
        store_relaxed(root_word0, r.word0);
        store_relaxed(root_word1, r.word1);
        store_relaxed(root_kind, r.kind);
    }
};

// ---------------------------------------------------------------------------

template <class T>
Shared<T>::Shared() {
    collector = std::make_shared<Collector>();
    NodeAlloc& alloc = tree.alloc;
    alloc.defer_to(collector);
    pop.flush_and_set(engine_population(tree));
    gate_id = next_gate_id();
    alloc.bind_tree_word(&root_version);
    republish_root();
    alloc.cover_root();
}

template <class T>
Shared<T>::~Shared() {
    collector->mark_dead();
    DetachedRoot entries = tree.detach_entries();
    tree.free_detached(entries);
    collector->drain();
}

template <class T>
u64 Shared<T>::enter_writer() noexcept {
    for (SpinWait w;; w.pause()) {
        const u64 s = writer_slot(gate_id, slot_mask);
        if (fallback.load(std::memory_order_relaxed) != 0) continue;
        std::atomic<u64>& active = slot_lines[s].active;
        active.fetch_add(1, HANDSHAKE_RELAXED);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (fallback.load(HANDSHAKE_ACQUIRE) == 0) return s;
        active.fetch_sub(1, std::memory_order_relaxed);
    }
}

template <class T>
void Shared<T>::note_optimistic_write(u64 slot) noexcept {
    std::atomic<u64>& countdown = slot_lines[slot].countdown;
    const u64 left = countdown.load(std::memory_order_relaxed);
    if (left == 0) {
        countdown.store(COUNTDOWN_START, std::memory_order_relaxed);
        collector->try_advance();
    } else {
        countdown.store(left - 1, std::memory_order_relaxed);
    }
}

template <class T>
void Shared<T>::enter_exclusive() noexcept {
    fallback_lock.lock();
    fallback.store(1, HANDSHAKE_RELAXED);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const u64 mask = slot_mask.load(HANDSHAKE_ACQUIRE);
    for (u64 m = mask; m != 0; m &= m - 1) {
        const std::atomic<u64>& active = slot_lines[std::countr_zero(m)].active;
        for (SpinWait w; active.load(HANDSHAKE_ACQUIRE) != 0;) w.pause();
    }
    writer_lock.lock();
    tree.clear_path();
}

template <class T>
void Shared<T>::leave_exclusive() noexcept {
    tree.clear_path();
    writer_lock.unlock();
    fallback.store(0, std::memory_order_seq_cst);
    fallback_lock.unlock();
}

template <class T>
template <class F>
auto Shared<T>::exclusive_mutation(F&& mutation) -> std::invoke_result_t<F&, T&> {
    const u64 old = engine_population(tree);
    version_open();
    NodeAlloc& alloc = tree.alloc;
    if (alloc.root_covered() == 1) alloc.set_root_covered(2);
    // Run the mutation and close the bracket; the result (if any) is kept
    // across the closing steps.
    auto close = [&] {
        if (alloc.root_covered() == 2) alloc.set_root_covered(1);
        republish_root();
        version_close();
        tree.clear_path();
        const u64 now = engine_population(tree);
        if (old != 0 && now == 0)
            pop.zero();
        else if (now != old)
            pop.add_base(static_cast<i64>(now - old));
        if (++exclusive_writes > COUNTDOWN_START) {
            exclusive_writes = 0;
            collector->try_advance();
        }
    };
    if constexpr (std::is_void_v<std::invoke_result_t<F&, T&>>) {
        mutation(tree);
        close();
    } else {
        auto result = mutation(tree);
        close();
        return result;
    }
}

template <class T>
void Shared<T>::refold_population() noexcept {
    const DirtyDigits::Taken bits = dirty.take();
    if (bits.any()) {
        if (root_state(tree) != ROOT_TREE) return;
        const u64 total = fold_branch_pop0_selective(&root_edge(tree), 8, bits.words);
        set_tree_length(tree, total);
        pop.flush_and_set(total);
        version_open();
        republish_root();
        version_close();
        return;
    }
    const u64 total = pop.total();
    set_tree_length(tree, total);
    pop.flush_and_set(total);
}

template <class T>
std::optional<std::string> Shared<T>::validate() noexcept {
    return query_refolded([this](T& t) -> std::optional<std::string> {
        if (std::optional<std::string> broken = t.validate_defensive()) return broken;
        const PublishedRoot r = published_root(t);
        if (load_relaxed(root_kind) != r.kind ||
            load_relaxed(root_word0) != r.word0 ||
            load_relaxed(root_word1) != r.word1)
            return std::string("published root equals the engine's root");
        if (version_relaxed() & 1) return std::string("root version even outside a mutation");
        if (pop.total() != engine_population(t))
            return "population counters " + std::to_string(pop.total()) + " equal the engine's " +
                   std::to_string(engine_population(t));
        if (t.alloc.root_covered() != 1) return std::string("root covered outside a mutation");
        return std::nullopt;
    });
}

template <class T>
u64 Shared<T>::len() noexcept {
    for (unsigned attempt = 0; attempt < OPTIMISTIC_ATTEMPTS; ++attempt) {
        PublishedRoot r;
        if (!try_read_root(r)) continue;
        if (r.kind == ROOT_LEAF) return r.word1;
        if (r.kind == ROOT_TREE) return pop.total();
        return 0;
    }
    ExclusiveSection section(*this);
    const u64 state = root_state(tree);
    if (state == ROOT_TREE) return pop.total();
    return state == ROOT_LEAF ? engine_population(tree) : 0;
}

template <class T>
void Shared<T>::clear() noexcept {
    DetachedRoot entries;
    {
        ExclusiveSection section(*this);
        refresh_engine_length();
        exclusive_mutation([&](T& t) {
            entries = t.detach_entries();
            t.alloc.release_free();
            pop.zero();
        });
    }
    // Readers that entered before the detach may still walk the old
    // entries; once none can, they go back without a grace period. The
    // allocator is deferred, so writers may already be running again.
    collector->wait_grace_period();
    tree.free_detached(entries);
}

template <class T>
u64 Shared<T>::mem_held() noexcept {
    u64 bytes;
    {
        ExclusiveSection section(*this);
        bytes = tree.alloc.bytes_held();
    }
    return bytes + collector_held();
}

template <class T>
i64 Shared<T>::mem_used() noexcept {
    ExclusiveSection section(*this);
    return static_cast<i64>(tree.alloc.live_bytes());
}

}  // namespace tolvane::sync
