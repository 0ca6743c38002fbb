#pragma once
// The reclaiming map mutators as the integer map engines call them: one
// spelling for the unversioned and versioned members, always on a root slot
// (level 8).

#include "tolvane/alloc.hpp"
#include "tolvane/fatal.hpp"
#include "tolvane/mutate_map_insert.hpp"
#include "tolvane/mutate_map_remove.hpp"
#include "tolvane/mutate_path.hpp"
#include "tolvane/types.hpp"

namespace tolvane::map_occ {

template <bool KeepExisting, bool Unversioned>
inline void insert(mutate_map::InsertResult&, NodeAlloc&, Edge&, u64, u64, InsertPath&, u64, u32*) {
    fatal("reclaiming map insert not available");
}

template <bool Unversioned>
inline mutate_map::RemoveResult remove(NodeAlloc&, Edge&, u64, u64, u32*) {
    fatal("reclaiming map remove not available");
}

}  // namespace tolvane::map_occ
