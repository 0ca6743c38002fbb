#pragma once
// The state shared by the test trees that run through the reclaiming
// mutators (reclaiming_set_tree.hpp, reclaiming_map_tree.hpp): the mode the engines would
// use, the allocator set up for it, the root slot, the insert path and the
// tree word.
//
// Modes: the allocator in local mode or deferred to a collector of its own,
// and the unversioned variant or the versioned one at the root slot (bump
// flag 0). DeferredCovered binds `tree_word` and covers the root, so the
// versioned variant brackets root changes with it, as the concurrent
// containers do. The destructor gives the whole tree back.

#include <memory>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/mem/occ.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::test {

enum class ReclaimingMode : u8 {
    LocalUnversioned,
    LocalVersioned,
    DeferredUnversioned,
    DeferredCovered
};

inline constexpr ReclaimingMode kAllReclaimingModes[] = {
    ReclaimingMode::LocalUnversioned, ReclaimingMode::LocalVersioned,
    ReclaimingMode::DeferredUnversioned, ReclaimingMode::DeferredCovered};

const char* reclaiming_mode_name(ReclaimingMode mode);

// Map selects the flavour whose subtree the destructor frees.
template <bool Map>
class ReclaimingTree {
  public:
    explicit ReclaimingTree(ReclaimingMode mode);
    ~ReclaimingTree();
    ReclaimingTree(const ReclaimingTree&) = delete;
    ReclaimingTree& operator=(const ReclaimingTree&) = delete;

    bool deferred() const {
        return mode == ReclaimingMode::DeferredUnversioned ||
               mode == ReclaimingMode::DeferredCovered;
    }
    bool versioned() const {
        return mode == ReclaimingMode::LocalVersioned || mode == ReclaimingMode::DeferredCovered;
    }

    const ReclaimingMode mode;
    std::shared_ptr<Collector> collector;  // null in local mode
    NodeAlloc alloc;
    Edge root;
    InsertPath path;
    u64 tree_word = 0;
};

extern template class ReclaimingTree<false>;
extern template class ReclaimingTree<true>;

}  // namespace tolvane::test
