#pragma once
// Optimistic point lookups of the concurrent containers: one attempt reads
// the published root under the root version and walks the trie one key byte
// per level, each branch vouched for by its version word; any change it sees
// ends the attempt, and after OPTIMISTIC_ATTEMPTS failures the exclusive section
// answers with the engine's plain lookup.
//
// An attempt takes no lock and writes nothing but the reader's epoch word.
// Every edge it descends into was read before a successful validation of the
// node (or root) holding it; a node's own header, digits and bitmap are read
// before that node is validated, so their values are bounded (level, count,
// tag shape, subarray pointer) before they index anything.

#include <optional>

#include "tolvane/core/types.hpp"
#include "tolvane/sync/olc_read.hpp"

namespace tolvane::sync::olc {

enum class Answer : u8 { Absent, Present, Retry };

struct Probe {
    Answer answer = Answer::Retry;
    u64 value = 0;  // Present in the map flavour only
};

// One attempt below the level-8 root edge `root`, which `guard` vouches for.
// Map selects the flavour: values and LeafBitmapL, or membership, LeafB1 and
// full edges.
template <bool Map>
Probe probe_trie(Edge root, u64 key, const Guard& guard);

// One attempt from the published root of `block` (root_version, root_kind,
// root_word0, root_word1). The root leaf's block holds the keys ascending
// and, in the map, the value of key j at word capacity_class(n) + j.
template <bool Map, class Block>
Probe probe_root(const Block& block, u64 key) {
    const RootRead r = read_root(block);
    std::atomic_thread_fence(std::memory_order_acquire);
    const bool stable = load_relaxed(block.root_version) == r.version;
    const Guard guard = Guard::of_root(block.root_version, r.version);
    const auto absent = [&] { return Probe{guard.holds() ? Answer::Absent : Answer::Retry, 0}; };
    if (!stable) return {};
    if (r.kind == ROOT_TREE) return probe_trie<Map>(Edge{r.word0, r.word1}, key, guard);
    if (r.kind != ROOT_LEAF || r.word1 == 0) return absent();

    const u64 n = r.word1;
    u64 lo = 0, hi = n;
    while (lo < hi) {
        const u64 mid = (lo + hi) / 2;
        if (root_leaf_key(r.word0, mid) < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == n) return absent();
    const u64 at = root_leaf_key(r.word0, lo);
    if (!guard.holds()) return {};
    if (at != key) return {Answer::Absent, 0};
    if constexpr (!Map) return {Answer::Present, 0};
    const u64 value = root_leaf_value(r.word0, n, lo);
    if (!guard.holds()) return {};
    return {Answer::Present, value};
}

extern template Probe probe_trie<true>(Edge, u64, const Guard&);
extern template Probe probe_trie<false>(Edge, u64, const Guard&);

// The lookup loop: attempts, then `fallback()` (which runs the plain lookup
// inside the exclusive section). Map: the value or none; set: membership.
template <class Block, class Fallback>
std::optional<u64> get_with(const Block& block, Reader& reader, u64 key, Fallback&& fallback) {
    std::optional<u64> out;
    run_attempts(
        reader, out,
        [&](std::optional<u64>& o) {
            const Probe p = probe_root<true>(block, key);
            if (p.answer == Answer::Retry) return false;
            if (p.answer == Answer::Present) o = p.value;
            return true;
        },
        [&](std::optional<u64>& o) { o = fallback(); });
    return out;
}

template <class Block, class Fallback>
bool contains_with(const Block& block, Reader& reader, u64 key, Fallback&& fallback) {
    bool out = false;
    run_attempts(
        reader, out,
        [&](bool& o) {
            const Probe p = probe_root<false>(block, key);
            if (p.answer == Answer::Retry) return false;
            o = p.answer == Answer::Present;
            return true;
        },
        [&](bool& o) { o = fallback(); });
    return out;
}

}  // namespace tolvane::sync::olc
