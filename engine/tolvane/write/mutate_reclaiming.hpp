#pragma once
// Pieces shared by the reclaiming set insert and remove: the guard of the
// handed slot (and its exclusive counterpart for code that serves both modes),
// the bracket around a descent, and the single stores that rewrite a
// branch's own fields while readers may be inside it.
//
// Which word guards what:
//   unversioned (Unversioned = true): each branch's own word is held odd for
//     the whole descent below it, so everything the child call does happens
//     under it; the handed slot itself gets no bracket (at the root nothing
//     guards it).
//   versioned (Unversioned = false): no bracket around a descent; every write
//     of the handed slot is bracketed with its holder's word (SlotHolder in
//     version.hpp): the version word of the branch holding the slot or, at
//     the root, the tree word while the allocator covers the root.
//   both: a change of a branch's own fields (a child opened or closed) is
//     bracketed with that branch's word.

#include <atomic>
#include <cstring>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/leaf/leaf_keys.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate::reclaiming_detail {

// The handed slot and the word that guards its changes.
template <bool Unversioned>
struct SlotGuard {
    static constexpr bool kReclaiming = true;
    NodeAlloc& alloc;
    SlotHolder holder;

    void begin() const {
        if constexpr (!Unversioned) slot_version_begin(alloc, holder);
    }
    void end() const {
        if constexpr (!Unversioned) slot_version_end(alloc, holder);
    }
    // One bracketed publication of the slot.
    void publish(Edge& slot, const Edge& e) const {
        begin();
        publish_edge(slot, e);
        end();
    }
    // Stores inside a bracket, for readers that may be in the block: an edge
    // (word 1, then word 0 with release), a field, a pointer to a filled block.
    static void store_edge(Edge& slot, const Edge& e) { publish_edge(slot, e); }
    template <class T>
    static void store(T& field, T value) {
        store_relaxed(field, value);
    }
    template <class T>
    static void store_pointer(T*& field, T* value) {
        store_release(field, value);
    }
    // Republishes the slot with its population changed by `delta`; word 0 is
    // stored again unchanged. A level-8 node keeps no population.
    void publish_count(Edge& slot, Edge e, unsigned width, i64 delta) const {
        if (width <= 7) e.add_pop0(width, delta);
        publish(slot, e);
    }
};

// The exclusive counterpart of SlotGuard, for code shared by both modes: no
// reader can see the tree, so nothing is bracketed and every store is plain.
struct ExclusiveSlot {
    static constexpr bool kReclaiming = false;
    NodeAlloc& alloc;

    void begin() const {}
    void end() const {}
    void publish(Edge& slot, const Edge& e) const { store_edge(slot, e); }
    // Word by word: the edge is often a copy just changed in one word, and a
    // whole-edge load of it would wait for that word's store to drain.
    static void store_edge(Edge& slot, const Edge& e) {
        slot.w0 = e.w0;
        slot.w1 = e.w1;
    }
    template <class T>
    static void store(T& field, T value) {
        field = value;
    }
    template <class T>
    static void store_pointer(T*& field, T* value) {
        field = value;
    }
};

// Calls `child_call` (the mutator on a child slot of the branch whose version
// word is `word`); the unversioned variant holds the word odd across it.
template <bool Unversioned, class Call>
inline bool descend(u32& word, Call&& child_call) {
    if constexpr (Unversioned) {
        node_version_begin(word);
        const bool done = child_call();
        node_version_end(word);
        return done;
    } else {
        return child_call();
    }
}

// Key byte resolved by a node at `level` (2..8; 1 for a leaf's own byte).
constexpr u8 key_digit(u64 key, unsigned level) noexcept {
    return static_cast<u8>(shr8(key, level - 1));
}

// The digit array of a linear branch in one 8-byte store.
template <std::size_t N>
inline void store_digits(BranchL<N>& node, const u8 (&digits)[8]) noexcept {
    u64 word;
    std::memcpy(&word, digits, 8);
    std::atomic_ref<u64>(*reinterpret_cast<u64*>(node.digits))
        .store(word, std::memory_order_relaxed);
}

// Count, level and summary of a linear branch in one 4-byte store.
template <std::size_t N>
inline void store_shape(BranchL<N>& node, u8 count, u8 level, u16 summary) noexcept {
    const u32 word = u32{count} | (u32{level} << 8) | (u32{summary} << 16);
    std::atomic_ref<u32>(*reinterpret_cast<u32*>(&node.count))
        .store(word, std::memory_order_relaxed);
}

// Sets or clears a digit's bit in a BranchB's bitmap: one store of the
// digit's 32-bit group, the only group that changes.
inline void store_digit_bit(BranchB& node, u8 d, bool present) noexcept {
    u32& group = node.bitmap[d >> 5];
    const u32 bit = u32{1} << (d & 31);
    store_relaxed(group, present ? (group | bit) : (group & ~bit));
}

// The summary of a linear branch's first `count` digits.
inline u16 digit_summary(const u8* digits, unsigned count) noexcept {
    u16 summary = 0;
    for (unsigned i = 0; i < count; ++i)
        summary = static_cast<u16>(summary | (1u << (digits[i] & 15)));
    return summary;
}

using leaf::packed_key;
using leaf::put_packed_key;

}  // namespace tolvane::mutate::reclaiming_detail
