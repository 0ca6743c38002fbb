#pragma once
// The root leaf of the integer engines, one body for the set and the map:
// the put and the take of one entry, the conversion of a full root leaf into
// a tree, the condensing of a small tree back into a root leaf, clearing,
// and the defensive check of the root.
//
// The bodies see a container's root through a record of its flavour:
//   SetRootRecord   keys only; the root leaf's words are (count, key array);
//                   root-state changes are plain stores: readers never load
//                   the set's root state, they see the root only as its
//                   owner publishes it
//   MapRootRecord   keys then values; the words are (block, count); the root
//                   state is loaded with acquire and stored with release, so
//                   that readers of a shared MapCore that load it see
//                   matching root words
// Both reach the container's fields root_state, root and len (the tree's
// entry count) through one reference, which travels in a register. (The
// set's record is a template only so that this header need not include the
// set.) Their invariants are those of MapCore and TolvaneSet: 1 to 31
// entries in a root leaf, 32 or more in a tree except between a removal and
// its condensing.

#include <optional>
#include <string>

#include "tolvane/check/validate.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/core/forms.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/int/detached_root.hpp"
#include "tolvane/int/map_core.hpp"
#include "tolvane/int/put_place.hpp"
#include "tolvane/int/root_leaf_block.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/write/mode.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::root_leaf {

template <class Owner>
struct SetRootRecord {
    static constexpr bool kMap = false;
    Owner& owner;

    u64 load_state() const noexcept { return owner.root_state; }
    void publish(u64 s) const noexcept { owner.root_state = s; }
    Edge& root() const noexcept { return owner.root; }
    u64& len() const noexcept { return owner.len; }
    u64 count() const noexcept { return owner.root.w0; }
    u64* block() const noexcept {
        return reinterpret_cast<u64*>(static_cast<std::uintptr_t>(owner.root.w1));
    }
    void set_count(u64 n) const noexcept { owner.root.w0 = n; }
    void set_block(u64* b) const noexcept { owner.root.w1 = reinterpret_cast<std::uintptr_t>(b); }
    // Word 0 first, then word 1.
    void set_leaf(u64* b, u64 n) const noexcept {
        set_count(n);
        set_block(b);
    }
};

struct MapRootRecord {
    static constexpr bool kMap = true;
    MapCore& core;

    u64 load_state() const noexcept { return load_acquire(core.root_state); }
    void publish(u64 s) const noexcept { store_release(core.root_state, s); }
    Edge& root() const noexcept { return core.root; }
    u64& len() const noexcept { return core.len; }
    u64 count() const noexcept { return core.root.w1; }
    u64* block() const noexcept { return core.root.ptr<u64>(); }
    void set_count(u64 n) const noexcept { core.root.w1 = n; }
    void set_block(u64* b) const noexcept { core.root.w0 = reinterpret_cast<std::uintptr_t>(b); }
    // Word 0 first, then word 1.
    void set_leaf(u64* b, u64 n) const noexcept {
        set_block(b);
        set_count(n);
    }
};

template <class Record>
inline constexpr unsigned kArrays = Record::kMap ? 2 : 1;

// Value word of entry i of a root-leaf block of n entries.
inline u64* value_word(u64* block, u64 n, u64 i) noexcept { return block + capacity_of(n) + i; }

// Puts the key (and, in a map, its value) into an empty root or a root
// leaf; Declined, with nothing changed, when the key is new and the leaf
// already holds the most a root leaf may (the caller builds the tree). A
// present key keeps its value here: overwriting is the caller's choice.
template <class Record>
PutPlace put(Record r, NodeAlloc& alloc, u64 key, u64 value) {
    constexpr unsigned A = kArrays<Record>;
    if (r.load_state() == ROOT_EMPTY) {
        u64* block = new_block<A>(alloc, 1);
        block[0] = key;
        if constexpr (Record::kMap) block[1] = value;
        r.set_leaf(block, 1);
        r.publish(ROOT_LEAF);
        return {PutPlace::Added, Record::kMap ? block + 1 : nullptr};
    }
    const u64 n = r.count();
    u64* keys = r.block();
    const map_detail::LeafSlot s = map_detail::insert_slot(keys, n, key);
    if (s.found) return {PutPlace::Present, Record::kMap ? value_word(keys, n, s.index) : nullptr};
    if (n >= forms::ROOT_LEAF_MAX) return {};
    const u64 p = s.index;
    u64* block = open_gap<A>(alloc, keys, n, p);
    u64* value_at = Record::kMap ? value_word(block, n + 1, p) : nullptr;
    store_relaxed(block[p], key);
    if constexpr (Record::kMap) store_relaxed(*value_at, value);
    if (block != keys) r.set_block(block);
    r.set_count(n + 1);
    r.publish(ROOT_LEAF);
    return {PutPlace::Added, value_at};
}

// Takes the key out of a root leaf; a map also hands back its value. The
// last entry frees the block and empties the root.
template <class Record>
RemoveOutcome take(Record r, NodeAlloc& alloc, u64 key) {
    constexpr unsigned A = kArrays<Record>;
    const u64 n = r.count();
    u64* keys = r.block();
    if (n == 0) return {};
    u64 i = 0;
    if (n == 1) {
        if (keys[0] != key) return {};
    } else {
        const map_detail::LeafSlot s = map_detail::leaf_search(keys, n, key);
        if (!s.found) return {};
        i = s.index;
    }
    const RemoveOutcome removed{true, Record::kMap ? *value_word(keys, n, i) : 0};
    if (n == 1) {
        alloc.release(keys, block_bytes<A>(1), 16);
        r.publish(ROOT_EMPTY);
        return removed;
    }
    u64* block = close_gap<A>(alloc, keys, n, i);
    if (block != keys) r.set_block(block);
    r.set_count(n - 1);
    r.publish(ROOT_LEAF);
    return removed;
}

// The key past a full root leaf: every entry, in ascending order, then the
// new one go into a private edge, which then replaces the root leaf.
// `insert_entry(edge, key, value, path)` is the container's tree insert;
// the old entries get a fresh path each, the new key `new_key_path`.
template <class Record, class InsertEntry>
void convert_to_tree(Record r, NodeAlloc& alloc, u64 key, u64 value, InsertPath& new_key_path,
                     InsertEntry insert_entry) {
    const u64 n = r.count();
    u64* keys = r.block();
    Edge built;
    for (u64 i = 0; i < n; ++i) {
        InsertPath scratch;
        insert_entry(built, keys[i], Record::kMap ? *value_word(keys, n, i) : 0, scratch);
    }
    insert_entry(built, key, value, new_key_path);
    alloc.release(keys, block_bytes<kArrays<Record>>(n), 16);
    r.len() = n + 1;
    r.root().w0 = built.w0;
    r.root().w1 = built.w1;
    r.publish(ROOT_TREE);
}

// Rebuilds a tree of at most 30 entries as a root leaf: the entries are
// copied out, the tree freed (in place, or through the collector when the
// allocator is deferred), and only then is the root leaf stored.
template <class Record>
void condense(Record r, NodeAlloc& alloc) {
    if (r.load_state() != ROOT_TREE)
        fatal("internal error: entered unreachable code: condense outside tree state");
    const u64 n = r.len();
    u64* block = gather<Record::kMap>(alloc, r.root(), n);
    mutate::free_tree<Record::kMap>(alloc, r.root());
    r.set_leaf(block, n);
    r.publish(ROOT_LEAF);
}

// After a tree remove took one entry: a tree left empty empties the root,
// one left with 30 entries or fewer is condensed. When the root is covered,
// the tree word is odd across that change of the root state.
template <class Record>
void shrink_after_tree_remove(Record r, NodeAlloc& alloc) {
    const u64 n = --r.len();
    if (n > forms::ROOT_LEAF_CONDENSE_AT) return;
    mutate::slot_version_begin(alloc, 0, nullptr);
    if (n == 0)
        r.publish(ROOT_EMPTY);
    else
        condense(r, alloc);
    mutate::slot_version_end(alloc, 0, nullptr);
}

// Frees the tree or the root-leaf block and empties the root; the root
// words and len keep stale values.
template <class Record>
void clear(Record r, NodeAlloc& alloc) {
    const u64 state = r.load_state();
    if (state == ROOT_TREE)
        mutate::free_tree<Record::kMap>(alloc, r.root());
    else if (state == ROOT_LEAF)
        alloc.release(r.block(), block_bytes<kArrays<Record>>(r.count()), 16);
    r.publish(ROOT_EMPTY);
}

// Takes the tree or the root-leaf block out without freeing it and empties
// the root; the root edge of a tree is zeroed, the other root words and len
// keep stale values.
template <class Record>
DetachedRoot detach(Record r) {
    DetachedRoot d;
    d.state = r.load_state();
    if (d.state == ROOT_TREE) {
        d.tree = mutate::read_edge(r.root());
        store_relaxed(r.root().w1, u64{0});
        store_relaxed(r.root().w0, u64{0});
    } else if (d.state == ROOT_LEAF) {
        d.block = r.block();
        d.block_bytes = block_bytes<kArrays<Record>>(r.count());
    }
    r.publish(ROOT_EMPTY);
    return d;
}

// None when the root is sound, else the first broken invariant found. The
// caller settles any pending population delta first.
template <class Record>
std::optional<std::string> check(Record r) {
    const u64 state = r.load_state();
    if (state == ROOT_LEAF) {
        const u64 n = r.count();
        if (n == 0 || n > forms::ROOT_LEAF_MAX)
            return "root leaf pop " + std::to_string(n) + " out of range";
        const u64* keys = r.block();
        for (u64 j = 1; j < n; ++j)
            if (keys[j - 1] >= keys[j]) return std::string("root leaf keys unsorted");
        return std::nullopt;
    }
    if (state != ROOT_TREE) return std::nullopt;
    if (r.root().tag_byte() == TAG_EMPTY) return std::string("tree root with null top");
    ValidateStats stats{};
    const validate::Validation v =
        validate::tolvane_validate_and_stats<Record::kMap>(r.root(), 8, stats, 0);
    if (!v.ok()) return v.error;
    if (v.population != r.len())
        return "total population " + std::to_string(r.len()) + " disagrees with tree " +
               std::to_string(v.population);
    return std::nullopt;
}

}  // namespace tolvane::root_leaf
