#pragma once
// An optimistic membership test over a set-flavour tree that one reclaiming
// writer changes at the same time, for stress tests of the writers' protocol.
//
// It walks the tree the way the concurrent containers' readers do: every word
// it reads is an atomic load; it takes each branch's version word before using
// the branch and checks it again after reading what it needs (a word that is
// odd, obsolete or changed means "start again"); it checks the holder of each
// slot (the parent's word, or the tree word at the root) again after taking
// the child's word, so a replaced child is never trusted; it dereferences a
// subarray or leaf only after the words that vouch for its pointer and size
// have been checked; and it reads tree memory only between an announcement of
// the collector's epoch and going idle, so nothing it may still touch is
// recycled under it.
//
// Without a tree word the root slot has no guard: use such trees only when the
// root edge never changes form while readers run (for example a level-8
// BranchU that always keeps more than 160 children).

#include <cstdint>

#include "tolvane/mem/occ.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::test {

enum class Probe : u8 { Absent, Present, Retry };

// One attempt. `tree_word` is the word that guards the root slot, or null.
Probe probe_set(const Edge& root, const u64* tree_word, u64 key);

// Attempts until one gives an answer, each inside an announcement of
// `reader`'s epoch. Adds the failed attempts to `*retries` when given.
bool optimistic_contains(Reader& reader, const Edge& root, const u64* tree_word, u64 key,
                         u64* retries = nullptr);

}  // namespace tolvane::test
