#include "support/occ_set_tree.hpp"

#include "tolvane/mutate_free.hpp"
#include "tolvane/mutate_occ_insert.hpp"
#include "tolvane/mutate_occ_remove.hpp"

namespace tolvane::test {

const char* occ_mode_name(OccMode mode) {
    switch (mode) {
        case OccMode::LocalUnversioned:
            return "LocalUnversioned";
        case OccMode::LocalVersioned:
            return "LocalVersioned";
        case OccMode::DeferredUnversioned:
            return "DeferredUnversioned";
        case OccMode::DeferredCovered:
            return "DeferredCovered";
    }
    return "?";
}

OccSetTree::OccSetTree(OccMode m) : mode(m) {
    if (deferred()) {
        collector = std::make_shared<Collector>();
        alloc.defer_to(collector);
    }
    if (mode == OccMode::DeferredCovered) {
        alloc.bind_tree_word(&tree_word);
        alloc.cover_root();
    }
}

OccSetTree::~OccSetTree() { mutate::free_subtree<true, false>(alloc, root); }

bool OccSetTree::insert(u64 key) {
    if (versioned()) return mutate::insert_with_path_occ(alloc, root, key, 8, path, 0, nullptr);
    return mutate::insert_with_path_occ(alloc, root, key, 8, path);
}

bool OccSetTree::remove(u64 key) {
    if (versioned()) return mutate::remove_occ<false>(alloc, root, key, 8, 0, nullptr);
    return mutate::remove_occ<true>(alloc, root, key, 8, 0, nullptr);
}

}  // namespace tolvane::test
