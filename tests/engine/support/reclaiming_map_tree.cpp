#include "support/reclaiming_map_tree.hpp"

#include "tolvane/read/get.hpp"
#include "tolvane/write/mutate_map_reclaiming_insert.hpp"
#include "tolvane/write/mutate_map_reclaiming_remove.hpp"

namespace tolvane::test {

u64* ReclaimingMapTree::find(u64 key) { return get::locate_slot(&root, key, 8); }

mutate_map::InsertResult ReclaimingMapTree::insert(u64 key, u64 value) {
    using namespace mutate_map;
    InsertResult r;
    r.old = kUntouched;
    if (versioned()) {
        if (keep_existing)
            map_insert_with_path_occ<true, true, false>(r, alloc, root, key, value, 8, path, 0,
                                                        nullptr);
        else
            map_insert_with_path_occ<false, true, false>(r, alloc, root, key, value, 8, path, 0,
                                                         nullptr);
    } else {
        if (keep_existing)
            map_insert_with_path_occ<true, true, true>(r, alloc, root, key, value, 8, path);
        else
            map_insert_with_path_occ<false, true, true>(r, alloc, root, key, value, 8, path);
    }
    return r;
}

mutate_map::RemoveResult ReclaimingMapTree::remove(u64 key) {
    path.flush_and_reset();
    if (versioned())
        return mutate_map::map_remove_occ<true, false>(alloc, root, key, 8, 0, nullptr);
    return mutate_map::map_remove_occ<true, true>(alloc, root, key, 8);
}

}  // namespace tolvane::test
