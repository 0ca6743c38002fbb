#include "support/optimistic_map_reader.hpp"

#include "support/optimistic_walk.hpp"
#include "tolvane/write/mutate_map_leaf.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::test {
namespace {

using namespace optimistic;
using Answer = MapProbe::Answer;

MapProbe answer(Answer a, u64 value = 0) { return MapProbe{a, value}; }

}  // namespace

MapProbe probe_map(const Edge& root, const u64* tree_word, u64 key) {
    Guard guard;
    Edge e;
    if (!read_root(root, tree_word, guard, e)) return answer(Answer::Retry);
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

        const Descent d = descend_branch(e, level, key, guard);
        switch (d.outcome) {
            case Descent::Outcome::Absent:
                return answer(Answer::Absent);
            case Descent::Outcome::Retry:
                return answer(Answer::Retry);
            case Descent::Outcome::Corrupt:
                return answer(Answer::Corrupt);
            case Descent::Outcome::Child:
                break;
        }
        guard = d.guard;
        e = d.child;
        level = d.level;
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
