#include "support/optimistic_walk.hpp"

#include <cstring>

#include "tolvane/core/node.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::test::optimistic {
namespace {

using mutate::read_edge;
using Outcome = Descent::Outcome;

// The child a branch holds for the key, read field by field as the writer
// stores them; trusted only once the branch's word is checked again.
struct BranchStep {
    bool sane = false;
    bool has_child = false;
    unsigned node_level = 0;
    Edge child;
    const Edge* sub = nullptr;  // BranchB: the child is sub[rank], read once the word holds
    unsigned rank = 0;
};

template <std::size_t N>
BranchStep linear_step(const BranchL<N>* node, unsigned level, u64 key) {
    BranchStep step;
    const u32 shape = load_at<u32>(&node->count);
    const unsigned count = shape & 0xFF;
    step.node_level = (shape >> 8) & 0xFF;
    const unsigned summary = shape >> 16;
    const u64 digits = load_at<u64>(node->digits);
    if (count > N || step.node_level < 2 || step.node_level > level) return step;
    step.sane = true;
    const u8 d = static_cast<u8>(shr8(key, step.node_level - 1));
    if (!((summary >> (d & 15)) & 1u)) return step;
    for (unsigned i = 0; i < count; ++i) {
        if (static_cast<u8>(digits >> (8 * i)) != d) continue;
        step.child = read_edge(node->children[i]);
        step.has_child = true;
    }
    return step;
}

BranchStep bitmap_step(const BranchB* node, unsigned level, u64 key) {
    BranchStep step;
    step.node_level = load_at<u8>(&node->level);
    if (step.node_level < 2 || step.node_level > level) return step;
    const u8 d = static_cast<u8>(shr8(key, step.node_level - 1));
    const u32 group = load_relaxed(node->bitmap[d >> 5]);
    const unsigned count = load_at<u16>(&node->group_counts[d >> 5]);
    const Edge* sub = load_acquire(node->subarrays[d >> 5]);
    step.rank = group_rank(group, d);
    step.sane = !group_has(group, d) || (sub != nullptr && step.rank < count);
    if (step.sane && group_has(group, d)) step.sub = sub;
    return step;
}

Descent outcome(Outcome o) {
    Descent d;
    d.outcome = o;
    return d;
}

}  // namespace

bool Guard::holds() const {
    std::atomic_thread_fence(std::memory_order_acquire);
    if (node_word) return load_relaxed(*node_word) == node_seen;
    if (tree_word) return load_relaxed(*tree_word) == tree_seen;
    return true;
}

bool read_root(const Edge& root, const u64* tree_word, Guard& guard, Edge& e) {
    guard = Guard{};
    if (tree_word) {
        guard.tree_word = tree_word;
        guard.tree_seen = load_acquire(*tree_word);
        if (guard.tree_seen & 1) return false;
    }
    e = read_edge(root);
    return guard.holds();
}

int find_leaf_key(const u8* keys, std::size_t n, unsigned w, u64 k) {
    const std::size_t area = capacity_class(n) * w;
    u8 bytes[256] = {};
    std::size_t off = 0;
    for (; off + 8 <= area; off += 8) {
        const u64 word = load_at<u64>(keys + off);
        std::memcpy(bytes + off, &word, 8);
    }
    if ((area - off) & 4) {
        const u32 v = load_at<u32>(keys + off);
        std::memcpy(bytes + off, &v, 4);
        off += 4;
    }
    if ((area - off) & 2) {
        const u16 v = load_at<u16>(keys + off);
        std::memcpy(bytes + off, &v, 2);
        off += 2;
    }
    if ((area - off) & 1) bytes[off] = load_at<u8>(keys + off);
    for (std::size_t i = 0; i < n; ++i) {
        u64 stored = 0;
        std::memcpy(&stored, bytes + i * w, w);
        if (stored == k) return static_cast<int>(i);
    }
    return -1;
}

Descent descend_branch(const Edge& e, unsigned level, u64 key, const Guard& holder) {
    // Take the branch's word, then make sure it is still the child of the
    // slot that led here.
    const u32* word = e.w0 != 0 ? node_version_word(e) : nullptr;
    if (!word) return outcome(Outcome::Corrupt);
    const u32 seen = load_acquire(*word);
    if (seen & NODE_VERSION_LOCKED) return outcome(Outcome::Retry);
    if (!holder.holds()) return outcome(Outcome::Retry);
    const Guard node_guard{word, seen, nullptr, 0};

    BranchStep step;
    switch (e.tag_byte()) {
        case TAG_BRANCH_L3:
            step = linear_step(e.ptr<BranchL3>(), level, key);
            break;
        case TAG_BRANCH_L7:
            step = linear_step(e.ptr<BranchL7>(), level, key);
            break;
        case TAG_BRANCH_B:
            step = bitmap_step(e.ptr<BranchB>(), level, key);
            break;
        default:
            step.sane = step.has_child = true;
            step.node_level = level;
            step.child =
                read_edge(e.ptr<BranchU>()->children[static_cast<u8>(shr8(key, level - 1))]);
            break;
    }
    if (!node_guard.holds()) return outcome(Outcome::Retry);
    if (!step.sane) return outcome(Outcome::Corrupt);
    if (step.sub) {
        // Pointer, count and bits agree now, so the subarray holds the rank.
        step.child = read_edge(step.sub[step.rank]);
        step.has_child = true;
        if (!node_guard.holds()) return outcome(Outcome::Retry);
    }
    if (!prefix_matches(e, level, step.node_level, key) || !step.has_child)
        return outcome(Outcome::Absent);
    Descent d;
    d.outcome = Outcome::Child;
    d.child = step.child;
    d.level = step.node_level - 1;
    d.guard = node_guard;
    return d;
}

}  // namespace tolvane::test::optimistic
