// Exclusive set-flavour insert and remove.

#include <bit>
#include <cstring>
#include <span>
#include <vector>

#include "tolvane/core/bits.hpp"
#include "tolvane/core/forms.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/write/mutate_leaf_build.hpp"
#include "tolvane/write/mutate_leaf_split.hpp"
#include "tolvane/write/mutate_remove.hpp"
#include "tolvane/write/mutate_remove_branch.hpp"
#include "tolvane/write/mutate_remove_leaf.hpp"
#include "tolvane/core/node.hpp"

namespace tolvane::mutate {

namespace {

using forms::LINEAR1_MAX_KEYS;
using forms::LINEAR_MAX_KEYS;

using leaf::packed_key;
using leaf::put_packed_key;

// First index whose key is not below `k` (k already reduced to w bytes).
inline std::size_t lower_bound_keys(const u8* keys, std::size_t n, unsigned w, u64 k) {
    return leaf::locate(keys, n, static_cast<u8>(w), k).index;
}

inline bool bitmap_test_and_set(LeafB1& leaf, u8 b) {
    u64& word = leaf.bitmap[b >> 6];
    const u64 bit = u64{1} << (b & 63);
    const bool was = (word & bit) != 0;
    word |= bit;
    return was;
}

inline u8* take_key_block(NodeAlloc& alloc, std::size_t n, unsigned w) {
    return static_cast<u8*>(alloc.allocate_zeroed(leaf_block_bytes(n, w)));
}

inline void release_key_block(NodeAlloc& alloc, void* block, std::size_t n, unsigned w) {
    require(block != nullptr, "leaf ptr");
    alloc.release(block, leaf_block_bytes(n, w), LEAF_ALIGN);
}

inline void release_leaf_b1(NodeAlloc& alloc, LeafB1* leaf) {
    require(leaf != nullptr, "leaf ptr");
    alloc.release(leaf, sizeof(LeafB1), NODE_ALIGN);
}

// Adds key byte k at index i of a linear leaf of n keys of width w (in place
// when the capacity class allows, else in a new block); pop0 becomes n.
// Returns the block that now holds the keys.
u8* linear_leaf_add(NodeAlloc& alloc, Edge& e, std::size_t n, unsigned w, std::size_t i, u64 k) {
    u8* keys = e.ptr<u8>();
    require(keys != nullptr, "leaf ptr");
    if (capacity_class(n + 1) == capacity_class(n)) {
        std::memmove(keys + (i + 1) * w, keys + i * w, (n - i) * w);
        put_packed_key(keys, i, w, k);
    } else {
        u8* fresh = take_key_block(alloc, n + 1, w);
        std::memcpy(fresh, keys, i * w);
        put_packed_key(fresh, i, w, k);
        std::memcpy(fresh + (i + 1) * w, keys + i * w, (n - i) * w);
        release_key_block(alloc, keys, n, w);
        e.set_ptr(fresh);
        keys = fresh;
    }
    e.set_pop0(w, n);
    return keys;
}

// Bytes 8..8+L-1 of a full edge at slot level L: pop0 all ones.
inline Edge full_edge(unsigned slot_level) {
    Edge e;
    e.set_pop0(slot_level, LEVEL_MASK[slot_level]);
    e.set_tag(TAG_FULL);
    return e;
}

// The 33rd key of a linear leaf of w = 2..7 byte keys in a slot of level L.
// All keys are re-inserted with the key's bytes from L upward, so a hot leaf
// found on the way would carry the full-key prefix; the path is emptied when
// the split is done all the same, because the last re-insert need not have
// ended in the leaf that holds the new key.
void split_full_leaf(NodeAlloc& alloc, Edge& e, unsigned L, unsigned w, std::size_t i, u64 key,
                     InsertPath& path) {
    u8* old_block = e.ptr<u8>();
    require(old_block != nullptr, "leaf ptr");
    std::vector<u64> keys = leaf_keys(e, static_cast<u8>(w), LINEAR_MAX_KEYS);
    keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(i), key & low_bytes_mask(w));
    // Each key gets the skipped digits between the leaf and the slot and the
    // key's own bytes above the slot.
    const u64 upper =
        (e.decode_area() & ~low_bytes_mask(w) & low_bytes_mask(L)) | (key & ~low_bytes_mask(L));
    for (u64& k : keys) k |= upper;

    if (const unsigned node_level = split_full_leaf_head(alloc, e, keys, L)) {
        for (u64 k : keys) insert_with_path_flat(alloc, e, k, L, path);
        e.set_pop0(node_level, keys.size() - 1);
        path.flush_and_reset();
    } else if (L == 1) {
        path.fill(&e, e.ptr<LeafB1>(), nullptr, static_cast<u16>(keys.size()), key);
    }
    release_key_block(alloc, old_block, LINEAR_MAX_KEYS, w);
}

enum class LeafOutcome : u8 { Present, Stored, Reshaped };

// Tag 5: a linear leaf of 1-byte keys.
LeafOutcome insert_linear1(NodeAlloc& alloc, Edge& e, unsigned L, u64 key, InsertPath& path) {
    const std::size_t n = e.pop0(1) + 1;
    if (L > 1) {
        // The path may name another leaf here; this wrap moves no edge it
        // records, so it is left as it is.
        if (unsigned at = skip_mismatch_level(e, L, 1, key)) {
            wrap_skip_level<false>(alloc, e, static_cast<u8>(at), static_cast<u8>(L), n);
            return LeafOutcome::Reshaped;
        }
    }
    const u8 k = static_cast<u8>(key);
    u8* keys = e.ptr<u8>();
    require(keys != nullptr, "leaf ptr");
    std::size_t i;
    if (k > keys[n - 1]) {
        i = n;  // appending is the common case
    } else {
        i = lower_bound_keys(keys, n, 1, k);
        if (keys[i] == k) return LeafOutcome::Present;
    }

    if (n >= LINEAR1_MAX_KEYS) {
        path.flush_and_reset();
        LeafB1* leaf = bitmap_leaf_of(alloc, std::span<const u8>(keys, n));
        bitmap_test_and_set(*leaf, k);
        release_key_block(alloc, keys, n, 1);
        e.set_ptr(leaf);
        e.set_byte(8, static_cast<u8>(n));  // bytes 9.. keep the skipped digits
        e.set_tag(TAG_LEAF_BITMAP);
        if (L == 1) path.fill(&e, leaf, nullptr, static_cast<u16>(n + 1), key);
        return LeafOutcome::Stored;
    }
    u8* block = linear_leaf_add(alloc, e, n, 1, i, k);
    if (L == 1)
        path.fill(&e, nullptr, block, static_cast<u16>(n + 1), key);
    else
        path.flush_and_reset();
    return LeafOutcome::Stored;
}

// Tags 6 to 11: a linear leaf of w = 2..7 byte keys.
LeafOutcome insert_linear(NodeAlloc& alloc, Edge& e, unsigned L, unsigned w, u64 key,
                          InsertPath& path) {
    path.flush_and_reset();
    const std::size_t n = e.pop0(w) + 1;
    if (L > w) {
        if (unsigned at = skip_mismatch_level(e, L, w, key)) {
            wrap_skip_level<false>(alloc, e, static_cast<u8>(at), static_cast<u8>(L), n);
            return LeafOutcome::Reshaped;
        }
    }
    const u64 k = key & low_bytes_mask(w);
    const u8* keys = e.ptr<u8>();
    require(keys != nullptr, "leaf ptr");
    const std::size_t i = lower_bound_keys(keys, n, w, k);
    if (i < n && packed_key(keys, i, w) == k) return LeafOutcome::Present;
    if (n < LINEAR_MAX_KEYS) {
        linear_leaf_add(alloc, e, n, w, i, k);
        path.flush_and_reset();
    } else {
        split_full_leaf(alloc, e, L, w, i, key, path);
    }
    return LeafOutcome::Stored;
}

// Tag 12: a LeafB1.
LeafOutcome insert_bitmap_leaf(NodeAlloc& alloc, Edge& e, unsigned L, u64 key, InsertPath& path) {
    if (wrap_where_key_parts(alloc, e, L, 1, key, path)) return LeafOutcome::Reshaped;
    LeafB1* leaf = e.ptr<LeafB1>();
    require(leaf != nullptr, "leaf ptr");
    if (bitmap_test_and_set(*leaf, static_cast<u8>(key))) return LeafOutcome::Present;
    const unsigned count = e.byte(8) + 2u;
    if (count == 256 && L == 1) {
        release_leaf_b1(alloc, leaf);
        e = full_edge(1);
        path.flush_and_reset();
        return LeafOutcome::Stored;
    }
    // Above slot level 1 a LeafB1 keeps its 256th key: a full edge there
    // would claim the slot's whole range.
    e.set_byte(8, static_cast<u8>(count - 1));
    if (L == 1) path.fill(&e, leaf, nullptr, static_cast<u16>(count), key);
    return LeafOutcome::Stored;
}

// Tags 16 to 126: an immediate of n keys of w bytes (w equals the slot level).
LeafOutcome insert_immediate(NodeAlloc& alloc, Edge& e, unsigned w, unsigned n, u64 key,
                             InsertPath& path) {
    path.flush_and_reset();
    const u64 k = key & low_bytes_mask(w);
    if (n == 1) {
        const u64 stored = e.w0 & low_bytes_mask(w);
        if (stored == k) return LeafOutcome::Present;
        const u64 pair[2] = {stored < k ? stored : k, stored < k ? k : stored};
        write_immed(e, static_cast<u8>(w), pair, 2);
        return LeafOutcome::Stored;
    }
    const KeyList16 old = immed_keys(e, static_cast<u8>(w), static_cast<u8>(n));
    u64 keys[17];
    std::size_t i = 0;
    while (i < n && old.keys[i] < k) keys[i] = old.keys[i], ++i;
    if (i < n && old.keys[i] == k) return LeafOutcome::Present;
    keys[i] = k;
    for (std::size_t j = i; j < n; ++j) keys[j + 1] = old.keys[j];
    if (n < forms::set_immediate_capacity(w)) {
        write_immed(e, static_cast<u8>(w), keys, n + 1);
        return LeafOutcome::Stored;
    }
    u8* block = take_key_block(alloc, n + 1, w);
    for (std::size_t j = 0; j <= n; ++j) put_packed_key(block, j, w, keys[j]);
    Edge fresh;
    fresh.set_ptr(block);
    fresh.set_pop0(w, n);
    fresh.set_tag(linear_leaf_tag(w));
    e = fresh;
    return LeafOutcome::Stored;
}

}  // namespace

unsigned skip_mismatch_level(const Edge& edge, unsigned slot_level, unsigned node_level, u64 key) {
    if (node_level >= slot_level) return 0;
    const u64 diff = (edge.w1 ^ key) & shl8(LEVEL_MASK[slot_level - node_level], node_level);
    if (diff == 0) return 0;
    return (static_cast<unsigned>(63 - std::countl_zero(diff)) >> 3) + 1;
}

bool wrap_where_key_parts(NodeAlloc& alloc, Edge& e, unsigned slot_level, unsigned node_level,
                          u64 key, InsertPath& path) {
    const unsigned at = skip_mismatch_level(e, slot_level, node_level, key);
    if (at == 0) return false;
    path.flush_and_reset();
    wrap_skip_level<false>(alloc, e, static_cast<u8>(at), static_cast<u8>(slot_level),
                           e.pop0(node_level) + 1);
    return true;
}

void complete_insert(const DescentStack& stack, InsertPath& path) {
    for (std::size_t s = 0; s < stack.size; ++s) {
        if (stack.levels[s] <= 7) stack.edges[s]->add_pop0(stack.levels[s], 1);
        path.append(stack.edges[s], stack.levels[s]);
    }
}

namespace {

template <std::size_t N>
BranchStep insert_linear_branch(NodeAlloc& alloc, Edge*& slot, unsigned& level, u64 key,
                                DescentStack& stack, InsertPath& path) {
    Edge& e = *slot;
    BranchL<N>* node = e.ptr<BranchL<N>>();
    require(node != nullptr, "branch ptr");
    const unsigned nl = node->level;
    if (wrap_where_key_parts(alloc, e, level, nl, key, path)) return BranchStep::Reshaped;
    const u8 digit = static_cast<u8>(shr8(key, nl - 1));
    std::optional<unsigned> found;
    if ((node->summary >> (digit & 15)) & 1u) {
        if (auto idx = bits::find_byte_8(node->digits, node->count, digit)) found = *idx;
    }
    std::size_t i;
    if (found) {
        i = *found;
    } else if (node->count == N) {
        path.flush_and_reset();
        if constexpr (N == 3)
            upgrade_l3_to_l7<false>(alloc, e);
        else
            upgrade_l7_to_b<false>(alloc, e);
        return BranchStep::Reshaped;
    } else {
        i = linear_insert_slot(node->digits, node->children, N, node->count, digit);
        ++node->count;
        node->summary = static_cast<u16>(node->summary | (1u << (digit & 15)));
    }
    stack.push(&e, nl);
    slot = &node->children[i];
    level = nl - 1;
    return BranchStep::Descended;
}

BranchStep insert_bitmap_branch(NodeAlloc& alloc, Edge*& slot, unsigned& level, u64 key,
                                DescentStack& stack, InsertPath& path) {
    Edge& e = *slot;
    BranchB* node = e.ptr<BranchB>();
    require(node != nullptr, "branch ptr");
    const unsigned nl = node->level;
    if (wrap_where_key_parts(alloc, e, level, nl, key, path)) return BranchStep::Reshaped;
    const u8 digit = static_cast<u8>(shr8(key, nl - 1));
    const unsigned g = digit >> 5;
    const unsigned r = group_rank(node->bitmap[g], digit);
    if (!group_has(node->bitmap[g], digit)) {
        if (detail::bitmap_children(*node) >= B_MAX_CHILDREN) {
            path.flush_and_reset();
            // A skipping BranchB first gains an unskipped parent one level
            // up; the next pass finds it at its slot level and upgrades it.
            if (nl < level)
                wrap_skip_level<false>(alloc, e, static_cast<u8>(nl + 1), static_cast<u8>(level),
                                       e.pop0(nl) + 1);
            else
                upgrade_b_to_u<false>(alloc, e);
            return BranchStep::Reshaped;
        }
        const std::size_t n = node->group_counts[g];
        Edge* sub = node->subarrays[g];
        if (n > 0 && capacity_class(n + 1) == capacity_class(n)) {
            require(sub != nullptr, "subarray");
            std::memmove(static_cast<void*>(sub + r + 1), sub + r, (n - r) * sizeof(Edge));
            sub[r] = Edge{};
        } else {
            Edge* fresh = detail::take_subarray(alloc, n + 1);
            if (n > 0) {
                require(sub != nullptr, "subarray");
                std::memcpy(static_cast<void*>(fresh), sub, r * sizeof(Edge));
                std::memcpy(static_cast<void*>(fresh + r + 1), sub + r, (n - r) * sizeof(Edge));
                detail::release_subarray(alloc, sub, n);
            }
            node->subarrays[g] = fresh;
        }
        node->bitmap[g] |= u32{1} << (digit & 31);
        ++node->group_counts[g];
    }
    stack.push(&e, nl);
    slot = &node->subarrays[g][r];
    level = nl - 1;
    return BranchStep::Descended;
}

}  // namespace

BranchStep insert_branch_step(NodeAlloc& alloc, Edge*& slot, unsigned& level, u64 key,
                              DescentStack& stack, InsertPath& path) {
    switch (slot->tag_byte()) {
        case TAG_BRANCH_L3:
            return insert_linear_branch<3>(alloc, slot, level, key, stack, path);
        case TAG_BRANCH_L7:
            return insert_linear_branch<7>(alloc, slot, level, key, stack, path);
        case TAG_BRANCH_B:
            return insert_bitmap_branch(alloc, slot, level, key, stack, path);
        case TAG_BRANCH_U: {
            BranchU* node = slot->ptr<BranchU>();
            require(node != nullptr, "branch ptr");
            stack.push(slot, level);
            slot = &node->children[static_cast<u8>(shr8(key, level - 1))];
            level -= 1;
            return BranchStep::Descended;
        }
        default:
            fatal("valid edge tag");
    }
}

bool insert_with_path_flat(NodeAlloc& alloc, Edge& edge, u64 key, unsigned level,
                           InsertPath& path) {
    require(level >= 1 && level <= 8, "index out of bounds: slot level");
    DescentStack stack;
    Edge* e = &edge;
    unsigned L = level;
    for (;;) {
        const u8 tag = e->tag_byte();
        LeafOutcome outcome;
        if (tag == TAG_EMPTY) {
            if (L == 8) {
                *e = detail::fresh_root_branch(alloc);
                path.flush_and_reset();
                continue;
            }
            path.flush_and_reset();
            Edge fresh;
            fresh.w0 = key & low_bytes_mask(L);
            fresh.set_tag(immediate_tag(L, 1));
            *e = fresh;
            outcome = LeafOutcome::Stored;
        } else if (is_branch_tag(tag)) {
            insert_branch_step(alloc, e, L, key, stack, path);
            continue;
        } else if (tag == TAG_LEAF_1) {
            outcome = insert_linear1(alloc, *e, L, key, path);
        } else if (is_linear_leaf_tag(tag)) {
            outcome = insert_linear(alloc, *e, L, tag - TAG_LEAF_BASE, key, path);
        } else if (tag == TAG_LEAF_BITMAP) {
            outcome = insert_bitmap_leaf(alloc, *e, L, key, path);
        } else if (tag == TAG_FULL) {
            return false;
        } else {
            const EdgeKind kind = decode_tag(tag);
            require(kind.is_immediate(), "valid immediate tag");
            outcome = insert_immediate(alloc, *e, kind.key_bytes, kind.count, key, path);
        }
        if (outcome == LeafOutcome::Reshaped) continue;
        if (outcome == LeafOutcome::Present) return false;
        complete_insert(stack, path);
        return true;
    }
}

}  // namespace tolvane::mutate

// ---------------------------------------------------------------------------
// Remove.

namespace tolvane::mutate {

bool remove(NodeAlloc& alloc, Edge& edge, u64 key, u8 level) {
    require(level >= 1 && level <= 8, "index out of bounds: slot level");
    const unsigned L = level;
    const occ_detail::PlainSlot plain{alloc};
    for (;;) {
        const u8 tag = edge.tag_byte();
        switch (tag) {
            case TAG_EMPTY:
                return false;
            case TAG_BRANCH_L3:
            case TAG_BRANCH_L7:
            case TAG_BRANCH_B:
            case TAG_BRANCH_U:
                return remove_branch_step(alloc, edge, L, key, [&](Edge& child, u8 child_level) {
                    return remove(alloc, child, key, child_level);
                });
            case TAG_LEAF_BITMAP:
                return remove_leaf::from_bitmap_leaf(plain, edge, edge, key, L);
            case TAG_FULL:
                remove_leaf::expand_full_edge(plain, edge, L);
                continue;
            default:
                break;
        }
        if (is_linear_leaf_tag(tag))
            return remove_leaf::from_linear_leaf(plain, edge, edge, key, L);
        const EdgeKind kind = decode_tag(tag);
        require(kind.is_immediate(), "valid edge tag");
        return remove_leaf::from_immediate(plain, edge, edge, kind, key);
    }
}

}  // namespace tolvane::mutate
