#pragma once
// The engine TolvaneMap: an ordered u64 -> u64 map made of a MapCore (root
// leaf of up to 31 entries, or a trie), its own node allocator and an insert
// path that caches the level-1 leaf the last exclusive insert filled (the
// hot leaf). Keys whose upper 56 bits equal the cached prefix go straight
// into that leaf; the ancestors' population fields are then short by the
// path's `pending` delta until the next flush.
//
// Invariants (besides MapCore's):
// - In tree state every population field is exact except those of path
//   entries 1 .. len-1, each short by exactly `pending`; entry 0's is exact.
// - The path is filled only by the exclusive map insert, so it stays empty
//   while the allocator is deferred and the fast path then never runs.
// - Every path entry names an edge inside this object's root or its nodes.
//   That is why the container is built in place and never copied or moved:
//   a moved object would carry entries that point into its old root.
//
// Which tree services run is read from the allocator at each call:
//   local                       exclusive insert / remove / free
//   deferred, root covered      versioned reclaiming ones (tree word bumped
//                               around root changes)
//   deferred, not covered       unversioned reclaiming ones
//
// One thread at a time; fields are read and written plainly.

#include <optional>
#include <string>
#include <vector>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/read/iter.hpp"
#include "tolvane/core/key_value.hpp"
#include "tolvane/read/listing.hpp"
#include "tolvane/int/detached_root.hpp"
#include "tolvane/int/map_core.hpp"
#include "tolvane/int/put_place.hpp"
#include "tolvane/write/mutate_map_insert.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/int/shared_tree.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane {

class TolvaneMap {
  public:
    MapCore core;
    NodeAlloc alloc;
    InsertPath path;

    TolvaneMap() = default;
    // Gives every node and root-leaf block back to the allocator.
    ~TolvaneMap();
    TolvaneMap(const TolvaneMap&) = delete;
    TolvaneMap& operator=(const TolvaneMap&) = delete;
    TolvaneMap(TolvaneMap&&) = delete;
    TolvaneMap& operator=(TolvaneMap&&) = delete;

    // 0 when empty, the root leaf's count, or the tree's len.
    u64 size() const noexcept { return core.size(); }

    // ---- point operations ----
    //
    // Mutations are noexcept: a scratch buffer that cannot be had halfway
    // through a split is as fatal as a node that cannot be had, since the
    // tree may be half changed by then.

    std::optional<u64> get(u64 key) const;
    bool contains_key(u64 key) const;
    // Inserts or overwrites; reports the previous value of a present key.
    InsertOutcome insert(u64 key, u64 value) noexcept;
    // Get-or-insert: the address of the key's value word, valid until the
    // map next changes. An absent key is added with `initial`; a present
    // key keeps its value.
    u64* ensure_slot(u64 key, u64 initial) noexcept;
    // Removes the key and hands back its value (also serves pop).
    RemoveOutcome remove(u64 key) noexcept;
    // Removes every entry; the allocator keeps its free memory.
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

    std::optional<KeyValue> next_at_or_after(u64 k) const;
    std::optional<KeyValue> next_after(u64 k) const;
    std::optional<KeyValue> prev_at_or_before(u64 k) const;
    std::optional<KeyValue> prev_before(u64 k) const;
    std::optional<KeyValue> last() const;
    // These settle the pending delta first (the hot leaf stays cached).
    u64 count_below(u64 k);
    u64 count_range(u64 start, u64 end);
    std::optional<KeyValue> by_count(u64 r);
    // None when sound, else the first broken invariant found.
    std::optional<std::string> validate_defensive();

    // ---- forward iteration and listings (ascending key order) ----

    MapIter iter_fwd_raw() const { return core.iter_fwd_raw(); }
    MapIter range_fwd_raw(u64 start) const { return core.range_fwd_raw(start); }
    std::vector<KeyValue> items() const;
    std::vector<u64> keys() const;
    std::vector<u64> values() const;
    // Entries with start <= key and, when `end` is given, key <= end
    // (inclusive) or key < end. The walk starts at `start`.
    std::vector<KeyValue> range(u64 start, std::optional<u64> end, bool inclusive) const;

  private:
    template <bool KeepExisting>
    mutate_map::InsertResult put(u64 key, u64 value);
    PutPlace put_hot(u64 key, u64 value);
    template <bool KeepExisting>
    void tree_insert(mutate_map::InsertResult& out, Edge& edge, u64 key, u64 value, InsertPath& p,
                     u32* private_word);
    mutate_map::InsertResult convert_to_tree(u64 key, u64 value);
    void settle() { settle_pending(path); }
};

static_assert(SharedTree<TolvaneMap>);

}  // namespace tolvane
