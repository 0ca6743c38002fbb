#pragma once
// Every capacity and threshold of the node forms, named once. The mutators
// grow and shrink nodes at these counts and the validator reports a node that
// sits outside them, so both read this header and nothing else.
// docs/forms.md draws the same numbers as tables.
//
// Grow and shrink bounds of each pair of forms differ, so no count sits at
// both and a key added and removed at a boundary does not flip the form back
// and forth.

#include "tolvane/core/types.hpp"

namespace tolvane::forms {

// Immediates: the keys live in the edge itself. A set immediate packs its
// keys into edge bytes 0..14; a map immediate keeps them in bytes 8..14 and
// its values (one inline, several in a value array) in bytes 0..7.
inline constexpr unsigned SET_IMMEDIATE_KEY_BYTES = 15;
inline constexpr unsigned MAP_IMMEDIATE_KEY_BYTES = 7;
// Keys an immediate of w-byte keys holds: 15, 7, 5, 3, 3, 2, 2 (set) and
// 7, 3, 2, 1, 1, 1, 1 (map).
constexpr unsigned set_immediate_capacity(unsigned w) noexcept { return SET_IMMEDIATE_KEY_BYTES / w; }
constexpr unsigned map_immediate_capacity(unsigned w) noexcept { return MAP_IMMEDIATE_KEY_BYTES / w; }

// Linear leaves: the most keys before the next one turns the leaf into a
// bitmap leaf (1-byte keys) or splits it (wider keys).
inline constexpr unsigned LINEAR1_MAX_KEYS = 25;
inline constexpr unsigned LINEAR_MAX_KEYS = 32;
constexpr unsigned linear_leaf_max_keys(unsigned w) noexcept {
    return w == 1 ? LINEAR1_MAX_KEYS : LINEAR_MAX_KEYS;
}

// Bitmap leaves keep at least this many keys; a removal below it makes a
// linear leaf again (4 keys of slack above the 25 that made it).
inline constexpr unsigned BITMAP_LEAF_MIN_KEYS = 21;

// Branches, by child count:
//   BranchL3   1..3     grows to BranchL7 at the 4th
//   BranchL7   3..7     grows to BranchB at the 8th, shrinks to L3 at 2 or fewer
//   BranchB    7..192   grows to BranchU at the 193rd, shrinks to L7 at 6 or fewer
//   BranchU    161..256 shrinks to BranchB at 160 or fewer
inline constexpr unsigned L3_MAX_CHILDREN = 3;
inline constexpr unsigned L7_MAX_CHILDREN = 7;
inline constexpr unsigned L7_SHRINK_AT = 2;
inline constexpr unsigned B_MAX_CHILDREN = 192;
inline constexpr unsigned B_SHRINK_AT = 6;
inline constexpr unsigned U_SHRINK_AT = 160;

// Root leaf of the integer engines: up to 31 entries in one sorted block; the
// 32nd makes a tree, and a tree left with 30 or fewer is condensed back.
inline constexpr u64 ROOT_LEAF_MAX = 31;
inline constexpr u64 ROOT_LEAF_CONDENSE_AT = 30;

}  // namespace tolvane::forms
