#pragma once
// MapCore: the smallest complete ordered u64 -> u64 map. Up to 31 entries
// live in one sorted block (the root leaf); the 32nd key rebuilds them as a
// trie under a level-8 root edge, and a trie left with 30 entries or fewer
// is condensed back into a root leaf. MapCore owns no allocator: every call
// that allocates or frees is handed the NodeAlloc to use, so many cores can
// share one allocator.
//
// Fields, in this order:
//   root_state   ROOT_EMPTY, ROOT_LEAF or ROOT_TREE
//   root         tree: the level-8 root edge; root leaf: w0 = block pointer,
//                w1 = entry count n
//   len          number of entries in tree state; stale in the other states
//
// Invariants:
// - All zero is the empty map; in the empty state root and len are stale and
//   never read.
// - A root leaf holds 1 to 31 entries in one block of capacity_class(n) * 16
//   bytes, alignment 16: keys u64[cap] strictly ascending (the first n valid),
//   then values u64[cap]; the value of entry i is word cap + i of the block.
// - A tree holds 32 or more entries, or fewer only in the moment between a
//   removal and its condensing.
// - insert_covered_at / remove_covered_at load root_state with acquire and
//   publish every change of it with release after the root words are in
//   place; a condensed tree is published before its nodes are freed.

#include <optional>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/read/iter.hpp"
#include "tolvane/core/forms.hpp"
#include "tolvane/core/key_value.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane {

inline constexpr u64 ROOT_EMPTY = 0;
inline constexpr u64 ROOT_LEAF = 1;
inline constexpr u64 ROOT_TREE = 2;

// Most entries a root leaf holds; one more key makes a tree.
using forms::ROOT_LEAF_MAX;

// What an overwriting insert reports: whether the key was present and, if
// so, the value it had.
struct InsertOutcome {
    bool existed = false;
    u64 old = 0;  // meaningful only when existed
    friend constexpr bool operator==(const InsertOutcome&, const InsertOutcome&) = default;
};

// What a remove reports: whether the key was present and the value it had.
struct RemoveOutcome {
    bool found = false;
    u64 value = 0;  // meaningful only when found
    friend constexpr bool operator==(const RemoveOutcome&, const RemoveOutcome&) = default;
};

struct MapCore {
    u64 root_state = ROOT_EMPTY;
    Edge root;
    u64 len = 0;

    // ---- reading the root (plain loads; owners that share the core with
    // readers load root_state with acquire themselves) ----

    u64 size() const noexcept {
        return root_state == ROOT_TREE ? len : root_state == ROOT_LEAF ? root.w1 : 0;
    }
    u64 leaf_count() const noexcept { return root.w1; }
    u64* leaf_keys() const noexcept { return root.ptr<u64>(); }
    u64* leaf_values() const noexcept {
        return root.ptr<u64>() + capacity_class(static_cast<std::size_t>(root.w1));
    }

    // ---- changes (one writer at a time) ----

    // Inserts the pair or replaces the value of a present key. Trees are
    // changed with the unversioned reclaiming map insert and a fresh insert
    // path per call, whatever the allocator's mode.
    InsertOutcome insert_covered_at(NodeAlloc& alloc, u64 key, u64 value);

    // Removes the key and hands back its value.
    RemoveOutcome remove_covered_at(NodeAlloc& alloc, u64 key);

    // The same two with the exclusive mutators, for a core that only its
    // owner's thread reads and whose allocator stays local (the string map's
    // word maps).
    InsertOutcome insert_exclusive(NodeAlloc& alloc, u64 key, u64 value);
    RemoveOutcome remove_exclusive(NodeAlloc& alloc, u64 key);

    // Entry i of a root leaf in key order. Fatal outside the root-leaf state
    // or for i at or beyond the count.
    KeyValue leaf_entry(u64 i) const;

    // ---- forward iteration (the core must not change while it runs) ----

    // Positioned at the smallest entry.
    MapIter iter_fwd_raw() const;
    // Positioned at the first entry whose key is at least `start`.
    MapIter range_fwd_raw(u64 start) const;
};

namespace map_detail {

// Number of keys among keys[0..n) below x (Inclusive: at or below x), n >= 1:
// a branch-free halving search over the sorted root leaf.
template <bool Inclusive>
inline u64 count_before(const u64* keys, u64 n, u64 x) noexcept {
    const auto before = [x](u64 k) { return Inclusive ? k <= x : k < x; };
    u64 lo = 0;
    for (u64 m = n; m > 1;) {
        const u64 h = m / 2;
        lo = before(keys[lo + h]) ? lo + h : lo;
        m -= h;
    }
    return lo + (before(keys[lo]) ? 1 : 0);
}

// Index of the first key >= x (n when none).
inline u64 lower_bound(const u64* keys, u64 n, u64 x) noexcept {
    return count_before<false>(keys, n, x);
}

// Index of the first key > x (n when none).
inline u64 upper_bound(const u64* keys, u64 n, u64 x) noexcept {
    return count_before<true>(keys, n, x);
}

// Where `key` is or would go among keys[0..n), n >= 1: the halving search
// shared by root-leaf inserts and removals.
struct LeafSlot {
    u64 index;
    bool found;
};
inline LeafSlot leaf_search(const u64* keys, u64 n, u64 key) noexcept {
    const u64 i = lower_bound(keys, n, key);
    return {i, i < n && keys[i] == key};
}

// Where a new key goes among keys[0..n), n >= 1. The last key is tried
// first, so that ascending inserts skip the search.
inline LeafSlot insert_slot(const u64* keys, u64 n, u64 key) noexcept {
    if (key > keys[n - 1]) return {n, false};
    if (key == keys[n - 1]) return {n - 1, true};
    return leaf_search(keys, n, key);
}

// Membership in a root leaf: a plain scan up to 8 keys, halving above.
inline std::optional<u64> leaf_find(const u64* keys, u64 n, u64 key) noexcept {
    if (n <= 8) {
        for (u64 i = 0; i < n; ++i)
            if (keys[i] == key) return i;
        return std::nullopt;
    }
    const LeafSlot s = leaf_search(keys, n, key);
    if (s.found) return s.index;
    return std::nullopt;
}

}  // namespace map_detail
}  // namespace tolvane
