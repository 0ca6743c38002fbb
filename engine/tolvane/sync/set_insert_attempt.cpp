#include <cstring>
#include <vector>

#include "tolvane/core/forms.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/sync/olc_attempt_body.hpp"
#include "tolvane/sync/set_attempts.hpp"
#include "tolvane/write/mutate_free.hpp"
#include "tolvane/write/mutate_leaf_split.hpp"
#include "tolvane/write/mutate_reclaiming_insert.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::sync {

namespace olc_insert_set_detail {
std::size_t upper_slot(std::size_t start, std::size_t end, const u8* keys, unsigned w, u64 target) {
    for (std::size_t i = start; i < end; ++i)
        if (leaf::packed_key(keys, i, w) > target) return i;
    return end;
}
}  // namespace olc_insert_set_detail

namespace {

using mutate::publish_edge;
using olc_insert_set_detail::upper_slot;

constexpr OlcOutcome RETRY = OLC_RETRY;
constexpr OlcOutcome EXCLUSIVE = OLC_EXCLUSIVE;
constexpr OlcOutcome ADDED{OlcStatus::New, 0};
constexpr OlcOutcome PRESENT{OlcStatus::Replaced, 0};

using forms::linear_leaf_max_keys;
constexpr std::size_t LEAF_KEY_BYTES = forms::LINEAR_MAX_KEYS * 7;

// The one-key set immediate of `key` in a slot of `level` (1..7).
Edge set_child(u64 key, unsigned level) {
    Edge e;
    e.w0 = key & LEVEL_MASK[level];
    e.w1 = static_cast<u64>(level) << 60;
    return e;
}

using At = OlcAt;

// The key is there, provided nothing moved under the holder since.
OlcOutcome present_if_still(const OlcStep& holder) { return olc_if_still(holder, PRESENT); }

OlcOutcome into_immediate(const At& at, const EdgeKind& kind, u64 key) {
    const Edge& e = at.e;
    const unsigned w = kind.key_bytes;
    const unsigned n = kind.count;
    if (w != at.level) return EXCLUSIVE;  // an immediate always spans its slot
    const u64 k = key & low_bytes_mask(w);
    u8 packed[16];
    std::memcpy(packed, &e.w0, 8);
    std::memcpy(packed + 8, &e.w1, 8);
    for (unsigned j = 0; j < n; ++j)
        if (leaf::packed_key(packed, j, w) == k) return present_if_still(at.holder);
    const std::size_t p = upper_slot(0, n, packed, w, k);
    u64 keys[16];
    for (std::size_t j = 0, from = 0; j <= n; ++j)
        keys[j] = j == p ? k : leaf::packed_key(packed, from++, w);

    OlcBlocks blocks(at.alloc);
    Edge fresh;
    if (n < forms::set_immediate_capacity(w)) {
        mutate::write_immed(fresh, static_cast<u8>(w), keys, n + 1);
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            publish_edge(at.slot, fresh);
            return ADDED;
        });
    }
    u8* block = blocks.make<u8>(leaf_block_bytes(n + 1, w));
    return olc_change(blocks, at.holder, at.slot, e, [&] {
        for (std::size_t j = 0; j <= n; ++j) leaf::put_packed_key(block, j, w, keys[j]);
        fresh.set_ptr(block);
        // The old word 1 holds key bytes, not a prefix: the leaf edge gets
        // only its count and tag (an immediate spans its slot, so nothing is
        // skipped).
        fresh.w1 = olc_leaf_word1(0, w, at.level, n, linear_leaf_tag(w));
        publish_edge(at.slot, fresh);
        return ADDED;
    });
}

// A full leaf: its keys (copied and checked against the holder's word) move
// into a LeafB1 or a private subtree built before the lock; only the
// publication happens under it.
OlcOutcome split_full_leaf(const At& at, unsigned w, std::size_t n, std::size_t i, u64 k,
                           const u8* copy) {
    const Edge& e = at.e;
    std::vector<u64> keys;
    keys.reserve(n + 1);
    for (std::size_t j = 0; j < n; ++j) keys.push_back(leaf::packed_key(copy, j, w));
    keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(i), k);

    NodeAlloc& alloc = at.alloc;
    Edge fresh;
    if (w == 1) {
        fresh = e;  // keeps the skipped digits above byte 8
        fresh.set_ptr(mutate::bitmap_leaf_of(alloc, keys));
        fresh.set_byte(8, static_cast<u8>(n));
        fresh.set_tag(TAG_LEAF_BITMAP);
    } else {
        if (w < at.level) {
            const u64 prefix = shl8(mutate::decode_value(e, static_cast<u8>(w), static_cast<u8>(at.level)), w);
            for (u64& x : keys) x |= prefix;
        }
        if (const unsigned node_level = mutate::split_full_leaf_head(alloc, fresh, keys, at.level)) {
            // No reader sees the private edge yet; a private word stands in
            // for the branch that will hold it.
            u32 private_word = 0;
            for (u64 x : keys) {
                InsertPath private_path;
                mutate::insert_with_path_occ<false>(alloc, fresh, x, at.level, private_path,
                                                   mutate::SlotHolder::branch(private_word));
            }
            fresh.set_pop0(node_level, n);
        }
    }
    if (!olc_lock_verify(at.holder, at.slot, e)) {
        mutate::free_subtree_unpublished<false>(alloc, fresh);
        return RETRY;
    }
    publish_edge(at.slot, fresh);
    olc_unlock(*at.holder.word, at.holder.version);
    alloc.release(e.ptr<void>(), leaf_block_bytes(n, w), LEAF_ALIGN);
    return ADDED;
}

OlcOutcome into_linear_leaf(const At& at, u64 key) {
    const Edge& e = at.e;
    const unsigned w = e.tag_byte() - TAG_LEAF_BASE;
    if (w > at.level || !prefix_matches(e, at.level, w, key)) return EXCLUSIVE;
    const std::size_t n = static_cast<std::size_t>(e.pop0(w)) + 1;
    if (n > linear_leaf_max_keys(w)) return RETRY;  // a torn edge
    u8* block = e.ptr<u8>();
    u8 copy[LEAF_KEY_BYTES + 8];
    olc_copy_shared(copy, block, leaf_block_bytes(n, w));
    if (!olc_still(*at.holder.word, at.holder.version)) return RETRY;
    const u64 k = key & low_bytes_mask(w);
    const leaf::LeafPos pos = leaf::locate(copy, n, static_cast<u8>(w), k);
    if (pos.found) return PRESENT;
    const std::size_t i = pos.index;
    if (n >= linear_leaf_max_keys(w)) return split_full_leaf(at, w, n, i, k, copy);

    OlcBlocks blocks(at.alloc);
    Edge fresh = e;
    fresh.set_pop0(w, n);
    if (capacity_class(n + 1) == capacity_class(n)) {
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            leaf::shared_keys::insert_at(block, static_cast<u8>(w), n, i, k);
            publish_edge(at.slot, fresh);
            return ADDED;
        });
    }
    u8* grown = blocks.make<u8>(leaf_block_bytes(n + 1, w));
    return olc_change(blocks, at.holder, at.slot, e, [&] {
        std::memcpy(grown, copy, i * w);
        leaf::put_packed_key(grown, i, w, k);
        std::memcpy(grown + (i + 1) * w, copy + i * w, (n - i) * w);
        fresh.set_ptr(grown);
        publish_edge(at.slot, fresh);
        blocks.replaced(block, leaf_block_bytes(n, w), LEAF_ALIGN);
        return ADDED;
    });
}

OlcOutcome into_bitmap_leaf(const At& at, u64 key) {
    const Edge& e = at.e;
    if (!prefix_matches(e, at.level, 1, key)) return EXCLUSIVE;
    auto* leaf = e.ptr<LeafB1>();
    u64& word = leaf->bitmap[(key >> 6) & 3];
    const u64 bit = u64{1} << (key & 63);
    if (load_acquire(word) & bit) return present_if_still(at.holder);
    const u64 pop0 = e.pop0(1);
    if (pop0 > 253) return EXCLUSIVE;  // the 256th key makes a full edge
    OlcBlocks none(at.alloc);
    Edge fresh = e;
    fresh.set_pop0(1, pop0 + 1);
    return olc_change(none, at.holder, at.slot, e, [&] {
        store_relaxed(word, load_relaxed(word) | bit);
        publish_edge(at.slot, fresh);
        return ADDED;
    });
}

// A full edge holds every key of its slot.
struct SetInsert {
    static constexpr bool INSERTS = true;
    static constexpr OlcOutcome AT_FULL = PRESENT;
    static bool stores(const EdgeKind& kind) { return !kind.is_invalid(); }
    u64 key;
    Edge child(unsigned level) const { return set_child(key, level); }
    OlcOutcome immediate(const At& at, const EdgeKind& kind) const { return into_immediate(at, kind, key); }
    OlcOutcome bitmap_leaf(const At& at) const { return into_bitmap_leaf(at, key); }
    OlcOutcome linear_leaf(const At& at) const { return into_linear_leaf(at, key); }
};

}  // namespace

OlcOutcome olc_insert_set(NodeAlloc& alloc, const olc::RootRead& root, u64 key) {
    return olc_attempt(alloc, root, key, SetInsert{key});
}

}  // namespace tolvane::sync
