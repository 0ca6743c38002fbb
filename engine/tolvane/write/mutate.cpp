// Exclusive set-flavour insert and remove.

#include <bit>
#include <cstring>
#include <span>
#include <vector>

#include "tolvane/core/bits.hpp"
#include "tolvane/core/forms.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/insert_branch.hpp"
#include "tolvane/write/insert_leaf.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/write/mutate_leaf_build.hpp"
#include "tolvane/write/mutate_leaf_split.hpp"
#include "tolvane/write/mutate_remove.hpp"
#include "tolvane/write/mutate_remove_branch.hpp"
#include "tolvane/write/mutate_remove_leaf.hpp"
#include "tolvane/core/node.hpp"

namespace tolvane::mutate {

unsigned skip_mismatch_level(const Edge& edge, unsigned slot_level, unsigned node_level, u64 key) {
    if (node_level >= slot_level) return 0;
    const u64 diff = (edge.w1 ^ key) & shl8(LEVEL_MASK[slot_level - node_level], node_level);
    if (diff == 0) return 0;
    return (static_cast<unsigned>(63 - std::countl_zero(diff)) >> 3) + 1;
}

void complete_insert(const DescentStack& stack, InsertPath& path) {
    for (std::size_t s = 0; s < stack.size; ++s) {
        if (stack.levels[s] <= 7) stack.edges[s]->add_pop0(stack.levels[s], 1);
        path.append(stack.edges[s], stack.levels[s]);
    }
}

BranchStep insert_branch_step(NodeAlloc& alloc, Edge*& slot, unsigned& level, u64 key,
                              DescentStack& stack, InsertPath& path) {
    const reclaiming_detail::ExclusiveSlot exclusive{alloc};
    const insert_branch::Descent next =
        insert_branch::step(exclusive, *slot, *slot, key, level, path);
    if (next.child == nullptr) return BranchStep::Reshaped;
    stack.push(slot, next.level);
    slot = next.child;
    level = next.level - 1u;
    return BranchStep::Descended;
}

bool insert_with_path_flat(NodeAlloc& alloc, Edge& edge, u64 key, unsigned level,
                           InsertPath& path) {
    require(level >= 1 && level <= 8, "index out of bounds: slot level");
    using insert_leaf::Outcome;
    const reclaiming_detail::ExclusiveSlot exclusive{alloc};
    DescentStack stack;
    Edge* e = &edge;
    unsigned L = level;
    for (;;) {
        const u8 tag = e->tag_byte();
        Outcome outcome;
        if (tag == TAG_EMPTY) {
            outcome = insert_leaf::into_empty(exclusive, *e, key, L, path);
        } else if (is_branch_tag(tag)) {
            insert_branch_step(alloc, e, L, key, stack, path);
            continue;
        } else if (is_linear_leaf_tag(tag)) {
            outcome = insert_leaf::into_linear_leaf(
                exclusive, insert_leaf::SetFlavour{}, *e, *e, key, L, path,
                [&](Edge& fresh, u64 k, SlotHolder) {
                    insert_with_path_flat(alloc, fresh, k, L, path);
                });
        } else if (tag == TAG_LEAF_BITMAP) {
            outcome = insert_leaf::into_bitmap_leaf(exclusive, *e, *e, key, L, path);
        } else if (tag == TAG_FULL) {
            return false;
        } else {
            const EdgeKind kind = decode_tag(tag);
            require(kind.is_immediate(), "valid immediate tag");
            outcome = insert_leaf::into_immediate(exclusive, *e, *e, kind, key, path);
        }
        if (outcome == Outcome::Reshaped) continue;
        if (outcome == Outcome::Present) return false;
        complete_insert(stack, path);
        return true;
    }
}

}  // namespace tolvane::mutate

// ---------------------------------------------------------------------------
// Remove.

namespace tolvane::mutate {

bool remove(NodeAlloc& alloc, Edge& edge, u64 key, u8 level) {
    require(level >= 1 && level <= 8, "index out of bounds: slot level");
    const unsigned L = level;
    const reclaiming_detail::ExclusiveSlot exclusive{alloc};
    for (;;) {
        const u8 tag = edge.tag_byte();
        switch (tag) {
            case TAG_EMPTY:
                return false;
            case TAG_BRANCH_L3:
            case TAG_BRANCH_L7:
            case TAG_BRANCH_B:
            case TAG_BRANCH_U:
                return remove_branch_step(alloc, edge, L, key, [&](Edge& child, u8 child_level) {
                    return remove(alloc, child, key, child_level);
                });
            case TAG_LEAF_BITMAP:
                return remove_leaf::from_bitmap_leaf(exclusive, edge, edge, key, L);
            case TAG_FULL:
                remove_leaf::expand_full_edge(exclusive, edge, L);
                continue;
            default:
                break;
        }
        if (is_linear_leaf_tag(tag))
            return remove_leaf::from_linear_leaf(exclusive, edge, edge, key, L);
        const EdgeKind kind = decode_tag(tag);
        require(kind.is_immediate(), "valid edge tag");
        return remove_leaf::from_immediate(exclusive, edge, edge, kind, key);
    }
}

}  // namespace tolvane::mutate
