#pragma once
// Splicing one entry into or out of a root-leaf block, the one body behind
// the set's and the map's root-leaf insert and remove. A block of n entries
// is `Arrays` word arrays of capacity_class(n) words each, back to back (the
// set: keys; the map: keys, then values); entry i is word i of every array.
//
// While the capacity class holds, the words shift in place one atomic word
// at a time, array by array, as the optimistic readers of the concurrent
// containers expect. Otherwise a fresh block of the new class is allocated
// and filled, then the old one released, in that order. The caller stores
// the new entry's words and the root words itself, since the set and the
// map lay their root words out differently.

#include <cstring>
#include <optional>

#include "tolvane/core/fatal.hpp"
#include "tolvane/core/key_value.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/read/nav.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::root_leaf {

inline u64 capacity_of(u64 n) noexcept {
    return capacity_class(static_cast<std::size_t>(n));
}

// Bytes of a block of n entries.
template <unsigned Arrays>
constexpr std::size_t block_bytes(u64 n) noexcept {
    return capacity_class(static_cast<std::size_t>(n)) * 8 * Arrays;
}

template <unsigned Arrays>
u64* new_block(NodeAlloc& alloc, u64 n) {
    return static_cast<u64*>(alloc.allocate_zeroed(block_bytes<Arrays>(n)));
}

// Opens position p (0 <= p <= n) of a block of n entries; returns the block
// of n + 1 entries whose position p is left for the caller to store.
template <unsigned Arrays>
u64* open_gap(NodeAlloc& alloc, u64* block, u64 n, u64 p) {
    const u64 cap = capacity_of(n);
    if (cap == capacity_of(n + 1)) {
        for (unsigned a = 0; a < Arrays; ++a)
            move_words_shared(block + a * cap + p + 1, block + a * cap + p, n - p);
        return block;
    }
    const u64 fresh_cap = capacity_of(n + 1);
    u64* fresh = new_block<Arrays>(alloc, n + 1);
    for (unsigned a = 0; a < Arrays; ++a) {
        std::memcpy(fresh + a * fresh_cap, block + a * cap, p * 8);
        std::memcpy(fresh + a * fresh_cap + p + 1, block + a * cap + p, (n - p) * 8);
    }
    alloc.release(block, block_bytes<Arrays>(n), 16);
    return fresh;
}

// Closes position i (i < n) of a block of n >= 2 entries; returns the block
// of n - 1 entries.
template <unsigned Arrays>
u64* close_gap(NodeAlloc& alloc, u64* block, u64 n, u64 i) {
    const u64 cap = capacity_of(n);
    if (cap == capacity_of(n - 1)) {
        for (unsigned a = 0; a < Arrays; ++a)
            move_words_shared(block + a * cap + i, block + a * cap + i + 1, n - i - 1);
        return block;
    }
    const u64 fresh_cap = capacity_of(n - 1);
    u64* fresh = new_block<Arrays>(alloc, n - 1);
    for (unsigned a = 0; a < Arrays; ++a) {
        std::memcpy(fresh + a * fresh_cap, block + a * cap, i * 8);
        std::memcpy(fresh + a * fresh_cap + i, block + a * cap + i + 1, (n - i - 1) * 8);
    }
    alloc.release(block, block_bytes<Arrays>(n), 16);
    return fresh;
}

// Copies every entry below a level-8 root edge (at most n of them) into a
// fresh block of n entries, ascending: keys, and values when Map.
template <bool Map>
u64* gather(NodeAlloc& alloc, const Edge& root, u64 n) {
    u64* block = new_block<Map ? 2 : 1>(alloc, n);
    u64* values = block + capacity_of(n);
    u64 count = 0;
    for (u64 k = 0;;) {
        const std::optional<KeyValue> e = nav::next<Map>(root, k, 8);
        if (!e) break;
        require(count < n, Map ? "condensed entries within the population"
                               : "condensed keys within the population");
        block[count] = e->key;
        if constexpr (Map) values[count] = e->value;
        ++count;
        if (e->key == ~u64{0}) break;
        k = e->key + 1;
    }
    return block;
}

}  // namespace tolvane::root_leaf
