#pragma once
// The engine TolvaneSet: an ordered set of u64 keys. Up to 31 keys live in
// one sorted key array (the root leaf); the 32nd key rebuilds them as a trie
// under a level-8 root edge, and a trie left with 30 keys or fewer is
// condensed back. An insert path caches the level-1 leaf the last exclusive
// insert filled (the hot leaf): keys whose upper 56 bits equal the cached
// prefix go straight into it, and the ancestors' population fields are short
// by the path's `pending` delta until the next flush.
//
// Fields, in this order:
//   root_state   ROOT_EMPTY, ROOT_LEAF or ROOT_TREE
//   root         tree: the level-8 root edge; root leaf: w0 = key count n,
//                w1 = key array pointer (the reverse of the map's root leaf)
//   len          number of keys in tree state; stale in the other states
//   alloc        the node allocator
//   path         the insert path
//
// Invariants:
// - A root leaf holds 1 to 31 keys, strictly ascending, in a block of
//   capacity_class(n) * 8 bytes, alignment 16.
// - In tree state every population field is exact except those of path
//   entries 1 .. len-1, each short by exactly `pending`; entry 0's is exact.
// - The path is filled only by the exclusive insert; every entry names an
//   edge inside this object's root or its nodes, so the set is built in
//   place and never copied or moved.
//
// Tree services by allocator state, read at each call: local -> exclusive;
// deferred with the root covered -> versioned reclaiming (tree word bumped
// around root changes); deferred otherwise -> unversioned reclaiming.

#include <optional>
#include <string>
#include <vector>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/read/iter.hpp"
#include "tolvane/read/listing.hpp"
#include "tolvane/int/detached_root.hpp"
#include "tolvane/int/map_core.hpp"
#include "tolvane/int/put_place.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/int/shared_tree.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane {

class TolvaneSet {
  public:
    u64 root_state = ROOT_EMPTY;
    Edge root;
    u64 len = 0;
    NodeAlloc alloc;
    InsertPath path;

    TolvaneSet() = default;
    // Gives every node and the key array back to the allocator.
    ~TolvaneSet();
    TolvaneSet(const TolvaneSet&) = delete;
    TolvaneSet& operator=(const TolvaneSet&) = delete;
    TolvaneSet(TolvaneSet&&) = delete;
    TolvaneSet& operator=(TolvaneSet&&) = delete;

    u64 size() const noexcept {
        return root_state == ROOT_TREE ? len : root_state == ROOT_LEAF ? root.w0 : 0;
    }
    u64 leaf_count() const noexcept { return root.w0; }
    u64* leaf_keys() const noexcept {
        return reinterpret_cast<u64*>(static_cast<std::uintptr_t>(root.w1));
    }

    // ---- point operations ----
    //
    // Mutations are noexcept: a scratch buffer that cannot be had halfway
    // through a split is as fatal as a node that cannot be had, since the
    // tree may be half changed by then.

    // Adds the key; true when it was absent. (The set's insert.)
    bool insert_deferred(u64 key) noexcept;
    // Removes the key; true when it was present. (The set's remove.)
    bool remove_deferred(u64 key) noexcept;
    bool contains(u64 key) const;
    // Removes and returns the smallest key; none when empty.
    std::optional<u64> pop() noexcept;
    // Rebuilds a tree of at most 30 keys as a root leaf. Fatal outside tree
    // state.
    void condense_to_root_leaf() noexcept;
    // Removes every key; the allocator keeps its free memory.
    void clear_entries() noexcept;
    // Empties the container without freeing what it held: that stays
    // allocated in the result until free_detached gives it back.
    DetachedRoot detach_entries() noexcept;
    // Gives back at once what detach_entries took out; only when no reader
    // can be inside it any more.
    void free_detached(DetachedRoot& d) noexcept;
    // Settles the pending delta and empties the insert path.
    void clear_path();

    // ---- ordered queries ----

    std::optional<u64> next_at_or_after(u64 k) const;
    std::optional<u64> next_after(u64 k) const;
    std::optional<u64> prev_at_or_before(u64 k) const;
    std::optional<u64> prev_before(u64 k) const;
    std::optional<u64> last() const;
    u64 count_below(u64 k);
    u64 count_range(u64 start, u64 end);
    std::optional<u64> by_count(u64 r);
    // None when sound, else the first broken invariant found.
    std::optional<std::string> validate_defensive();

    // ---- forward iteration and listings (ascending key order) ----

    SetIter iter_fwd_raw() const;
    // Positioned at the first key at or above `start`.
    SetIter range_fwd_raw(u64 start) const;
    std::vector<u64> keys() const;
    // Keys with start <= key and, when `end` is given, key <= end
    // (inclusive) or key < end. The walk starts at `start`.
    std::vector<u64> range(u64 start, std::optional<u64> end, bool inclusive) const;

  private:
    bool tree_insert(Edge& edge, u64 key, InsertPath& p, u32* private_word);
    PutPlace insert_hot(u64 key) noexcept;
    void fill_hot_leaf() noexcept;
    // Out of line, so that the hot window's path saves no registers.
    [[gnu::noinline]] bool insert_by_walk(u64 key) noexcept;
    [[gnu::noinline]] bool insert_into_root_leaf(u64 key) noexcept;
    void convert_to_tree(u64 key);
    bool remove_from_tree(u64 key);
    void settle() { settle_pending(path); }
};

static_assert(SharedTree<TolvaneSet>);

}  // namespace tolvane
