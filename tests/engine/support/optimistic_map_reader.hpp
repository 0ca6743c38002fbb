#pragma once
// An optimistic lookup in a map-flavour tree that one reclaiming writer
// changes at the same time, for stress tests of the map writers' protocol.
//
// It walks the tree the way the concurrent map's readers do (see
// optimistic_reader.hpp for the set flavour): every word it reads is an
// atomic load; it takes the word that guards each slot (a branch's version
// word, or the tree word at the root) before reading the slot and checks it
// again before trusting what it read; it dereferences a leaf, value array or
// subarray only after the word vouching for its pointer and size has been
// checked, and checks again after reading from it. A validated state that no
// sound tree can be in is reported as Corrupt rather than retried forever.
//
// Without a tree word the root slot has no guard: use such trees only when the
// root edge never changes form while readers run (a level-8 BranchU that always
// keeps more than 160 children).

#include <cstdint>

#include "tolvane/mem/occ.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::test {

struct MapProbe {
    enum class Answer : u8 { Absent, Present, Retry, Corrupt };
    Answer answer = Answer::Retry;
    u64 value = 0;  // Present only
};

// One attempt. `tree_word` is the word that guards the root slot, or null.
MapProbe probe_map(const Edge& root, const u64* tree_word, u64 key);

// Attempts until one gives an answer (Absent, Present or Corrupt), each inside
// an announcement of `reader`'s epoch. Adds the failed attempts to `*retries`
// when given.
MapProbe optimistic_get(Reader& reader, const Edge& root, const u64* tree_word, u64 key,
                        u64* retries = nullptr);

}  // namespace tolvane::test
