#pragma once
// The insert path: the hot level-1 leaf of the last full insert and its
// ancestors, so that the owner can add the next keys with the same 56-bit
// prefix straight into that leaf and settle the ancestors' counts later.

#include <cstddef>
#include <cstdint>

#include "tolvane/core/fatal.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane {

// InsertPath, kept by every integer container beside its tree.
//
//   edges[0]         the hot leaf's edge (slot level 1), levels[0] = 1
//   edges[1..len)    its ancestors in the order the filling walk passed them
//                    (root slot first), levels[i] the node's own level
//   prefix           key >> 8 of every key in the hot leaf; all ones if none
//   hot_bitmap       the hot LeafB1 (or map bitmap leaf) node, else null
//   hot_linear       the key block of the hot 1-byte linear leaf, else null
//   pending          keys added through the hot leaf and not yet counted in
//                    the pop0 of edges[1..len)
//   hot_count        keys in the hot leaf; edges[0]'s pop0 is always exact
//
// Invariants: len == 0 means no hot leaf and nothing owed. With len >= 1 the
// hot leaf is a LeafB1 or a tag-5 leaf at slot level 1, every key k with
// k >> 8 == prefix belongs in it and nowhere else, and each ancestor of level
// 7 or less is short by exactly `pending` (level-8 nodes carry no pop0). No
// entry points at an edge that was moved or freed: every shape change of the
// tree flushes the record first.
struct InsertPath {
    static constexpr std::size_t MAX_ENTRIES = 8;
    static constexpr u64 NO_PREFIX = ~u64{0};

    Edge* edges[MAX_ENTRIES] = {};
    u64 prefix = NO_PREFIX;
    u8 levels[MAX_ENTRIES] = {};
    u64 len = 0;
    void* hot_bitmap = nullptr;
    u8* hot_linear = nullptr;
    i64 pending = 0;
    u16 hot_count = 0;

    bool empty() const noexcept { return len == 0; }

    // Settles `pending` on the ancestors and empties the record. An empty
    // record is left exactly as it is.
    void flush_and_reset() {
        if (len == 0) return;
        require(len <= MAX_ENTRIES, "index out of bounds: insert path length above 8");
        if (pending != 0) {
            const i64 d = pending;
            pending = 0;
            for (u64 i = 1; i < len; ++i) {
                if (levels[i] <= 7) edges[i]->add_pop0(levels[i], d);
            }
        }
        reset();
    }

    // Empties the record without settling anything (callers that know
    // `pending` is zero, or that are about to overwrite it).
    void reset() noexcept {
        hot_count = 0;
        prefix = NO_PREFIX;
        hot_bitmap = nullptr;
        hot_linear = nullptr;
        len = 0;
    }

    // Names a level-1 leaf as the hot leaf after `key` went into it; whatever
    // the record held is overwritten. The ancestors follow through append().
    void fill(Edge* leaf_edge, void* bitmap_node, u8* linear_block, u16 count, u64 key) noexcept {
        edges[0] = leaf_edge;
        levels[0] = 1;
        len = 1;
        prefix = key >> 8;
        hot_count = count;
        pending = 0;
        hot_bitmap = bitmap_node;
        hot_linear = linear_block;
    }

    // Records one ancestor after a fill in the same walk; ignored when the
    // record is empty (no fill happened) or already holds 8 entries.
    void append(Edge* edge, u8 level) noexcept {
        if (len >= 1 && len <= 7) {
            edges[len] = edge;
            levels[len] = level;
            ++len;
        }
    }
};

namespace mutate {

// The branches an insert walk passed, root slot first, with each node's own
// level. Branch levels run from 8 down to 2, so a valid tree needs at most 7.
struct DescentStack {
    static constexpr std::size_t CAPACITY = 8;
    Edge* edges[CAPACITY] = {};
    u8 levels[CAPACITY] = {};
    std::size_t size = 0;

    void push(Edge* edge, unsigned level) {
        require(size < CAPACITY, "index out of bounds: descent stack deeper than 8");
        edges[size] = edge;
        levels[size] = static_cast<u8>(level);
        ++size;
    }
};

}  // namespace mutate
}  // namespace tolvane
