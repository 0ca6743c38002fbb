#pragma once
// Point lookup: one loop from an edge down to the leaf that may hold a key.
// Pure reads with plain loads; no allocation, no recursion, no locks. Trees
// shared with concurrent readers bracket these walks with their own version
// checks.

#include "tolvane/core/types.hpp"

namespace tolvane::get {

// Map flavour: the address of the value word of `key` below `edge`, which
// sits in a slot of `level` (8 for a root edge), or null when the key is
// absent. The address stays valid until the next structural change of the
// tree, so callers may read it or overwrite the value in place. Meeting a
// full edge is fatal: the map flavour has none.
u64* locate_slot(Edge* edge, u64 key, u8 level);
const u64* locate_slot(const Edge* edge, u64 key, u8 level);

// Set flavour: whether `key` is present below `edge` in a slot of `level`.
// A full edge answers present without further test.
bool contains(const Edge* edge, u64 key, u8 level);

}  // namespace tolvane::get
