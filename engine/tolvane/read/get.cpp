#include "tolvane/read/get.hpp"

#include <type_traits>

#include "tolvane/core/bits.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/node_view.hpp"

namespace tolvane::get {

namespace {

// What a walk answers: the value word's address in the map flavour, a found
// flag in the set flavour. The value-initialised answer means absent.
template <bool Map>
using Found = std::conditional_t<Map, const u64*, bool>;

// Digit of the branch whose children sit in slots of level `child_level`.
inline u8 digit_at(u64 key, unsigned child_level) noexcept {
    return static_cast<u8>(shr8(key, child_level));
}

// The one walk behind both flavours. Branches are identical in the two; only
// the leaves differ in where they keep keys and values.
template <bool Map>
Found<Map> find(const Edge* e, u64 key, unsigned slot) {
    constexpr Found<Map> absent{};
    for (;;) {
        const u8 tag = e->tag_byte();
        switch (tag) {
            case TAG_EMPTY:
                return absent;
            case TAG_BRANCH_L3:
            case TAG_BRANCH_L7: {
                const view::Linear node = view::linear(*e);
                if (!prefix_matches(*e, slot, node.level, key)) return absent;
                slot = node.level - 1;
                const u8 d = digit_at(key, slot);
                // The summary rejects most absent digits without a search.
                if (((node.summary >> (d & 15)) & 1) == 0) return absent;
                const auto i = bits::find_byte_8(node.digits, node.count, d);
                if (!i) return absent;
                e = &node.children[*i];
                continue;
            }
            case TAG_BRANCH_B: {
                const BranchB* node = e->ptr<const BranchB>();
                if (!prefix_matches(*e, slot, node->level, key)) return absent;
                slot = node->level - 1u;
                const u8 d = digit_at(key, slot);
                if (!group_has(node->bitmap[d >> 5], d)) return absent;
                e = &view::bitmap_child(node, d);
                continue;
            }
            case TAG_BRANCH_U:
                // Uncompressed branches never skip: a chain of them needs no
                // level or prefix bookkeeping beyond the decrement.
                do {
                    slot -= 1;
                    e = &e->ptr<const BranchU>()->children[digit_at(key, slot)];
                } while (e->tag_byte() == TAG_BRANCH_U);
                continue;
            case TAG_LEAF_BITMAP: {
                if (!prefix_matches(*e, slot, 1, key)) return absent;
                const u8 b = static_cast<u8>(key);
                if constexpr (Map) {
                    const LeafBitmapL* leaf = e->ptr<const LeafBitmapL>();
                    const u32 group = leaf->bitmap[b >> 5];
                    if (!group_has(group, b)) return absent;
                    const u64* values = leaf->value_subarrays[b >> 5];
                    if (values == nullptr) return absent;
                    return values + group_rank(group, b);
                } else {
                    return view::leaf_bits<false>(*e).test(b);
                }
            }
            case TAG_FULL:
                if constexpr (Map)
                    fatal(
                        "internal error: entered unreachable code: full-tolvane edges are "
                        "set-flavor only");
                else
                    return true;
            default:
                break;
        }
        if (is_linear_leaf_tag(tag)) {
            const view::LinearLeaf leaf = view::linear_leaf<Map>(*e);
            if (!prefix_matches(*e, slot, leaf.w, key)) return absent;
            const leaf::LeafPos at =
                leaf::search(leaf.keys, leaf.count, static_cast<u8>(leaf.w), key);
            if (!at.found) return absent;
            if constexpr (Map)
                return leaf.values + at.index;
            else
                return true;
        }
        const EdgeKind kind = decode_tag(tag);
        if (!kind.is_immediate()) return absent;
        // An immediate's key width equals its slot level: every higher key
        // byte was resolved above, so only the low w bytes are compared.
        const u64 low = key & LEVEL_MASK[kind.key_bytes];
        if constexpr (Map) {
            if (kind.count == 1)
                return ((e->w1 ^ key) & LEVEL_MASK[kind.key_bytes]) == 0 ? &e->w0 : absent;
            const KeyList16 keys = mutate::immed_map_keys(*e, kind.key_bytes, kind.count);
            for (std::size_t i = 0; i < keys.size(); ++i) {
                if (keys[i] != low) continue;
                const u64* values = e->ptr<const u64>();
                return values == nullptr ? absent : values + i;
            }
            return absent;
        } else {
            if (kind.count == 1) return ((e->w0 ^ key) & LEVEL_MASK[kind.key_bytes]) == 0;
            const KeyList16 keys = mutate::immed_keys(*e, kind.key_bytes, kind.count);
            for (const u64 k : keys)
                if (k == low) return true;
            return false;
        }
    }
}

}  // namespace

const u64* locate_slot(const Edge* edge, u64 key, u8 level) { return find<true>(edge, key, level); }

u64* locate_slot(Edge* edge, u64 key, u8 level) {
    // The walk only reads; the caller owns the tree and may write the value.
    return const_cast<u64*>(find<true>(edge, key, level));
}

bool contains(const Edge* edge, u64 key, u8 level) { return find<false>(edge, key, level); }

}  // namespace tolvane::get
