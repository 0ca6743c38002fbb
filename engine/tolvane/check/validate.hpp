#pragma once
// The structural validator: walks a whole trie from one edge down, checks
// every invariant of every edge and node, and measures the tree. It never
// changes the tree and never stops the process on a broken one: the first
// broken invariant comes back as a message, the statistics keep what was
// counted up to it. The tree must not change during the walk.

#include <cstddef>
#include <string>

#include "tolvane/core/types.hpp"

namespace tolvane {

// The counters the walk only ever adds to (a value-initialised record is all
// zeroes). S is the slot level of the edge being visited (1..8), n a leaf's
// key count. The 300 counters also read as one array, in field order:
//   0..8       edges by kind: empty, immediate, linear leaf, bitmap leaf,
//              BranchL3, BranchL7, BranchB, BranchU, full edge
//   9 + S      edges of any valid tag at slot level S (index 9 stays 0)
//   18 + n     immediates, linear and bitmap leaves of n keys that passed
//   275..281   bytes of map-immediate value arrays, linear leaves, bitmap
//              leaves, BranchL3, BranchL7, BranchB (with subarrays), BranchU
//   282 + S    branch nodes at slot level S
//   291 + S    linear and bitmap leaves at slot level S
struct ValidateStats {
    u64 empty_edges;
    u64 immediates;
    u64 linear_leaves;
    u64 bitmap_leaves;
    u64 branch_l3;
    u64 branch_l7;
    u64 branch_b;
    u64 branch_u;
    u64 full_edges;
    u64 edges_at_level[9];
    u64 leaves_of_keys[257];
    u64 value_array_bytes;
    u64 linear_leaf_bytes;
    u64 bitmap_leaf_bytes;
    u64 branch_l3_bytes;
    u64 branch_l7_bytes;
    u64 branch_b_bytes;
    u64 branch_u_bytes;
    u64 branches_at_level[9];
    u64 leaf_nodes_at_level[9];

    static constexpr std::size_t COUNTERS = 300;
    static constexpr std::size_t size() noexcept { return COUNTERS; }

    // Counter i of the array reading; fatal outside 0..299.
    u64& operator[](std::size_t i);
    u64 operator[](std::size_t i) const { return const_cast<ValidateStats&>(*this)[i]; }
    void fill(u64 value) {
        for (std::size_t i = 0; i < COUNTERS; ++i) (*this)[i] = value;
    }

    bool operator==(const ValidateStats&) const = default;
};
static_assert(sizeof(ValidateStats) == ValidateStats::COUNTERS * sizeof(u64),
              "every validator counter has a field");

namespace validate {

inline constexpr std::size_t STAT_EMPTY = 0;
inline constexpr std::size_t STAT_IMMEDIATE = 1;
inline constexpr std::size_t STAT_LINEAR_LEAF = 2;
inline constexpr std::size_t STAT_BITMAP_LEAF = 3;
inline constexpr std::size_t STAT_BRANCH_L3 = 4;
inline constexpr std::size_t STAT_BRANCH_L7 = 5;
inline constexpr std::size_t STAT_BRANCH_B = 6;
inline constexpr std::size_t STAT_BRANCH_U = 7;
inline constexpr std::size_t STAT_FULL = 8;
inline constexpr std::size_t STAT_VALUE_ARRAY_BYTES = 275;
inline constexpr std::size_t STAT_LINEAR_LEAF_BYTES = 276;
inline constexpr std::size_t STAT_BITMAP_LEAF_BYTES = 277;
inline constexpr std::size_t STAT_BRANCH_L3_BYTES = 278;
inline constexpr std::size_t STAT_BRANCH_L7_BYTES = 279;
inline constexpr std::size_t STAT_BRANCH_B_BYTES = 280;
inline constexpr std::size_t STAT_BRANCH_U_BYTES = 281;
constexpr std::size_t stat_edges_at(unsigned slot_level) noexcept { return 9 + slot_level; }
constexpr std::size_t stat_leaves_of(std::size_t keys) noexcept { return 18 + keys; }
constexpr std::size_t stat_branches_at(unsigned slot_level) noexcept { return 282 + slot_level; }
constexpr std::size_t stat_leaf_nodes_at(unsigned slot_level) noexcept { return 291 + slot_level; }

// Population below the edge, or the text of the first broken invariant.
struct Validation {
    u64 population = 0;
    std::string error;  // empty when the subtree is sound
    bool ok() const noexcept { return error.empty(); }
};

// Set flavour (Map false) or map flavour (Map true). Callers pass the root
// edge with slot level 8, zeroed statistics and depth 0.
template <bool Map>
Validation tolvane_validate_and_stats(const Edge& edge, std::size_t slot_level,
                                      ValidateStats& stats, std::size_t depth);

extern template Validation tolvane_validate_and_stats<false>(const Edge&, std::size_t,
                                                             ValidateStats&, std::size_t);
extern template Validation tolvane_validate_and_stats<true>(const Edge&, std::size_t,
                                                            ValidateStats&, std::size_t);

}  // namespace validate
}  // namespace tolvane
