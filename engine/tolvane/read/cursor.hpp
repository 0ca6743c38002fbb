#pragma once
// A positioned forward cursor over one map-flavour trie or sorted entry list,
// with a one-entry lookahead that its user reads directly: `found` tells
// whether `entry` holds the entry the cursor stands on. Ordered walks keep
// one per level and step them in turn.
//
// Invariants: when `found` is 0 the cursor is exhausted and stays so until
// it is seeked again; otherwise `entry` is the smallest entry not yet
// returned by advance() and `iter` stands just after it. No heap memory.

#include <optional>

#include "tolvane/read/iter.hpp"
#include "tolvane/core/key_value.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane {

struct RawCursor {
    u64 found = 0;
    KeyValue entry;
    MapIter iter;

    // Back to the empty state: nothing found, iterator finished.
    void reset() noexcept;

    // Takes over an iterator positioned by its builder (at the smallest
    // entry, at a start key, or over a sorted list) and loads the lookahead.
    // Whatever the cursor held before is dropped.
    void seek(const MapIter& positioned);

    // Positions on the first entry of the tree at or above `start`.
    void seek_tree(const Edge& root, u64 start);

    // Returns the lookahead entry and loads the next one; none once
    // exhausted, and on every later call.
    std::optional<KeyValue> advance();
};

}  // namespace tolvane
