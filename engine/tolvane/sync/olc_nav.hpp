#pragma once
// Optimistic neighbour searches of the concurrent map: the smallest entry at
// or after a key (next) and the largest at or before it (prev), beside
// concurrent writers and without a lock.
//
// A neighbour search may leave the key's own path (a subtree with nothing on
// the wanted side sends it to the next sibling), so it cannot validate node
// by node as it descends. Instead every branch it enters is recorded with the
// version read on entry on a NavPath of at most NAV_PATH_CAP entries, and an
// answer is accepted only once every recorded version and the root version
// still hold. Edges are validated by their holder before the descent follows
// them; leaves and immediates are read without checks of their own and are
// vouched for by that final validation.
//
// No arithmetic on the key happens here: callers wanting a strict neighbour
// pass key + 1 or key - 1 and handle the bounds of the key space themselves.

#include <cstddef>
#include <optional>

#include "tolvane/core/key_value.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/sync/olc_read.hpp"

namespace tolvane::sync {

inline constexpr std::size_t NAV_PATH_CAP = 16;

// One level's answer: tag NAV_NONE (nothing on the wanted side below this
// edge), NAV_FOUND (key and value valid) or NAV_RETRY (the attempt fails).
inline constexpr u64 NAV_NONE = 0;
inline constexpr u64 NAV_FOUND = 1;
inline constexpr u64 NAV_RETRY = 2;

struct NavResult {
    u64 tag = NAV_RETRY;
    u64 key = 0;
    u64 value = 0;
};

// The branches a descent entered, each with the version read on entry.
// Entries are only appended; those of subtrees that held nothing stay and
// are validated too. A consistent tree needs at most 14 (the key's path and
// one path into a sibling subtree).
struct NavPath {
    const u32* words[NAV_PATH_CAP];
    u32 seen[NAV_PATH_CAP];
    u64 count = 0;

    // Whether every recorded branch still holds its recorded version.
    bool holds() const noexcept {
        std::atomic_thread_fence(std::memory_order_acquire);
        for (u64 i = 0; i < count; ++i)
            if (load_relaxed(*words[i]) != seen[i]) return false;
        return true;
    }
};

namespace sync_nav {

// Successor (Next) or predecessor search below `edge`, a copy validated by
// `guard`, in a slot of `level`; `k` holds only the key bytes below `level`.
// Map flavour.
template <bool Next>
NavResult nav_in(const Edge& edge, u64 k, unsigned level, const olc::Guard& guard, NavPath& path);

inline NavResult next_in(const Edge& edge, u64 k, unsigned level, const olc::Guard& guard,
                         NavPath& path) {
    return nav_in<true>(edge, k, level, guard, path);
}
inline NavResult prev_in(const Edge& edge, u64 k, unsigned level, const olc::Guard& guard,
                         NavPath& path) {
    return nav_in<false>(edge, k, level, guard, path);
}

extern template NavResult nav_in<true>(const Edge&, u64, unsigned, const olc::Guard&, NavPath&);
extern template NavResult nav_in<false>(const Edge&, u64, unsigned, const olc::Guard&, NavPath&);

}  // namespace sync_nav

namespace olc {

// One attempt of a neighbour search from the published root of a map's
// block. NAV_RETRY: the attempt failed.
template <bool Next, class Block>
NavResult probe_neighbour(const Block& block, u64 key) {
    const RootRead r = read_root(block);
    const Guard root = Guard::of_root(block.root_version, r.version);
    if (!root.holds()) return {};
    NavResult out{NAV_NONE, 0, 0};
    if (r.kind == ROOT_LEAF && r.word1 != 0) {
        const u64 n = r.word1;
        u64 lo = 0, hi = n;
        while (lo < hi) {
            const u64 mid = (lo + hi) / 2;
            const u64 at = root_leaf_key(r.word0, mid);
            if (Next ? at < key : at <= key)
                lo = mid + 1;
            else
                hi = mid;
        }
        // Next: lo is the lower bound; prev: lo is the upper bound.
        const bool found = Next ? lo < n : lo > 0;
        if (found) {
            const u64 j = Next ? lo : lo - 1;
            out = {NAV_FOUND, root_leaf_key(r.word0, j), root_leaf_value(r.word0, n, j)};
        }
    } else if (r.kind == ROOT_TREE) {
        NavPath path;
        out = sync_nav::nav_in<Next>(Edge{r.word0, r.word1}, key, 8, root, path);
        if (out.tag == NAV_RETRY || !path.holds()) return {};
    }
    if (!root.holds()) return {};
    return out;
}

// The search loop: attempts, then `fallback()` (the engine's own neighbour
// query inside the exclusive section).
template <bool Next, class Block, class Fallback>
std::optional<KeyValue> neighbour_with(const Block& block, Reader& reader, u64 key,
                                       Fallback&& fallback) {
    std::optional<KeyValue> out;
    run_attempts(
        reader, out,
        [&](std::optional<KeyValue>& o) {
            const NavResult r = probe_neighbour<Next>(block, key);
            if (r.tag == NAV_RETRY) return false;
            if (r.tag == NAV_FOUND) o = KeyValue{r.key, r.value};
            return true;
        },
        [&](std::optional<KeyValue>& o) { o = fallback(); });
    return out;
}

}  // namespace olc
}  // namespace tolvane::sync
