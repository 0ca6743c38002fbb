#include "support/reclaiming_tree.hpp"

#include "tolvane/write/mutate_free.hpp"

namespace tolvane::test {

const char* reclaiming_mode_name(ReclaimingMode mode) {
    switch (mode) {
        case ReclaimingMode::LocalUnversioned:
            return "LocalUnversioned";
        case ReclaimingMode::LocalVersioned:
            return "LocalVersioned";
        case ReclaimingMode::DeferredUnversioned:
            return "DeferredUnversioned";
        case ReclaimingMode::DeferredCovered:
            return "DeferredCovered";
    }
    return "?";
}

template <bool Map>
ReclaimingTree<Map>::ReclaimingTree(ReclaimingMode m) : mode(m) {
    if (deferred()) {
        collector = std::make_shared<Collector>();
        alloc.defer_to(collector);
    }
    if (mode == ReclaimingMode::DeferredCovered) {
        alloc.bind_tree_word(&tree_word);
        alloc.cover_root();
    }
}

template <bool Map>
ReclaimingTree<Map>::~ReclaimingTree() {
    mutate::free_subtree<true, Map>(alloc, root);
}

template class ReclaimingTree<false>;
template class ReclaimingTree<true>;

}  // namespace tolvane::test
