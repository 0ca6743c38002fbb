#pragma once
// Consumers of the forward iterators: whole listings, one item projected to
// its key or value, the skip-while step of range scans and a first-match
// search. Each takes an iterator positioned by its builder (iter_fwd_raw,
// range_fwd_raw) and steps it in ascending key order. After a consumer has
// met the end, every later call meets it again at once.

#include <optional>
#include <vector>

#include "tolvane/read/iter.hpp"
#include "tolvane/core/key_value.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane {

// Every remaining item, ascending. Nothing is allocated when none is left.
std::vector<KeyValue> collect_entries(MapIter& it);
std::vector<u64> collect_keys(SetIter& it);

// Appends every remaining item.
void extend_entries(std::vector<KeyValue>& out, MapIter& it);
void extend_keys(std::vector<u64>& out, SetIter& it);

// One step, projected to the key or the value; none at the end.
std::optional<u64> next_key(MapIter& it);
std::optional<u64> next_value(MapIter& it);

// The skip-while step of range scans: returns the next item whose key is at
// least `start`, or simply the next item once `started` is set; sets
// `started` when it returns one. None at the end (started left as it was).
std::optional<KeyValue> find_at_or_after(MapIter& it, bool& started, u64 start);
std::optional<u64> find_at_or_after(SetIter& it, bool& started, u64 start);

// The first result `test` (KeyValue -> std::optional<KeyValue>) gives,
// leaving the iterator just after that entry; none at the end.
template <class Test>
std::optional<KeyValue> find_map(MapIter& it, Test&& test) {
    while (const std::optional<KeyValue> e = it.next()) {
        if (std::optional<KeyValue> r = test(*e)) return r;
    }
    it.leaf.kind = LeafCursor::NONE;
    return std::nullopt;
}

// Range listings: the items with start <= key, and key <= end (inclusive)
// or key < end (not inclusive) when `end` is given. The walk starts at
// `start` and stops at the first key past the upper bound.
std::vector<KeyValue> collect_entries_until(MapIter& it, std::optional<u64> end, bool inclusive);
std::vector<u64> collect_keys_until(SetIter& it, std::optional<u64> end, bool inclusive);

}  // namespace tolvane
