#include "tolvane/sync/fold.hpp"

#include <bit>

#include "tolvane/core/node.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::sync {

namespace {

// Keys of a tag that has no node to walk (leaves, immediates, full edges,
// empty and invalid tags); `level` is the slot level.
u64 leaf_count(u64 w1, u8 tag, unsigned level) {
    if (tag >= TAG_LEAF_1 && tag <= TAG_LEAF_7) return (w1 & LEVEL_MASK[tag - TAG_LEAF_BASE]) + 1;
    if (tag == TAG_LEAF_BITMAP) return ((w1 & 0xFF) + 1);
    if (tag == TAG_FULL) return shl8(1, level);
    if (tag >= 16 && tag < TAG_FULL) {
        const unsigned width = tag >> 4, count = (tag & 15u) + 1;
        return width * count < 16 ? count : 0;
    }
    return 0;
}

void rewrite_pop0(Edge& edge, unsigned level, u64 sum) {
    if (level < 1 || level > 7) return;
    const u64 m = LEVEL_MASK[level];
    const u64 w1 = load_relaxed(edge.w1);
    store_relaxed(edge.w1, (w1 & ~m) | (m & (sum == 0 ? 0 : sum - 1)));
}

template <class Node, class Visit>
void visit_linear(Node& node, Visit& visit) {
    const unsigned n = node.count < Node::CAPACITY ? node.count : Node::CAPACITY;
    for (unsigned i = 0; i < n; ++i)
        if (node.children[i].tag_byte() != TAG_EMPTY) visit(node.children[i], node.digits[i]);
}

// Calls visit(child edge, digit) for every non-empty child of the branch
// behind `edge`; `level` is the branch's node level.
template <class Visit>
void for_each_child(const Edge& edge, Visit&& visit) {
    const u8 tag = edge.tag_byte();
    if (tag == TAG_BRANCH_L3) {
        visit_linear(*edge.ptr<BranchL3>(), visit);
    } else if (tag == TAG_BRANCH_L7) {
        visit_linear(*edge.ptr<BranchL7>(), visit);
    } else if (tag == TAG_BRANCH_B) {
        auto* node = edge.ptr<BranchB>();
        for (unsigned g = 0; g < 8; ++g) {
            const unsigned c = node->group_counts[g];
            Edge* sub = node->subarrays[g];
            if (c == 0 || sub == nullptr) continue;
            u32 bits = node->bitmap[g];
            for (unsigned i = 0; i < c; ++i) {
                // Digits past the bitmap's set bits count as unknown (256).
                const unsigned d = bits ? 32 * g + std::countr_zero(bits) : 256;
                bits &= bits - 1;
                if (sub[i].tag_byte() != TAG_EMPTY) visit(sub[i], d);
            }
        }
    } else if (tag == TAG_BRANCH_U) {
        auto* node = edge.ptr<BranchU>();
        if (node == nullptr) return;
        for (unsigned d = 0; d < 256; ++d)
            if (node->children[d].tag_byte() != TAG_EMPTY) visit(node->children[d], d);
    }
}

unsigned branch_level(const Edge& edge, unsigned slot_level) {
    const u8 tag = edge.tag_byte();
    if (tag == TAG_BRANCH_U) return slot_level;
    if (tag == TAG_BRANCH_B) return edge.ptr<BranchB>()->level;
    return edge.ptr<BranchL3>()->level;
}

}  // namespace

u64 stored_count(const Edge& edge) {
    const u8 tag = edge.tag_byte();
    if (tag == TAG_BRANCH_U) return (edge.w1 & LEVEL_MASK[7]) + 1;
    if (tag == TAG_BRANCH_L3 || tag == TAG_BRANCH_L7 || tag == TAG_BRANCH_B) {
        const unsigned lc = branch_level(edge, 7);
        if (lc >= 1 && lc <= 7) return (edge.w1 & LEVEL_MASK[lc]) + 1;
        return fold_branch_pop0(const_cast<Edge*>(&edge), lc);
    }
    return leaf_count(edge.w1, tag, 7);
}

u64 fold_branch_pop0(Edge* edge, unsigned level) {
    if (edge == nullptr) return 0;
    const u8 tag = edge->tag_byte();
    if (!is_branch_tag(tag)) return leaf_count(edge->w1, tag, level);
    if (tag == TAG_BRANCH_U && edge->w0 == 0) return 0;
    const unsigned node_level = branch_level(*edge, level);
    u64 sum = 0;
    for_each_child(*edge, [&](Edge& child, unsigned) { sum += fold_branch_pop0(&child, node_level - 1); });
    rewrite_pop0(*edge, node_level, sum);
    return sum;
}

u64 fold_branch_pop0_selective(Edge* edge, unsigned level, const u32 dirty[8]) {
    if (edge == nullptr) return 0;
    const u8 tag = edge->tag_byte();
    if (!is_branch_tag(tag)) return leaf_count(edge->w1, tag, level);
    if (tag == TAG_BRANCH_U && edge->w0 == 0) return 0;
    const unsigned node_level = branch_level(*edge, level);
    if (node_level != 8) return fold_branch_pop0(edge, level);
    u64 sum = 0;
    for_each_child(*edge, [&](Edge& child, unsigned d) {
        const bool marked = d < 256 && ((dirty[d >> 5] >> (d & 31)) & 1);
        sum += marked ? fold_branch_pop0(&child, 7) : stored_count(child);
    });
    return sum;
}

bool subtree_vacant(const Edge& edge, unsigned level) {
    const u8 tag = edge.tag_byte();
    if (tag == TAG_EMPTY) return true;
    if (!is_branch_tag(tag)) return false;
    if (edge.w0 == 0) return true;
    const unsigned node_level = branch_level(edge, level);
    bool vacant = true;
    for_each_child(edge, [&](Edge& child, unsigned) {
        if (vacant && !subtree_vacant(child, node_level - 1)) vacant = false;
    });
    return vacant;
}

}  // namespace tolvane::sync
