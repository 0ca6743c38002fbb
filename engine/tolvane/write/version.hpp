#pragma once
// Writer side of the version protocol that lets optimistic readers walk a
// tree while one writer changes it, and the ordered edge stores they rely on.
//
// Node version word (u32, one per branch node):
//   bit 0      set while a change of the node is in progress (odd = unstable);
//   bits 0-30  a counter: each completed change adds 2, so an even value names
//              one stable state. It wraps within these 31 bits and never
//              carries into bit 31, or 2^30 changes would make a live node
//              read as obsolete;
//   bit 31     obsolete: the node was replaced. Set together with bit 0, so an
//              obsolete node never reads as stable again.
// Tree word (u64, owned by the container, bound to the allocator): bumped
// around changes of the root slot when the allocator covers the root.
//
// Edge publication: word 1 (decode area and tag) first, then word 0 with
// release ordering, so a reader that loads word 0 with acquire sees the
// matching tag and decode area. Every word a concurrent reader may read is
// accessed through std::atomic_ref; node memory is never touched by plain
// stores while readers may see it.
//
// There is only ever one writer per tree: bumps are a load and a store, not a
// read-modify-write.

#include <atomic>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane {

inline constexpr u32 NODE_VERSION_LOCKED = 0x00000001u;
inline constexpr u32 NODE_VERSION_OBSOLETE = 0x80000000u;
inline constexpr u32 NODE_VERSION_COUNTER = 0x7FFFFFFFu;

// `v` advanced by `steps`, the counter wrapping inside bits 0-30 (2^31 is
// even, so the wrap keeps the parity). An obsolete word is frozen: it must
// never read as stable again, whatever bracket closes on it afterwards.
// Writers that lock a node by setting bit 0 unlock it with version_advance(v, 2).
constexpr u32 version_advance(u32 v, u32 steps) noexcept {
    if (v & NODE_VERSION_OBSOLETE) return v;
    return (v + steps) & NODE_VERSION_COUNTER;
}
constexpr bool version_locked(u32 v) noexcept { return (v & NODE_VERSION_LOCKED) != 0; }
constexpr bool version_obsolete(u32 v) noexcept { return (v & NODE_VERSION_OBSOLETE) != 0; }

// ---------------------------------------------------------------------------
// Single atomic accesses to fields of node memory. The object must be of the
// field's own type and naturally aligned (every node field is).

template <class T>
inline T load_relaxed(const T& field) noexcept {
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}
template <class T>
inline T load_acquire(const T& field) noexcept {
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}
template <class T>
inline void store_relaxed(T& field, T value) noexcept {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}
template <class T>
inline void store_release(T& field, T value) noexcept {
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

// Moves n words inside a block that optimistic readers may read meanwhile
// (a root leaf shifted in place): every word is one relaxed atomic load and
// store, copied in the direction that reads each source before it is
// overwritten.
inline void move_words_shared(u64* dst, const u64* src, std::size_t n) noexcept {
    if (dst < src) {
        for (std::size_t i = 0; i < n; ++i) store_relaxed(dst[i], load_relaxed(src[i]));
    } else {
        for (std::size_t i = n; i-- > 0;) store_relaxed(dst[i], load_relaxed(src[i]));
    }
}

namespace mutate {

// ---------------------------------------------------------------------------
// Edges in shared trees.

// Word 1 first, then word 0 with release ordering. An emptied slot is
// published as an all-zero edge the same way.
inline void publish_edge(Edge& slot, const Edge& e) noexcept {
    store_relaxed(slot.w1, e.w1);
    store_release(slot.w0, e.w0);
}

// Word 0 with acquire ordering, then word 1.
inline Edge read_edge(const Edge& slot) noexcept {
    Edge e;
    e.w0 = load_acquire(slot.w0);
    e.w1 = load_relaxed(slot.w1);
    return e;
}

// Moves an edge between two slots of one node or subarray.
inline void move_edge(Edge& dst, const Edge& src) noexcept { publish_edge(dst, read_edge(src)); }

// ---------------------------------------------------------------------------
// Node version words.

// Opens a change: the word becomes odd before any write of the change.
inline void node_version_begin(u32& word) noexcept {
    const u32 v = load_relaxed(word);
    store_relaxed(word, version_advance(v, 1));
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

// Closes a change: every write of the change precedes the even value.
inline void node_version_end(u32& word) noexcept {
    const u32 v = load_relaxed(word);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    store_relaxed(word, version_advance(v, 1));
}

// Marks a replaced branch obsolete (bits 31 and 0) and makes the mark visible
// before the node is handed to the allocator or the collector, so a reader
// that validates the node afterwards retries.
inline void mark_obsolete(u32& word) noexcept {
    const u32 v = load_relaxed(word);
    store_relaxed(word, v | NODE_VERSION_OBSOLETE | NODE_VERSION_LOCKED);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

// As above, then reads the allocator's mode, which decides whether the node
// goes back to the free lists (local) or is retired (deferred). Returns true
// in deferred mode.
inline bool mark_obsolete(const NodeAlloc& alloc, u32& word) noexcept {
    mark_obsolete(word);
    return alloc.mode_word(std::memory_order_acquire) == NodeAlloc::MODE_DEFERRED;
}

// ---------------------------------------------------------------------------
// Slot brackets of the versioned mutators.

// The word that guards a slot's changes: the version word of the branch that
// holds the slot (or a private word standing in for one while a subtree is
// built out of readers' reach), or none for the root slot, which the tree
// word protects while the allocator covers the root and nothing otherwise.
// The public entry points spell it as a flag and a pointer: bit 0 of
// `bump_node_word` set means `caller_word` is the holder's word.
struct SlotHolder {
    u32* word = nullptr;

    static constexpr SlotHolder root() noexcept { return {}; }
    static constexpr SlotHolder branch(u32& version) noexcept { return {&version}; }
    static constexpr SlotHolder of(u64 bump_node_word, u32* caller_word) noexcept {
        return {(bump_node_word & 1) ? caller_word : nullptr};
    }
};

// The tree word's address and the covered flag are read afresh at every bump.
inline void slot_version_begin(const NodeAlloc& alloc, SlotHolder holder) {
    if (holder.word) {
        node_version_begin(*holder.word);
        return;
    }
    if (u64* tree = alloc.tree_version()) {
        const u64 v = load_relaxed(*tree);
        store_relaxed(*tree, v + 1);
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
}

inline void slot_version_end(const NodeAlloc& alloc, SlotHolder holder) {
    if (holder.word) {
        node_version_end(*holder.word);
        return;
    }
    if (u64* tree = alloc.tree_version()) {
        const u64 v = load_relaxed(*tree);
        store_release(*tree, v + 1);
    }
}

inline void slot_version_begin(const NodeAlloc& alloc, u64 bump_node_word, u32* caller_word) {
    slot_version_begin(alloc, SlotHolder::of(bump_node_word, caller_word));
}

inline void slot_version_end(const NodeAlloc& alloc, u64 bump_node_word, u32* caller_word) {
    slot_version_end(alloc, SlotHolder::of(bump_node_word, caller_word));
}

}  // namespace mutate
}  // namespace tolvane
