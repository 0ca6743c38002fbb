#pragma once
// Reclaiming map-flavour insert: one key with its value into a tree that
// optimistic readers may walk while it runs. It builds exactly the tree the
// exclusive insert (mutate_map_insert.hpp) builds from the same operations:
// same growth, same skip-level wraps, same leaf forms and thresholds, same
// counts. What differs is how memory changes (see mutate_map_occ_leaf.hpp for
// the leaf level):
//
//   - a branch that grows is rebuilt by the reclaiming growth steps, which
//     mark the old node obsolete and release it (retire it when deferred);
//   - a child opened in a branch with room is opened in place inside a
//     bracket of that branch's own word;
//   - the walk recurses one frame per slot; each frame works on a private
//     copy of its slot, publishes it (word 1, then word 0 with release), and
//     after a growth or wrap reads the slot again;
//   - after a child frame added the key, the frame adds one to its slot's
//     population and republishes it (unchanged at level 8); a present key
//     stops every frame above it from writing anything;
//   - the insert path is flushed and emptied on entry and never refilled.
//
// Members, chosen at compile time:
//
//   KeepExisting  false: a present key's value is overwritten and the old one
//                 reported; true: it is left and reported (get-or-insert)
//   Unversioned   true: no arguments beyond the path. Each branch's own word
//                 is held odd around the descent below it (for a child opened
//                 in a linear branch the opening bracket stays open through
//                 the descent), and no frame brackets its own slot.
//                 false: every change of a frame's slot, and of the leaf or
//                 value array behind it, is bracketed with the slot's holder
//                 word: `caller_word` when bit 0 of `bump_node_word` is set
//                 (the version word of the branch holding the slot, or a
//                 private word for a subtree no reader can reach), else the
//                 tree word while the allocator's root-covered flag is 1, else
//                 nothing. No word is held across a descent.
//   Occ           always true in this family.
//
// The result record and its meaning are the exclusive insert's: existed, the
// old value for a present key (not written for a new one), and the key's
// value word in the tree. The caller counts a new key in its own population.

#include <optional>

#include "tolvane/alloc.hpp"
#include "tolvane/bits.hpp"
#include "tolvane/fatal.hpp"
#include "tolvane/mutate_branch.hpp"
#include "tolvane/mutate_map_insert.hpp"
#include "tolvane/mutate_map_leaf.hpp"
#include "tolvane/mutate_map_occ_leaf.hpp"
#include "tolvane/mutate_occ.hpp"
#include "tolvane/mutate_occ_branch.hpp"
#include "tolvane/mutate_occ_insert.hpp"
#include "tolvane/mutate_path.hpp"
#include "tolvane/node.hpp"
#include "tolvane/types.hpp"
#include "tolvane/version.hpp"

namespace tolvane::mutate_map {

namespace occ_detail {

using mutate::node_version_begin;
using mutate::node_version_end;
using mutate::read_edge;
using mutate::occ_detail::descend;
using mutate::occ_detail::grow_and_retry;
using mutate::occ_detail::key_digit;
using mutate::occ_detail::wrap_and_retry;

// After the descent below a branch in the slot: a new key adds one to the
// slot's population (width = the branch's level; none at level 8) and
// republishes it; a present key changes nothing here.
template <bool U>
Frame count_new_key(const SlotGuard<U>& guard, const InsertResult& out, Edge& slot, const Edge& e,
                    unsigned width) {
    if (out.existed == 0) guard.publish_count(slot, e, width, 1);
    return Frame::Done;
}

template <bool K, bool U, std::size_t N>
Frame insert_below_linear_branch(const SlotGuard<U>& guard, InsertResult& out, Edge& slot, Edge e,
                                 u64 key, u64 value, unsigned level, InsertPath& path) {
    auto* node = e.ptr<BranchL<N>>();
    require(node != nullptr, "branch ptr");
    const unsigned nl = node->level;
    if (const unsigned at = mutate::skip_mismatch_level(e, level, nl, key)) {
        wrap_and_retry(guard, slot, e, at, level, e.pop0(nl) + 1);
        return Frame::Again;
    }
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
    auto below = [&](Edge& child) {
        insert_frame<K, U>(out, alloc, child, key, value, nl - 1, path, 1, &node->version);
        return true;
    };
    if (found) {
        Edge& child = node->children[*found];
        descend<U>(node->version, [&] { return below(child); });
    } else if (count == N) {
        grow_and_retry(guard, slot, e, [&](Edge& edge) {
            if constexpr (N == 3)
                mutate::upgrade_l3_to_l7<true>(alloc, edge);
            else
                mutate::upgrade_l7_to_b<true>(alloc, edge);
        });
        return Frame::Again;
    } else {
        node_version_begin(node->version);
        Edge& child = mutate::occ_detail::open_linear_child(*node, d);
        if constexpr (U) {
            below(child);
            node_version_end(node->version);
        } else {
            node_version_end(node->version);
            below(child);
        }
    }
    return count_new_key(guard, out, slot, e, nl);
}

template <bool K, bool U>
Frame insert_below_bitmap_branch(const SlotGuard<U>& guard, InsertResult& out, Edge& slot, Edge e,
                                 u64 key, u64 value, unsigned level, InsertPath& path) {
    auto* node = e.ptr<BranchB>();
    require(node != nullptr, "branch ptr");
    const unsigned nl = node->level;
    if (const unsigned at = mutate::skip_mismatch_level(e, level, nl, key)) {
        wrap_and_retry(guard, slot, e, at, level, e.pop0(nl) + 1);
        return Frame::Again;
    }
    NodeAlloc& alloc = guard.alloc;
    const u8 d = key_digit(key, nl);
    const unsigned g = d >> 5;
    Edge* child;
    if (group_has(node->bitmap[g], d)) {
        require(node->subarrays[g] != nullptr, "subarray");
        child = &node->subarrays[g][group_rank(node->bitmap[g], d)];
    } else if (mutate::detail::bitmap_children(*node) >= mutate::B_MAX_CHILDREN) {
        // A BranchU never skips: a skipping node first gains a parent one
        // level up, and the next pass meets it unskipped and grows it.
        if (nl < level) {
            wrap_and_retry(guard, slot, e, nl + 1, level, e.pop0(nl) + 1);
        } else {
            grow_and_retry(guard, slot, e,
                           [&](Edge& edge) { mutate::upgrade_b_to_u<true>(alloc, edge); });
        }
        return Frame::Again;
    } else {
        node_version_begin(node->version);
        child = &mutate::occ_detail::open_bitmap_child(alloc, *node, d);
        node_version_end(node->version);
    }
    descend<U>(node->version, [&] {
        insert_frame<K, U>(out, alloc, *child, key, value, nl - 1, path, 1, &node->version);
        return true;
    });
    return count_new_key(guard, out, slot, e, nl);
}

template <bool K, bool U>
Frame insert_below_full_branch(const SlotGuard<U>& guard, InsertResult& out, Edge& slot,
                               const Edge& e, u64 key, u64 value, unsigned level,
                               InsertPath& path) {
    auto* node = e.ptr<BranchU>();
    require(node != nullptr, "branch ptr");
    Edge& child = node->children[key_digit(key, level)];
    descend<U>(node->version, [&] {
        insert_frame<K, U>(out, guard.alloc, child, key, value, level - 1, path, 1, &node->version);
        return true;
    });
    return count_new_key(guard, out, slot, e, level);
}

template <bool K, bool U>
void insert_frame(InsertResult& out, NodeAlloc& alloc, Edge& slot, u64 key, u64 value,
                  unsigned level, InsertPath& path, u64 bump_node_word, u32* caller_word) {
    path.flush_and_reset();
    const SlotGuard<U> guard{alloc, bump_node_word, caller_word};
    for (;;) {
        const Edge e = read_edge(slot);
        const EdgeKind kind = e.tag();
        // A map immediate keeps its keys in edge bytes 8..14; a wider one is
        // as broken as an undecodable tag.
        if (kind.is_invalid() || (kind.is_immediate() && !fits_map_immediate(kind)))
            fatal("valid edge tag");
        if (kind.is_immediate())
            return insert_into_immediate<K>(guard, out, slot, e, kind, key, value);

        Frame frame = Frame::Done;
        switch (kind.kind) {
            case TAG_EMPTY:
                if (level == 8) {
                    // The root slot always holds a branch of level 8.
                    auto* node = mutate::detail::take_node<BranchL3>(alloc);
                    node->level = 8;
                    Edge fresh;
                    fresh.set_ptr(node);
                    fresh.set_tag(TAG_BRANCH_L3);
                    guard.publish(slot, fresh);
                    continue;
                }
                return insert_into_empty(guard, out, slot, key, value, level);
            case TAG_BRANCH_L3:
                frame = insert_below_linear_branch<K, U, 3>(guard, out, slot, e, key, value, level,
                                                            path);
                break;
            case TAG_BRANCH_L7:
                frame = insert_below_linear_branch<K, U, 7>(guard, out, slot, e, key, value, level,
                                                            path);
                break;
            case TAG_BRANCH_B:
                frame =
                    insert_below_bitmap_branch<K, U>(guard, out, slot, e, key, value, level, path);
                break;
            case TAG_BRANCH_U:
                frame =
                    insert_below_full_branch<K, U>(guard, out, slot, e, key, value, level, path);
                break;
            case TAG_LEAF_BITMAP:
                frame = insert_into_bitmap_leaf<K>(guard, out, slot, e, key, value, level);
                break;
            case TAG_FULL:
                fatal(
                    "internal error: entered unreachable code: full-tolvane edges are set-flavor "
                    "only");
            default:  // tags 5..11; 13..15 do not decode
                frame = insert_into_linear_leaf<K>(guard, out, slot, e, key, value, level, path);
                break;
        }
        if (frame == Frame::Done) return;
    }
}

}  // namespace occ_detail

// The unversioned members: for trees whose root slot no tree word guards
// (the integer engines in local mode included).
template <bool KeepExisting, bool Occ, bool Unversioned>
    requires(Occ && Unversioned)
void map_insert_with_path_occ(InsertResult& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 value,
                              u32 level, InsertPath& path) {
    occ_detail::insert_frame<KeepExisting, true>(out, alloc, edge, key, value, level, path, 0,
                                                 nullptr);
}

// The versioned members: bit 0 of `bump_node_word` set means `caller_word`
// guards `edge`; clear means `edge` is the root slot (tree word while the
// allocator covers the root; `caller_word` is then not read).
template <bool KeepExisting, bool Occ, bool Unversioned>
    requires(Occ && !Unversioned)
void map_insert_with_path_occ(InsertResult& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 value,
                              u32 level, InsertPath& path, u64 bump_node_word, u32* caller_word) {
    occ_detail::insert_frame<KeepExisting, false>(out, alloc, edge, key, value, level, path,
                                                  bump_node_word, caller_word);
}

}  // namespace tolvane::mutate_map
