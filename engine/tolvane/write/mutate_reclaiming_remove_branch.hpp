#pragma once
// One branch level of a reclaiming remove, shared by the set and the map
// flavour, whose branches are the same nodes: find the key's child (after the
// skipped-prefix test), let the flavour remove the key below it, then repair
// the branch on the way back up. The decisions are the exclusive remove's
// (mutate_remove_branch.hpp); only how memory changes differs.
//
// Every test that finds the key absent comes before any change. A child that
// keeps keys only lowers the handed slot's population. An emptied child is
// closed inside a bracket of the branch's own word; then, inside the slot's
// bracket, a branch left with no child is marked obsolete, released and its
// slot emptied, any other one lowers its population, shrinks at the bounds of
// mutate_branch.hpp and is republished. Map = true: a population field
// never falls below 0.

#include <cstddef>
#include <optional>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/bits.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_free.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/write/mutate_reclaiming.hpp"
#include "tolvane/write/mutate_reclaiming_branch.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate::reclaiming_detail {

// One key fewer in a population field of `width` bytes; a level-8 edge has
// no such field.
template <bool Map>
inline void lower_population(Edge& e, unsigned width) {
    if (width > 7) return;
    if constexpr (Map) {
        if (e.pop0(width) == 0) return;
    }
    e.add_pop0(width, -1);
}

// Inside the slot's bracket, after a child of the branch `e` was closed and
// `left` children remain: `release()` gives the emptied node back and the slot
// is emptied, or `shrink(e)` demotes the lowered edge when it must.
template <bool Map, bool U, class Release, class Shrink>
void settle_branch(const SlotGuard<U>& guard, Edge& slot, Edge e, unsigned width, unsigned left,
                   Release&& release, Shrink&& shrink) {
    guard.begin();
    if (left == 0) {
        release();
        publish_edge(slot, Edge::empty());
    } else {
        lower_population<Map>(e, width);
        shrink(e);
        publish_edge(slot, e);
    }
    guard.end();
}

// The descent below `child` of a branch whose word is `word`; after a removal
// that left the child with keys, the lowered slot is republished. Returns
// nullopt when the key was absent, else whether the child emptied.
template <bool Map, bool U, class RemoveBelow>
std::optional<bool> remove_below_child(const SlotGuard<U>& guard, Edge& slot, Edge e,
                                       unsigned width, Edge& child, unsigned child_level, u32& word,
                                       RemoveBelow& remove_below) {
    const bool removed = descend<U>(word, [&] { return remove_below(child, child_level, word); });
    if (!removed) return std::nullopt;
    if (read_edge(child).tag_byte() == TAG_EMPTY) return true;
    lower_population<Map>(e, width);
    guard.publish(slot, e);
    return false;
}

template <bool Map, bool U, std::size_t N, class RemoveBelow>
bool remove_in_linear_branch(const SlotGuard<U>& guard, Edge& slot, Edge e, u64 key, unsigned level,
                             RemoveBelow& remove_below) {
    auto* node = e.ptr<BranchL<N>>();
    require(node != nullptr, "branch ptr");
    const unsigned nl = node->level;
    if (!prefix_matches(e, level, nl, key)) return false;
    const u8 d = key_digit(key, nl);
    if (!((node->summary >> (d & 15)) & 1u)) return false;
    const std::optional<unsigned> found = bits::find_byte_8(node->digits, node->count, d);
    if (!found) return false;
    const unsigned at = *found;
    require(at < N, "index out of bounds: linear branch child");
    const std::optional<bool> emptied = remove_below_child<Map>(
        guard, slot, e, nl, node->children[at], nl - 1, node->version, remove_below);
    if (!emptied) return false;
    if (!*emptied) return true;

    node_version_begin(node->version);
    const unsigned left = close_linear_child(*node, at);
    node_version_end(node->version);
    NodeAlloc& alloc = guard.alloc;
    settle_branch<Map>(
        guard, slot, e, nl, left, [&] { free_branch_node(alloc, node); },
        [&](Edge& edge) {
            if constexpr (N == 7) {
                if (left <= L7_SHRINK_AT) downgrade_l7_to_l3<true>(alloc, edge);
            }
        });
    return true;
}

template <bool Map, bool U, class RemoveBelow>
bool remove_in_bitmap_branch(const SlotGuard<U>& guard, Edge& slot, Edge e, u64 key, unsigned level,
                             RemoveBelow& remove_below) {
    auto* node = e.ptr<BranchB>();
    require(node != nullptr, "branch ptr");
    const unsigned nl = node->level;
    if (!prefix_matches(e, level, nl, key)) return false;
    const u8 d = key_digit(key, nl);
    const unsigned g = d >> 5;
    if (!group_has(node->bitmap[g], d)) return false;
    Edge* sub = node->subarrays[g];
    require(sub != nullptr, "subarray");
    const std::optional<bool> emptied =
        remove_below_child<Map>(guard, slot, e, nl, sub[group_rank(node->bitmap[g], d)], nl - 1,
                                node->version, remove_below);
    if (!emptied) return false;
    if (!*emptied) return true;

    NodeAlloc& alloc = guard.alloc;
    node_version_begin(node->version);
    const unsigned left = close_bitmap_child(alloc, *node, d);
    node_version_end(node->version);
    settle_branch<Map>(
        guard, slot, e, nl, left,
        [&] {
            mark_obsolete(alloc, node->version);
            alloc.release(node, BRANCH_B_BYTES, NODE_ALIGN);
        },
        [&](Edge& edge) {
            if (left <= B_SHRINK_AT) downgrade_b_to_l7<true>(alloc, edge);
        });
    return true;
}

template <bool Map, bool U, class RemoveBelow>
bool remove_in_full_branch(const SlotGuard<U>& guard, Edge& slot, Edge e, u64 key, unsigned level,
                           RemoveBelow& remove_below) {
    auto* node = e.ptr<BranchU>();
    require(node != nullptr, "branch ptr");
    const std::optional<bool> emptied =
        remove_below_child<Map>(guard, slot, e, level, node->children[key_digit(key, level)],
                                level - 1, node->version, remove_below);
    if (!emptied) return false;
    if (!*emptied) return true;

    // A BranchU changes nothing of its own when a child empties: only the
    // slot's bracket, around the demotion or the release.
    NodeAlloc& alloc = guard.alloc;
    const unsigned left = u_children_up_to_shrink(*node);
    settle_branch<Map>(
        guard, slot, e, level, left,
        [&] {
            mark_obsolete(alloc, node->version);
            alloc.release(node, BRANCH_U_BYTES, NODE_ALIGN);
        },
        [&](Edge& edge) {
            if (left <= U_SHRINK_AT) downgrade_u_to_b<true>(alloc, edge, static_cast<u8>(level));
        });
    return true;
}

// Removes the key through the branch `e` (tags 1 to 4, read from `slot`, a
// slot of `level`). `remove_below(child, child_level, word)` removes it below
// the child slot, whose holder word is `word`, and answers whether it was
// there; nothing changes when it was not.
template <bool Map, bool U, class RemoveBelow>
bool remove_branch_step_reclaiming(const SlotGuard<U>& guard, Edge& slot, const Edge& e, u64 key,
                            unsigned level, RemoveBelow&& remove_below) {
    switch (e.tag_byte()) {
        case TAG_BRANCH_L3:
            return remove_in_linear_branch<Map, U, 3>(guard, slot, e, key, level, remove_below);
        case TAG_BRANCH_L7:
            return remove_in_linear_branch<Map, U, 7>(guard, slot, e, key, level, remove_below);
        case TAG_BRANCH_B:
            return remove_in_bitmap_branch<Map>(guard, slot, e, key, level, remove_below);
        case TAG_BRANCH_U:
            return remove_in_full_branch<Map>(guard, slot, e, key, level, remove_below);
        default:
            fatal("valid edge tag");
    }
}

}  // namespace tolvane::mutate::reclaiming_detail
