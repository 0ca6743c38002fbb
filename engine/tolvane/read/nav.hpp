#pragma once
// Ordered questions on a trie: neighbours (next, prev), rank (count_below)
// and select (by_count), plus the population behind one edge.
//
// Keys are relative to the slot the edge sits in: at slot level S only the
// low S bytes count, callers pass k < 2^(8S) and get back the low S bytes of
// the found key (whole keys at S = 8, the root). Every operation reads an
// exclusively held tree, allocates nothing, and recurses at most once per
// level (8 deep). Populations come from the edges alone, so callers flush any
// postponed population counts first.
//
// One body per operation serves both flavours (Map = false: set, Map = true:
// map); the set flavour reports value 0.

#include <optional>

#include "tolvane/core/key_value.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::nav {

// Keys behind `edge` in a slot of `level`. Asking for a level-8 branch or
// full edge is fatal (that population lives in the container), as is an
// invalid tag.
u64 edge_pop(const Edge& edge, unsigned level);

// Smallest key >= k below the edge, with its value.
template <bool Map>
std::optional<KeyValue> next(const Edge& edge, u64 k, unsigned level);

// Largest key <= k below the edge, with its value.
template <bool Map>
std::optional<KeyValue> prev(const Edge& edge, u64 k, unsigned level);

// Rank and select sum the populations of a branch's children from whichever
// end passes fewer edges, which needs the branch's own population: every
// edge holds it but a level-8 branch's, which lives in the container. Callers
// pass it as `population` there (0 = not known: the walk then starts at the
// low end of that node).

// Number of keys below the edge that are smaller than k.
template <bool Map>
u64 count_below(const Edge& edge, u64 k, unsigned level, u64 population = 0);

// The key (with its value) that has exactly r smaller keys below the edge.
// The caller keeps r below the edge's population.
template <bool Map>
KeyValue by_count(const Edge& edge, u64 r, unsigned level, u64 population = 0);

extern template std::optional<KeyValue> next<false>(const Edge&, u64, unsigned);
extern template std::optional<KeyValue> next<true>(const Edge&, u64, unsigned);
extern template std::optional<KeyValue> prev<false>(const Edge&, u64, unsigned);
extern template std::optional<KeyValue> prev<true>(const Edge&, u64, unsigned);
extern template u64 count_below<false>(const Edge&, u64, unsigned, u64);
extern template u64 count_below<true>(const Edge&, u64, unsigned, u64);
extern template KeyValue by_count<false>(const Edge&, u64, unsigned, u64);
extern template KeyValue by_count<true>(const Edge&, u64, unsigned, u64);

}  // namespace tolvane::nav
