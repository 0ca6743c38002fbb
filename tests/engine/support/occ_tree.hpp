#pragma once
// The state shared by the test trees that run through the reclaiming
// mutators (occ_set_tree.hpp, occ_map_tree.hpp): the mode the engines would
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

enum class OccMode : u8 { LocalUnversioned, LocalVersioned, DeferredUnversioned, DeferredCovered };

inline constexpr OccMode kAllOccModes[] = {OccMode::LocalUnversioned, OccMode::LocalVersioned,
                                           OccMode::DeferredUnversioned, OccMode::DeferredCovered};

const char* occ_mode_name(OccMode mode);

// Map selects the flavour whose subtree the destructor frees.
template <bool Map>
class OccTree {
  public:
    explicit OccTree(OccMode mode);
    ~OccTree();
    OccTree(const OccTree&) = delete;
    OccTree& operator=(const OccTree&) = delete;

    bool deferred() const {
        return mode == OccMode::DeferredUnversioned || mode == OccMode::DeferredCovered;
    }
    bool versioned() const {
        return mode == OccMode::LocalVersioned || mode == OccMode::DeferredCovered;
    }

    const OccMode mode;
    std::shared_ptr<Collector> collector;  // null in local mode
    NodeAlloc alloc;
    Edge root;
    InsertPath path;
    u64 tree_word = 0;
};

extern template class OccTree<false>;
extern template class OccTree<true>;

}  // namespace tolvane::test
