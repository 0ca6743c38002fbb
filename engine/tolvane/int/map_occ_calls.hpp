#pragma once
// The reclaiming map mutators as the integer map engines call them: one
// spelling for the unversioned and versioned members, always on a root slot
// (level 8).

#include "tolvane/mem/alloc.hpp"
#include "tolvane/write/mutate_map_insert.hpp"
#include "tolvane/write/mutate_map_occ_insert.hpp"
#include "tolvane/write/mutate_map_occ_remove.hpp"
#include "tolvane/write/mutate_map_remove.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::map_occ {

// Unversioned = true ignores `bump_node_word` and `word`.
template <bool KeepExisting, bool Unversioned>
inline void insert(mutate_map::InsertResult& out, NodeAlloc& alloc, Edge& root, u64 key, u64 value,
                   InsertPath& path, u64 bump_node_word, u32* word) {
    if constexpr (Unversioned)
        mutate_map::map_insert_with_path_occ<KeepExisting, true, true>(out, alloc, root, key, value,
                                                                       8, path);
    else
        mutate_map::map_insert_with_path_occ<KeepExisting, true, false>(
            out, alloc, root, key, value, 8, path, bump_node_word, word);
}

template <bool Unversioned>
inline mutate_map::RemoveResult remove(NodeAlloc& alloc, Edge& root, u64 key, u64 bump_node_word,
                                       u32* word) {
    if constexpr (Unversioned)
        return mutate_map::map_remove_occ<true, true>(alloc, root, key, 8);
    else
        return mutate_map::map_remove_occ<true, false>(alloc, root, key, 8, bump_node_word, word);
}

}  // namespace tolvane::map_occ
