// Exclusive map-flavour insert and remove, and the map leaf builders' helpers.

#include <bit>
#include <cstring>
#include <vector>

#include "tolvane/read/get.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/write/mutate_map_insert.hpp"
#include "tolvane/write/mutate_map_leaf.hpp"
#include "tolvane/write/mutate_map_leaf_grow.hpp"
#include "tolvane/write/mutate_map_insert_leaf.hpp"
#include "tolvane/write/mutate_map_remove.hpp"
#include "tolvane/write/mutate_map_remove_leaf.hpp"
#include "tolvane/write/mutate_remove_branch.hpp"
#include "tolvane/core/node.hpp"

namespace tolvane::mutate_map {

// ---------------------------------------------------------------------------
// Reader and release of whole leaf forms.

std::vector<KeyValue> read_map_leaf(const Edge& edge, u8 w, u64 n) {
    require(w >= 1 && w <= 7,
            "internal error: entered unreachable code: a packed leaf key is 1..=7 bytes");
    const u8* block = edge.ptr<const u8>();
    require(block != nullptr, "leaf ptr");
    std::vector<KeyValue> pairs;
    pairs.reserve(n + 1);
    const u8* keys = block + map_leaf_key_offset(n);
    for (std::size_t i = 0; i < n; ++i) {
        KeyValue kv;
        std::memcpy(&kv.key, keys + i * w, w);
        std::memcpy(&kv.value, block + 8 * i, 8);
        pairs.push_back(kv);
    }
    return pairs;
}

void release_bitmap_leaf_map(NodeAlloc& alloc, LeafBitmapL* leaf) {
    for (unsigned g = 0; g < 8; ++g) {
        const unsigned c = popcount32(leaf->bitmap[g]);
        if (c == 0) continue;
        require(leaf->value_subarrays[g] != nullptr, "values");
        release_values(alloc, leaf->value_subarrays[g], c);
    }
    alloc.release(leaf, sizeof(LeafBitmapL), NODE_ALIGN);
}

namespace {

// ---------------------------------------------------------------------------
// The walk: the shared branch steps down to the leaf level, then the leaf
// step (one body with the reclaiming insert, mutate_map_insert_leaf.hpp), then
// the ancestors' counts.

template <bool KeepExisting>
void walk(InsertResult& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 value, unsigned level,
          InsertPath& path) {
    require(level >= 1 && level <= 8, "index out of bounds: slot level");
    using mutate::insert_leaf::Outcome;
    const mutate::reclaiming_detail::ExclusiveSlot exclusive{alloc};
    mutate::DescentStack stack;
    Edge* e = &edge;
    unsigned S = level;
    for (;;) {
        const u8 tag = e->tag_byte();
        Outcome outcome;
        if (tag == TAG_EMPTY) {
            path.flush_and_reset();
            if (S == 8) {
                // The root slot never holds a leaf: keys go below a branch.
                *e = mutate::detail::fresh_root_branch(alloc);
                continue;
            }
            outcome = reclaiming_detail::insert_into_empty(exclusive, out, *e, key, value, S);
        } else if (is_branch_tag(tag)) {
            mutate::insert_branch_step(alloc, e, S, key, stack, path);
            continue;
        } else if (is_linear_leaf_tag(tag)) {
            outcome = mutate::insert_leaf::into_linear_leaf(
                exclusive, reclaiming_detail::MapFlavour<KeepExisting>{out, value}, *e, *e, key,
                S, path, [&](Edge& fresh, const KeyValue& kv, mutate::SlotHolder) {
                    InsertResult ignored;
                    walk<KeepExisting>(ignored, alloc, fresh, kv.key, kv.value, S, path);
                });
        } else if (tag == TAG_LEAF_BITMAP) {
            outcome = reclaiming_detail::insert_into_bitmap_leaf<KeepExisting>(
                exclusive, out, *e, *e, key, value, S, path);
        } else if (tag == TAG_FULL) {
            fatal(
                "internal error: entered unreachable code: full-tolvane edges are set-flavor only");
        } else {
            const EdgeKind kind = decode_tag(tag);
            require(fits_map_immediate(kind), "valid immediate tag");
            path.flush_and_reset();
            const Edge before = *e;  // read after the slot is rewritten
            outcome = reclaiming_detail::insert_into_immediate<KeepExisting>(
                exclusive, out, *e, before, kind, key, value);
        }
        if (outcome == Outcome::Reshaped) continue;
        if (outcome == Outcome::Stored) mutate::complete_insert(stack, path);
        return;
    }
}

}  // namespace

template <bool KeepExisting>
void map_insert_with_path_flat(InsertResult& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 value,
                               u8 level, InsertPath& path) {
    walk<KeepExisting>(out, alloc, edge, key, value, level, path);
}

template void map_insert_with_path_flat<false>(InsertResult&, NodeAlloc&, Edge&, u64, u64, u8,
                                               InsertPath&);
template void map_insert_with_path_flat<true>(InsertResult&, NodeAlloc&, Edge&, u64, u64, u8,
                                              InsertPath&);

}  // namespace tolvane::mutate_map

// ---------------------------------------------------------------------------
// Remove.

namespace tolvane::mutate_map {

namespace {

bool remove_below(NodeAlloc& alloc, Edge& e, u64 key, unsigned L, u64& value) {
    const u8 tag = e.tag_byte();
    if (tag == TAG_EMPTY) return false;
    if (is_branch_tag(tag)) {
        return mutate::remove_branch_step(alloc, e, L, key, [&](Edge& child, u8 child_level) {
            return remove_below(alloc, child, key, child_level, value);
        });
    }
    const mutate::reclaiming_detail::ExclusiveSlot exclusive{alloc};
    if (is_linear_leaf_tag(tag))
        return remove_leaf::from_linear_leaf(exclusive, e, e, key, L, value);
    if (tag == TAG_LEAF_BITMAP)
        return remove_leaf::from_bitmap_leaf(exclusive, e, e, key, L, value);
    if (tag == TAG_FULL)
        fatal("internal error: entered unreachable code: full-tolvane edges are set-flavor only");
    const EdgeKind kind = decode_tag(tag);
    require(fits_map_immediate(kind), "valid edge tag");
    return remove_leaf::from_immediate(exclusive, e, e, kind, key, value);
}

}  // namespace

RemoveResult map_remove(NodeAlloc& alloc, Edge& edge, u64 key, u32 level) {
    require(level >= 1 && level <= 8, "index out of bounds: slot level");
    RemoveResult out;
    out.found = remove_below(alloc, edge, key, level, out.value);
    return out;
}

}  // namespace tolvane::mutate_map
