#pragma once
// The steps the optimistic test readers (optimistic_reader.hpp for the set
// flavour, optimistic_map_reader.hpp for the map flavour) share: the word
// that guards what was just read, the root slot, linear-leaf keys read in the
// pieces the writer stores, and the descent through a branch, whose nodes are
// the same in both flavours.
//
// Every word is read with an atomic load. A branch's version word is taken
// before the branch is used and checked again after its fields were read; the
// word that guarded the slot leading to it is checked again after the branch's
// word was taken, so a replaced branch is never trusted. A subarray is read
// only once the word vouching for its pointer and count holds.

#include <atomic>
#include <cstddef>

#include "tolvane/core/types.hpp"

namespace tolvane::test::optimistic {

// A relaxed load of a field the writer stores as one word of type T.
template <class T>
T load_at(const void* p) {
    return std::atomic_ref<T>(*static_cast<T*>(const_cast<void*>(p)))
        .load(std::memory_order_relaxed);
}

// The word guarding what was just read: a branch's version word, the tree
// word at the root, or nothing.
struct Guard {
    const u32* node_word = nullptr;
    u32 node_seen = 0;
    const u64* tree_word = nullptr;
    u64 tree_seen = 0;

    // Whether nothing guarded by the word changed since it was taken.
    bool holds() const;
};

// Reads the root edge under the tree word (or under nothing when
// `tree_word` is null). False: the tree word was odd or moved; try again.
bool read_root(const Edge& root, const u64* tree_word, Guard& guard, Edge& e);

// Index of key `k` among the n w-byte keys at `keys` (an area of
// capacity_class(n) * w bytes), read in the word and tail pieces the writer
// stores; -1 when absent.
int find_leaf_key(const u8* keys, std::size_t n, unsigned w, u64 k);

// What a branch said about the key.
struct Descent {
    enum class Outcome : u8 { Child, Absent, Retry, Corrupt };
    Outcome outcome = Outcome::Retry;
    Edge child;          // Child: the key's child edge,
    unsigned level = 0;  // its slot level,
    Guard guard;         // and the branch's word, which guards it
};

// The key through the branch `e` (tags 1 to 4), read from a slot of `level`
// that `holder` guards. Corrupt: a validated state no sound tree has.
Descent descend_branch(const Edge& e, unsigned level, u64 key, const Guard& holder);

}  // namespace tolvane::test::optimistic
