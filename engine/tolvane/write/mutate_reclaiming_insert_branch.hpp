#pragma once
// One branch level of a reclaiming insert, shared by the set and the map
// flavour, whose branches are the same nodes: test the skipped prefix, find or
// open the key's child, let the flavour insert below it, then count a new key
// in the handed slot.
//
// A step either changes the form of the node in the slot (a skip-level wrap or
// a growth, published inside the slot's bracket; the caller reads the slot
// again) or descends once. Descent brackets follow mutate_reclaiming.hpp; opening a
// child is bracketed with the branch's own word, which in the unversioned
// variant stays open through the descent below a linear branch and closes
// before a second bracket around the descent below a BranchB.

#include <cstddef>
#include <optional>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/bits.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/write/mutate_reclaiming.hpp"
#include "tolvane/write/mutate_reclaiming_branch.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate::reclaiming_detail {

// What one step at a node decided: whether the key was added, or nullopt when
// the node in the slot changed form and the slot must be read again.
using InsertStep = std::optional<bool>;

// Wraps the node in the slot under a new one-child BranchL3 at `at` (the
// level above the highest byte where its skipped prefix and the key part).
template <bool U>
InsertStep wrap_and_retry(const SlotGuard<U>& guard, Edge& slot, Edge e, unsigned at,
                          unsigned level, u64 population) {
    guard.begin();
    wrap_skip_level<true>(guard.alloc, e, static_cast<u8>(at), static_cast<u8>(level), population);
    publish_edge(slot, e);
    guard.end();
    return std::nullopt;
}

// Grows the branch in the slot into its next form (copy-on-write; the old
// node is marked obsolete and released inside the step).
template <bool U, class Grow>
InsertStep grow_and_retry(const SlotGuard<U>& guard, Edge& slot, Edge e, Grow&& grow) {
    guard.begin();
    grow(e);
    publish_edge(slot, e);
    guard.end();
    return std::nullopt;
}

// After the descent: a new key raises the slot's population by one and
// republishes it; a present key leaves the slot untouched.
template <bool U>
InsertStep count_if_added(const SlotGuard<U>& guard, Edge& slot, const Edge& e, unsigned width,
                          bool added) {
    if (added) guard.publish_count(slot, e, width, 1);
    return added;
}

template <bool U, std::size_t N, class InsertBelow>
InsertStep insert_in_linear_branch(const SlotGuard<U>& guard, Edge& slot, Edge e, u64 key,
                                   unsigned level, InsertBelow& insert_below) {
    auto* node = e.ptr<BranchL<N>>();
    require(node != nullptr, "branch ptr");
    const unsigned nl = node->level;
    if (const unsigned at = skip_mismatch_level(e, level, nl, key))
        return wrap_and_retry(guard, slot, e, at, level, e.pop0(nl) + 1);

    const u8 d = key_digit(key, nl);
    const unsigned count = node->count;
    std::optional<unsigned> found;
    if constexpr (N == 3) {
        for (unsigned i = 0; i < count && !found; ++i)
            if (node->digits[i] == d) found = i;
    } else {
        if ((node->summary >> (d & 15)) & 1u) found = bits::find_byte_8(node->digits, count, d);
    }

    NodeAlloc& alloc = guard.alloc;
    bool added;
    if (found) {
        Edge& child = node->children[*found];
        added =
            descend<U>(node->version, [&] { return insert_below(child, nl - 1, node->version); });
    } else if (count == N) {
        return grow_and_retry(guard, slot, e, [&](Edge& edge) {
            if constexpr (N == 3)
                upgrade_l3_to_l7<true>(alloc, edge);
            else
                upgrade_l7_to_b<true>(alloc, edge);
        });
    } else {
        node_version_begin(node->version);
        Edge& child = open_linear_child(*node, d);
        if constexpr (U) {
            added = insert_below(child, nl - 1, node->version);
            node_version_end(node->version);
        } else {
            node_version_end(node->version);
            added = insert_below(child, nl - 1, node->version);
        }
    }
    return count_if_added(guard, slot, e, nl, added);
}

template <bool U, class InsertBelow>
InsertStep insert_in_bitmap_branch(const SlotGuard<U>& guard, Edge& slot, Edge e, u64 key,
                                   unsigned level, InsertBelow& insert_below) {
    auto* node = e.ptr<BranchB>();
    require(node != nullptr, "branch ptr");
    const unsigned nl = node->level;
    if (const unsigned at = skip_mismatch_level(e, level, nl, key))
        return wrap_and_retry(guard, slot, e, at, level, e.pop0(nl) + 1);

    NodeAlloc& alloc = guard.alloc;
    const u8 d = key_digit(key, nl);
    const unsigned g = d >> 5;
    Edge* child;
    if (group_has(node->bitmap[g], d)) {
        require(node->subarrays[g] != nullptr, "subarray");
        child = &node->subarrays[g][group_rank(node->bitmap[g], d)];
    } else if (detail::bitmap_children(*node) >= B_MAX_CHILDREN) {
        // A BranchU never skips: a skipping node first gains a parent one
        // level up, and the next pass meets it unskipped and grows it.
        if (nl < level) return wrap_and_retry(guard, slot, e, nl + 1, level, e.pop0(nl) + 1);
        return grow_and_retry(guard, slot, e,
                              [&](Edge& edge) { upgrade_b_to_u<true>(alloc, edge); });
    } else {
        node_version_begin(node->version);
        child = &open_bitmap_child(alloc, *node, d);
        node_version_end(node->version);
    }
    const bool added =
        descend<U>(node->version, [&] { return insert_below(*child, nl - 1, node->version); });
    return count_if_added(guard, slot, e, nl, added);
}

template <bool U, class InsertBelow>
InsertStep insert_in_full_branch(const SlotGuard<U>& guard, Edge& slot, const Edge& e, u64 key,
                                 unsigned level, InsertBelow& insert_below) {
    auto* node = e.ptr<BranchU>();
    require(node != nullptr, "branch ptr");
    Edge& child = node->children[key_digit(key, level)];
    const bool added =
        descend<U>(node->version, [&] { return insert_below(child, level - 1, node->version); });
    return count_if_added(guard, slot, e, level, added);
}

// The key through the branch `e` (tags 1 to 4, read from `slot`, a slot of
// `level`). `insert_below(child, child_level, word)` inserts it below the
// child slot, whose holder word is `word`, and answers whether it was added.
template <bool U, class InsertBelow>
InsertStep insert_branch_step_reclaiming(const SlotGuard<U>& guard, Edge& slot, const Edge& e,
                                         u64 key, unsigned level, InsertBelow&& insert_below) {
    switch (e.tag_byte()) {
        case TAG_BRANCH_L3:
            return insert_in_linear_branch<U, 3>(guard, slot, e, key, level, insert_below);
        case TAG_BRANCH_L7:
            return insert_in_linear_branch<U, 7>(guard, slot, e, key, level, insert_below);
        case TAG_BRANCH_B:
            return insert_in_bitmap_branch(guard, slot, e, key, level, insert_below);
        case TAG_BRANCH_U:
            return insert_in_full_branch(guard, slot, e, key, level, insert_below);
        default:
            fatal("valid edge tag");
    }
}

}  // namespace tolvane::mutate::reclaiming_detail
