#include "tolvane/read/iter.hpp"

#include <bit>
#include <cstring>

#include "tolvane/core/bits.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/node_view.hpp"

namespace tolvane {

namespace {

// Bits of a 32-bit group from bit `from` (0..31) up.
inline u32 group_from(u32 group, unsigned from) noexcept { return group & ~((u32{1} << from) - 1); }

template <class Node>
const Edge& linear_child(const void* node, std::size_t i) {
    require(i < Node::CAPACITY, "linear branch child index out of range");
    return static_cast<const Node*>(node)->children[i];
}

}  // namespace

template <bool Map>
RawIter<Map> RawIter<Map>::over_root_leaf(const u64* keys, const u64* values, u32 count,
                                          u32 position) {
    RawIter it;
    it.leaf.kind = LeafCursor::ROOT_LEAF;
    it.leaf.root_leaf = {count, position, keys, Map ? values : nullptr};
    return it;
}

template <bool Map>
RawIter<Map> RawIter<Map>::from_tree(const Edge& root) {
    RawIter it;
    if (!it.open(root, 8, 0)) it.advance();
    return it;
}

template <bool Map>
void RawIter<Map>::push(const BranchFrame& frame) {
    require(depth < MAX_DEPTH, "iterator frame index out of range");
    frames[depth++] = frame;
}

template <bool Map>
void RawIter<Map>::open_linear(const Edge& e, u64 prefix, std::size_t position) {
    const view::LinearLeaf v = view::linear_leaf<Map>(e);
    leaf.kind = LeafCursor::LINEAR;
    leaf.linear = {static_cast<u8>(v.w),
                   static_cast<u16>(v.count),
                   static_cast<u16>(position),
                   v.keys,
                   v.values,
                   prefix};
}

// Opens a bitmap leaf on its first set bit at or above `first`.
template <bool Map>
void RawIter<Map>::open_bitmap(const Edge& e, u64 prefix, u8 first) {
    if constexpr (Map) {
        const LeafBitmapL* node = e.ptr<const LeafBitmapL>();
        LeafCursor::MapBitmap c{};
        c.prefix = prefix;
        std::memcpy(c.groups, node->bitmap, sizeof c.groups);
        for (unsigned g = 0; g < 8; ++g) c.values[g] = node->value_subarrays[g];
        c.group = static_cast<u8>(first >> 5);
        c.rest = group_from(c.groups[c.group], first & 31u);
        c.index = static_cast<u16>(group_rank(c.groups[c.group], first));
        leaf.kind = LeafCursor::MAP_BITMAP;
        leaf.map_bitmap = c;
    } else {
        LeafCursor::SetBitmap c{};
        c.prefix = prefix;
        std::memcpy(c.bits, e.ptr<const LeafB1>()->bitmap, sizeof c.bits);
        c.word = static_cast<u8>(first >> 6);
        c.bits[c.word] &= ~((u64{1} << (first & 63u)) - 1);
        leaf.kind = LeafCursor::SET_BITMAP;
        leaf.set_bitmap = c;
    }
}

template <bool Map>
void RawIter<Map>::open_immediate(const Edge& e, const EdgeKind& kind, u64 prefix,
                                  std::size_t position) {
    if (kind.count == 1) {
        // Set flavour keeps the key in word 0, the map flavour in the decode
        // area with the value in word 0.
        const u64 stored = Map ? e.w1 : e.w0;
        leaf.kind = LeafCursor::SINGLE;
        leaf.single = {static_cast<u8>(position != 0),
                       prefix | (stored & LEVEL_MASK[kind.key_bytes]),
                       view::immediate_value<Map>(e, 1, 0)};
        return;
    }
    const KeyList16 keys = view::immediate_keys<Map>(e, kind);
    LeafCursor::Multi c{};
    c.count = kind.count;
    c.position = static_cast<u8>(position);
    for (std::size_t i = 0; i < keys.size() && i < 15; ++i) {
        c.keys[i] = prefix | keys.keys[i];
        c.values[i] = view::immediate_value<Map>(e, kind.count, i);
    }
    leaf.kind = LeafCursor::MULTI;
    leaf.multi = c;
}

template <bool Map>
bool RawIter<Map>::open(const Edge& edge, unsigned slot, u64 prefix) {
    const Edge* e = &edge;
    for (;;) {
        const u8 tag = e->tag_byte();
        switch (tag) {
            case TAG_BRANCH_L3:
            case TAG_BRANCH_L7: {
                const view::Linear node = view::linear(*e);
                const unsigned level = node.level;
                prefix |= shl8(view::skipped_prefix(*e, level, slot), level);
                if (node.count == 0) return false;
                BranchFrame f;
                f.kind = tag == TAG_BRANCH_L3 ? BranchFrame::LINEAR_3 : BranchFrame::LINEAR_7;
                f.count = static_cast<u8>(node.count);
                f.position = 1;
                f.node = e->ptr<const void>();
                std::memcpy(f.digits, node.digits, 8);
                f.prefix = prefix;
                f.level = static_cast<u8>(level);
                push(f);
                prefix |= shl8(node.digits[0], level - 1);
                e = &node.children[0];
                slot = level - 1;
                continue;
            }
            case TAG_BRANCH_B: {
                const BranchB* node = e->ptr<const BranchB>();
                const unsigned level = node->level;
                prefix |= shl8(view::skipped_prefix(*e, level, slot), level);
                const auto d = view::bitmap_bits(node).next_set(0);
                if (!d) return false;
                BranchFrame f;
                f.kind = BranchFrame::BITMAP;
                f.position = static_cast<u16>(*d + 1);
                f.node = node;
                f.prefix = prefix;
                f.level = static_cast<u8>(level);
                push(f);
                prefix |= shl8(*d, level - 1);
                e = &view::bitmap_child(node, *d);
                slot = level - 1;
                continue;
            }
            case TAG_BRANCH_U: {
                const BranchU* node = e->ptr<const BranchU>();
                unsigned d = 0;
                while (d < 256 && node->children[d].tag_byte() == TAG_EMPTY) ++d;
                if (d == 256) return false;
                BranchFrame f;
                f.kind = BranchFrame::UNCOMPRESSED;
                f.position = static_cast<u16>(d + 1);
                f.node = node;
                f.prefix = prefix;
                f.level = static_cast<u8>(slot);
                push(f);
                prefix |= shl8(d, slot - 1);
                e = &node->children[d];
                slot -= 1;
                continue;
            }
            case TAG_LEAF_BITMAP:
                open_bitmap(*e, prefix | shl8(view::skipped_prefix(*e, 1, slot), 1), 0);
                return true;
            case TAG_FULL:
                leaf.kind = LeafCursor::RANGE;
                leaf.range = {prefix, prefix | low_bytes_mask(slot)};
                return true;
            default:
                break;
        }
        if (is_linear_leaf_tag(tag)) {
            const unsigned w = tag - TAG_LEAF_BASE;
            open_linear(*e, prefix | shl8(view::skipped_prefix(*e, w, slot), w), 0);
            return true;
        }
        const EdgeKind kind = decode_tag(tag);
        if (!kind.is_immediate()) return false;  // empty or invalid: passed over
        open_immediate(*e, kind, prefix, 0);
        return true;
    }
}

template <bool Map>
bool RawIter<Map>::next_child(BranchFrame& f, const Edge*& child, unsigned& digit) {
    switch (f.kind) {
        case BranchFrame::LINEAR_3:
        case BranchFrame::LINEAR_7:
            if (f.position >= f.count) return false;
            child = f.kind == BranchFrame::LINEAR_3 ? &linear_child<BranchL3>(f.node, f.position)
                                                    : &linear_child<BranchL7>(f.node, f.position);
            digit = f.digits[f.position];
            ++f.position;
            return true;
        case BranchFrame::BITMAP: {
            if (f.position >= 256) return false;
            const BranchB* node = static_cast<const BranchB*>(f.node);
            const auto d = view::bitmap_bits(node).next_set(static_cast<u8>(f.position));
            if (!d) {
                f.position = 256;
                return false;
            }
            f.position = static_cast<u16>(*d + 1);
            child = &view::bitmap_child(node, *d);
            digit = *d;
            return true;
        }
        default: {
            const BranchU* node = static_cast<const BranchU*>(f.node);
            for (unsigned d = f.position; d < 256; ++d) {
                if (node->children[d].tag_byte() == TAG_EMPTY) continue;
                f.position = static_cast<u16>(d + 1);
                child = &node->children[d];
                digit = d;
                return true;
            }
            f.position = 256;
            return false;
        }
    }
}

template <bool Map>
bool RawIter<Map>::advance() {
    while (depth > 0) {
        BranchFrame& f = frames[depth - 1];
        const Edge* child = nullptr;
        unsigned digit = 0;
        if (next_child(f, child, digit)) {
            if (open(*child, f.level - 1u, f.prefix | shl8(digit, f.level - 1u))) return true;
            continue;  // nothing there: go on with the next sibling
        }
        --depth;
    }
    leaf.kind = LeafCursor::NONE;
    return false;
}

template <bool Map>
bool RawIter<Map>::take(KeyValue& out) {
    switch (leaf.kind) {
        case LeafCursor::ROOT_LEAF: {
            LeafCursor::RootLeaf& c = leaf.root_leaf;
            if (c.position >= c.count) return false;
            out = {c.keys[c.position], c.values ? c.values[c.position] : 0};
            ++c.position;
            return true;
        }
        case LeafCursor::LINEAR: {
            LeafCursor::Linear& c = leaf.linear;
            if (c.position >= c.count) return false;
            out = {c.prefix | view::load_key(c.keys + std::size_t{c.w} * c.position, c.w),
                   c.values ? c.values[c.position] : 0};
            ++c.position;
            return true;
        }
        case LeafCursor::SET_BITMAP: {
            LeafCursor::SetBitmap& c = leaf.set_bitmap;
            for (; c.word < 4; ++c.word) {
                u64& bits = c.bits[c.word];
                if (bits == 0) continue;
                out = {c.prefix | (64u * c.word + static_cast<unsigned>(std::countr_zero(bits))),
                       0};
                bits &= bits - 1;
                return true;
            }
            return false;
        }
        case LeafCursor::MAP_BITMAP: {
            LeafCursor::MapBitmap& c = leaf.map_bitmap;
            while (c.group < 8) {
                if (c.rest != 0) {
                    const unsigned b = static_cast<unsigned>(std::countr_zero(c.rest));
                    c.rest &= c.rest - 1;
                    out = {c.prefix | (32u * c.group + b), c.values[c.group][c.index]};
                    ++c.index;
                    return true;
                }
                if (++c.group < 8) {
                    c.rest = c.groups[c.group];
                    c.index = 0;
                }
            }
            return false;
        }
        case LeafCursor::SINGLE: {
            LeafCursor::Single& c = leaf.single;
            if (c.taken) return false;
            c.taken = 1;
            out = {c.key, c.value};
            return true;
        }
        case LeafCursor::MULTI: {
            LeafCursor::Multi& c = leaf.multi;
            if (c.position >= c.count) return false;
            out = {c.keys[c.position], c.values[c.position]};
            ++c.position;
            return true;
        }
        case LeafCursor::RANGE: {
            LeafCursor::Range& c = leaf.range;
            if (c.lo > c.hi) return false;
            out = {c.lo, 0};
            if (c.lo == c.hi)
                c = {1, 0};
            else
                ++c.lo;
            return true;
        }
        default:
            return false;
    }
}

template <bool Map>
std::optional<typename RawIter<Map>::Item> RawIter<Map>::next() {
    for (;;) {
        KeyValue kv;
        if (take(kv)) {
            if constexpr (Map)
                return kv;
            else
                return kv.key;
        }
        // A root leaf has no frames; NONE means finished.
        if (leaf.kind == LeafCursor::NONE || leaf.kind == LeafCursor::ROOT_LEAF)
            return std::nullopt;
        if (!advance()) return std::nullopt;
    }
}

template <bool Map>
RawIter<Map> RawIter<Map>::from_tree_range(const Edge& root, u64 start) {
    RawIter it;
    const Edge* e = &root;
    unsigned slot = 8;
    u64 prefix = 0;  // the path so far equals start's bytes above `slot`
    for (;;) {
        const u8 tag = e->tag_byte();
        if (is_branch_tag(tag)) {
            const unsigned level = tag == TAG_BRANCH_U ? slot : node_level(*e, slot);
            const u64 node_prefix = prefix | shl8(view::skipped_prefix(*e, level, slot), level);
            const u64 high = shr8(start, level);
            const u64 node_high = shr8(node_prefix, level);
            if (high > node_high) break;  // the whole subtree lies below start
            if (high < node_high) {       // the whole subtree lies above start
                if (!it.open(*e, slot, prefix)) it.advance();
                return it;
            }
            const u8 s = static_cast<u8>(shr8(start, level - 1));
            BranchFrame f;
            f.node = e->ptr<const void>();
            f.prefix = node_prefix;
            f.level = static_cast<u8>(level);
            const Edge* child = nullptr;
            unsigned d = 0;
            if (tag == TAG_BRANCH_U) {
                const BranchU* node = e->ptr<const BranchU>();
                d = s;
                while (d < 256 && node->children[d].tag_byte() == TAG_EMPTY) ++d;
                if (d == 256) break;
                f.kind = BranchFrame::UNCOMPRESSED;
                f.position = static_cast<u16>(d + 1);
                child = &node->children[d];
            } else if (tag == TAG_BRANCH_B) {
                const BranchB* node = e->ptr<const BranchB>();
                const auto b = view::bitmap_bits(node).next_set(s);
                if (!b) break;
                d = *b;
                f.kind = BranchFrame::BITMAP;
                f.position = static_cast<u16>(d + 1);
                child = &view::bitmap_child(node, *b);
            } else {
                const view::Linear node = view::linear(*e);
                std::size_t i = 0;
                while (i < node.count && node.digits[i] < s) ++i;
                if (i == node.count) break;
                d = node.digits[i];
                f.kind = tag == TAG_BRANCH_L3 ? BranchFrame::LINEAR_3 : BranchFrame::LINEAR_7;
                f.count = static_cast<u8>(node.count);
                f.position = static_cast<u16>(i + 1);
                std::memcpy(f.digits, node.digits, 8);
                child = &node.children[i];
            }
            it.push(f);
            const u64 child_prefix = node_prefix | shl8(d, level - 1);
            if (d == s) {  // still on start's path
                e = child;
                slot = level - 1;
                prefix = child_prefix;
                continue;
            }
            if (!it.open(*child, level - 1, child_prefix)) it.advance();
            return it;
        }
        if (is_linear_leaf_tag(tag)) {
            const unsigned w = tag - TAG_LEAF_BASE;
            const u64 node_prefix = prefix | shl8(view::skipped_prefix(*e, w, slot), w);
            const u64 high = shr8(start, w);
            const u64 node_high = shr8(node_prefix, w);
            if (high > node_high) break;
            std::size_t position = 0;
            if (high == node_high) {
                const view::LinearLeaf leaf = view::linear_leaf<Map>(*e);
                position =
                    leaf::locate(leaf.keys, leaf.count, static_cast<u8>(w), start & LEVEL_MASK[w])
                        .index;
                if (position == leaf.count) break;
            }
            it.open_linear(*e, node_prefix, position);
            return it;
        }
        if (tag == TAG_LEAF_BITMAP) {
            const u64 node_prefix = prefix | shl8(view::skipped_prefix(*e, 1, slot), 1);
            const u64 high = shr8(start, 1);
            const u64 node_high = shr8(node_prefix, 1);
            if (high > node_high) break;
            const auto b =
                view::leaf_bits<Map>(*e).next_set(high == node_high ? static_cast<u8>(start) : 0);
            if (!b) break;
            it.open_bitmap(*e, node_prefix, *b);
            return it;
        }
        if (tag == TAG_FULL) {
            const u64 hi = prefix | low_bytes_mask(slot);
            if (start > hi) break;
            it.leaf.kind = LeafCursor::RANGE;
            it.leaf.range = {start > prefix ? start : prefix, hi};
            return it;
        }
        const EdgeKind kind = decode_tag(tag);
        if (!kind.is_immediate()) break;  // empty or invalid
        // An immediate sits at its slot level: its keys are whole once the
        // path prefix is put above them.
        const KeyList16 keys = view::immediate_keys<Map>(*e, kind);
        std::size_t position = 0;
        while (position < keys.size() && (prefix | keys.keys[position]) < start) ++position;
        if (position == keys.size()) break;
        it.open_immediate(*e, kind, prefix, position);
        return it;
    }
    // Nothing at or above start below this edge: go on with the siblings of
    // the path taken so far.
    it.advance();
    return it;
}

template struct RawIter<false>;
template struct RawIter<true>;

}  // namespace tolvane
