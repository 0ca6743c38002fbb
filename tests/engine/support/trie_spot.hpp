#pragma once
// Where a key's edge sits in a trie, read plainly by one thread: the edge
// (or the branch that lacks the key's digit), its slot level and the tag of
// the branch holding it; and the form of a leaf-like edge (tag, or 0x10 * w
// for an immediate of w-byte keys, and its key count). Tests of the
// optimistic writers use it to check which form a change met and left.

#include "tolvane/core/types.hpp"

namespace tolvane::test {

struct Spot {
    Edge e;                // the key's edge, or the branch missing its digit
    unsigned level = 8;    // slot level of `e`
    u8 holder = 0;         // tag of the branch holding `e` (0 for the root edge)
    bool missing = false;  // `e` is a branch without the key's digit
    const u32* holder_version = nullptr;  // version word of that branch
};

Spot spot_of(const Edge& root, u64 key);

// Keys in a leaf-like edge (immediate, linear or bitmap leaf); 0 otherwise.
unsigned keys_in(const Edge& e);

struct Form {
    u8 tag;  // the edge's tag; 0x10 * w for an immediate of w-byte keys
    unsigned keys;
};
Form form_of(const Edge& root, u64 key);

inline constexpr u8 IMMEDIATE_1 = 0x10;
inline constexpr u8 IMMEDIATE_2 = 0x20;
inline constexpr u8 IMMEDIATE_7 = 0x70;

}  // namespace tolvane::test
