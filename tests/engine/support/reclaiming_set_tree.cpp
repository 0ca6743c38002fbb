#include "support/reclaiming_set_tree.hpp"

#include "tolvane/write/mutate_reclaiming_insert.hpp"
#include "tolvane/write/mutate_reclaiming_remove.hpp"

namespace tolvane::test {

bool ReclaimingSetTree::insert(u64 key) {
    if (versioned()) return mutate::insert_with_path_occ(alloc, root, key, 8, path, 0, nullptr);
    return mutate::insert_with_path_occ(alloc, root, key, 8, path);
}

bool ReclaimingSetTree::remove(u64 key) {
    if (versioned()) return mutate::remove_occ<false>(alloc, root, key, 8, 0, nullptr);
    return mutate::remove_occ<true>(alloc, root, key, 8, 0, nullptr);
}

}  // namespace tolvane::test
