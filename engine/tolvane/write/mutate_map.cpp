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
// Leaf level of the insert. Each step either stores the key (New, with the
// key's value word), finds it (Found, with its value word) or reshapes the
// edge so that the walk dispatches on it again (Reshaped).

struct LeafStep {
    enum class Kind : u8 { New, Found, Reshaped };
    Kind kind;
    u64* slot = nullptr;

    static LeafStep found(u64* slot) { return {Kind::Found, slot}; }
    static LeafStep added(u64* slot) { return {Kind::New, slot}; }
    static LeafStep reshaped() { return {Kind::Reshaped, nullptr}; }
};

using leaf::packed_key;
using leaf::put_packed_key;

// The key bytes of a map immediate (edge bytes 8..14, byte 15 the tag).
inline void immediate_key_bytes(const Edge& e, u8 (&bytes)[8]) { std::memcpy(bytes, &e.w1, 8); }

// An empty slot below level 8 becomes a one-key immediate of width S.
LeafStep insert_into_empty(Edge& e, unsigned S, u64 key, u64 value) {
    Edge fresh;
    fresh.w0 = value;
    fresh.w1 = key & LEVEL_MASK[S];
    fresh.set_tag(immediate_tag(S, 1));
    e = fresh;
    return LeafStep::added(&e.w0);
}

// Tags 16..126: a map immediate of n keys of w bytes (w is the slot level).
LeafStep insert_immediate(NodeAlloc& alloc, Edge& e, unsigned w, unsigned n, u64 key, u64 value) {
    const u64 k = key & LEVEL_MASK[w];
    if (n == 1) {
        const u64 stored = e.w1 & LEVEL_MASK[w];
        if (stored == k) return LeafStep::found(&e.w0);
        const bool key_first = k < stored;
        const KeyValue pairs[2] = {key_first ? KeyValue{k, value} : KeyValue{stored, e.w0},
                                   key_first ? KeyValue{stored, e.w0} : KeyValue{k, value}};
        const std::size_t at = key_first ? 0 : 1;
        if (2 * w > MAP_IMMEDIATE_KEY_BYTES) {
            build_map_leaf<false>(alloc, e, static_cast<u8>(w), pairs, 2);
            return LeafStep::added(e.ptr<u64>() + at);
        }
        write_map_immed<false>(alloc, e, static_cast<u8>(w), pairs, 2);
        return LeafStep::added(e.ptr<u64>() + at);
    }

    u8 keys[8];
    immediate_key_bytes(e, keys);
    const leaf::LeafPos pos = leaf::locate(keys, n, static_cast<u8>(w), k);
    u64* values = e.ptr<u64>();
    if (pos.found) {
        require(values != nullptr, "value array");
        return LeafStep::found(values + pos.index);
    }
    const std::size_t i = pos.index;
    require(values != nullptr, "value array");

    if (n < map_immediate_capacity(w)) {
        u64* target = values;
        if (capacity_class(n + 1) != capacity_class(n)) {
            target = grown_values(alloc, values, n, i, value);
            release_values(alloc, values, n);
        } else {
            std::memmove(target + i + 1, values + i, (n - i) * 8);
            target[i] = value;
        }
        require((n + 1) * w < 16, "immediate capacity");
        std::memmove(keys + (i + 1) * w, keys + i * w, (n - i) * w);
        put_packed_key(keys, i, w, k);
        Edge fresh;
        std::memcpy(&fresh.w1, keys, 7);
        fresh.set_ptr(target);
        fresh.set_tag(immediate_tag(w, n + 1));
        e = fresh;
        return LeafStep::added(target + i);
    }

    // Full: the n + 1 pairs move into a map linear leaf of width w.
    KeyValue pairs[MAP_IMMEDIATE_KEY_BYTES + 1];
    immediate_pairs_with(keys, values, n, w, i, k, value, pairs);
    build_map_leaf<false>(alloc, e, static_cast<u8>(w), pairs, n + 1);
    release_values(alloc, values, n);
    return LeafStep::added(e.ptr<u64>() + i);
}

// Forward declaration: the split of a full wide leaf re-inserts its pairs
// through the whole walk.
template <bool KeepExisting>
void walk(InsertResult& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 value, unsigned level,
          InsertPath& path);

// A full map linear leaf at slot level S takes its next key at index i: it
// becomes a LeafBitmapL, or a BranchL3 that takes every pair.
template <bool KeepExisting>
LeafStep rebuild_full_leaf(NodeAlloc& alloc, Edge& e, unsigned S, unsigned w, std::size_t i,
                           u64 key, u64 value, InsertPath& path) {
    const std::size_t n = map_leaf_max_keys(w);
    u8* old_block = e.ptr<u8>();
    std::vector<KeyValue> pairs = full_leaf_pairs(e, S, w, i, key, value);
    if (const unsigned node_level = split_full_leaf_head<false>(alloc, e, pairs, S)) {
        for (const KeyValue& kv : pairs) {
            InsertResult ignored;
            walk<KeepExisting>(ignored, alloc, e, kv.key, kv.value, S, path);
        }
        e.set_pop0(node_level, pairs.size() - 1);
        // The re-inserts carried only the low S bytes of each key, so a hot
        // leaf they named would sit under a shortened prefix and catch keys
        // that belong elsewhere. Hand the path back empty.
        path.flush_and_reset();
    }
    require(old_block != nullptr, "leaf ptr");
    release_map_leaf(alloc, old_block, n, w);
    u64* slot = get::locate_slot(&e, key, static_cast<u8>(S));
    require(slot != nullptr, "just-inserted key");
    return LeafStep::added(slot);
}

// Tags 5..11: a map linear leaf of w-byte keys at slot level S.
template <bool KeepExisting>
LeafStep insert_linear(NodeAlloc& alloc, Edge& e, unsigned S, unsigned w, u64 key, u64 value,
                       InsertPath& path) {
    const std::size_t n = e.pop0(w) + 1;
    if (unsigned at = mutate::skip_mismatch_level(e, S, w, key)) {
        mutate::wrap_skip_level<false>(alloc, e, static_cast<u8>(at), static_cast<u8>(S), n);
        return LeafStep::reshaped();
    }
    u8* block = e.ptr<u8>();
    require(block != nullptr, "leaf ptr");
    const u8* keys = block + map_leaf_key_offset(n);
    const u64 k = key & LEVEL_MASK[w];

    // Ascending inserts append: test the last key before searching.
    std::size_t i;
    const u64 last = packed_key(keys, n - 1, w);
    if (k > last) {
        i = n;
    } else if (k == last) {
        return LeafStep::found(e.ptr<u64>() + (n - 1));
    } else {
        const leaf::LeafPos pos = leaf::locate(keys, n, static_cast<u8>(w), k);
        if (pos.found) return LeafStep::found(e.ptr<u64>() + pos.index);
        i = pos.index;
    }

    if (n >= map_leaf_max_keys(w))
        return rebuild_full_leaf<KeepExisting>(alloc, e, S, w, i, key, value, path);

    if (capacity_class(n + 1) == capacity_class(n)) {
        leaf::shared_keys::map_insert_at(block, static_cast<u8>(w), n, i, k, value);
    } else {
        u8* fresh = grown_map_leaf(alloc, block, n, w, i, k, value);
        release_map_leaf(alloc, block, n, w);
        e.set_ptr(fresh);
        block = fresh;
    }
    e.set_pop0(w, n);
    if (w == 1 && S == 1) path.fill(&e, nullptr, block, static_cast<u16>(n + 1), key);
    return LeafStep::added(e.ptr<u64>() + i);
}

// Tag 12: a LeafBitmapL at slot level S.
LeafStep insert_bitmap_leaf(NodeAlloc& alloc, Edge& e, unsigned S, u64 key, u64 value,
                            InsertPath& path) {
    if (mutate::wrap_where_key_parts(alloc, e, S, 1, key, path)) return LeafStep::reshaped();
    auto [leaf, b, g, group, r, values, present] = find_in_bitmap_leaf(e, key);
    if (present) return LeafStep::found(values + r);
    const unsigned c = popcount32(group);
    if (c > 0 && capacity_class(c + 1) == capacity_class(c)) {
        require(values != nullptr, "values");
        std::memmove(values + r + 1, values + r, (c - r) * 8);
        values[r] = value;
    } else {
        if (c > 0) require(values != nullptr, "values");
        u64* fresh = grown_values(alloc, values, c, r, value);
        if (c > 0) release_values(alloc, values, c);
        leaf->value_subarrays[g] = values = fresh;
    }
    leaf->bitmap[g] = group | (u32{1} << (b & 31));
    const unsigned count = e.byte(8) + 2u;
    e.add_pop0(1, 1);
    if (S == 1) path.fill(&e, leaf, nullptr, static_cast<u16>(count), key);
    return LeafStep::added(values + r);
}

// ---------------------------------------------------------------------------
// The walk: the shared branch steps down to the leaf level, then the leaf
// step, then the ancestors' counts.

template <bool KeepExisting>
void walk(InsertResult& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 value, unsigned level,
          InsertPath& path) {
    require(level >= 1 && level <= 8, "index out of bounds: slot level");
    mutate::DescentStack stack;
    Edge* e = &edge;
    unsigned S = level;
    for (;;) {
        const u8 tag = e->tag_byte();
        LeafStep step;
        if (tag == TAG_EMPTY) {
            path.flush_and_reset();
            if (S == 8) {
                // The root slot never holds a leaf: keys go below a branch.
                *e = mutate::detail::fresh_root_branch(alloc);
                continue;
            }
            step = insert_into_empty(*e, S, key, value);
        } else if (is_branch_tag(tag)) {
            mutate::insert_branch_step(alloc, e, S, key, stack, path);
            continue;
        } else if (is_linear_leaf_tag(tag)) {
            path.flush_and_reset();
            step = insert_linear<KeepExisting>(alloc, *e, S, tag - TAG_LEAF_BASE, key, value, path);
        } else if (tag == TAG_LEAF_BITMAP) {
            step = insert_bitmap_leaf(alloc, *e, S, key, value, path);
        } else if (tag == TAG_FULL) {
            fatal(
                "internal error: entered unreachable code: full-tolvane edges are set-flavor only");
        } else {
            const EdgeKind kind = decode_tag(tag);
            require(fits_map_immediate(kind), "valid immediate tag");
            path.flush_and_reset();
            step = insert_immediate(alloc, *e, kind.key_bytes, kind.count, key, value);
        }

        switch (step.kind) {
            case LeafStep::Kind::Reshaped:
                continue;
            case LeafStep::Kind::Found: {
                const u64 old = *step.slot;
                if constexpr (!KeepExisting) *step.slot = value;
                out.existed = 1;
                out.old = old;
                out.slot = step.slot;
                return;
            }
            case LeafStep::Kind::New:
                mutate::complete_insert(stack, path);
                out.existed = 0;
                out.slot = step.slot;
                return;
        }
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
    const mutate::occ_detail::PlainSlot plain{alloc};
    if (is_linear_leaf_tag(tag)) return remove_leaf::from_linear_leaf(plain, e, e, key, L, value);
    if (tag == TAG_LEAF_BITMAP) return remove_leaf::from_bitmap_leaf(plain, e, e, key, L, value);
    if (tag == TAG_FULL)
        fatal("internal error: entered unreachable code: full-tolvane edges are set-flavor only");
    const EdgeKind kind = decode_tag(tag);
    require(fits_map_immediate(kind), "valid edge tag");
    return remove_leaf::from_immediate(plain, e, e, kind, key, value);
}

}  // namespace

RemoveResult map_remove(NodeAlloc& alloc, Edge& edge, u64 key, u32 level) {
    require(level >= 1 && level <= 8, "index out of bounds: slot level");
    RemoveResult out;
    out.found = remove_below(alloc, edge, key, level, out.value);
    return out;
}

}  // namespace tolvane::mutate_map
