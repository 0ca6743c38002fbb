#pragma once
// Node layouts behind the edge tags, the capacity classes that size every
// variable-length block, and the slot operations of linear branches.
//
// Common rules: multi-byte fields are little-endian; every block is zero-filled
// when allocated; branches and bitmap leaves are 64-byte aligned, linear
// leaves, subarrays and value arrays 16-byte aligned. A branch's level is at
// least 2 and never above its slot level. Each branch carries a u32 version
// word (bit 0: a writer is changing it; bit 31: obsolete) that only the
// reclaiming and concurrent writers touch.

#include <bit>
#include <cstddef>
#include <cstdint>

#include "tolvane/core/types.hpp"

namespace tolvane {

// Entry slots allocated for n entries: n up to 2, then multiples of 4 up to
// 16, then 24, then 32, then multiples of 4 again. A block always has the
// class of its current count, so its size follows from the count alone.
constexpr std::size_t capacity_class(std::size_t n) noexcept {
    if (n <= 2) return n;
    if (n <= 16) return (n + 3) & ~std::size_t{3};
    if (n <= 24) return 24;
    if (n <= 32) return 32;
    return (n + 3) & ~std::size_t{3};
}

// Linear branch (tags 1 and 2): children sorted by digit.
// Invariants: digits[0..count) strictly ascend, the rest are zero; children
// [0..count) are non-empty, the rest empty; bit n of summary is set exactly
// when some present digit has low nibble n.
template <std::size_t N>
struct alignas(64) BranchL {
    static constexpr std::size_t CAPACITY = N;
    u32 version;
    u8 count;
    u8 level;  // resolves key byte level-1
    u16 summary;
    u8 digits[8];
    Edge children[N];
};
using BranchL3 = BranchL<3>;
using BranchL7 = BranchL<7>;

static_assert(sizeof(BranchL3) == 64 && alignof(BranchL3) == 64);
static_assert(sizeof(BranchL7) == 128 && alignof(BranchL7) == 64);
static_assert(offsetof(BranchL3, version) == 0 && offsetof(BranchL3, count) == 4 &&
              offsetof(BranchL3, level) == 5 && offsetof(BranchL3, summary) == 6 &&
              offsetof(BranchL3, digits) == 8 && offsetof(BranchL3, children) == 16);
static_assert(offsetof(BranchL7, version) == 0 && offsetof(BranchL7, count) == 4 &&
              offsetof(BranchL7, level) == 5 && offsetof(BranchL7, summary) == 6 &&
              offsetof(BranchL7, digits) == 8 && offsetof(BranchL7, children) == 16);

// Bitmap branch (tag 3). Digit d is present when bit (d & 31) of
// bitmap[d >> 5] is set; its child is edge popcount(bits of the group below
// d) of subarrays[d >> 5]. A subarray of c edges is a 16-aligned block of
// capacity_class(c) edges; an empty group has a null subarray and count 0.
// The bytes after `level` are zero.
struct alignas(64) BranchB {
    u32 bitmap[8];
    Edge* subarrays[8];
    u16 group_counts[8];
    u32 version;
    u8 level;
    u8 reserved[11];
};
static_assert(sizeof(BranchB) == 128 && alignof(BranchB) == 64);
static_assert(offsetof(BranchB, bitmap) == 0 && offsetof(BranchB, subarrays) == 32 &&
              offsetof(BranchB, group_counts) == 96 && offsetof(BranchB, version) == 112 &&
              offsetof(BranchB, level) == 116);

// Uncompressed branch (tag 4): child of digit d at children[d], absent digits
// empty. It stores no level (always its slot level) and no count (the edge's
// pop0 has it). A separate heap block outside the size classes.
struct alignas(64) BranchU {
    u32 version;
    u8 header_rest[60];  // zero
    Edge children[256];
};
static_assert(sizeof(BranchU) == 4160 && alignof(BranchU) == 64);
static_assert(offsetof(BranchU, version) == 0 && offsetof(BranchU, children) == 64);

// Set-flavour bitmap leaf at level 1 (tag 12): key byte d present when bit
// (d & 63) of bitmap[d >> 6] is set. Up to 256 keys; pop0 is edge byte 8.
struct alignas(64) LeafB1 {
    u64 bitmap[4];
    u8 rest[32];  // zero
};
static_assert(sizeof(LeafB1) == 64 && alignof(LeafB1) == 64);
static_assert(offsetof(LeafB1, bitmap) == 0);

// Map-flavour bitmap leaf at level 1 (tag 12): the same bits as LeafB1 read
// as eight u32 groups; the value of key byte d is word popcount(bits of the
// group below d) of value_subarrays[d >> 5], a 16-aligned block of
// capacity_class(c) values. Every group with bits has its subarray.
struct alignas(64) LeafBitmapL {
    u32 bitmap[8];
    u64* value_subarrays[8];
    u8 rest[32];  // zero
};
static_assert(sizeof(LeafBitmapL) == 128 && alignof(LeafBitmapL) == 64);
static_assert(offsetof(LeafBitmapL, bitmap) == 0 && offsetof(LeafBitmapL, value_subarrays) == 32);

// Block sizes handed to the allocator.
inline constexpr std::size_t BRANCH_L3_BYTES = sizeof(BranchL3);
inline constexpr std::size_t BRANCH_L7_BYTES = sizeof(BranchL7);
inline constexpr std::size_t BRANCH_B_BYTES = sizeof(BranchB);
inline constexpr std::size_t BRANCH_U_BYTES = sizeof(BranchU);
inline constexpr std::size_t LEAF_B1_BYTES = sizeof(LeafB1);
inline constexpr std::size_t LEAF_BITMAP_L_BYTES = sizeof(LeafBitmapL);
inline constexpr std::size_t NODE_ALIGN = 64;
inline constexpr std::size_t LEAF_ALIGN = 16;

// Linear leaf of n keys of w bytes: set flavour keys only; map flavour
// capacity_class(n) value words, then the keys at byte 8 * capacity_class(n).
constexpr std::size_t leaf_block_bytes(std::size_t n, unsigned w) noexcept {
    return capacity_class(n) * w;
}
constexpr std::size_t map_leaf_block_bytes(std::size_t n, unsigned w) noexcept {
    return capacity_class(n) * (8 + w);
}
constexpr std::size_t map_leaf_key_offset(std::size_t n) noexcept { return 8 * capacity_class(n); }
// BranchB edge subarray of c children; value subarray / value array of c values.
constexpr std::size_t edge_subarray_bytes(std::size_t c) noexcept {
    return capacity_class(c) * sizeof(Edge);
}
constexpr std::size_t value_array_bytes(std::size_t c) noexcept { return capacity_class(c) * 8; }

// ---------------------------------------------------------------------------
// Reading nodes behind an edge.

// Bitmap group helpers shared by BranchB and LeafBitmapL.
constexpr bool group_has(u32 group, u8 d) noexcept { return (group >> (d & 31)) & 1u; }
constexpr unsigned group_rank(u32 group, u8 d) noexcept {
    return popcount32(group & ((u32{1} << (d & 31)) - 1));
}

// The node level of the child behind `e` in a slot of level `slot_level`:
// the stored level byte of a linear or bitmap branch, w for a linear leaf, 1
// for a bitmap leaf, the slot level for a BranchU and a full edge. Immediates,
// empty and invalid edges have none: fatal.
u8 node_level(const Edge& e, unsigned slot_level);

// Address of the version word of the branch behind `e`, or nullptr when the
// child is no branch (leaves, immediates and full edges have none).
u32* node_version_word(const Edge& e) noexcept;

// ---------------------------------------------------------------------------
// Slot operations of a linear branch. Neither touches count, summary,
// version or pop0: the caller keeps those.
namespace mutate {

// Opens a slot for digit d after every digit not greater than it, shifting
// the later children up; returns the index with an empty edge in it. The
// caller leaves room (count below capacity).
std::size_t linear_insert_slot(u8* digits, Edge* children, std::size_t capacity, std::size_t count,
                               u8 d);

// Closes slot i, shifting the later children down; the freed last slot gets
// digit 0 and an empty edge.
void linear_remove_slot(u8* digits, Edge* children, std::size_t capacity, std::size_t count,
                        std::size_t i);

}  // namespace mutate
}  // namespace tolvane
