#pragma once
// One body for the four optimistic write attempts (map or set, insert or
// removal): walk to the key and decide what the four share; the policy `P`
// handles the leaf edge. Shared: a conflict is Retry, a root that is no trie
// or a leaf at the root is Exclusive; an insert adds a missing digit to its
// branch, fills an empty slot of an uncompressed branch and leaves a
// differing branch prefix to the exclusive section; a removal answers Absent
// for all three once the holder is seen unmoved.
//
// P: INSERTS; AT_FULL, the answer at a full edge; stores(kind), whether the
// flavour's trie holds such tags; child(level), an insert's one-key
// immediate; immediate(at, kind), bitmap_leaf(at), linear_leaf(at).

#include "tolvane/core/fatal.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/sync/olc_attempt.hpp"
#include "tolvane/sync/olc_branch_add.hpp"
#include "tolvane/sync/olc_read.hpp"
#include "tolvane/sync/olc_walk.hpp"

namespace tolvane::sync {

template <class P>
OlcOutcome olc_attempt(NodeAlloc& alloc, const olc::RootRead& root, u64 key, const P& policy) {
    OlcPath path;
    const OlcWalk w = olc_walk(root, key, path);
    switch (w.end) {
        case OlcWalk::End::Retry:
            return OLC_RETRY;
        case OlcWalk::End::NotTrie:
            return OLC_EXCLUSIVE;
        case OlcWalk::End::PrefixDiffers:
            if constexpr (P::INSERTS)
                return OLC_EXCLUSIVE;
            else
                return olc_if_still(w.branch, OLC_ABSENT);
        case OlcWalk::End::Missing:
            if constexpr (P::INSERTS)
                return OlcOutcome{olc_add_child(alloc, w, policy.child(w.branch.child_level)), 0};
            else
                return olc_if_still(w.branch, OLC_ABSENT);
        case OlcWalk::End::Edge:
            break;
    }
    const EdgeKind kind = w.e.tag();
    if (!P::stores(kind)) fatal("valid edge tag");
    if (kind.is_empty()) {
        if constexpr (P::INSERTS) {
            if (!path.empty() && path.holder().kind == TAG_BRANCH_U)
                return OlcOutcome{olc_fill_slot(path.holder(), *w.slot, policy.child(w.level)), 0};
            return OLC_EXCLUSIVE;
        } else {
            return path.empty() ? OLC_ABSENT : olc_if_still(path.holder(), OLC_ABSENT);
        }
    }
    if (kind.is_node() && kind.kind == TAG_FULL) return P::AT_FULL;
    if (path.empty()) return OLC_EXCLUSIVE;
    const OlcAt at{alloc, path.holder(), *w.slot, w.e, w.level};
    if (kind.is_immediate()) return policy.immediate(at, kind);
    if (kind.kind == TAG_LEAF_BITMAP) return policy.bitmap_leaf(at);
    return policy.linear_leaf(at);
}

}  // namespace tolvane::sync
