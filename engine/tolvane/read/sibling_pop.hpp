#pragma once
// Populations of sibling edges (the children of one branch) read from the
// edges alone, for rank and select.
//
// An edge holds its child's pop0 in the low decode bytes 0..L-1, L the
// child's node level, and the skipped key bytes in L..S-1 (S the slot
// level). The tag names L for every form but the linear and bitmap
// branches, whose level sits in the node itself: reading it costs a cache
// miss per sibling. But no child holds more keys than its parent, so with
// the parent's pop0 below 2^b every child's pop0 lies in the low b bits; a
// branch's level is at least 2, so while b <= 16 those bits never reach a
// skipped key byte and the mask of b bits reads every sibling's pop0
// without the node. Parents of more keys (or of an unknown count) read the
// level of their linear and bitmap branch children, asked for ahead of use.

#include <cstddef>

#include "tolvane/core/types.hpp"

namespace tolvane::nav {

// Asks for every cache line of the n edges from `run` at once, so that a
// sum over them waits for one miss rather than one per line.
void fetch_edges(const Edge* run, std::size_t n);

class SiblingPop {
  public:
    // Children in slots of `slot_level` (1..7) of a parent holding
    // `parent_population` keys (0: not known).
    SiblingPop(unsigned slot_level, u64 parent_population) noexcept;

    // Keys behind one edge (edge_pop's answer).
    u64 of(const Edge& e) const;

    // Keys behind the n edges from `run`.
    u64 sum(const Edge* run, std::size_t n) const;

    // The edge holding the key with `rank` smaller keys (Up) or `rank` larger
    // keys (!Up) among the n edges from `run`: its index, with `rank` left
    // counting within that edge from the same side. Otherwise n, with `rank`
    // less the keys of the whole run.
    template <bool Up>
    std::size_t find(const Edge* run, std::size_t n, u64& rank) const;

  private:

    u64 mask_;
    unsigned slot_;
    bool reads_levels_;
};

extern template std::size_t SiblingPop::find<true>(const Edge*, std::size_t, u64&) const;
extern template std::size_t SiblingPop::find<false>(const Edge*, std::size_t, u64&) const;

}  // namespace tolvane::nav
