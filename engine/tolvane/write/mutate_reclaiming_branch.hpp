#pragma once
// In-place child slot changes of branch nodes in trees that optimistic readers
// may walk: a child opened for a new digit, a child closed after its subtree
// emptied. Flavour-independent: map and set branches are the same nodes.
//
// None of these brackets anything itself. The caller holds the node's own
// version word odd around each call (node_version_begin / _end), so a reader
// that validates the node sees the change or retries. Within that bracket
// every moved edge is read word 0 first and written word 1 first, the digit
// bytes and the count/level/summary word are stored once each, and a new
// BranchB subarray is complete before its pointer is stored with release.

#include <bit>
#include <cstddef>
#include <cstring>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_reclaiming.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate::reclaiming_detail {

// Opens the slot of digit `d` (absent) in a linear branch with room: the
// children above it move up one place, the highest first. Returns the new,
// empty child edge.
template <std::size_t N>
Edge& open_linear_child(BranchL<N>& node, u8 d) {
    const unsigned count = node.count;
    require(count < N, "index out of bounds: linear branch has no free slot");
    unsigned at = 0;
    while (at < count && node.digits[at] < d) ++at;
    for (unsigned j = count; j > at; --j) move_edge(node.children[j], node.children[j - 1]);
    publish_edge(node.children[at], Edge::empty());
    u8 digits[8];
    std::memcpy(digits, node.digits, 8);
    for (unsigned j = count; j > at; --j) digits[j] = digits[j - 1];
    digits[at] = d;
    store_digits(node, digits);
    store_shape(node, static_cast<u8>(count + 1), node.level,
                static_cast<u16>(node.summary | (1u << (d & 15))));
    return node.children[at];
}

// Closes slot `at` of a linear branch: the children above it move down, the
// last used slot is emptied, the summary is rebuilt. Returns the children left.
template <std::size_t N>
unsigned close_linear_child(BranchL<N>& node, unsigned at) {
    const unsigned count = node.count;
    require(at < count && count <= N, "index out of bounds: linear branch child");
    const unsigned left = count - 1;
    for (unsigned j = at; j < left; ++j) move_edge(node.children[j], node.children[j + 1]);
    publish_edge(node.children[left], Edge::empty());
    u8 digits[8];
    std::memcpy(digits, node.digits, 8);
    for (unsigned j = at; j < left; ++j) digits[j] = digits[j + 1];
    digits[left] = 0;
    store_digits(node, digits);
    store_shape(node, static_cast<u8>(left), node.level, digit_summary(digits, left));
    return left;
}

// Opens the slot of digit `d` (absent) in a BranchB below 192 children: in
// place while the group's subarray keeps its capacity class, else in a new
// subarray (the old one released before the new pointer is stored). Returns
// the new, empty child edge.
inline Edge& open_bitmap_child(NodeAlloc& alloc, BranchB& node, u8 d) {
    const unsigned g = d >> 5;
    const unsigned r = group_rank(node.bitmap[g], d);
    const std::size_t c = node.group_counts[g];
    Edge* sub = node.subarrays[g];
    if (c > 0 && capacity_class(c + 1) == capacity_class(c)) {
        require(sub != nullptr, "subarray");
        for (std::size_t j = c; j > r; --j) move_edge(sub[j], sub[j - 1]);
        publish_edge(sub[r], Edge::empty());
    } else {
        Edge* fresh = detail::take_subarray(alloc, c + 1);
        if (c > 0) {
            require(sub != nullptr, "subarray");
            for (std::size_t j = 0; j < r; ++j) fresh[j] = read_edge(sub[j]);
            for (std::size_t j = r; j < c; ++j) fresh[j + 1] = read_edge(sub[j]);
            detail::release_subarray(alloc, sub, c);
        }
        store_release(node.subarrays[g], fresh);
        sub = fresh;
    }
    store_relaxed(node.group_counts[g], static_cast<u16>(c + 1));
    store_digit_bit(node, d, true);
    return sub[r];
}

// Closes the slot of digit `d` (present) in a BranchB: a group's last child
// takes its subarray with it; otherwise in place while the capacity class
// holds, else into a smaller subarray. Returns the children left in the node.
inline unsigned close_bitmap_child(NodeAlloc& alloc, BranchB& node, u8 d) {
    const unsigned g = d >> 5;
    const unsigned r = group_rank(node.bitmap[g], d);
    const std::size_t c = node.group_counts[g];
    Edge* sub = node.subarrays[g];
    require(c > 0 && sub != nullptr, "subarray");
    if (c == 1) {
        store_release(node.subarrays[g], static_cast<Edge*>(nullptr));
        detail::release_subarray(alloc, sub, 1);
    } else if (capacity_class(c - 1) == capacity_class(c)) {
        for (std::size_t j = r; j + 1 < c; ++j) move_edge(sub[j], sub[j + 1]);
        publish_edge(sub[c - 1], Edge::empty());
    } else {
        Edge* fresh = detail::take_subarray(alloc, c - 1);
        for (std::size_t j = 0; j < r; ++j) fresh[j] = read_edge(sub[j]);
        for (std::size_t j = r + 1; j < c; ++j) fresh[j - 1] = read_edge(sub[j]);
        store_release(node.subarrays[g], fresh);
        detail::release_subarray(alloc, sub, c);
    }
    store_relaxed(node.group_counts[g], static_cast<u16>(c - 1));
    store_digit_bit(node, d, false);
    return detail::bitmap_children(node);
}

// Non-empty children of a BranchU, counted 16 at a time; the count stops
// after the first run that takes it above the shrink bound, since only
// whether the node keeps more than that matters.
inline unsigned u_children_up_to_shrink(const BranchU& node) {
    unsigned n = 0;
    for (unsigned run = 0; run < 256 && n <= U_SHRINK_AT; run += 16)
        for (unsigned d = run; d < run + 16; ++d)
            if (read_edge(node.children[d]).tag_byte() != TAG_EMPTY) ++n;
    return n;
}

}  // namespace tolvane::mutate::reclaiming_detail
