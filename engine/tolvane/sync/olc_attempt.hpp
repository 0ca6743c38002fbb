#pragma once
// What every optimistic write attempt on a concurrent container shares: its
// outcome, the path of branches it passed, the lock of the one branch whose
// content it changes, and reading leaf blocks that other writers may edit in
// place.
//
// Protocol of one attempt (the writer is inside a writer slot and has pinned
// an epoch, so no exclusive section runs and nothing it reads is freed):
//   - walk from the published root edge without locks, remembering for each
//     branch passed its version word as read before its child was read;
//   - lock only the holder, the branch that contains the edge (or the child
//     list) to change: compare-and-swap of its word from the remembered even
//     value v to v | 1, then a full fence and a re-read of the edge. The swap
//     fails whenever anyone changed the holder since v was read, so what the
//     walk saw below it is still true once the lock is taken;
//   - change the leaf in place or publish a privately built replacement
//     (word 1, then word 0 with release), unlock with v + 2, then retire the
//     replaced blocks. A failed lock gives back the private blocks first.
// Every word another writer may store while the attempt reads it without the
// lock is read with an atomic load of the width the writers store.

#include <atomic>
#include <cstddef>
#include <cstring>

#include "tolvane/core/fatal.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/leaf/leaf_search.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/sync/olc_read.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::sync {

// Outcome of one attempt. Insert: New (key added), Replaced (old value
// returned beside it); removal: Absent, Removed (value returned beside it);
// both: Retry (a conflict; nothing changed) and Exclusive (the change belongs
// to the exclusive section; nothing changed).
enum class OlcStatus : u8 {
    New = 0,
    Replaced = 1,
    Retry = 2,
    Exclusive = 3,
    Absent = 0,
    Removed = 1,
};

struct OlcOutcome {
    OlcStatus status = OlcStatus::Retry;
    u64 value = 0;  // Replaced: the old value; Removed: the removed one
};

// The outcomes that leave the tree unchanged.
inline constexpr OlcOutcome OLC_RETRY{OlcStatus::Retry, 0};
inline constexpr OlcOutcome OLC_EXCLUSIVE{OlcStatus::Exclusive, 0};
inline constexpr OlcOutcome OLC_ABSENT{OlcStatus::Absent, 0};

// One branch passed on the way down: its version word as read before the
// child edge was read, the slot level of that child and the digit taken.
struct OlcStep {
    void* node = nullptr;
    u32* word = nullptr;
    u32 version = 0;
    u8 child_level = 0;
    u8 digit = 0;
    u8 kind = 0;  // TAG_BRANCH_L3, _L7, _B or _U
};

// Invariant: steps [0, len) are the branches from the root down; the last is
// the holder of the edge the walk ended on. A trie has at most 7 branch
// levels, so a 9th entry is a broken tree.
struct OlcPath {
    static constexpr unsigned CAPACITY = 8;
    OlcStep steps[CAPACITY];
    unsigned len = 0;

    void push(const OlcStep& s) {
        require(len < CAPACITY, "index out of bounds: attempt path deeper than 8");
        steps[len++] = s;
    }
    bool empty() const noexcept { return len == 0; }
    const OlcStep& holder() const noexcept { return steps[len - 1]; }
};

// Where a holder-guarded edge sits and what the walk read there: the change
// every leaf case of an attempt makes is described against this.
struct OlcAt {
    NodeAlloc& alloc;
    const OlcStep& holder;
    Edge& slot;
    const Edge& e;
    unsigned level;
};

// Test switch: while nonzero, each verification after a successful lock
// fails (and counts it down) as if another writer had changed the edge, so
// tests can drive every attempt through its give-back path.
inline thread_local u32 OLC_FORCED_FAILURES = 0;

// ---------------------------------------------------------------------------
// The holder lock.

// Whether the word still holds v: acquire fence, then a relaxed re-read.
inline bool olc_still(const u32& word, u32 v) noexcept {
    std::atomic_thread_fence(std::memory_order_acquire);
    return load_relaxed(word) == v;
}

// `seen` (an answer read without the lock) when nothing moved under the
// holder since the walk, else Retry.
inline OlcOutcome olc_if_still(const OlcStep& holder, OlcOutcome seen) noexcept {
    return olc_still(*holder.word, holder.version) ? seen : OLC_RETRY;
}

// Takes the lock of a word remembered as v; false when v was locked or
// obsolete or the word moved since.
inline bool olc_lock(u32& word, u32 v) noexcept {
    if (v & (NODE_VERSION_LOCKED | NODE_VERSION_OBSOLETE)) return false;
    u32 expected = v;
    if (!std::atomic_ref<u32>(word).compare_exchange_strong(
            expected, v | NODE_VERSION_LOCKED, std::memory_order_acquire,
            std::memory_order_relaxed))
        return false;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return true;
}

// After a change: v + 2. An obsolete word stays as it is.
inline void olc_unlock(u32& word, u32 v) noexcept {
    if (!version_obsolete(load_relaxed(word))) store_release(word, version_advance(v, 2));
}

// After a failed check under the lock: v again, nothing having changed.
inline void olc_abandon(u32& word, u32 v) noexcept {
    if (!version_obsolete(load_relaxed(word))) store_release(word, v);
}

inline bool olc_forced_failure() noexcept {
    if (OLC_FORCED_FAILURES == 0) [[likely]]
        return false;
    --OLC_FORCED_FAILURES;
    return true;
}

// Locks the holder and checks that the edge in `slot` still reads `seen`;
// on a difference the lock is abandoned and false returned.
inline bool olc_lock_verify(const OlcStep& holder, const Edge& slot, const Edge& seen) noexcept {
    if (!olc_lock(*holder.word, holder.version)) return false;
    const Edge now = mutate::read_edge(slot);
    if (now != seen || olc_forced_failure()) {
        olc_abandon(*holder.word, holder.version);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Blocks of one attempt: private ones made before the lock (given back
// unpublished when the attempt fails) and replaced ones (retired after the
// unlock). At most ten of each.
class OlcBlocks {
public:
    explicit OlcBlocks(NodeAlloc& alloc) noexcept : alloc_(alloc) {}
    OlcBlocks(const OlcBlocks&) = delete;
    OlcBlocks& operator=(const OlcBlocks&) = delete;

    NodeAlloc& alloc() const noexcept { return alloc_; }

    // A zeroed 16-aligned private block.
    template <class T>
    T* make(std::size_t bytes) {
        void* p = alloc_.allocate_zeroed(bytes);
        note(made_, made_len_, p, bytes, LEAF_ALIGN);
        return static_cast<T*>(p);
    }
    void replaced(const void* block, std::size_t bytes, std::size_t align) {
        note(replaced_, replaced_len_, block, bytes, align);
    }
    // GCC cannot see that entries below the lengths were written by note().
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
    // The attempt failed: every private block goes back unseen.
    void give_back() noexcept {
        for (unsigned i = 0; i < made_len_; ++i)
            alloc_.release_unpublished(made_[i].block, made_[i].bytes, made_[i].align);
        made_len_ = 0;
        replaced_len_ = 0;
    }
    // The change is published and the holder unlocked: the private blocks
    // belong to the tree now and the replaced ones wait out readers.
    void retire() noexcept {
        for (unsigned i = 0; i < replaced_len_; ++i)
            alloc_.release(replaced_[i].block, replaced_[i].bytes, replaced_[i].align);
        made_len_ = 0;
        replaced_len_ = 0;
    }
#pragma GCC diagnostic pop

private:
    struct Block {
        void* block;
        std::size_t bytes;
        std::size_t align;
    };
    static constexpr unsigned CAPACITY = 10;
    static void note(Block* list, unsigned& len, const void* p, std::size_t bytes,
                     std::size_t align) {
        require(len < CAPACITY, "index out of bounds: attempt block list");
        list[len++] = Block{const_cast<void*>(p), bytes, align};
    }

    NodeAlloc& alloc_;
    // Left uninitialised: every attempt makes one of these, most use none,
    // and only entries below the lengths are ever read.
    Block made_[CAPACITY];
    Block replaced_[CAPACITY];
    unsigned made_len_ = 0;
    unsigned replaced_len_ = 0;
};

// Runs `change` (which returns the attempt's outcome) with the holder locked
// and the edge in `slot` verified to still read `seen`, then unlocks and
// retires what the change replaced. A failed lock gives back the private
// blocks and answers Retry.
template <class Change>
OlcOutcome olc_change(OlcBlocks& blocks, const OlcStep& holder, Edge& slot, const Edge& seen,
                      Change&& change) {
    if (!olc_lock_verify(holder, slot, seen)) {
        blocks.give_back();
        return OlcOutcome{OlcStatus::Retry, 0};
    }
    const OlcOutcome done = change();
    olc_unlock(*holder.word, holder.version);
    blocks.retire();
    return done;
}

// ---------------------------------------------------------------------------
// Reading without the lock.

// Copies `bytes` bytes of a leaf block or value array that other writers may
// edit in place, in the pieces they store them (the readers' area words);
// `dst` has room for the bytes rounded up to 8. `src` is 8-byte aligned.
inline void olc_copy_shared(void* dst, const void* src, std::size_t bytes) noexcept {
    auto* out = static_cast<unsigned char*>(dst);
    const auto* in = static_cast<const u8*>(src);
    for (std::size_t k = 0; 8 * k < bytes; ++k) {
        const u64 w = olc::area_word(in, bytes, k);
        std::memcpy(out + 8 * k, &w, 8);
    }
}

// Where the low w bytes `k` are or would go among the n keys of a linear
// leaf's key area that other writers may edit in place.
inline leaf::LeafPos olc_leaf_locate(const u8* area, std::size_t n, unsigned w, u64 k) noexcept {
    const std::size_t i = olc::area_lower_bound(area, n, w, k);
    return {i < n && olc::area_key(area, capacity_class(n) * w, w, i) == k, i};
}

// Word 1 of a leaf edge of key size w in a slot of `level` whose population
// field says `pop0`: the skipped key bytes w..level-1 taken from `e1`, every
// byte above the slot level zero.
inline u64 olc_leaf_word1(u64 e1, unsigned w, unsigned level, u64 pop0, u8 tag) noexcept {
    const u64 skipped = e1 & (low_bytes_mask(level) & ~low_bytes_mask(w));
    return skipped | (pop0 & low_bytes_mask(w)) | (static_cast<u64>(tag) << 56);
}

}  // namespace tolvane::sync
