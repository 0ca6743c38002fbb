#pragma once
// The lock-free descent of an optimistic write attempt, shared by the insert
// and removal attempts of both flavours: from the published root edge down
// the branches to the edge that holds the key (or to the branch where its
// digit is missing), remembering each branch's version word in the path.
//
// Each branch's word is read (acquire) before its fields, and checked again
// after the child edge was read, so the edge the walk ends on was stable
// under its holder's remembered version. Leaf data behind that edge is not
// checked: the caller checks it with the holder's word, or through the lock,
// which fails if the holder changed since.

#include "tolvane/core/types.hpp"
#include "tolvane/sync/olc_attempt.hpp"
#include "tolvane/sync/olc_read.hpp"

namespace tolvane::sync {

struct OlcWalk {
    enum class End : u8 {
        Edge,           // `e` is the key's edge: empty, an immediate, a leaf or a full edge
        Missing,        // the branch `branch` has no child for the key's digit
        PrefixDiffers,  // a branch's skipped digits differ from the key's
        NotTrie,        // the published root is not a trie
        Retry,          // something moved under the walk
    };
    End end = End::Retry;
    Edge e;                // Edge: the edge; Missing / PrefixDiffers: the branch's edge
    Edge* slot = nullptr;  // Edge: where `e` sits (null for the root edge)
    unsigned level = 8;    // slot level of `e`
    OlcStep branch;        // Missing / PrefixDiffers: the branch, its word as read and the
                           // key's digit there (child_level = N - 1)
    unsigned count = 0;    // Missing in a linear branch: its child count as read
};

// Walks `key` down from the published root as read; `path` comes in empty.
OlcWalk olc_walk(const olc::RootRead& root, u64 key, OlcPath& path);

}  // namespace tolvane::sync
