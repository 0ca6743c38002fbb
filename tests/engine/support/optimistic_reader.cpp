#include "support/optimistic_reader.hpp"

#include <atomic>
#include <bit>
#include <cstring>

#include "tolvane/node.hpp"
#include "tolvane/version.hpp"

namespace tolvane::test {
namespace {

using mutate::read_edge;

// Loads of fields that the writer stores as one wider word.
u64 load_u64_at(const void* p) {
    return std::atomic_ref<u64>(*static_cast<u64*>(const_cast<void*>(p)))
        .load(std::memory_order_relaxed);
}
u32 load_u32_at(const void* p) {
    return std::atomic_ref<u32>(*static_cast<u32*>(const_cast<void*>(p)))
        .load(std::memory_order_relaxed);
}
u16 load_u16_at(const void* p) {
    return std::atomic_ref<u16>(*static_cast<u16*>(const_cast<void*>(p)))
        .load(std::memory_order_relaxed);
}
u8 load_u8_at(const void* p) {
    return std::atomic_ref<u8>(*static_cast<u8*>(const_cast<void*>(p)))
        .load(std::memory_order_relaxed);
}

// The word that guards the slot being read: a branch's version word, the
// tree word at the root, or nothing.
struct Guard {
    const u32* node_word = nullptr;
    u32 node_seen = 0;
    const u64* tree_word = nullptr;
    u64 tree_seen = 0;

    // Whether nothing guarded by the word changed since it was taken.
    bool holds() const {
        std::atomic_thread_fence(std::memory_order_acquire);
        if (node_word) return load_relaxed(*node_word) == node_seen;
        if (tree_word) return load_relaxed(*tree_word) == tree_seen;
        return true;
    }
};

const u32* version_of(const Edge& e) {
    switch (e.tag_byte()) {
        case TAG_BRANCH_L3:
            return &e.ptr<BranchL3>()->version;
        case TAG_BRANCH_L7:
            return &e.ptr<BranchL7>()->version;
        case TAG_BRANCH_B:
            return &e.ptr<BranchB>()->version;
        default:
            return &e.ptr<BranchU>()->version;
    }
}

// The linear-leaf keys, read word by word as the writer stores them.
bool leaf_holds(const u8* block, std::size_t n, unsigned w, u64 k) {
    const std::size_t area = capacity_class(n) * w;
    u8 bytes[256] = {};
    const std::size_t whole = area / 8;
    for (std::size_t i = 0; i < whole; ++i) {
        const u64 word = load_u64_at(block + 8 * i);
        std::memcpy(bytes + 8 * i, &word, 8);
    }
    std::size_t off = 8 * whole;
    const std::size_t tail = area % 8;
    if (tail & 4) {
        const u32 v = load_u32_at(block + off);
        std::memcpy(bytes + off, &v, 4);
        off += 4;
    }
    if (tail & 2) {
        const u16 v = load_u16_at(block + off);
        std::memcpy(bytes + off, &v, 2);
        off += 2;
    }
    if (tail & 1) bytes[off] = load_u8_at(block + off);
    for (std::size_t i = 0; i < n; ++i) {
        u64 stored = 0;
        std::memcpy(&stored, bytes + i * w, w);
        if (stored == k) return true;
    }
    return false;
}

// What a linear branch says about the key's digit, read field by field as
// the writer stores them; trusted only once the branch's word is checked.
struct LinearStep {
    bool sane = false;
    unsigned node_level = 0;
    int at = -1;
    Edge child;
};

template <std::size_t N>
LinearStep linear_step(const BranchL<N>* node, unsigned level, u64 key) {
    LinearStep step;
    const u32 shape = load_u32_at(&node->count);
    const unsigned count = shape & 0xFF;
    step.node_level = (shape >> 8) & 0xFF;
    const unsigned summary = shape >> 16;
    const u64 digits = load_u64_at(node->digits);
    if (count > N || step.node_level < 2 || step.node_level > level) return step;
    step.sane = true;
    const u8 d = static_cast<u8>(shr8(key, step.node_level - 1));
    if (!((summary >> (d & 15)) & 1u)) return step;
    for (unsigned i = 0; i < count; ++i)
        if (static_cast<u8>(digits >> (8 * i)) == d) step.at = static_cast<int>(i);
    if (step.at >= 0) step.child = read_edge(node->children[step.at]);
    return step;
}

}  // namespace

Probe probe_set(const Edge& root, const u64* tree_word, u64 key) {
    Guard guard;
    if (tree_word) {
        guard.tree_word = tree_word;
        guard.tree_seen = load_acquire(*tree_word);
        if (guard.tree_seen & 1) return Probe::Retry;
    }
    Edge e = read_edge(root);
    if (!guard.holds()) return Probe::Retry;
    unsigned level = 8;

    for (unsigned depth = 0; depth <= 8; ++depth) {
        const EdgeKind kind = e.tag();
        if (kind.is_invalid()) return Probe::Retry;
        if (kind.is_immediate()) {
            const KeyList16 keys = mutate::immed_keys(e, kind.key_bytes, kind.count);
            const u64 k = key & low_bytes_mask(kind.key_bytes);
            for (u64 stored : keys)
                if (stored == k) return Probe::Present;
            return Probe::Absent;
        }
        const u8 tag = kind.kind;
        if (tag == TAG_EMPTY) return Probe::Absent;
        if (tag == TAG_FULL) return Probe::Present;

        if (tag == TAG_LEAF_BITMAP) {
            if (!prefix_matches(e, level, 1, key)) return Probe::Absent;
            const auto* leaf = e.ptr<LeafB1>();
            if (!leaf) return Probe::Retry;
            const u64 word = load_relaxed(leaf->bitmap[(key >> 6) & 3]);
            if (!guard.holds()) return Probe::Retry;
            return ((word >> (key & 63)) & 1u) ? Probe::Present : Probe::Absent;
        }
        if (is_linear_leaf_tag(tag)) {
            const unsigned w = tag - TAG_LEAF_BASE;
            if (!prefix_matches(e, level, w, key)) return Probe::Absent;
            const std::size_t n = static_cast<std::size_t>(e.pop0(w)) + 1;
            const u8* block = e.ptr<u8>();
            if (!block || n > 32) return Probe::Retry;
            const bool found = leaf_holds(block, n, w, key & low_bytes_mask(w));
            if (!guard.holds()) return Probe::Retry;
            return found ? Probe::Present : Probe::Absent;
        }

        // A branch: take its word, then make sure it is still the child of
        // the slot that led here.
        if (e.w0 == 0) return Probe::Retry;
        const u32* word = version_of(e);
        const u32 seen = load_acquire(*word);
        if (seen & 1) return Probe::Retry;
        if (!guard.holds()) return Probe::Retry;
        const Guard node_guard{word, seen, nullptr, 0};

        unsigned node_level;
        Edge child;
        if (tag == TAG_BRANCH_L3 || tag == TAG_BRANCH_L7) {
            const LinearStep step = tag == TAG_BRANCH_L3
                                        ? linear_step(e.ptr<BranchL3>(), level, key)
                                        : linear_step(e.ptr<BranchL7>(), level, key);
            if (!step.sane) return Probe::Retry;
            node_level = step.node_level;
            if (step.at >= 0) child = step.child;
            if (!node_guard.holds()) return Probe::Retry;
            if (!prefix_matches(e, level, node_level, key) || step.at < 0) return Probe::Absent;
        } else if (tag == TAG_BRANCH_B) {
            const auto* node = e.ptr<BranchB>();
            node_level = load_u8_at(&node->level);
            if (node_level < 2 || node_level > level) return Probe::Retry;
            const u8 d = static_cast<u8>(shr8(key, node_level - 1));
            const unsigned g = d >> 5;
            const u32 group = load_relaxed(node->bitmap[g]);
            const unsigned count = load_u16_at(&node->group_counts[g]);
            const Edge* sub = load_acquire(node->subarrays[g]);
            if (!node_guard.holds()) return Probe::Retry;
            if (!prefix_matches(e, level, node_level, key)) return Probe::Absent;
            if (!group_has(group, d)) return Probe::Absent;
            const unsigned rank = group_rank(group, d);
            if (!sub || rank >= count) return Probe::Retry;
            child = read_edge(sub[rank]);
            if (!node_guard.holds()) return Probe::Retry;
        } else {
            const auto* node = e.ptr<BranchU>();
            node_level = level;
            child = read_edge(node->children[static_cast<u8>(shr8(key, level - 1))]);
            if (!node_guard.holds()) return Probe::Retry;
        }
        guard = node_guard;
        e = child;
        level = node_level - 1;
    }
    return Probe::Retry;
}

bool optimistic_contains(Reader& reader, const Edge& root, const u64* tree_word, u64 key,
                         u64* retries) {
    for (;;) {
        reader.announce();
        const Probe answer = probe_set(root, tree_word, key);
        reader.go_idle();
        if (answer != Probe::Retry) return answer == Probe::Present;
        if (retries) ++*retries;
    }
}

}  // namespace tolvane::test
