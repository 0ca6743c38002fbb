#pragma once
// The write mode of a tree and the mutators of each mode behind one call, so
// an engine names an operation once and the allocator's state picks how it is
// written. The mode is read afresh at every call: a container's allocator
// may be deferred to a collector between two calls, and the root covered by
// a tree word or not.
//
//   Exclusive    local mode: only the owner's thread reaches the tree; nodes
//                change in place and the insert path caches the hot leaf
//   Versioned    deferred, root covered: reclaiming mutators that bracket
//                every slot change with its holder's word (the tree word at
//                the root)
//   Unversioned  deferred, root not covered: reclaiming mutators that hold
//                each branch's own word across the descent below it

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/write/mutate_free.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/write/mutate_map_insert.hpp"
#include "tolvane/write/mutate_map_reclaiming_insert.hpp"
#include "tolvane/write/mutate_map_reclaiming_remove.hpp"
#include "tolvane/write/mutate_map_remove.hpp"
#include "tolvane/write/mutate_reclaiming_insert.hpp"
#include "tolvane/write/mutate_reclaiming_remove.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/write/mutate_remove.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate {

enum class WriteMode : u8 { Exclusive, Versioned, Unversioned };

inline WriteMode write_mode(const NodeAlloc& alloc) {
    if (alloc.mode_word(std::memory_order_acquire) != NodeAlloc::MODE_DEFERRED)
        return WriteMode::Exclusive;
    return alloc.root_covered() != 0 ? WriteMode::Versioned : WriteMode::Unversioned;
}

inline bool deferred(const NodeAlloc& alloc) {
    return alloc.mode_word(std::memory_order_acquire) == NodeAlloc::MODE_DEFERRED;
}

// Every operation below works on a root slot (level 8). `holder` names the
// word that guards the slot in the versioned mode: the root by default, a
// private word while a tree is built out of readers' reach.

inline bool set_insert(NodeAlloc& alloc, Edge& root, u64 key, InsertPath& path,
                       SlotHolder holder = SlotHolder::root()) {
    switch (write_mode(alloc)) {
        case WriteMode::Exclusive: return insert_with_path_flat(alloc, root, key, 8, path);
        case WriteMode::Versioned: return insert_with_path_occ<false>(alloc, root, key, 8, path, holder);
        case WriteMode::Unversioned: return insert_with_path_occ(alloc, root, key, 8, path);
    }
    fatal("valid write mode");
}

inline bool set_remove(NodeAlloc& alloc, Edge& root, u64 key) {
    switch (write_mode(alloc)) {
        case WriteMode::Exclusive: return remove(alloc, root, key, 8);
        case WriteMode::Versioned: return remove_occ<false>(alloc, root, key, 8, SlotHolder::root());
        case WriteMode::Unversioned: return remove_occ<true>(alloc, root, key, 8, SlotHolder::root());
    }
    fatal("valid write mode");
}

template <bool KeepExisting>
void map_insert(mutate_map::InsertResult& out, NodeAlloc& alloc, Edge& root, u64 key, u64 value,
                InsertPath& path, SlotHolder holder = SlotHolder::root()) {
    switch (write_mode(alloc)) {
        case WriteMode::Exclusive:
            return mutate_map::map_insert_with_path_flat<KeepExisting>(out, alloc, root, key, value,
                                                                       8, path);
        case WriteMode::Versioned:
            return mutate_map::map_insert_with_path_occ<KeepExisting, true, false>(
                out, alloc, root, key, value, 8, path, holder);
        case WriteMode::Unversioned:
            return mutate_map::map_insert_with_path_occ<KeepExisting, true, true>(
                out, alloc, root, key, value, 8, path);
    }
    fatal("valid write mode");
}

inline mutate_map::RemoveResult map_remove(NodeAlloc& alloc, Edge& root, u64 key) {
    switch (write_mode(alloc)) {
        case WriteMode::Exclusive: return mutate_map::map_remove(alloc, root, key, 8);
        case WriteMode::Versioned: return mutate_map::map_remove_occ<false>(alloc, root, key, 8);
        case WriteMode::Unversioned: return mutate_map::map_remove_occ<true>(alloc, root, key, 8);
    }
    fatal("valid write mode");
}

// Frees the whole tree below `root`: in place when exclusive, through the
// collector's grace period when deferred.
template <bool Map>
void free_tree(NodeAlloc& alloc, Edge& root) {
    if (deferred(alloc))
        free_subtree<true, Map>(alloc, root);
    else
        free_subtree<false, Map>(alloc, root);
}

}  // namespace tolvane::mutate
