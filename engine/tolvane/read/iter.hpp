#pragma once
// Forward iteration over one trie in ascending key order.
//
// A RawIter is a plain value of fixed size with no heap memory: the branch
// frames of the path from the root to the current leaf, one leaf cursor and
// the frame depth. It reads the tree in place (small leaves are copied into
// the cursor so that consumed bits can be cleared there) and must not outlive
// a change of the tree. The set flavour yields keys, the map flavour (key,
// value) pairs. The end is sticky: once next() has answered none it keeps
// answering none.

#include <optional>
#include <type_traits>

#include "tolvane/core/key_value.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane {

// One branch node on the path. Invariants: frames below the iterator's depth
// are live; `prefix` holds the key bytes above this node's branching byte
// (digits chosen above and the node's own skipped bytes), the branching byte
// and everything below it zero; the children of the node sit in slots of
// level `level - 1`.
struct BranchFrame {
    enum Kind : u8 { LINEAR_3 = 0, LINEAR_7 = 1, BITMAP = 2, UNCOMPRESSED = 3 };

    u8 kind = UNCOMPRESSED;
    u8 count = 0;  // linear kinds: children in the node
    // Linear kinds: index of the next child; bitmap and uncompressed kinds:
    // the next digit to examine, 256 when none is left.
    u16 position = 256;
    const void* node = nullptr;
    u8 digits[8] = {};  // linear kinds: copy of the node's digits
    u64 prefix = 0;
    u8 level = 0;  // the node's level; an uncompressed branch's is its slot level
};

// The leaf the iterator is on, tagged by `kind`. Only the member named by
// the kind is live. A used-up cursor keeps its kind until the walk moves on:
// kind NONE alone means the iterator is finished.
struct LeafCursor {
    enum Kind : u8 {
        NONE = 0,
        ROOT_LEAF = 1,   // the sorted entries of a container that has no tree
        LINEAR = 2,      // linear leaf, read in place
        SET_BITMAP = 3,  // LeafB1, bitmap copied
        MAP_BITMAP = 4,  // LeafBitmapL, groups and value subarray pointers copied
        SINGLE = 5,      // immediate of one key
        MULTI = 6,       // immediate of several keys, copied
        RANGE = 7,       // full edge: every key from lo to hi
    };
    struct RootLeaf {
        u32 count;
        u32 position;
        const u64* keys;
        const u64* values;  // map flavour
    };
    struct Linear {
        u8 w;
        u16 count;
        u16 position;
        const u8* keys;
        const u64* values;  // map flavour
        u64 prefix;         // low w bytes zero
    };
    struct SetBitmap {
        u8 word;  // 0..4; consumed bits are cleared in `bits`
        u64 prefix;
        u64 bits[4];
    };
    struct MapBitmap {
        u8 group;   // 0..8
        u16 index;  // into the current group's value subarray
        u32 rest;   // bits of the current group not yet yielded
        u64 prefix;
        u32 groups[8];
        const u64* values[8];
    };
    struct Single {
        u8 taken;
        u64 key;
        u64 value;
    };
    struct Multi {
        u8 count;
        u8 position;
        u64 keys[15];    // prefix already in
        u64 values[15];  // map flavour
    };
    // Yields lo, lo + 1, ..., hi. After hi it is left as lo > hi, so an
    // all-ones hi never wraps round to 0.
    struct Range {
        u64 lo;
        u64 hi;
    };

    u8 kind = NONE;
    union {
        RootLeaf root_leaf;
        Linear linear;
        SetBitmap set_bitmap;
        MapBitmap map_bitmap;
        Single single;
        Multi multi;
        Range range;
    };

    LeafCursor() noexcept : range{0, 0} {}
};

// Map = false: SetIter (keys); Map = true: MapIter ((key, value) pairs).
template <bool Map>
struct RawIter {
    using Item = std::conditional_t<Map, KeyValue, u64>;
    static constexpr unsigned MAX_DEPTH = 8;

    BranchFrame frames[MAX_DEPTH];
    LeafCursor leaf;
    u64 depth = 0;

    // A fresh iterator is finished.
    RawIter() = default;

    // Positioned before the smallest key below `root` (a level-8 root edge).
    static RawIter from_tree(const Edge& root);

    // Positioned before the smallest key at or above `start`; finished when
    // there is none.
    static RawIter from_tree_range(const Edge& root, u64 start);

    // Over the sorted entries of a container that keeps them without a tree,
    // from entry `position` on. `values` is null in the set flavour.
    static RawIter over_root_leaf(const u64* keys, const u64* values, u32 count, u32 position);

    // The next key or entry in ascending order; none once finished.
    std::optional<Item> next();

    // Leftmost descent: opens `edge` (slot level `slot`, key prefix `prefix`)
    // at its smallest key, pushing a frame per branch passed. False when it
    // found no leaf to open; the frames it pushed stay for the walk to go on.
    bool open(const Edge& edge, unsigned slot, u64 prefix);

    // Moves to the next leaf through the frames; at depth 0 the iterator is
    // finished (cursor NONE) and the answer is false.
    bool advance();

  private:
    bool take(KeyValue& out);
    void push(const BranchFrame& frame);
    bool next_child(BranchFrame& frame, const Edge*& child, unsigned& digit);
    void open_linear(const Edge& edge, u64 prefix, std::size_t position);
    void open_bitmap(const Edge& edge, u64 prefix, u8 first);
    void open_immediate(const Edge& edge, const EdgeKind& kind, u64 prefix, std::size_t position);
};

using SetIter = RawIter<false>;
using MapIter = RawIter<true>;

// Engines copy iterators freely and keep them inside other values.
static_assert(std::is_trivially_copyable_v<SetIter> && std::is_trivially_copyable_v<MapIter>);

extern template struct RawIter<false>;
extern template struct RawIter<true>;

}  // namespace tolvane
