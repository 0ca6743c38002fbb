#include <cstring>

#include "tolvane/core/forms.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/sync/olc_remove_map.hpp"
#include "tolvane/sync/olc_attempt_body.hpp"
#include "tolvane/sync/set_attempts.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::sync {
namespace {

using mutate::publish_edge;

constexpr OlcOutcome RETRY = OLC_RETRY;
constexpr OlcOutcome EXCLUSIVE = OLC_EXCLUSIVE;
constexpr OlcOutcome ABSENT = OLC_ABSENT;
constexpr OlcOutcome REMOVED{OlcStatus::Removed, 0};

constexpr std::size_t LEAF_KEY_BYTES = forms::LINEAR_MAX_KEYS * 7;

using At = OlcAt;

OlcOutcome absent_if_still(const OlcStep& holder) { return olc_if_still(holder, ABSENT); }

// The key was the edge's last: the slot is emptied, only under an
// uncompressed branch that stays above its demotion floor. `block` (with its
// size and alignment) is the leaf the edge pointed to, if any.
OlcOutcome empty_slot(const At& at, void* block, std::size_t bytes, std::size_t align) {
    if (!olc_may_empty(at.holder)) return EXCLUSIVE;
    OlcBlocks blocks(at.alloc);
    if (block) blocks.replaced(block, bytes, align);
    return olc_change(blocks, at.holder, at.slot, at.e, [&] {
        publish_edge(at.slot, Edge{});
        return REMOVED;
    });
}

// Publishes `fresh` in place of the edge under the holder's lock, retiring
// `old` (when given) afterwards.
OlcOutcome replace_edge(const At& at, OlcBlocks& blocks, const Edge& fresh) {
    return olc_change(blocks, at.holder, at.slot, at.e, [&] {
        publish_edge(at.slot, fresh);
        return REMOVED;
    });
}

OlcOutcome from_immediate(const At& at, const EdgeKind& kind, u64 key) {
    const Edge& e = at.e;
    const unsigned w = kind.key_bytes;
    const unsigned n = kind.count;
    if (w != at.level) return EXCLUSIVE;  // an immediate always spans its slot
    const u64 k = key & low_bytes_mask(w);
    if (n == 1) {
        if ((e.w0 & low_bytes_mask(w)) != k) return absent_if_still(at.holder);
        return empty_slot(at, nullptr, 0, 0);
    }
    u8 packed[16];
    std::memcpy(packed, &e.w0, 8);
    std::memcpy(packed + 8, &e.w1, 8);
    const leaf::LeafPos pos = leaf::locate(packed, n, static_cast<u8>(w), k);
    if (!pos.found) return absent_if_still(at.holder);
    u64 rest[15];
    for (std::size_t j = 0, m = 0; j < n; ++j)
        if (j != pos.index) rest[m++] = leaf::packed_key(packed, j, w);
    Edge fresh;
    mutate::write_immed(fresh, static_cast<u8>(w), rest, n - 1);
    OlcBlocks none(at.alloc);
    return replace_edge(at, none, fresh);
}

OlcOutcome from_linear_leaf(const At& at, u64 key) {
    const Edge& e = at.e;
    const unsigned w = e.tag_byte() - TAG_LEAF_BASE;
    const unsigned level = at.level;
    if (w > level || !prefix_matches(e, level, w, key)) return EXCLUSIVE;
    const std::size_t n = static_cast<std::size_t>(e.pop0(w)) + 1;
    if (n > forms::linear_leaf_max_keys(w)) return RETRY;  // a torn edge
    u8* block = e.ptr<u8>();
    const std::size_t bytes = leaf_block_bytes(n, w);
    u8 copy[LEAF_KEY_BYTES + 8];
    olc_copy_shared(copy, block, bytes);
    if (!olc_still(*at.holder.word, at.holder.version)) return RETRY;
    const leaf::LeafPos pos = leaf::locate(copy, n, static_cast<u8>(w), key & low_bytes_mask(w));
    if (!pos.found) return ABSENT;
    const std::size_t i = pos.index;
    const std::size_t m = n - 1;
    if (m == 0) return empty_slot(at, block, bytes, LEAF_ALIGN);

    OlcBlocks blocks(at.alloc);
    if (m <= forms::set_immediate_capacity(level)) {
        // The rest fits an immediate of the slot's width: the skipped digits
        // above the leaf's key bytes go back into each key.
        const u64 prefix = w < level ? shl8(mutate::decode_value(e, static_cast<u8>(w), static_cast<u8>(level)), w) : 0;
        u64 rest[15];
        for (std::size_t j = 0, r = 0; j < n; ++j)
            if (j != i) rest[r++] = leaf::packed_key(copy, j, w) | prefix;
        Edge fresh;
        mutate::write_immed(fresh, static_cast<u8>(level), rest, m);
        blocks.replaced(block, bytes, LEAF_ALIGN);
        return replace_edge(at, blocks, fresh);
    }
    Edge fresh = e;
    fresh.set_pop0(w, m - 1);
    if (capacity_class(m) == capacity_class(n)) {
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            leaf::shared_keys::remove_at(block, static_cast<u8>(w), n, i);
            publish_edge(at.slot, fresh);
            return REMOVED;
        });
    }
    u8* shrunk = blocks.make<u8>(leaf_block_bytes(m, w));
    std::memcpy(shrunk, copy, i * w);
    std::memcpy(shrunk + i * w, copy + (i + 1) * w, (m - i) * w);
    fresh.set_ptr(shrunk);
    blocks.replaced(block, bytes, LEAF_ALIGN);
    return replace_edge(at, blocks, fresh);
}

OlcOutcome from_bitmap_leaf(const At& at, u64 key) {
    const Edge& e = at.e;
    const unsigned level = at.level;
    if (!prefix_matches(e, level, 1, key)) return EXCLUSIVE;
    auto* leaf = e.ptr<LeafB1>();
    u64& word = leaf->bitmap[(key >> 6) & 3];
    const u64 bit = u64{1} << (key & 63);
    if ((load_acquire(word) & bit) == 0) return absent_if_still(at.holder);
    const unsigned k = static_cast<unsigned>(e.pop0(1)) + 1;
    if (k == 1) return empty_slot(at, leaf, LEAF_B1_BYTES, NODE_ALIGN);

    OlcBlocks blocks(at.alloc);
    if (k >= forms::BITMAP_LEAF_MIN_KEYS + 1) {
        Edge fresh = e;
        fresh.set_pop0(1, k - 2);
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            store_relaxed(word, load_relaxed(word) & ~bit);
            publish_edge(at.slot, fresh);
            return REMOVED;
        });
    }
    // 2..21 keys: the m others become an immediate of the slot's width or a
    // leaf of 1-byte keys. The block is made before the lock; the digits are
    // read under it, where no writer can change them.
    const unsigned m = k - 1;
    const bool immediate = m <= forms::set_immediate_capacity(level);
    u8* block = immediate ? nullptr : blocks.make<u8>(leaf_block_bytes(m, 1));
    const u64 prefix = level > 1 ? mutate::decode_value(e, 1, static_cast<u8>(level)) << 8 : 0;
    blocks.replaced(leaf, LEAF_B1_BYTES, NODE_ALIGN);
    return olc_change(blocks, at.holder, at.slot, e, [&] {
        u64 digits[21];
        unsigned r = 0;
        for (unsigned d = 0; d < 256 && r < m; ++d)
            if (d != (key & 255) && ((load_relaxed(leaf->bitmap[d >> 6]) >> (d & 63)) & 1)) digits[r++] = d;
        require(r == m, "bitmap leaf population matches its bits");
        Edge fresh;
        if (immediate) {
            for (unsigned j = 0; j < m; ++j) digits[j] |= prefix;
            mutate::write_immed(fresh, static_cast<u8>(level), digits, m);
        } else {
            for (unsigned j = 0; j < m; ++j) block[j] = static_cast<u8>(digits[j]);
            fresh.w1 = e.w1;
            fresh.set_pop0(1, m - 1);
            fresh.set_tag(linear_leaf_tag(1));
            fresh.set_ptr(block);
        }
        publish_edge(at.slot, fresh);
        return REMOVED;
    });
}

// A full edge is left to the exclusive section, which splits it.
struct SetRemove {
    static constexpr bool INSERTS = false;
    static constexpr OlcOutcome AT_FULL = EXCLUSIVE;
    static bool stores(const EdgeKind& kind) { return !kind.is_invalid(); }
    u64 key;
    OlcOutcome immediate(const At& at, const EdgeKind& kind) const { return from_immediate(at, kind, key); }
    OlcOutcome bitmap_leaf(const At& at) const { return from_bitmap_leaf(at, key); }
    OlcOutcome linear_leaf(const At& at) const { return from_linear_leaf(at, key); }
};

}  // namespace

OlcOutcome olc_remove_set(NodeAlloc& alloc, const olc::RootRead& root, u64 key) {
    return olc_attempt(alloc, root, key, SetRemove{key});
}

}  // namespace tolvane::sync
