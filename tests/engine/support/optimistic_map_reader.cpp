#include "support/optimistic_map_reader.hpp"

#include <atomic>
#include <cstring>

#include "tolvane/mutate_map_leaf.hpp"
#include "tolvane/node.hpp"
#include "tolvane/version.hpp"

namespace tolvane::test {
namespace {

using mutate::read_edge;
using Answer = MapProbe::Answer;

template <class T>
T load_at(const void* p) {
    return std::atomic_ref<T>(*static_cast<T*>(const_cast<void*>(p)))
        .load(std::memory_order_relaxed);
}

MapProbe answer(Answer a, u64 value = 0) { return MapProbe{a, value}; }

// The word guarding what was just read: a branch's version word, the tree
// word at the root, or nothing.
struct Guard {
    const u32* node_word = nullptr;
    u32 node_seen = 0;
    const u64* tree_word = nullptr;
    u64 tree_seen = 0;

    bool holds() const {
        std::atomic_thread_fence(std::memory_order_acquire);
        if (node_word) return load_relaxed(*node_word) == node_seen;
        if (tree_word) return load_relaxed(*tree_word) == tree_seen;
        return true;
    }
};

// Index of key `k` among the n w-byte keys at `keys` (an area of
// capacity_class(n) * w bytes), read in the word and tail pieces the writer
// stores; -1 when absent.
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
    const u64 digits = load_at<u64>(node->digits);
    if (count > N || step.node_level < 2 || step.node_level > level) return step;
    step.sane = true;
    const u8 d = static_cast<u8>(shr8(key, step.node_level - 1));
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

}  // namespace

MapProbe probe_map(const Edge& root, const u64* tree_word, u64 key) {
    Guard guard;
    if (tree_word) {
        guard.tree_word = tree_word;
        guard.tree_seen = load_acquire(*tree_word);
        if (guard.tree_seen & 1) return answer(Answer::Retry);
    }
    Edge e = read_edge(root);
    if (!guard.holds()) return answer(Answer::Retry);
    unsigned level = 8;

    // Every edge dispatched on below was read under a guard checked since.
    for (unsigned depth = 0; depth <= 8; ++depth) {
        const EdgeKind kind = e.tag();
        if (kind.is_invalid()) return answer(Answer::Corrupt);
        if (kind.is_immediate()) {
            if (!mutate_map::fits_map_immediate(kind) || kind.key_bytes != level)
                return answer(Answer::Corrupt);
            const KeyList16 keys = mutate::immed_map_keys(e, kind.key_bytes, kind.count);
            const u64 k = key & low_bytes_mask(kind.key_bytes);
            for (std::size_t i = 0; i < keys.size(); ++i) {
                if (keys[i] != k) continue;
                if (kind.count == 1) return answer(Answer::Present, e.w0);
                const u64* values = e.ptr<const u64>();
                if (!values) return answer(Answer::Corrupt);
                const u64 v = load_relaxed(values[i]);
                return guard.holds() ? answer(Answer::Present, v) : answer(Answer::Retry);
            }
            return answer(Answer::Absent);
        }
        const u8 tag = kind.kind;
        if (tag == TAG_EMPTY) return answer(Answer::Absent);
        if (tag == TAG_FULL) return answer(Answer::Corrupt);

        if (tag == TAG_LEAF_BITMAP) {
            if (!prefix_matches(e, level, 1, key)) return answer(Answer::Absent);
            const auto* leaf = e.ptr<LeafBitmapL>();
            if (!leaf) return answer(Answer::Corrupt);
            const u8 b = static_cast<u8>(key);
            const u32 group = load_relaxed(leaf->bitmap[b >> 5]);
            const u64* values = load_acquire(leaf->value_subarrays[b >> 5]);
            if (!guard.holds()) return answer(Answer::Retry);
            if (!group_has(group, b)) return answer(Answer::Absent);
            if (!values) return answer(Answer::Corrupt);
            const u64 v = load_relaxed(values[group_rank(group, b)]);
            return guard.holds() ? answer(Answer::Present, v) : answer(Answer::Retry);
        }
        if (is_linear_leaf_tag(tag)) {
            const unsigned w = tag - TAG_LEAF_BASE;
            if (!prefix_matches(e, level, w, key)) return answer(Answer::Absent);
            const std::size_t n = static_cast<std::size_t>(e.pop0(w)) + 1;
            const u8* block = e.ptr<u8>();
            if (!block || n > mutate_map::map_leaf_max_keys(w)) return answer(Answer::Corrupt);
            const int i =
                find_leaf_key(block + map_leaf_key_offset(n), n, w, key & low_bytes_mask(w));
            const u64 v = i >= 0 ? load_at<u64>(block + 8 * static_cast<std::size_t>(i)) : 0;
            if (!guard.holds()) return answer(Answer::Retry);
            return i >= 0 ? answer(Answer::Present, v) : answer(Answer::Absent);
        }

        // A branch: take its word, then make sure it is still the child of
        // the slot that led here.
        const u32* word = node_version_word(e);
        if (!word) return answer(Answer::Corrupt);
        const u32 seen = load_acquire(*word);
        if (seen & NODE_VERSION_LOCKED) return answer(Answer::Retry);
        if (!guard.holds()) return answer(Answer::Retry);
        const Guard node_guard{word, seen, nullptr, 0};

        BranchStep step;
        if (tag == TAG_BRANCH_L3) {
            step = linear_step(e.ptr<BranchL3>(), level, key);
        } else if (tag == TAG_BRANCH_L7) {
            step = linear_step(e.ptr<BranchL7>(), level, key);
        } else if (tag == TAG_BRANCH_B) {
            step = bitmap_step(e.ptr<BranchB>(), level, key);
        } else {
            step.sane = step.has_child = true;
            step.node_level = level;
            step.child =
                read_edge(e.ptr<BranchU>()->children[static_cast<u8>(shr8(key, level - 1))]);
        }
        if (!node_guard.holds()) return answer(Answer::Retry);
        if (!step.sane) return answer(Answer::Corrupt);
        if (step.sub) {
            // Pointer, count and bits agree now, so the subarray holds the rank.
            step.child = read_edge(step.sub[step.rank]);
            step.has_child = true;
            if (!node_guard.holds()) return answer(Answer::Retry);
        }
        if (!prefix_matches(e, level, step.node_level, key) || !step.has_child)
            return answer(Answer::Absent);
        guard = node_guard;
        e = step.child;
        level = step.node_level - 1;
    }
    return answer(Answer::Corrupt);
}

MapProbe optimistic_get(Reader& reader, const Edge& root, const u64* tree_word, u64 key,
                        u64* retries) {
    for (;;) {
        reader.announce();
        const MapProbe probe = probe_map(root, tree_word, key);
        reader.go_idle();
        if (probe.answer != Answer::Retry) return probe;
        if (retries) ++*retries;
    }
}

}  // namespace tolvane::test
