#pragma once
// Form changes of branch nodes and the skip-level wrap.
//
// A branch changes form as its child count crosses the bounds of
// core/forms.hpp. Each operation gets the edge that points at the branch, builds the new node,
// releases the old one and rewrites only the edge's pointer and tag (the wrap
// also its decode area); it never adds or removes a child, and the branch's
// level, population and prefix stay as they were.
//
// Occ = false: the tree belongs to one thread; the old node goes straight
// back to the allocator. Occ = true: readers may be inside the old node. The
// new node is complete before the old one is marked obsolete, the old node is
// never written except for that mark, and `edge` is the caller's private copy
// that the caller publishes afterwards. The allocator's mode decides whether
// a released block is reused at once or retired to the collector.
// Both variants build identical nodes and edges. Map-flavour trees use the
// same operations: their branches are the same.

#include <bit>
#include <cstddef>
#include <cstring>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/core/forms.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate {

using forms::B_MAX_CHILDREN;
using forms::B_SHRINK_AT;
using forms::L3_MAX_CHILDREN;
using forms::L7_MAX_CHILDREN;
using forms::L7_SHRINK_AT;
using forms::U_SHRINK_AT;

namespace detail {

template <class Node>
inline Node* take_node(NodeAlloc& alloc) {
    void* block = alloc.allocate(sizeof(Node));
    std::memset(block, 0, sizeof(Node));
    return static_cast<Node*>(block);
}

// What an empty root slot becomes before its first key: the root slot always
// holds a branch of level 8.
inline Edge fresh_root_branch(NodeAlloc& alloc) {
    BranchL3* node = take_node<BranchL3>(alloc);
    node->level = 8;
    Edge fresh;
    fresh.set_ptr(node);
    fresh.set_tag(TAG_BRANCH_L3);
    return fresh;
}

inline Edge* take_subarray(NodeAlloc& alloc, std::size_t count) {
    return static_cast<Edge*>(alloc.allocate_zeroed(edge_subarray_bytes(count)));
}

inline void release_subarray(NodeAlloc& alloc, Edge* subarray, std::size_t count) {
    alloc.release(subarray, edge_subarray_bytes(count), LEAF_ALIGN);
}

// Releases a replaced branch node; the reclaiming variant first marks it
// obsolete so that a reader validating it afterwards starts again.
template <bool Occ, class Node>
inline void release_replaced(NodeAlloc& alloc, Node* node) {
    if constexpr (Occ) mark_obsolete(node->version);
    alloc.release(node, sizeof(Node), NODE_ALIGN);
}

inline void repoint(Edge& edge, const void* node, u8 tag) {
    edge.set_ptr(node);
    edge.set_tag(tag);
}

inline unsigned bitmap_children(const BranchB& b) {
    unsigned n = 0;
    for (u32 g : b.bitmap) n += popcount32(g);
    return n;
}

// Gives every non-empty group of `b` a subarray sized to its count.
inline void take_group_subarrays(NodeAlloc& alloc, BranchB& b) {
    for (unsigned g = 0; g < 8; ++g) {
        if (b.group_counts[g] != 0) b.subarrays[g] = take_subarray(alloc, b.group_counts[g]);
    }
}

inline void release_group_subarrays(NodeAlloc& alloc, BranchB& b) {
    for (unsigned g = 0; g < 8; ++g) {
        if (b.group_counts[g] == 0) continue;
        require(b.subarrays[g] != nullptr, "subarray");
        release_subarray(alloc, b.subarrays[g], b.group_counts[g]);
    }
}

}  // namespace detail

// BranchL3 -> BranchL7: the old 64 bytes (version word included) become the
// first 64 bytes of the new node; slots 3..6 stay empty.
template <bool Occ>
void upgrade_l3_to_l7(NodeAlloc& alloc, Edge& edge) {
    BranchL3* old = edge.ptr<BranchL3>();
    BranchL7* node = detail::take_node<BranchL7>(alloc);
    std::memcpy(static_cast<void*>(node), old, sizeof(BranchL3));
    detail::release_replaced<Occ>(alloc, old);
    detail::repoint(edge, node, TAG_BRANCH_L7);
}

// BranchL7 (3 or fewer children) -> BranchL3: header and slots 0..2 move.
template <bool Occ>
void downgrade_l7_to_l3(NodeAlloc& alloc, Edge& edge) {
    BranchL7* old = edge.ptr<BranchL7>();
    require(old->count <= L3_MAX_CHILDREN, "index out of bounds: BranchL7 shrink above 3 children");
    BranchL3* node = detail::take_node<BranchL3>(alloc);
    std::memcpy(static_cast<void*>(node), old, sizeof(BranchL3));
    detail::release_replaced<Occ>(alloc, old);
    detail::repoint(edge, node, TAG_BRANCH_L3);
}

// BranchL7 -> BranchB with the same level; version word starts at 0.
template <bool Occ>
void upgrade_l7_to_b(NodeAlloc& alloc, Edge& edge) {
    BranchL7* old = edge.ptr<BranchL7>();
    require(old->count <= L7_MAX_CHILDREN, "index out of bounds: BranchL7 above 7 children");
    BranchB* node = detail::take_node<BranchB>(alloc);
    node->level = old->level;
    for (unsigned i = 0; i < old->count; ++i) ++node->group_counts[old->digits[i] >> 5];
    detail::take_group_subarrays(alloc, *node);
    u16 filled[8] = {};
    for (unsigned i = 0; i < old->count; ++i) {
        const u8 d = old->digits[i];
        node->bitmap[d >> 5] |= u32{1} << (d & 31);
        node->subarrays[d >> 5][filled[d >> 5]++] = old->children[i];
    }
    detail::release_replaced<Occ>(alloc, old);
    detail::repoint(edge, node, TAG_BRANCH_B);
}

// BranchB (not skipping) -> BranchU: each child lands at its digit. The
// BranchU has no level field; it is always at its slot level.
template <bool Occ>
void upgrade_b_to_u(NodeAlloc& alloc, Edge& edge) {
    BranchB* old = edge.ptr<BranchB>();
    BranchU* node = detail::take_node<BranchU>(alloc);
    for (unsigned g = 0; g < 8; ++g) {
        u32 bits = old->bitmap[g];
        if (bits == 0) continue;
        require(old->subarrays[g] != nullptr, "subarray");
        for (unsigned i = 0; bits != 0; ++i, bits &= bits - 1) {
            const unsigned d = 32 * g + static_cast<unsigned>(std::countr_zero(bits));
            node->children[d] = old->subarrays[g][i];
        }
    }
    detail::release_group_subarrays(alloc, *old);
    detail::release_replaced<Occ>(alloc, old);
    detail::repoint(edge, node, TAG_BRANCH_U);
}

// BranchU -> BranchB at `level` (the slot level). A full edge among the
// children is a child like any other.
template <bool Occ>
void downgrade_u_to_b(NodeAlloc& alloc, Edge& edge, u8 level) {
    BranchU* old = edge.ptr<BranchU>();
    BranchB* node = detail::take_node<BranchB>(alloc);
    node->level = level;
    for (unsigned d = 0; d < 256; ++d) {
        if (old->children[d].tag_byte() == TAG_EMPTY) continue;
        node->bitmap[d >> 5] |= u32{1} << (d & 31);
        ++node->group_counts[d >> 5];
    }
    detail::take_group_subarrays(alloc, *node);
    u16 filled[8] = {};
    for (unsigned d = 0; d < 256; ++d) {
        if (old->children[d].tag_byte() == TAG_EMPTY) continue;
        node->subarrays[d >> 5][filled[d >> 5]++] = old->children[d];
    }
    detail::release_replaced<Occ>(alloc, old);
    detail::repoint(edge, node, TAG_BRANCH_B);
}

// BranchB (7 or fewer children) -> BranchL7; the digit summary is rebuilt.
template <bool Occ>
void downgrade_b_to_l7(NodeAlloc& alloc, Edge& edge) {
    BranchB* old = edge.ptr<BranchB>();
    BranchL7* node = detail::take_node<BranchL7>(alloc);
    node->level = old->level;
    unsigned count = 0;
    for (unsigned g = 0; g < 8; ++g) {
        u32 bits = old->bitmap[g];
        if (bits == 0) continue;
        require(old->subarrays[g] != nullptr, "subarray");
        for (unsigned i = 0; bits != 0; ++i, bits &= bits - 1) {
            require(count < L7_MAX_CHILDREN,
                    "index out of bounds: BranchB shrink above 7 children");
            const unsigned d = 32 * g + static_cast<unsigned>(std::countr_zero(bits));
            node->digits[count] = static_cast<u8>(d);
            node->children[count] = old->subarrays[g][i];
            node->summary = static_cast<u16>(node->summary | (1u << (d & 15)));
            ++count;
        }
    }
    node->count = static_cast<u8>(count);
    detail::release_group_subarrays(alloc, *old);
    detail::release_replaced<Occ>(alloc, old);
    detail::repoint(edge, node, TAG_BRANCH_L7);
}

// Puts a new one-child BranchL3 at `level` above the node or leaf behind
// `edge`, whose skipped key bytes differ from a key being inserted at byte
// level-1 (the highest differing byte). The old edge moves down as the only
// child: it loses its decode bytes from level-1 up to the slot level; the
// slot keeps the skipped bytes level..slot_level-1 and gets pop0 =
// population - 1. Nothing is released.
template <bool Occ>
void wrap_skip_level(NodeAlloc& alloc, Edge& edge, u8 level, u8 slot_level, u64 population) {
    require(
        level >= 1 && level <= 7 && level <= slot_level && (slot_level <= 7 || slot_level == level),
        "index out of bounds: skip wrap level");
    require(population >= 1, "index out of bounds: skip wrap of an empty edge");
    const Edge saved = edge;
    const u8 digit = saved.byte(8 + level - 1);

    Edge child = saved;
    const unsigned clear_to = slot_level < 7 ? slot_level : 7;  // level <= clear_to
    for (unsigned j = level - 1u; j < clear_to; ++j) child.set_byte(8 + j, 0);

    BranchL3* node = detail::take_node<BranchL3>(alloc);
    node->count = 1;
    node->level = level;
    node->summary = static_cast<u16>(1u << (digit & 15));
    node->digits[0] = digit;
    node->children[0] = child;

    Edge parent;
    parent.set_ptr(node);
    parent.set_tag(TAG_BRANCH_L3);
    for (unsigned j = level; j < slot_level && j < 7; ++j)
        parent.set_byte(8 + j, saved.byte(8 + j));
    parent.set_pop0(level, population - 1);
    edge = parent;
}

}  // namespace tolvane::mutate
