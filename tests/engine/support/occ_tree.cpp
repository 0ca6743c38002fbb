#include "support/occ_tree.hpp"

#include "tolvane/write/mutate_free.hpp"

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

template <bool Map>
OccTree<Map>::OccTree(OccMode m) : mode(m) {
    if (deferred()) {
        collector = std::make_shared<Collector>();
        alloc.defer_to(collector);
    }
    if (mode == OccMode::DeferredCovered) {
        alloc.bind_tree_word(&tree_word);
        alloc.cover_root();
    }
}

template <bool Map>
OccTree<Map>::~OccTree() {
    mutate::free_subtree<true, Map>(alloc, root);
}

template class OccTree<false>;
template class OccTree<true>;

}  // namespace tolvane::test
