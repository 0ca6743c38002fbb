#pragma once
// Branch level of the insert, one body for the set and the map flavour and
// for every write mode: what the key does at a branch edge (tags 1 to 4). It
// wraps a node whose skipped prefix parts from the key under a new BranchL3,
// grows a full branch into its next form, or finds or opens the key's child
// slot and names it. The slot type decides how each change is written
// (mutate_reclaiming.hpp), as at the leaf level (insert_leaf.hpp):
//
//   ExclusiveSlot   the node changes in place with plain stores; the old node
//                   of a growth goes straight back to the allocator
//   SlotGuard<U>    a new form is built on the private copy `e` and published
//                   inside the slot's bracket, the old node marked obsolete
//                   and released (retired when deferred); a child is opened in
//                   place with single atomic stores inside the branch's own
//                   bracket, which the unversioned mode keeps open through the
//                   descent below a linear branch
//
// The insert path is flushed before every change of shape, so it never names
// an edge that moved (the reclaiming walks keep it empty throughout).
//
// What a walk does with the named child is its own: the exclusive walk pushes
// the branch on its descent stack and loops (mutate.cpp), the reclaiming walk
// recurses into the child and then counts a new key in its own slot
// (`descend_reclaiming` below).

#include <cstddef>
#include <cstring>
#include <optional>

#include "tolvane/core/bits.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/write/mutate_reclaiming.hpp"
#include "tolvane/write/mutate_reclaiming_branch.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate::insert_branch {

using reclaiming_detail::ExclusiveSlot;
using reclaiming_detail::key_digit;
using reclaiming_detail::SlotGuard;

// Where one step leaves the walk. No child: the node in the slot changed form
// or gained a parent, and the walk dispatches on the slot again.
struct Descent {
    Edge* child = nullptr;  // the key's child slot, empty when just opened
    u32* word = nullptr;    // the branch's version word, the child slot's holder
    u8 level = 0;           // the branch's own level (a BranchU's slot level)
    bool held = false;      // the branch's own bracket is still open
};

// Rebuilds the node in the slot into another form: `change` rewrites a copy
// of the edge, which is stored inside the slot's bracket.
template <class Slot, class Change>
void change_form(const Slot& out, Edge& slot, Edge e, Change&& change) {
    out.begin();
    change(e);
    out.store_edge(slot, e);
    out.end();
}

// Puts a one-child BranchL3 at `at` above the node in the slot, whose
// skipped prefix parts from the key at byte at - 1.
template <class Slot>
void wrap_in_slot(const Slot& out, Edge& slot, const Edge& e, unsigned at, unsigned level,
                  u64 population) {
    change_form(out, slot, e, [&](Edge& edge) {
        wrap_skip_level<Slot::kReclaiming>(out.alloc, edge, static_cast<u8>(at),
                                           static_cast<u8>(level), population);
    });
}

// ---------------------------------------------------------------------------
// A child opened for an absent digit in a branch with room, by mode.

// Plain moves: nobody else sees the node.
template <std::size_t N>
Descent open_child(const ExclusiveSlot&, BranchL<N>& node, u8 d) {
    const std::size_t i = linear_insert_slot(node.digits, node.children, N, node.count, d);
    ++node.count;
    node.summary = static_cast<u16>(node.summary | (1u << (d & 15)));
    return {&node.children[i], &node.version, node.level, false};
}

inline Descent open_child(const ExclusiveSlot& out, BranchB& node, u8 d) {
    const unsigned g = d >> 5;
    const unsigned r = group_rank(node.bitmap[g], d);
    const std::size_t n = node.group_counts[g];
    Edge* sub = node.subarrays[g];
    if (n > 0 && capacity_class(n + 1) == capacity_class(n)) {
        require(sub != nullptr, "subarray");
        std::memmove(static_cast<void*>(sub + r + 1), sub + r, (n - r) * sizeof(Edge));
        sub[r] = Edge{};
    } else {
        Edge* fresh = detail::take_subarray(out.alloc, n + 1);
        if (n > 0) {
            require(sub != nullptr, "subarray");
            std::memcpy(static_cast<void*>(fresh), sub, r * sizeof(Edge));
            std::memcpy(static_cast<void*>(fresh + r + 1), sub + r, (n - r) * sizeof(Edge));
            detail::release_subarray(out.alloc, sub, n);
        }
        node.subarrays[g] = fresh;
        sub = fresh;
    }
    node.bitmap[g] |= u32{1} << (d & 31);
    ++node.group_counts[g];
    return {&sub[r], &node.version, node.level, false};
}

// Inside the branch's own bracket. The unversioned mode leaves a linear
// branch's bracket open for the descent below the new child; a BranchB's
// closes here and the walk opens another around the descent.
template <bool U, std::size_t N>
Descent open_child(const SlotGuard<U>&, BranchL<N>& node, u8 d) {
    node_version_begin(node.version);
    Edge& child = reclaiming_detail::open_linear_child(node, d);
    if constexpr (!U) node_version_end(node.version);
    return {&child, &node.version, node.level, U};
}

template <bool U>
Descent open_child(const SlotGuard<U>& out, BranchB& node, u8 d) {
    node_version_begin(node.version);
    Edge& child = reclaiming_detail::open_bitmap_child(out.alloc, node, d);
    node_version_end(node.version);
    return {&child, &node.version, node.level, false};
}

// ---------------------------------------------------------------------------
// The step itself.

template <class Slot>
Descent wrap(const Slot& out, Edge& slot, const Edge& e, unsigned at, unsigned level,
             unsigned node_level, InsertPath& path) {
    path.flush_and_reset();
    // Counted after the flush: in the exclusive walk `e` is the slot itself.
    wrap_in_slot(out, slot, e, at, level, e.pop0(node_level) + 1);
    return {};
}

template <class Slot, class Grow>
Descent grow(const Slot& out, Edge& slot, const Edge& e, InsertPath& path, Grow&& grow_node) {
    path.flush_and_reset();
    change_form(out, slot, e, grow_node);
    return {};
}

// The steps are forced inline into the walks: as calls, their frames and the
// returned Descent cost the exclusive walk more than their bodies.

// The summary rejects most absent digits without reading them.
template <class Slot, std::size_t N>
[[gnu::always_inline]] inline Descent through_linear(const Slot& out, Edge& slot, const Edge& e,
                                                     u64 key, unsigned level, InsertPath& path) {
    auto* node = e.ptr<BranchL<N>>();
    require(node != nullptr, "branch ptr");
    const unsigned nl = node->level;
    if (const unsigned at = skip_mismatch_level(e, level, nl, key))
        return wrap(out, slot, e, at, level, nl, path);
    const u8 d = key_digit(key, nl);
    if ((node->summary >> (d & 15)) & 1u) {
        if (const auto i = bits::find_byte_8(node->digits, node->count, d))
            return {&node->children[*i], &node->version, static_cast<u8>(nl), false};
    }
    if (node->count == N) {
        return grow(out, slot, e, path, [&](Edge& edge) {
            if constexpr (N == 3)
                upgrade_l3_to_l7<Slot::kReclaiming>(out.alloc, edge);
            else
                upgrade_l7_to_b<Slot::kReclaiming>(out.alloc, edge);
        });
    }
    return open_child(out, *node, d);
}

template <class Slot>
[[gnu::always_inline]] inline Descent through_bitmap(const Slot& out, Edge& slot, const Edge& e,
                                                     u64 key, unsigned level, InsertPath& path) {
    auto* node = e.ptr<BranchB>();
    require(node != nullptr, "branch ptr");
    const unsigned nl = node->level;
    if (const unsigned at = skip_mismatch_level(e, level, nl, key))
        return wrap(out, slot, e, at, level, nl, path);
    const u8 d = key_digit(key, nl);
    const unsigned g = d >> 5;
    if (group_has(node->bitmap[g], d)) {
        require(node->subarrays[g] != nullptr, "subarray");
        return {&node->subarrays[g][group_rank(node->bitmap[g], d)], &node->version,
                static_cast<u8>(nl), false};
    }
    if (detail::bitmap_children(*node) >= B_MAX_CHILDREN) {
        // A BranchU never skips: a skipping node first gains a parent one
        // level up, and the next pass meets it unskipped and grows it.
        if (nl < level) return wrap(out, slot, e, nl + 1, level, nl, path);
        return grow(out, slot, e, path,
                    [&](Edge& edge) { upgrade_b_to_u<Slot::kReclaiming>(out.alloc, edge); });
    }
    return open_child(out, *node, d);
}

// The key at the branch `e` (tags 1 to 4) read from `slot`, a slot of
// `level`: either the child slot to continue in, or no child when the slot
// now holds a new form.
template <class Slot>
[[gnu::always_inline]] inline Descent step(const Slot& out, Edge& slot, const Edge& e, u64 key,
                                           unsigned level, InsertPath& path) {
    switch (e.tag_byte()) {
        case TAG_BRANCH_L3:
            return through_linear<Slot, 3>(out, slot, e, key, level, path);
        case TAG_BRANCH_L7:
            return through_linear<Slot, 7>(out, slot, e, key, level, path);
        case TAG_BRANCH_B:
            return through_bitmap(out, slot, e, key, level, path);
        case TAG_BRANCH_U: {
            auto* node = e.ptr<BranchU>();
            require(node != nullptr, "branch ptr");
            return {&node->children[key_digit(key, level)], &node->version,
                    static_cast<u8>(level), false};
        }
        default:
            fatal("valid edge tag");
    }
}

// ---------------------------------------------------------------------------
// The reclaiming walk's use of a step.

// Whether the key was added, or nullopt when the slot must be read again.
using InsertStep = std::optional<bool>;

// One step at the branch `e` read from `slot`, then the descent:
// `insert_below(child, child_level, word)` inserts the key below the child
// slot, whose holder word is `word`, and answers whether it was added. The
// unversioned mode holds the branch's word odd across the descent. A new key
// raises the slot's population by one and republishes it; a present key
// leaves the slot untouched.
template <bool U, class InsertBelow>
InsertStep descend_reclaiming(const SlotGuard<U>& guard, Edge& slot, const Edge& e, u64 key,
                              unsigned level, InsertPath& path, InsertBelow&& insert_below) {
    const Descent next = step(guard, slot, e, key, level, path);
    if (next.child == nullptr) return std::nullopt;
    if constexpr (U) {
        if (!next.held) node_version_begin(*next.word);
    }
    const bool added = insert_below(*next.child, next.level - 1u, *next.word);
    if constexpr (U) node_version_end(*next.word);
    if (added) guard.publish_count(slot, e, next.level, 1);
    return added;
}

}  // namespace tolvane::mutate::insert_branch
