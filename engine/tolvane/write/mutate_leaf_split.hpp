#pragma once
// What a full set-flavour linear leaf becomes when it takes one key more,
// for the insert's leaf level (insert_leaf.hpp). The builders fill new nodes only; publishing them
// and releasing the old leaf is the caller's protocol.

#include <bit>
#include <vector>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::mutate {

// A new LeafB1 with the bit of each key's lowest byte set (any range of
// unsigned keys).
template <class Keys>
LeafB1* bitmap_leaf_of(NodeAlloc& alloc, const Keys& keys) {
    auto* leaf = detail::take_node<LeafB1>(alloc);
    for (const u64 x : keys) leaf->bitmap[(x >> 6) & 3] |= u64{1} << (x & 63);
    return leaf;
}

// The replacement of a full leaf of wide keys in a slot of `level`, written
// into `fresh`, for `keys` (sorted, each with at least its low `level`
// bytes): a LeafB1 holding them all under the skipped digits when they
// differ only in the lowest byte (returns 0); else an empty BranchL3 at the
// level above the highest byte in which they differ, under its skipped
// digits, for the caller to fill and count (returns that level).
inline unsigned split_full_leaf_head(NodeAlloc& alloc, Edge& fresh, const std::vector<u64>& keys,
                                     unsigned level) {
    const u64 differ = (keys.front() ^ keys.back()) & low_bytes_mask(level);
    const unsigned d = (63u - static_cast<unsigned>(std::countl_zero(differ))) >> 3;
    Edge head;
    if (d == 0) {
        head.set_ptr(bitmap_leaf_of(alloc, keys));
        head.set_tag(TAG_LEAF_BITMAP);
        head.set_byte(8, static_cast<u8>(keys.size() - 1));
        write_decode(head, 1, static_cast<u8>(level), keys.front());
        fresh = head;
        return 0;
    }
    auto* node = detail::take_node<BranchL3>(alloc);
    node->level = static_cast<u8>(d + 1);
    head.set_ptr(node);
    head.set_tag(TAG_BRANCH_L3);
    if (d + 1 < level)
        write_decode(head, static_cast<u8>(d + 1), static_cast<u8>(level), keys.front());
    fresh = head;
    return d + 1;
}

}  // namespace tolvane::mutate
