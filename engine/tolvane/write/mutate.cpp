// Exclusive set-flavour insert and remove.

#include <bit>
#include <cstring>
#include <span>
#include <vector>

#include "tolvane/core/bits.hpp"
#include "tolvane/core/forms.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/write/mutate_branch.hpp"
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

bool wrap_where_key_parts(NodeAlloc& alloc, Edge& e, unsigned slot_level, unsigned node_level,
                          u64 key, InsertPath& path) {
    const unsigned at = skip_mismatch_level(e, slot_level, node_level, key);
    if (at == 0) return false;
    path.flush_and_reset();
    wrap_skip_level<false>(alloc, e, static_cast<u8>(at), static_cast<u8>(slot_level),
                           e.pop0(node_level) + 1);
    return true;
}

void complete_insert(const DescentStack& stack, InsertPath& path) {
    for (std::size_t s = 0; s < stack.size; ++s) {
        if (stack.levels[s] <= 7) stack.edges[s]->add_pop0(stack.levels[s], 1);
        path.append(stack.edges[s], stack.levels[s]);
    }
}

namespace {

template <std::size_t N>
BranchStep insert_linear_branch(NodeAlloc& alloc, Edge*& slot, unsigned& level, u64 key,
                                DescentStack& stack, InsertPath& path) {
    Edge& e = *slot;
    BranchL<N>* node = e.ptr<BranchL<N>>();
    require(node != nullptr, "branch ptr");
    const unsigned nl = node->level;
    if (wrap_where_key_parts(alloc, e, level, nl, key, path)) return BranchStep::Reshaped;
    const u8 digit = static_cast<u8>(shr8(key, nl - 1));
    std::optional<unsigned> found;
    if ((node->summary >> (digit & 15)) & 1u) {
        if (auto idx = bits::find_byte_8(node->digits, node->count, digit)) found = *idx;
    }
    std::size_t i;
    if (found) {
        i = *found;
    } else if (node->count == N) {
        path.flush_and_reset();
        if constexpr (N == 3)
            upgrade_l3_to_l7<false>(alloc, e);
        else
            upgrade_l7_to_b<false>(alloc, e);
        return BranchStep::Reshaped;
    } else {
        i = linear_insert_slot(node->digits, node->children, N, node->count, digit);
        ++node->count;
        node->summary = static_cast<u16>(node->summary | (1u << (digit & 15)));
    }
    stack.push(&e, nl);
    slot = &node->children[i];
    level = nl - 1;
    return BranchStep::Descended;
}

BranchStep insert_bitmap_branch(NodeAlloc& alloc, Edge*& slot, unsigned& level, u64 key,
                                DescentStack& stack, InsertPath& path) {
    Edge& e = *slot;
    BranchB* node = e.ptr<BranchB>();
    require(node != nullptr, "branch ptr");
    const unsigned nl = node->level;
    if (wrap_where_key_parts(alloc, e, level, nl, key, path)) return BranchStep::Reshaped;
    const u8 digit = static_cast<u8>(shr8(key, nl - 1));
    const unsigned g = digit >> 5;
    const unsigned r = group_rank(node->bitmap[g], digit);
    if (!group_has(node->bitmap[g], digit)) {
        if (detail::bitmap_children(*node) >= B_MAX_CHILDREN) {
            path.flush_and_reset();
            // A skipping BranchB first gains an unskipped parent one level
            // up; the next pass finds it at its slot level and upgrades it.
            if (nl < level)
                wrap_skip_level<false>(alloc, e, static_cast<u8>(nl + 1), static_cast<u8>(level),
                                       e.pop0(nl) + 1);
            else
                upgrade_b_to_u<false>(alloc, e);
            return BranchStep::Reshaped;
        }
        const std::size_t n = node->group_counts[g];
        Edge* sub = node->subarrays[g];
        if (n > 0 && capacity_class(n + 1) == capacity_class(n)) {
            require(sub != nullptr, "subarray");
            std::memmove(static_cast<void*>(sub + r + 1), sub + r, (n - r) * sizeof(Edge));
            sub[r] = Edge{};
        } else {
            Edge* fresh = detail::take_subarray(alloc, n + 1);
            if (n > 0) {
                require(sub != nullptr, "subarray");
                std::memcpy(static_cast<void*>(fresh), sub, r * sizeof(Edge));
                std::memcpy(static_cast<void*>(fresh + r + 1), sub + r, (n - r) * sizeof(Edge));
                detail::release_subarray(alloc, sub, n);
            }
            node->subarrays[g] = fresh;
        }
        node->bitmap[g] |= u32{1} << (digit & 31);
        ++node->group_counts[g];
    }
    stack.push(&e, nl);
    slot = &node->subarrays[g][r];
    level = nl - 1;
    return BranchStep::Descended;
}

}  // namespace

BranchStep insert_branch_step(NodeAlloc& alloc, Edge*& slot, unsigned& level, u64 key,
                              DescentStack& stack, InsertPath& path) {
    switch (slot->tag_byte()) {
        case TAG_BRANCH_L3:
            return insert_linear_branch<3>(alloc, slot, level, key, stack, path);
        case TAG_BRANCH_L7:
            return insert_linear_branch<7>(alloc, slot, level, key, stack, path);
        case TAG_BRANCH_B:
            return insert_bitmap_branch(alloc, slot, level, key, stack, path);
        case TAG_BRANCH_U: {
            BranchU* node = slot->ptr<BranchU>();
            require(node != nullptr, "branch ptr");
            stack.push(slot, level);
            slot = &node->children[static_cast<u8>(shr8(key, level - 1))];
            level -= 1;
            return BranchStep::Descended;
        }
        default:
            fatal("valid edge tag");
    }
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
            outcome = insert_leaf::into_linear_leaf(exclusive, *e, *e, key, L, path,
                                                    [&](Edge& fresh, u64 k, SlotHolder) {
                                                        insert_with_path_flat(alloc, fresh, k, L,
                                                                              path);
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
