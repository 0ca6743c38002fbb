#pragma once
// Building a fresh set-flavour linear leaf from a run of keys.

#include <cstddef>
#include <cstring>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::mutate {

// Lays n keys (ascending in their low w bytes, n >= 1, w 1..7) into a new
// zeroed block of capacity_class(n) * w bytes and points `edge` at it: w0 the
// block, decode positions 0..w-1 the pop0 n - 1, the rest of the decode area
// zero, tag 4 + w. Whatever the edge pointed at before is not freed, and
// skipped prefix bytes are the caller's to write afterwards.
//
// The exclusive (Occ = false) and reclaiming (Occ = true) builds lay out the
// same block and edge; where the block comes from and where it is counted
// follows the allocator's mode. The edge is written with plain stores: it is
// owned by the one writer or is a private copy the caller publishes.
// Packs n keys of W bytes each; a constant width lets each copy be a store or
// two instead of a byte loop.
template <unsigned W>
void pack_keys(u8* block, const u64* keys, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) std::memcpy(block + i * W, &keys[i], W);
}

template <bool Occ>
void build_leaf(NodeAlloc& alloc, Edge& edge, u8 w, const u64* keys, std::size_t n) {
    require(w >= 1 && w <= 7 && n >= 1, "linear leaf of 1..=7-byte keys and at least one key");
    const std::size_t size = leaf_block_bytes(n, w);
    u8* block = static_cast<u8*>(alloc.allocate_zeroed(size));
    switch (w) {
        case 1: pack_keys<1>(block, keys, n); break;
        case 2: pack_keys<2>(block, keys, n); break;
        case 3: pack_keys<3>(block, keys, n); break;
        case 4: pack_keys<4>(block, keys, n); break;
        case 5: pack_keys<5>(block, keys, n); break;
        case 6: pack_keys<6>(block, keys, n); break;
        default: pack_keys<7>(block, keys, n); break;
    }
    Edge out;
    out.set_ptr(block);
    out.w1 = ((static_cast<u64>(n) - 1) & LEVEL_MASK[w]) | (static_cast<u64>(linear_leaf_tag(w)) << 56);
    edge = out;
}

}  // namespace tolvane::mutate
