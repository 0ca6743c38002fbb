#pragma once
// Leaf level of the set-flavour insert, one body for the exclusive and the
// reclaiming insert: what the empty edge, an immediate, a linear leaf or a
// LeafB1 does when the key reaches it (the forms and their bounds are in
// core/forms.hpp and docs/forms.md). The linear leaf's step serves the map
// flavour too. The slot type decides how memory changes
// (mutate_reclaiming.hpp), as in the remove's leaf level:
//
//   ExclusiveSlot    the exclusive insert: plain stores, nothing bracketed;
//                    the insert path is refilled when the key went into a
//                    one-byte leaf or a LeafB1 in a level-1 slot
//   SlotGuard<U>     the reclaiming insert: `e` is a private copy of the
//                    slot, republished (word 1, then word 0 with release);
//                    an edit that keeps its block is made in place with
//                    single atomic stores inside the slot's bracket; a block
//                    that changes size is rebuilt, published, and the old one
//                    released after (retired when deferred); the insert path
//                    is never refilled (hot leaves are for exclusive trees)
//
// Every step flushes the insert path before a change of shape, so the path
// never names an edge that moved. `e` is the edge as read from `slot`.

#include <cstddef>
#include <cstring>
#include <vector>

#include "tolvane/core/fatal.hpp"
#include "tolvane/core/forms.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/leaf/leaf_keys.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/write/insert_branch.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/write/mutate_leaf_build.hpp"
#include "tolvane/write/mutate_leaf_split.hpp"
#include "tolvane/write/mutate_reclaiming.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate::insert_leaf {

enum class Outcome : u8 {
    Present,   // the key was there; the flavour settled it
    Stored,    // the key is stored; the ancestors still owe their counts
    Reshaped,  // the slot holds a new form: dispatch on it again
};

// The empty slot: a level-8 slot first gets its root branch, any other a
// one-key immediate.
template <class Slot>
Outcome into_empty(const Slot& out, Edge& slot, u64 key, unsigned level, InsertPath& path) {
    if (level == 8) {
        out.publish(slot, detail::fresh_root_branch(out.alloc));
        path.flush_and_reset();
        return Outcome::Reshaped;
    }
    path.flush_and_reset();
    Edge fresh;
    fresh.w0 = key & low_bytes_mask(level);
    fresh.set_tag(immediate_tag(level, 1));
    out.publish(slot, fresh);
    return Outcome::Stored;
}

// Tags 16 to 126: an immediate of n keys of w bytes (w is the slot level);
// a full one becomes a linear leaf of its keys and the new one.
template <class Slot>
Outcome into_immediate(const Slot& out, Edge& slot, const Edge& e, EdgeKind kind, u64 key,
                       InsertPath& path) {
    path.flush_and_reset();
    const u8 w = kind.key_bytes;
    const unsigned n = kind.count;
    const u64 k = key & low_bytes_mask(w);
    u64 keys[16];
    if (n == 1) {
        // The most common immediate: its one key is the low bytes of word 0,
        // so it is read without unpacking the edge.
        const u64 only = e.w0 & low_bytes_mask(w);
        if (only == k) return Outcome::Present;
        keys[0] = only < k ? only : k;
        keys[1] = only < k ? k : only;
    } else {
        const KeyList16 stored = immed_keys(e, w, static_cast<u8>(n));
        unsigned at = 0;
        while (at < n && stored[at] < k) ++at;
        if (at < n && stored[at] == k) return Outcome::Present;
        for (unsigned i = 0; i < at; ++i) keys[i] = stored[i];
        keys[at] = k;
        for (unsigned i = at; i < n; ++i) keys[i + 1] = stored[i];
    }

    Edge fresh;
    if (n < forms::set_immediate_capacity(w))
        write_immed(fresh, w, keys, n + 1);
    else
        build_leaf<Slot::kReclaiming>(out.alloc, fresh, w, keys, n + 1);
    out.publish(slot, fresh);
    return Outcome::Stored;
}

// The linear-leaf step. A linear leaf is one block of n entries in
// capacity_class(n) places: in the map flavour a value word each, then the
// packed w-byte keys; in the set flavour the keys alone. So both flavours
// find a key alike (the last key first, then a search), insert in place
// while the capacity class holds, else grow into a fresh block, publish and
// release alike. The flavour (SetFlavour below, MapFlavour in
// mutate_map_insert_leaf.hpp) gives
//   kValues, value    whether entries carry a value word, and the new
//                     key's value (0 for the set)
//   present(...)      what a present key at index i does: Present
//   rebuild_full(...) how a full leaf takes the key at index `at`
//   added(block, i)   what a key newly stored at index i reports: Stored
template <bool Values>
constexpr std::size_t linear_block_bytes(std::size_t n, unsigned w) noexcept {
    return Values ? map_leaf_block_bytes(n, w) : leaf_block_bytes(n, w);
}

// The last of n packed keys, read as the one word that ends with it where
// that word lies in the block (always in a map leaf, whose value words come
// first): a copy of w bytes would go through memory and stall the read.
template <bool Values>
u64 last_packed_key(const u8* keys, std::size_t n, unsigned w) noexcept {
    if (Values || n * w >= 8) {
        u64 ending_word;
        std::memcpy(&ending_word, keys + n * w - 8, 8);
        return ending_word >> (64 - 8 * w);
    }
    return leaf::packed_key(keys, n - 1, w);
}

// A block for n + 1 entries: the n of `block` with (k, value) at index `at`.
template <bool Values>
u8* grown_linear_leaf(NodeAlloc& alloc, const u8* block, std::size_t n, unsigned w,
                      std::size_t at, u64 k, u64 value) {
    u8* fresh = static_cast<u8*>(alloc.allocate_zeroed(linear_block_bytes<Values>(n + 1, w)));
    if constexpr (Values) {
        std::memcpy(fresh, block, at * 8);
        std::memcpy(fresh + 8 * at, &value, 8);
        std::memcpy(fresh + 8 * (at + 1), block + 8 * at, (n - at) * 8);
    }
    const u8* keys = block + (Values ? map_leaf_key_offset(n) : 0);
    u8* fresh_keys = fresh + (Values ? map_leaf_key_offset(n + 1) : 0);
    std::memcpy(fresh_keys, keys, at * w);
    leaf::put_packed_key(fresh_keys, at, w, k);
    std::memcpy(fresh_keys + (at + 1) * w, keys + at * w, (n - at) * w);
    return fresh;
}

// Tags 5 to 11: a linear leaf of w-byte keys in a slot of `level`.
// Out of line: inlined into the recursive reclaiming walk, it made every
// frame of the walk dearer.
template <class Slot, class Flavour, class InsertAgain>
[[gnu::noinline]] Outcome into_linear_leaf(const Slot& out, const Flavour& flavour, Edge& slot,
                                           Edge e, u64 key, unsigned level, InsertPath& path,
                                           InsertAgain&& insert_again) {
    constexpr bool kValues = Flavour::kValues;
    const u8 w = static_cast<u8>(e.tag_byte() - TAG_LEAF_BASE);
    const std::size_t n = static_cast<std::size_t>(e.pop0(w)) + 1;
    // A one-byte leaf may stay the hot leaf; a wider one never is.
    if (w > 1) path.flush_and_reset();
    // A key whose skipped bytes differ belongs beside this leaf, not in it.
    if (w < level) {
        if (const unsigned at = skip_mismatch_level(e, level, w, key)) {
            insert_branch::wrap_in_slot(out, slot, e, at, level, n);
            return Outcome::Reshaped;
        }
    }
    u8* block = e.ptr<u8>();
    require(block != nullptr, "leaf ptr");
    u8* keys = block + (kValues ? map_leaf_key_offset(n) : 0);
    const u64 k = key & low_bytes_mask(w);

    std::size_t at;
    const u64 last = last_packed_key<kValues>(keys, n, w);
    if (k > last) {
        at = n;  // appending is the common case
    } else if (k == last) {
        return flavour.present(out, slot, e, block, n - 1);
    } else {
        const leaf::LeafPos pos = leaf::locate(keys, n, w, k);
        if (pos.found) return flavour.present(out, slot, e, block, pos.index);
        at = pos.index;
    }

    if (n >= forms::linear_leaf_max_keys(w)) {
        path.flush_and_reset();
        return flavour.rebuild_full(out, slot, e, level, w, n, at, key, path, insert_again);
    }

    if (capacity_class(n + 1) == capacity_class(n)) {
        out.begin();
        if constexpr (kValues) {
            u64* values = e.ptr<u64>();
            for (std::size_t j = n; j > at; --j) out.store(values[j], values[j - 1]);
            out.store(values[at], flavour.value);
        }
        if constexpr (Slot::kReclaiming) {
            leaf::shared_keys::insert_at(keys, w, n, at, k);
        } else {
            std::memmove(keys + (at + 1) * w, keys + at * w, (n - at) * w);
            leaf::put_packed_key(keys, at, w, k);
        }
        e.set_pop0(w, n);
        out.store_edge(slot, e);
        out.end();
    } else {
        u8* fresh = grown_linear_leaf<kValues>(out.alloc, block, n, w, at, k, flavour.value);
        e.set_ptr(fresh);
        e.set_pop0(w, n);
        out.publish(slot, e);
        out.alloc.release(block, linear_block_bytes<kValues>(n, w), LEAF_ALIGN);
        block = fresh;
    }
    if (!Slot::kReclaiming && w == 1 && level == 1)
        path.fill(&slot, nullptr, block, static_cast<u16>(n + 1), key);
    else
        path.flush_and_reset();
    return flavour.added(block, at);
}

// The set flavour of the linear-leaf step: keys alone, and a present key
// needs nothing.
struct SetFlavour {
    static constexpr bool kValues = false;
    static constexpr u64 value = 0;  // set entries carry none

    template <class Slot>
    static Outcome present(const Slot&, Edge&, const Edge&, u8*, std::size_t) {
        return Outcome::Present;
    }

    // The 26th key of a one-byte leaf, or the 33rd of a wider one: the keys
    // move into a LeafB1, or under a new BranchL3 at the highest byte in
    // which they differ, built on a private edge by inserting them one by one
    // through `insert_again(edge, key, holder)`; `holder` is a private word
    // that stands in for the branch that will hold the edge.
    template <class Slot, class InsertAgain>
    static Outcome rebuild_full(const Slot& out, Edge& slot, const Edge& e, unsigned level, u8 w,
                                std::size_t n, std::size_t at, u64 key, InsertPath& path,
                                InsertAgain& insert_again) {
        NodeAlloc& alloc = out.alloc;
        std::vector<u64> keys = leaf_keys(e, w, n);
        keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(at), key & low_bytes_mask(w));
        Edge fresh;
        bool refill = level == 1;
        if (w == 1) {
            fresh = e;  // keeps the skipped digits above byte 8
            fresh.set_ptr(bitmap_leaf_of(alloc, keys));
            fresh.set_byte(8, static_cast<u8>(n));
            fresh.set_tag(TAG_LEAF_BITMAP);
        } else {
            if (w < level) {
                const u64 prefix = shl8(decode_value(e, w, static_cast<u8>(level)), w);
                for (u64& x : keys) x |= prefix;
            }
            if (const unsigned node_level = split_full_leaf_head(alloc, fresh, keys, level)) {
                // No reader sees the private edge yet.
                u32 private_word = 0;
                for (u64 x : keys) insert_again(fresh, x, SlotHolder::branch(private_word));
                fresh.set_pop0(node_level, n);
                // The re-inserts may have named a hot leaf under the private edge.
                path.flush_and_reset();
                refill = false;
            }
        }
        out.publish(slot, fresh);
        alloc.release(e.ptr<void>(), leaf_block_bytes(n, w), LEAF_ALIGN);
        if (!Slot::kReclaiming && refill)
            path.fill(&slot, slot.ptr<LeafB1>(), nullptr, static_cast<u16>(n + 1), key);
        return Outcome::Stored;
    }

    static Outcome added(u8*, std::size_t) { return Outcome::Stored; }
};

// Tag 12: a LeafB1 in a slot of `level`. Its 256th key at slot level 1 makes
// a full edge; above level 1 it stays a LeafB1, since a full edge there would
// claim the slot's whole range. Forced inline: a dense run of keys lands here
// on nearly every insert, and as a call its prologue cost more than its body.
template <class Slot>
[[gnu::always_inline]] inline Outcome into_bitmap_leaf(const Slot& out, Edge& slot, Edge e,
                                                       u64 key, unsigned level,
                                                       InsertPath& path) {
    if (level > 1) {
        if (const unsigned at = skip_mismatch_level(e, level, 1, key)) {
            path.flush_and_reset();
            insert_branch::wrap_in_slot(out, slot, e, at, level, e.pop0(1) + 1);
            return Outcome::Reshaped;
        }
    }
    auto* leaf = e.ptr<LeafB1>();
    require(leaf != nullptr, "leaf ptr");
    u64& word = leaf->bitmap[(key >> 6) & 3];
    const u64 bit = u64{1} << (key & 63);

    out.begin();
    const u64 old = load_relaxed(word);
    if (old & bit) {
        // The reclaiming insert closes its bracket with the same words.
        out.store(word, old);
        out.store_edge(slot, e);
        out.end();
        return Outcome::Present;
    }
    out.store(word, old | bit);
    const unsigned count = e.byte(8) + 2u;
    if (count == 256 && level == 1) {
        out.alloc.release(leaf, LEAF_B1_BYTES, NODE_ALIGN);
        Edge full;
        full.set_tag(TAG_FULL);
        full.set_byte(8, 0xFF);
        out.store_edge(slot, full);
        out.end();
        path.flush_and_reset();
        return Outcome::Stored;
    }
    e.set_byte(8, static_cast<u8>(count - 1));
    out.store_edge(slot, e);
    out.end();
    if (!Slot::kReclaiming && level == 1)
        path.fill(&slot, leaf, nullptr, static_cast<u16>(count), key);
    return Outcome::Stored;
}

}  // namespace tolvane::mutate::insert_leaf
