#pragma once
// One branch level of an exclusive remove, shared by the set and the map
// flavour, whose branches are the same: find the key's child (after the
// skipped-prefix test), let the flavour remove the key below it, then repair
// the branch on the way back up.
//
// After the child lost the key: a child that still holds keys only lowers
// this edge's pop0. An emptied child leaves the node; a node left with no
// child is released and its edge emptied, so emptiness climbs one level per
// return. Otherwise the node repairs itself first (slot, count, summary or
// bitmap), then lowers its pop0, then shrinks at the bounds of
// mutate_branch.hpp. A branch left with one child keeps it: removal never
// folds a branch into a skip level. A level-8 node keeps no pop0.

#include <bit>
#include <cstddef>
#include <cstring>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/bits.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::mutate {

// Lowers by one the pop0 of a branch edge whose node sits at `node_level`;
// a level-8 node keeps its population in the container instead.
inline void lower_pop0(Edge& e, unsigned node_level) {
    if (node_level <= 7) e.add_pop0(node_level, -1);
}

namespace detail {

// RemoveBelow: bool(Edge& child, u8 child_level), true when the key was
// found (and removed) below the child.
template <std::size_t N, class RemoveBelow>
bool remove_in_linear_branch(NodeAlloc& alloc, Edge& e, unsigned L, u64 key,
                             RemoveBelow& remove_below) {
    BranchL<N>* node = e.ptr<BranchL<N>>();
    require(node != nullptr, "branch ptr");
    const unsigned nl = node->level;
    if (skip_mismatch_level(e, L, nl, key) != 0) return false;
    const u8 digit = static_cast<u8>(shr8(key, nl - 1));
    if (((node->summary >> (digit & 15)) & 1u) == 0) return false;
    const auto found = bits::find_byte_8(node->digits, node->count, digit);
    if (!found) return false;
    const std::size_t i = *found;
    require(i < N, "index out of bounds: linear branch digit beyond its capacity");
    Edge& child = node->children[i];
    if (!remove_below(child, static_cast<u8>(nl - 1))) return false;
    if (!child.is_empty()) {
        lower_pop0(e, nl);
        return true;
    }
    linear_remove_slot(node->digits, node->children, N, node->count, i);
    --node->count;
    if (node->count == 0) {
        node->summary = 0;
        alloc.release(node, sizeof(BranchL<N>), NODE_ALIGN);
        e = Edge{};
        return true;
    }
    u16 summary = 0;
    for (unsigned j = 0; j < node->count; ++j)
        summary = static_cast<u16>(summary | (1u << (node->digits[j] & 15)));
    node->summary = summary;
    lower_pop0(e, nl);
    if constexpr (N == 7) {
        if (node->count <= L7_SHRINK_AT) downgrade_l7_to_l3<false>(alloc, e);
    }
    return true;
}

template <class RemoveBelow>
bool remove_in_bitmap_branch(NodeAlloc& alloc, Edge& e, unsigned L, u64 key,
                             RemoveBelow& remove_below) {
    BranchB* node = e.ptr<BranchB>();
    require(node != nullptr, "branch ptr");
    const unsigned nl = node->level;
    if (skip_mismatch_level(e, L, nl, key) != 0) return false;
    const u8 digit = static_cast<u8>(shr8(key, nl - 1));
    const unsigned g = digit >> 5;
    if (!group_has(node->bitmap[g], digit)) return false;
    const std::size_t i = group_rank(node->bitmap[g], digit);
    Edge* sub = node->subarrays[g];
    require(sub != nullptr, "subarray");
    if (!remove_below(sub[i], static_cast<u8>(nl - 1))) return false;
    if (!sub[i].is_empty()) {
        lower_pop0(e, nl);
        return true;
    }
    const std::size_t c = node->group_counts[g];
    if (c == 1) {
        release_subarray(alloc, sub, 1);
        node->subarrays[g] = nullptr;
    } else if (capacity_class(c - 1) == capacity_class(c)) {
        std::memmove(static_cast<void*>(sub + i), sub + i + 1, (c - 1 - i) * sizeof(Edge));
        sub[c - 1] = Edge{};
    } else {
        Edge* fresh = take_subarray(alloc, c - 1);
        std::memcpy(static_cast<void*>(fresh), sub, i * sizeof(Edge));
        std::memcpy(static_cast<void*>(fresh + i), sub + i + 1, (c - 1 - i) * sizeof(Edge));
        release_subarray(alloc, sub, c);
        node->subarrays[g] = fresh;
    }
    node->bitmap[g] &= ~(u32{1} << (digit & 31));
    --node->group_counts[g];
    const unsigned total = bitmap_children(*node);
    if (total == 0) {
        alloc.release(node, sizeof(BranchB), NODE_ALIGN);
        e = Edge{};
        return true;
    }
    lower_pop0(e, nl);
    if (total <= B_SHRINK_AT) downgrade_b_to_l7<false>(alloc, e);
    return true;
}

template <class RemoveBelow>
bool remove_in_uncompressed_branch(NodeAlloc& alloc, Edge& e, unsigned L, u64 key,
                                   RemoveBelow& remove_below) {
    BranchU* node = e.ptr<BranchU>();
    require(node != nullptr, "branch ptr");
    Edge& child = node->children[static_cast<u8>(shr8(key, L - 1))];
    if (!remove_below(child, static_cast<u8>(L - 1))) return false;
    if (!child.is_empty()) {
        lower_pop0(e, L);
        return true;
    }
    // Counting stops as soon as the node is known to keep its form.
    unsigned count = 0;
    for (unsigned base = 0; base < 256 && count <= U_SHRINK_AT; base += 16) {
        for (unsigned d = base; d < base + 16; ++d) count += node->children[d].tag_byte() != 0;
    }
    if (count == 0) {
        alloc.release(node, sizeof(BranchU), NODE_ALIGN);
        e = Edge{};
        return true;
    }
    lower_pop0(e, L);
    if (count <= U_SHRINK_AT) downgrade_u_to_b<false>(alloc, e, static_cast<u8>(L));
    return true;
}

}  // namespace detail

// Removes `key` through the branch behind `e` (tags 1 to 4) in a slot of
// level L. `remove_below(child, child_level)` removes it from the child's
// subtree, returning whether it was there; nothing changes when it was not.
template <class RemoveBelow>
bool remove_branch_step(NodeAlloc& alloc, Edge& e, unsigned L, u64 key,
                        RemoveBelow&& remove_below) {
    switch (e.tag_byte()) {
        case TAG_BRANCH_L3:
            return detail::remove_in_linear_branch<3>(alloc, e, L, key, remove_below);
        case TAG_BRANCH_L7:
            return detail::remove_in_linear_branch<7>(alloc, e, L, key, remove_below);
        case TAG_BRANCH_B:
            return detail::remove_in_bitmap_branch(alloc, e, L, key, remove_below);
        case TAG_BRANCH_U:
            return detail::remove_in_uncompressed_branch(alloc, e, L, key, remove_below);
        default:
            fatal("valid edge tag");
    }
}

}  // namespace tolvane::mutate
