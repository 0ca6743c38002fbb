#include "support/optimistic_reader.hpp"

#include "support/optimistic_walk.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::test {

using namespace optimistic;

// A state no sound tree has is retried like any other torn read: only the
// answers Present and Absent count.
Probe probe_set(const Edge& root, const u64* tree_word, u64 key) {
    Guard guard;
    Edge e;
    if (!read_root(root, tree_word, guard, e)) return Probe::Retry;
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
            const bool found = find_leaf_key(block, n, w, key & low_bytes_mask(w)) >= 0;
            if (!guard.holds()) return Probe::Retry;
            return found ? Probe::Present : Probe::Absent;
        }

        const Descent d = descend_branch(e, level, key, guard);
        if (d.outcome == Descent::Outcome::Absent) return Probe::Absent;
        if (d.outcome != Descent::Outcome::Child) return Probe::Retry;
        guard = d.guard;
        e = d.child;
        level = d.level;
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
