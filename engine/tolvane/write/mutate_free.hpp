#pragma once
// Giving back every block below one edge: branch nodes, leaf blocks, BranchB
// subarrays and, in the map flavour, the value arrays of map immediates and
// the value subarrays of map bitmap leaves. The edge is empty afterwards; the
// population of the tree and the ancestors' pop0 are the caller's to fix.
//
// Three ways to give a subtree back:
// - exclusive (Occ false): the tree is in local mode and nobody else sees it;
//   child edges are freed in place, so every edge inside a node is zeroed
//   before the node goes back to the free lists.
// - reclaiming (Occ true): readers may still be inside the subtree (the caller
//   made sure no new one can enter). Freed nodes are never written: each child
//   edge is copied (word 0 acquire, then word 1) and freed below the copy, and
//   every block goes through the allocator's current mode, which in deferred
//   mode retires it until two epoch advances have passed.
// - unpublished: the subtree was built privately and never reached a reader;
//   its blocks are recycled at once, without a grace period.
// Children go before the node that holds them, depth first, in slot order.

#include <bit>
#include <type_traits>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate {

namespace free_detail {

enum class Way { Exclusive, Reclaiming, Unpublished };

template <Way W>
inline void give_back(NodeAlloc& alloc, void* block, std::size_t size, std::size_t align) {
    if constexpr (W == Way::Unpublished)
        alloc.release_unpublished(block, size, align);
    else
        alloc.release(block, size, align);
}

template <Way W, bool Map>
void free_below(NodeAlloc& alloc, Edge& edge);

// Frees below one child edge stored inside a node or subarray. The reclaiming
// way works on a copy so that the node keeps its edges for readers still in it.
template <Way W, bool Map>
inline void free_child(NodeAlloc& alloc, Edge& child) {
    if constexpr (W == Way::Reclaiming) {
        Edge copy = read_edge(child);
        free_below<W, Map>(alloc, copy);
    } else {
        free_below<W, Map>(alloc, child);
    }
}

template <Way W, bool Map, std::size_t N>
inline void free_linear(NodeAlloc& alloc, BranchL<N>* node) {
    require(node != nullptr, "branch ptr");
    require(node->count <= N, "linear branch count above capacity");
    for (std::size_t i = 0; i < node->count; ++i) free_child<W, Map>(alloc, node->children[i]);
    give_back<W>(alloc, node, sizeof(BranchL<N>), NODE_ALIGN);
}

template <Way W, bool Map>
void free_below(NodeAlloc& alloc, Edge& edge) {
    const EdgeKind kind = edge.tag();
    if (kind.is_invalid()) return;  // not ours to interpret: leave it as found

    if (kind.is_immediate()) {
        if constexpr (Map) {
            if (kind.count >= 2) {
                void* values = edge.ptr<void>();
                require(values != nullptr, "map immediate value array");
                give_back<W>(alloc, values, value_array_bytes(kind.count), LEAF_ALIGN);
            }
        }
    } else {
        const u8 tag = kind.kind;
        if (tag == TAG_BRANCH_L3) {
            free_linear<W, Map>(alloc, edge.ptr<BranchL3>());
        } else if (tag == TAG_BRANCH_L7) {
            free_linear<W, Map>(alloc, edge.ptr<BranchL7>());
        } else if (tag == TAG_BRANCH_B) {
            auto* node = edge.ptr<BranchB>();
            require(node != nullptr, "branch ptr");
            for (unsigned g = 0; g < 8; ++g) {
                const std::size_t c = node->group_counts[g];
                if (c == 0) continue;
                Edge* sub = node->subarrays[g];
                require(sub != nullptr, "subarray");
                for (std::size_t i = 0; i < c; ++i) free_child<W, Map>(alloc, sub[i]);
                give_back<W>(alloc, sub, edge_subarray_bytes(c), LEAF_ALIGN);
            }
            give_back<W>(alloc, node, BRANCH_B_BYTES, NODE_ALIGN);
        } else if (tag == TAG_BRANCH_U) {
            auto* node = edge.ptr<BranchU>();
            require(node != nullptr, "branch ptr");
            for (Edge& child : node->children) free_child<W, Map>(alloc, child);
            give_back<W>(alloc, node, BRANCH_U_BYTES, NODE_ALIGN);
        } else if (is_linear_leaf_tag(tag)) {
            const unsigned w = tag - TAG_LEAF_BASE;
            const std::size_t n = edge.pop0(w) + 1;
            void* block = edge.ptr<void>();
            require(block != nullptr, "leaf ptr");
            give_back<W>(alloc, block, Map ? map_leaf_block_bytes(n, w) : leaf_block_bytes(n, w),
                         LEAF_ALIGN);
        } else if (tag == TAG_LEAF_BITMAP) {
            if constexpr (Map) {
                auto* leaf = edge.ptr<LeafBitmapL>();
                require(leaf != nullptr, "leaf ptr");
                for (unsigned g = 0; g < 8; ++g) {
                    if (leaf->bitmap[g] == 0) continue;
                    u64* values = leaf->value_subarrays[g];
                    require(values != nullptr, "value subarray");
                    give_back<W>(
                        alloc, values,
                        value_array_bytes(popcount32(leaf->bitmap[g])),
                        LEAF_ALIGN);
                }
                give_back<W>(alloc, leaf, LEAF_BITMAP_L_BYTES, NODE_ALIGN);
            } else {
                void* leaf = edge.ptr<void>();
                require(leaf != nullptr, "leaf ptr");
                give_back<W>(alloc, leaf, LEAF_B1_BYTES, NODE_ALIGN);
            }
        }
        // Empty and full edges own no block.
    }

    if constexpr (W == Way::Reclaiming) {
        // The caller's slot may still be read by readers that entered earlier.
        store_relaxed(edge.w1, u64{0});
        store_relaxed(edge.w0, u64{0});
    } else {
        edge = Edge::empty();
    }
}

}  // namespace free_detail

// Frees every block below `edge` and empties it. Occ false: the exclusive
// way, for a local-mode tree nobody else sees. Occ true: the reclaiming way,
// for a tree readers may still be walking. An edge with an invalid tag is left
// as it is and nothing is released.
template <bool Occ, bool Map>
inline void free_subtree(NodeAlloc& alloc, Edge& edge) {
    using free_detail::Way;
    free_detail::free_below<Occ ? Way::Reclaiming : Way::Exclusive, Map>(alloc, edge);
}

// Frees a subtree that was never reachable by a reader: in deferred mode its
// blocks go straight onto the thread's collector stripe (or to the system).
template <bool Map>
inline void free_subtree_unpublished(NodeAlloc& alloc, Edge& edge) {
    free_detail::free_below<free_detail::Way::Unpublished, Map>(alloc, edge);
}

// Marks one branch node obsolete and gives it back without its children,
// which the caller has moved or freed. The node's own type finds its version
// word (first in the linear branches and BranchU, at byte 112 in a BranchB)
// and its size.
template <class Node>
    requires(std::is_same_v<Node, BranchL3> || std::is_same_v<Node, BranchL7> ||
             std::is_same_v<Node, BranchB> || std::is_same_v<Node, BranchU>)
inline void free_branch_node(NodeAlloc& alloc, Node* node) {
    require(node != nullptr, "branch ptr");
    mark_obsolete(alloc, node->version);
    alloc.release(node, sizeof(Node), NODE_ALIGN);
}

// The branch node behind `edge` (tags 1 to 4), as above.
inline void free_branch_node(NodeAlloc& alloc, const Edge& edge) {
    switch (edge.tag_byte()) {
        case TAG_BRANCH_L3: return free_branch_node(alloc, edge.ptr<BranchL3>());
        case TAG_BRANCH_L7: return free_branch_node(alloc, edge.ptr<BranchL7>());
        case TAG_BRANCH_B: return free_branch_node(alloc, edge.ptr<BranchB>());
        case TAG_BRANCH_U: return free_branch_node(alloc, edge.ptr<BranchU>());
        default: fatal("valid edge tag");
    }
}

// The untyped form for a linear branch: `small` a 64-byte BranchL3, else a
// 128-byte BranchL7. A BranchB is also 128 bytes but keeps its version word
// elsewhere, so it goes through the typed forms above.
template <bool Occ = true>
inline void free_branch_node(NodeAlloc& alloc, void* node, bool small) {
    static_assert(Occ, "only the reclaiming mutators free single branch nodes");
    if (small)
        free_branch_node(alloc, static_cast<BranchL3*>(node));
    else
        free_branch_node(alloc, static_cast<BranchL7*>(node));
}

}  // namespace tolvane::mutate
