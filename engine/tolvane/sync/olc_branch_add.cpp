#include "tolvane/sync/olc_branch_add.hpp"

#include <cstring>

#include "tolvane/core/node.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_reclaiming.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::sync {
namespace {

using mutate::move_edge;
using mutate::publish_edge;

template <std::size_t N>
OlcStatus add_linear(const OlcWalk& walk, const Edge& child) {
    auto* node = static_cast<BranchL<N>*>(walk.branch.node);
    const u32 v = walk.branch.version;
    if (!olc_still(node->version, v)) return OlcStatus::Retry;
    if (walk.count >= N) return OlcStatus::Exclusive;
    if (!olc_lock(node->version, v)) return OlcStatus::Retry;
    const unsigned count = node->count;
    if (count >= N || olc_forced_failure()) {
        olc_abandon(node->version, v);
        return OlcStatus::Retry;
    }
    const u8 d = walk.branch.digit;
    u8 digits[8];
    std::memcpy(digits, node->digits, 8);
    unsigned p = 0;
    while (p < count && digits[p] < d) ++p;
    for (unsigned j = count; j > p; --j) {
        move_edge(node->children[j], node->children[j - 1]);
        digits[j] = digits[j - 1];
    }
    digits[p] = d;
    mutate::reclaiming_detail::store_digits(*node, digits);
    publish_edge(node->children[p], child);
    mutate::reclaiming_detail::store_shape(*node, static_cast<u8>(count + 1), node->level,
                                           static_cast<u16>(node->summary | (1u << (d & 15))));
    olc_unlock(node->version, v);
    return OlcStatus::New;
}

unsigned children_of(const BranchB* node) noexcept {
    unsigned total = 0;
    for (unsigned g = 0; g < 8; ++g) total += popcount32(load_relaxed(node->bitmap[g]));
    return total;
}

OlcStatus add_bitmap(NodeAlloc& alloc, const OlcWalk& walk, const Edge& child) {
    auto* node = static_cast<BranchB*>(walk.branch.node);
    const u32 v = walk.branch.version;
    const u8 d = walk.branch.digit;
    const unsigned g = d >> 5;
    // A full bitmap branch becomes uncompressed: the exclusive section's work.
    if (children_of(node) >= mutate::B_MAX_CHILDREN) return OlcStatus::Exclusive;
    const unsigned c = load_relaxed(node->group_counts[g]);
    if (c > 32) return OlcStatus::Retry;
    OlcBlocks blocks(alloc);
    Edge* fresh = nullptr;
    if (capacity_class(c + 1) != capacity_class(c))
        fresh = blocks.make<Edge>(edge_subarray_bytes(c + 1));
    if (!olc_lock(node->version, v)) {
        blocks.give_back();
        return OlcStatus::Retry;
    }
    const u32 group = node->bitmap[g];
    OlcStatus refused = OlcStatus::New;
    if (group_has(group, d) || node->group_counts[g] != c || olc_forced_failure())
        refused = OlcStatus::Retry;
    else if (children_of(node) >= mutate::B_MAX_CHILDREN)
        refused = OlcStatus::Exclusive;
    if (refused != OlcStatus::New) {
        blocks.give_back();
        olc_abandon(node->version, v);
        return refused;
    }
    const unsigned r = group_rank(group, d);
    Edge* old = node->subarrays[g];
    if (fresh) {
        for (unsigned j = 0; j < r; ++j) fresh[j] = old[j];
        fresh[r] = child;
        for (unsigned j = r; j < c; ++j) fresh[j + 1] = old[j];
        store_release(node->subarrays[g], fresh);
        if (c > 0) blocks.replaced(old, edge_subarray_bytes(c), LEAF_ALIGN);
    } else {
        for (unsigned j = c; j > r; --j) move_edge(old[j], old[j - 1]);
        publish_edge(old[r], child);
    }
    store_relaxed(node->group_counts[g], static_cast<u16>(c + 1));
    // After the subarray: a reader that sees the bit sees the edge too.
    store_release(node->bitmap[g], group | (u32{1} << (d & 31)));
    olc_unlock(node->version, v);
    blocks.retire();
    return OlcStatus::New;
}

}  // namespace

OlcStatus olc_add_child(NodeAlloc& alloc, const OlcWalk& walk, const Edge& child) {
    switch (walk.branch.kind) {
        case TAG_BRANCH_L3:
            return add_linear<3>(walk, child);
        case TAG_BRANCH_L7:
            return add_linear<7>(walk, child);
        default:
            return add_bitmap(alloc, walk, child);
    }
}

OlcStatus olc_fill_slot(const OlcStep& holder, Edge& slot, const Edge& child) {
    if (!olc_lock(*holder.word, holder.version)) return OlcStatus::Retry;
    if ((load_relaxed(slot.w1) >> 56) != TAG_EMPTY || olc_forced_failure()) {
        olc_abandon(*holder.word, holder.version);
        return OlcStatus::Retry;
    }
    publish_edge(slot, child);
    olc_unlock(*holder.word, holder.version);
    return OlcStatus::New;
}

}  // namespace tolvane::sync
