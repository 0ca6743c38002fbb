#pragma once
// How the concurrent containers see the engine container they embed: its
// root state, its population, the root words they publish and its length
// field. The engine set keeps a root leaf as (count, pointer), the map as
// (pointer, count); both are published as (pointer, count).

#include "tolvane/int/map.hpp"
#include "tolvane/int/set.hpp"

namespace tolvane::sync {

// The root as optimistic readers see it.
struct PublishedRoot {
    u64 kind = ROOT_EMPTY;  // ROOT_EMPTY, ROOT_LEAF or ROOT_TREE
    u64 word0 = 0;          // leaf: key array; tree: root edge word 0
    u64 word1 = 0;          // leaf: key count; tree: root edge word 1
};

inline u64 root_state(const TolvaneMap& m) noexcept { return m.core.root_state; }
inline u64 root_state(const TolvaneSet& s) noexcept { return s.root_state; }

inline Edge& root_edge(TolvaneMap& m) noexcept { return m.core.root; }
inline Edge& root_edge(TolvaneSet& s) noexcept { return s.root; }

// 0 when empty, the root leaf's count, or the tree's length field.
inline u64 engine_population(const TolvaneMap& m) noexcept { return m.size(); }
inline u64 engine_population(const TolvaneSet& s) noexcept { return s.size(); }

inline void set_tree_length(TolvaneMap& m, u64 n) noexcept { m.core.len = n; }
inline void set_tree_length(TolvaneSet& s, u64 n) noexcept { s.len = n; }

inline PublishedRoot published_root(const TolvaneMap& m) noexcept {
    const u64 state = m.core.root_state;
    if (state == ROOT_EMPTY) return {};
    return {state, m.core.root.w0, m.core.root.w1};
}
inline PublishedRoot published_root(const TolvaneSet& s) noexcept {
    if (s.root_state == ROOT_EMPTY) return {};
    if (s.root_state == ROOT_LEAF) return {ROOT_LEAF, s.root.w1, s.root.w0};
    return {ROOT_TREE, s.root.w0, s.root.w1};
}

}  // namespace tolvane::sync
