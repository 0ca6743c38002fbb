#pragma once
// Everything an integer container held, taken out whole and not yet freed:
// the tree below its former root edge, or its root-leaf block.
//
// Freeing a tree that readers may still walk normally queues one record per
// block in the collector; a container that empties itself instead detaches
// its entries, waits until no reader can be inside them, and then frees them
// at once, queueing nothing (so clearing and dropping cannot fail for want
// of memory).

#include <cstddef>

#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/int/map_core.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/write/mutate_free.hpp"

namespace tolvane {

struct DetachedRoot {
    u64 state = ROOT_EMPTY;        // the root state the entries were taken from
    Edge tree;                     // ROOT_TREE: the former root edge
    u64* block = nullptr;          // ROOT_LEAF: the root-leaf block ...
    std::size_t block_bytes = 0;   // ... and its size
};

// Gives every block of `d` back at once, without a grace period, and
// leaves `d` empty. Only when no reader can be inside the blocks any more:
// in a deferred allocator they go straight onto the collector's free lists.
template <bool Map>
void free_detached(NodeAlloc& alloc, DetachedRoot& d) noexcept {
    if (d.state == ROOT_TREE)
        mutate::free_subtree_unpublished<Map>(alloc, d.tree);
    else if (d.state == ROOT_LEAF)
        alloc.release_unpublished(d.block, d.block_bytes, 16);
    d = DetachedRoot{};
}

}  // namespace tolvane
