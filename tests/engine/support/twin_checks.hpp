#pragma once
// Checks shared by the differential tests that run the same operations
// through an exclusive and a reclaiming tree of one flavour: the two must end
// up equal, and the reclaiming one must keep its branches' version words in
// order (live ones stable, replaced ones marked obsolete).

#include <set>
#include <string>
#include <vector>

#include "support/set_tree.hpp"
#include "support/tree_dump.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::test {

// The forms along a key's path: kind@slot_level/node_level#size per step.
std::string path_shape(const KeyTrace& trace);

// The branches below `root` after an operation, each checked to be neither
// locked nor obsolete; `what` names the operation in failures.
std::set<const void*> stable_branches(const Edge& root, const std::string& what);

// The branches of `before` that are no longer in `after`, each checked to be
// marked obsolete (and still readable: the test must hold the collector back
// until this ran). Returns how many there were.
u64 replaced_branches_marked(const std::vector<BranchRef>& before,
                             const std::set<const void*>& after, const std::string& what);

// The reclaiming tree (flavour Map) against the exclusive one: the validator
// accepts it with the model's population (when the model holds keys), both
// dump the same, and both allocators hold and have released the same blocks;
// an empty model leaves an empty root and no live byte.
template <bool Map>
void expect_twins_equal(const Edge& reclaiming_root, const NodeAlloc& reclaiming_alloc,
                        const Edge& ex_root, const NodeAlloc& ex_alloc, std::size_t model_size);

}  // namespace tolvane::test
