#pragma once
// The branch-level changes of an optimistic insert, shared by both flavours:
// a new child edge for a digit the branch does not have yet. The caller
// builds the child (a one-key immediate of its flavour at the child's slot
// level); these steps lock the branch, place the child and unlock. Growing a
// branch into its next form is left to the exclusive section.

#include "tolvane/core/types.hpp"
#include "tolvane/sync/olc_attempt.hpp"
#include "tolvane/sync/olc_walk.hpp"

namespace tolvane::sync {

// Adds `child` under the digit `walk.branch.digit` of the linear or bitmap
// branch the walk stopped at (End::Missing): New, Retry or Exclusive.
OlcStatus olc_add_child(NodeAlloc& alloc, const OlcWalk& walk, const Edge& child);

// Fills the empty child slot `slot` of the uncompressed branch `holder`.
OlcStatus olc_fill_slot(const OlcStep& holder, Edge& slot, const Edge& child);

}  // namespace tolvane::sync
