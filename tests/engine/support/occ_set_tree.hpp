#pragma once
// A set-flavour tree driven through the reclaiming insert and remove, in one
// of the ways the engines use them, as an oracle-harness subject (see
// oracle.hpp) or as the shared tree of a stress test.
//
//   OccSetTree tree(OccMode::DeferredCovered);   // collector, tree word
//   tree.insert(k); tree.remove(k);
//
// Modes: the allocator in local mode or deferred to a collector of its own,
// and the unversioned variant or the versioned one at the root slot (bump
// flag 0). DeferredCovered binds `tree_word` and covers the root, so the
// versioned variant brackets root changes with it, as the concurrent
// containers do. The destructor gives the whole tree back.

#include <memory>
#include <string>

#include "support/oracle.hpp"
#include "tolvane/alloc.hpp"
#include "tolvane/mutate_path.hpp"
#include "tolvane/occ.hpp"
#include "tolvane/types.hpp"

namespace tolvane::test {

enum class OccMode : u8 { LocalUnversioned, LocalVersioned, DeferredUnversioned, DeferredCovered };

inline constexpr OccMode kAllOccModes[] = {OccMode::LocalUnversioned, OccMode::LocalVersioned,
                                           OccMode::DeferredUnversioned, OccMode::DeferredCovered};

const char* occ_mode_name(OccMode mode);

class OccSetTree {
  public:
    explicit OccSetTree(OccMode mode);
    ~OccSetTree();
    OccSetTree(const OccSetTree&) = delete;
    OccSetTree& operator=(const OccSetTree&) = delete;

    bool insert(u64 key);
    bool remove(u64 key);
    bool apply(const Op& op) {
        return op.kind == Op::Kind::Insert ? insert(op.key) : remove(op.key);
    }

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

}  // namespace tolvane::test
