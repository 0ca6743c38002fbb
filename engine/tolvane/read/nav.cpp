#include "tolvane/read/nav.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

#include "tolvane/core/bits.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/node_view.hpp"
#include "tolvane/read/sibling_pop.hpp"

namespace tolvane::nav {

namespace {

using Hit = std::optional<KeyValue>;

// Where a relative key k stands against a node at level L whose keys all
// share the skipped prefix P (key bytes L..S-1, shifted down by L bytes):
// negative when every key of the node is larger than k, positive when every
// key is smaller, zero when k's high bytes are the prefix. A node that skips
// nothing has P = 0 and compares equal.
struct Placement {
    int side = 0;
    u64 prefix = 0;
};

Placement place(const Edge& e, unsigned node_level, unsigned slot_level, u64 k) {
    Placement p;
    if (node_level >= slot_level) return p;
    p.prefix = view::skipped_prefix(e, node_level, slot_level);
    const u64 q = shr8(k, node_level);
    p.side = q < p.prefix ? -1 : (q > p.prefix ? 1 : 0);
    return p;
}

// A walk entering a branch at `node_level` toward larger keys (Up) or smaller
// ones: `inner` is k within the node (its lowest key when every key of the
// node is larger than k, its highest when every key is smaller), `d` the
// digit to start from and `below` the child key under that digit. `outside`:
// no key of the node lies in the walk's direction.
struct Entry {
    bool outside = false;
    Placement at;
    u8 d = 0;
    u64 below = 0;
};

template <bool Up>
Entry enter(const Edge& e, unsigned node_level, unsigned slot_level, u64 k) {
    Entry in;
    in.at = place(e, node_level, slot_level, k);
    const int behind = Up ? 1 : -1;
    in.outside = in.at.side == behind;
    const u64 whole = low_bytes_mask(node_level);
    const u64 inner = in.at.side == -behind ? (Up ? 0 : whole) : k & whole;
    in.d = static_cast<u8>(shr8(inner, node_level - 1));
    in.below = inner & low_bytes_mask(node_level - 1);
    return in;
}

// The key a child answered, with its digit and the node's prefix put above.
inline u64 join(u64 prefix, unsigned node_level, unsigned digit, u64 child_key) noexcept {
    return shl8(prefix, node_level) | shl8(digit, node_level - 1) | child_key;
}

inline u8 digit_of(u64 k, unsigned node_level) noexcept {
    return static_cast<u8>(shr8(k, node_level - 1));
}

// Number of entries of a sorted array below k (Less) or not above k
// (!Less), by a branch-free halving search; n >= 1.
template <bool Less, class At>
std::size_t halving_count(At at, std::size_t n, u64 k) {
    std::size_t base = 0;
    for (std::size_t len = n; len > 1;) {
        const std::size_t half = len / 2;
        const u64 v = at(base + half);
        base += (Less ? v < k : v <= k) ? half : 0;
        len -= half;
    }
    const u64 v = at(base);
    return base + ((Less ? v < k : v <= k) ? 1 : 0);
}

[[noreturn]] void invalid_tag() { fatal("valid edge tag"); }

// Value of the bitmap-leaf key byte b.
template <bool Map>
u64 bitmap_value(const Edge& e, u8 b) {
    if constexpr (Map)
        return view::bitmap_leaf_value(e.ptr<const LeafBitmapL>(), b);
    else
        return 0;
}

template <bool Map>
u64 leaf_value(const view::LinearLeaf& leaf, std::size_t i) {
    if constexpr (Map)
        return leaf.values[i];
    else
        return 0;
}

}  // namespace

u64 edge_pop(const Edge& e, unsigned level) {
    const u8 tag = e.tag_byte();
    switch (tag) {
        case TAG_EMPTY:
            return 0;
        case TAG_BRANCH_L3:
        case TAG_BRANCH_L7:
        case TAG_BRANCH_B:
            return (e.w1 & LEVEL_MASK[node_level(e, level)]) + 1;
        case TAG_BRANCH_U:
        case TAG_FULL:
            return (e.w1 & LEVEL_MASK[level]) + 1;
        case TAG_LEAF_BITMAP:
            return u64{e.byte(8)} + 1;
        default:
            if (is_linear_leaf_tag(tag)) return (e.w1 & LEVEL_MASK[tag - TAG_LEAF_BASE]) + 1;
            if (const EdgeKind kind = decode_tag(tag); kind.is_immediate()) return kind.count;
            invalid_tag();
    }
}

namespace {

// ---- rank and select over a branch's children -------------------------------

// Where digit d stands among a branch's children: run and index of its child,
// or of the first child above it when d has none.
struct Position {
    unsigned run = 0;
    std::size_t index = 0;
    bool present = false;
};

// The child holding a rank: its place and the rank within it.
struct Found : Position {
    u64 rank = 0;
};

// Keys behind a branch of node level `level` as its edge holds them; 0 for a
// level-8 branch, whose count lives in the container.
u64 known_pop(const Edge& e, unsigned level) {
    return level < 8 ? (e.w1 & LEVEL_MASK[level]) + 1 : 0;
}

// The children of a branch as runs of adjacent edges in digit order: one run
// for a linear branch (its children) and for an uncompressed one (all 256
// slots, empty ones included), one run per group of 32 digits for a bitmap
// branch. Rank and select sum the populations of whole runs from either end.
struct Runs {
    const Edge* edges[8] = {};
    std::size_t size[8] = {};
    unsigned count = 0;
    unsigned level = 0;
    u8 tag = 0;
    u8 digits[8] = {};            // linear: the sorted digits
    const u32* groups = nullptr;  // bitmap: the group bitmaps

    std::size_t edge_count() const {
        std::size_t n = 0;
        for (unsigned r = 0; r < count; ++r) n += size[r];
        return n;
    }

    Position position(u8 d) const {
        Position p;
        if (tag == TAG_BRANCH_U) {
            p.index = d;
            p.present = edges[0][d].tag_byte() != TAG_EMPTY;
        } else if (tag == TAG_BRANCH_B) {
            p.run = d >> 5;
            p.index = group_rank(groups[p.run], d);
            p.present = group_has(groups[p.run], d);
        } else {
            const auto digit_at = [&](std::size_t j) { return u64{digits[j]}; };
            p.index = size[0] == 0 ? 0 : halving_count<true>(digit_at, size[0], d);
            p.present = p.index < size[0] && digits[p.index] == d;
        }
        return p;
    }

    unsigned digit(const Position& p) const {
        if (tag == TAG_BRANCH_U) return static_cast<unsigned>(p.index);
        if (tag == TAG_BRANCH_B)
            return 32 * p.run + bits::select_in_word(groups[p.run], static_cast<unsigned>(p.index));
        return digits[p.index];
    }

    std::size_t edges_before(const Position& p) const {
        std::size_t n = p.index;
        for (unsigned r = 0; r < p.run; ++r) n += size[r];
        return n;
    }

    // Asks for the lines of the edges [lo, hi), counted in digit order
    // across the runs.
    void fetch(std::size_t lo, std::size_t hi) const {
        std::size_t base = 0;
        for (unsigned r = 0; r < count && base < hi; base += size[r], ++r) {
            const std::size_t from = std::max(lo, base);
            const std::size_t to = std::min(hi, base + size[r]);
            if (from < to) fetch_edges(edges[r] + (from - base), to - from);
        }
    }

    // Keys behind the children before p, and behind those after p's child.
    u64 pop_before(const Position& p, const SiblingPop& pops) const {
        u64 total = pops.sum(edges[p.run], p.index);
        for (unsigned r = 0; r < p.run; ++r) total += pops.sum(edges[r], size[r]);
        return total;
    }
    u64 pop_after(const Position& p, const SiblingPop& pops) const {
        const std::size_t from = p.index + (p.present ? 1 : 0);
        u64 total = pops.sum(edges[p.run] + from, size[p.run] - from);
        for (unsigned r = p.run + 1; r < count; ++r) total += pops.sum(edges[r], size[r]);
        return total;
    }

    // The child holding the key with `rank` smaller keys (Up) or `rank`
    // larger keys (!Up) among the children; the rank it reports counts from
    // the low end of that child either way.
    template <bool Up>
    Found find(u64 rank, const SiblingPop& pops) const {
        Found f;
        for (unsigned step = 0; step < count; ++step) {
            const unsigned r = Up ? step : count - 1 - step;
            const std::size_t i = pops.find<Up>(edges[r], size[r], rank);
            if (i < size[r]) {
                f.run = r;
                f.index = i;
                f.present = true;
                f.rank = Up ? rank : pops.of(edges[r][i]) - 1 - rank;
                return f;
            }
        }
        return f;
    }
};

// Asks for the line of the node behind `e` that a rank walk reads first: the
// edge of k's digit in an uncompressed branch, the header of any other node.
// Immediates and full edges hold no node.
inline void fetch_child(const Edge& e, u64 k, unsigned slot) {
    const u8 t = e.tag_byte();
    if (t == TAG_BRANCH_U) {
        __builtin_prefetch(&e.ptr<const BranchU>()->children[digit_of(k, slot)]);
    } else if (t == TAG_BRANCH_B) {
        __builtin_prefetch(e.ptr<const u8>());
        __builtin_prefetch(e.ptr<const u8>() + offsetof(BranchB, level));
    } else if (t != TAG_EMPTY && t <= TAG_LEAF_BITMAP)
        __builtin_prefetch(e.ptr<const u8>());
}

Runs runs_of(const Edge& e, unsigned slot) {
    Runs runs;
    runs.tag = e.tag_byte();
    if (runs.tag == TAG_BRANCH_U) {
        runs.edges[0] = e.ptr<const BranchU>()->children;
        runs.size[0] = 256;
        runs.count = 1;
        runs.level = slot;
    } else if (runs.tag == TAG_BRANCH_B) {
        const BranchB* node = e.ptr<const BranchB>();
        for (unsigned g = 0; g < 8; ++g) {
            runs.edges[g] = node->subarrays[g];
            runs.size[g] = popcount32(node->bitmap[g]);
        }
        runs.count = 8;
        runs.level = node->level;
        runs.groups = node->bitmap;
    } else {
        const view::Linear node = view::linear(e);
        runs.edges[0] = node.children;
        runs.size[0] = node.count;
        runs.count = 1;
        runs.level = node.level;
        std::memcpy(runs.digits, node.digits, 8);
    }
    return runs;
}

}  // namespace

template <bool Map>
std::optional<KeyValue> next(const Edge& e, u64 k, unsigned slot) {
    const u8 tag = e.tag_byte();
    switch (tag) {
        case TAG_EMPTY:
            return std::nullopt;
        case TAG_FULL:
            return KeyValue{k, 0};
        case TAG_BRANCH_L3:
        case TAG_BRANCH_L7: {
            const view::Linear node = view::linear(e);
            const unsigned level = node.level;
            const Entry in = enter<true>(e, level, slot, k);
            if (in.outside) return std::nullopt;
            if (node.count == 0) return std::nullopt;
            std::size_t i = halving_count<true>([&](std::size_t j) { return u64{node.digits[j]}; },
                                                node.count, in.d);
            for (; i < node.count; ++i) {
                const u8 digit = node.digits[i];
                const Hit hit =
                    next<Map>(node.children[i], digit == in.d ? in.below : 0, level - 1);
                if (hit) return KeyValue{join(in.at.prefix, level, digit, hit->key), hit->value};
            }
            return std::nullopt;
        }
        case TAG_BRANCH_B: {
            const BranchB* node = e.ptr<const BranchB>();
            const unsigned level = node->level;
            const Entry in = enter<true>(e, level, slot, k);
            if (in.outside) return std::nullopt;
            const Bitmap256 bits = view::bitmap_bits(node);
            for (auto b = bits.next_set(in.d); b;
                 b = *b == 255 ? std::nullopt : bits.next_set(*b + 1)) {
                const Hit hit =
                    next<Map>(view::bitmap_child(node, *b), *b == in.d ? in.below : 0, level - 1);
                if (hit) return KeyValue{join(in.at.prefix, level, *b, hit->key), hit->value};
            }
            return std::nullopt;
        }
        case TAG_BRANCH_U: {
            const BranchU* node = e.ptr<const BranchU>();
            const u8 d = digit_of(k, slot);
            const u64 below = k & low_bytes_mask(slot - 1);
            for (unsigned digit = d; digit < 256; ++digit) {
                const Edge& child = node->children[digit];
                if (child.tag_byte() == TAG_EMPTY) continue;
                const Hit hit = next<Map>(child, digit == d ? below : 0, slot - 1);
                if (hit) return KeyValue{join(0, slot, digit, hit->key), hit->value};
            }
            return std::nullopt;
        }
        case TAG_LEAF_BITMAP: {
            const Placement at = place(e, 1, slot, k);
            if (at.side > 0) return std::nullopt;
            const u8 start = at.side < 0 ? 0 : static_cast<u8>(k);
            const auto b = view::leaf_bits<Map>(e).next_set(start);
            if (!b) return std::nullopt;
            return KeyValue{shl8(at.prefix, 1) | *b, bitmap_value<Map>(e, *b)};
        }
        default:
            break;
    }
    if (is_linear_leaf_tag(tag)) {
        const view::LinearLeaf leaf = view::linear_leaf<Map>(e);
        const Placement at = place(e, leaf.w, slot, k);
        if (at.side > 0) return std::nullopt;
        const u64 target = at.side < 0 ? 0 : k & LEVEL_MASK[leaf.w];
        const std::size_t i =
            leaf::locate(leaf.keys, leaf.count, static_cast<u8>(leaf.w), target).index;
        if (i == leaf.count) return std::nullopt;
        return KeyValue{shl8(at.prefix, leaf.w) | leaf.key(i), leaf_value<Map>(leaf, i)};
    }
    const EdgeKind kind = decode_tag(tag);
    if (!kind.is_immediate()) invalid_tag();
    const KeyList16 keys = view::immediate_keys<Map>(e, kind);
    const std::size_t i =
        halving_count<true>([&](std::size_t j) { return keys.keys[j]; }, keys.size(), k);
    if (i == keys.size()) return std::nullopt;
    return KeyValue{keys.keys[i], view::immediate_value<Map>(e, kind.count, i)};
}

template <bool Map>
std::optional<KeyValue> prev(const Edge& e, u64 k, unsigned slot) {
    const u8 tag = e.tag_byte();
    switch (tag) {
        case TAG_EMPTY:
            return std::nullopt;
        case TAG_FULL:
            return KeyValue{k < low_bytes_mask(slot) ? k : low_bytes_mask(slot), 0};
        case TAG_BRANCH_L3:
        case TAG_BRANCH_L7: {
            const view::Linear node = view::linear(e);
            const unsigned level = node.level;
            const Entry in = enter<false>(e, level, slot, k);
            if (in.outside) return std::nullopt;
            if (node.count == 0) return std::nullopt;
            std::size_t i = halving_count<false>([&](std::size_t j) { return u64{node.digits[j]}; },
                                                 node.count, in.d);
            while (i-- > 0) {
                const u8 digit = node.digits[i];
                const u64 child_k = digit == in.d ? in.below : low_bytes_mask(level - 1);
                const Hit hit = prev<Map>(node.children[i], child_k, level - 1);
                if (hit) return KeyValue{join(in.at.prefix, level, digit, hit->key), hit->value};
            }
            return std::nullopt;
        }
        case TAG_BRANCH_B: {
            const BranchB* node = e.ptr<const BranchB>();
            const unsigned level = node->level;
            const Entry in = enter<false>(e, level, slot, k);
            if (in.outside) return std::nullopt;
            const Bitmap256 bits = view::bitmap_bits(node);
            for (auto b = view::prev_set(bits, in.d); b;
                 b = *b == 0 ? std::nullopt : view::prev_set(bits, *b - 1)) {
                const u64 child_k = *b == in.d ? in.below : low_bytes_mask(level - 1);
                const Hit hit = prev<Map>(view::bitmap_child(node, *b), child_k, level - 1);
                if (hit) return KeyValue{join(in.at.prefix, level, *b, hit->key), hit->value};
            }
            return std::nullopt;
        }
        case TAG_BRANCH_U: {
            const BranchU* node = e.ptr<const BranchU>();
            const u8 d = digit_of(k, slot);
            const u64 below = k & low_bytes_mask(slot - 1);
            for (int digit = d; digit >= 0; --digit) {
                const Edge& child = node->children[digit];
                if (child.tag_byte() == TAG_EMPTY) continue;
                const u64 child_k = digit == d ? below : low_bytes_mask(slot - 1);
                const Hit hit = prev<Map>(child, child_k, slot - 1);
                if (hit)
                    return KeyValue{join(0, slot, static_cast<unsigned>(digit), hit->key),
                                    hit->value};
            }
            return std::nullopt;
        }
        case TAG_LEAF_BITMAP: {
            const Placement at = place(e, 1, slot, k);
            if (at.side < 0) return std::nullopt;
            const u8 start = at.side > 0 ? 255 : static_cast<u8>(k);
            const auto b = view::prev_set(view::leaf_bits<Map>(e), start);
            if (!b) return std::nullopt;
            return KeyValue{shl8(at.prefix, 1) | *b, bitmap_value<Map>(e, *b)};
        }
        default:
            break;
    }
    if (is_linear_leaf_tag(tag)) {
        const view::LinearLeaf leaf = view::linear_leaf<Map>(e);
        const Placement at = place(e, leaf.w, slot, k);
        if (at.side < 0) return std::nullopt;
        const u64 low = k & LEVEL_MASK[leaf.w];
        // Keys <= k are the keys below k + 1; an all-ones k takes every key
        // rather than carrying into the prefix bytes.
        const std::size_t n =
            at.side > 0 || low == LEVEL_MASK[leaf.w]
                ? leaf.count
                : leaf::locate(leaf.keys, leaf.count, static_cast<u8>(leaf.w), low + 1).index;
        if (n == 0) return std::nullopt;
        return KeyValue{shl8(at.prefix, leaf.w) | leaf.key(n - 1), leaf_value<Map>(leaf, n - 1)};
    }
    const EdgeKind kind = decode_tag(tag);
    if (!kind.is_immediate()) invalid_tag();
    const KeyList16 keys = view::immediate_keys<Map>(e, kind);
    const std::size_t n =
        halving_count<false>([&](std::size_t j) { return keys.keys[j]; }, keys.size(), k);
    if (n == 0) return std::nullopt;
    return KeyValue{keys.keys[n - 1], view::immediate_value<Map>(e, kind.count, n - 1)};
}

template <bool Map>
u64 count_below(const Edge& e, u64 k, unsigned slot, u64 population) {
    const u8 tag = e.tag_byte();
    switch (tag) {
        case TAG_EMPTY:
            return 0;
        case TAG_FULL:
            return k;
        case TAG_BRANCH_L3:
        case TAG_BRANCH_L7:
        case TAG_BRANCH_B:
        case TAG_BRANCH_U: {
            const Runs runs = runs_of(e, slot);
            const unsigned level = runs.level;
            const Placement at = place(e, level, slot, k);
            const u64 total = population != 0 ? population : known_pop(e, level);
            if (at.side < 0) return 0;
            if (at.side > 0) return total;
            const u64 inner = k & low_bytes_mask(level);
            const Position d = runs.position(digit_of(inner, level));
            const Edge* child = d.present ? &runs.edges[d.run][d.index] : nullptr;
            const u64 below = inner & low_bytes_mask(level - 1);
            // The child's first line is asked for before the siblings are
            // summed, so that its miss overlaps with the sum.
            if (child) fetch_child(*child, below, level - 1);
            const SiblingPop pops(level - 1, total);
            const std::size_t edges = runs.edge_count();
            const std::size_t lower = runs.edges_before(d);
            const std::size_t upper = edges - lower - (child ? 1 : 0);
            // The node's keys less those from d's child on, when that passes
            // fewer edges than summing the keys below d.
            if (total != 0 && upper < lower) {
                runs.fetch(edges - upper, edges);
                const u64 after = runs.pop_after(d, pops);
                const u64 from_d =
                    child ? after + pops.of(*child) - count_below<Map>(*child, below, level - 1)
                          : after;
                return total - from_d;
            }
            runs.fetch(0, lower);
            const u64 before = runs.pop_before(d, pops);
            return before + (child ? count_below<Map>(*child, below, level - 1) : 0);
        }
        case TAG_LEAF_BITMAP: {
            const Placement at = place(e, 1, slot, k);
            if (at.side < 0) return 0;
            if (at.side > 0) return u64{e.byte(8)} + 1;
            const u8 s = static_cast<u8>(k);
            const Bitmap256 bits = view::leaf_bits<Map>(e);
            const u64 below_s = (u64{1} << (s & 63)) - 1;
            u64 total = popcount64(bits.words[s >> 6] & below_s);
            if (s >= 128) {
                // From the top: the leaf's count less the keys at or above s.
                total = u64{e.byte(8)} + 1 - (popcount64(bits.words[s >> 6]) - total);
                for (unsigned w = (s >> 6) + 1; w < 4; ++w) total -= popcount64(bits.words[w]);
                return total;
            }
            for (unsigned w = 0; w < (s >> 6); ++w) total += popcount64(bits.words[w]);
            return total;
        }
        default:
            break;
    }
    if (is_linear_leaf_tag(tag)) {
        const view::LinearLeaf leaf = view::linear_leaf<Map>(e);
        const Placement at = place(e, leaf.w, slot, k);
        if (at.side < 0) return 0;
        if (at.side > 0) return leaf.count;
        return leaf::locate(leaf.keys, leaf.count, static_cast<u8>(leaf.w), k & LEVEL_MASK[leaf.w])
            .index;
    }
    const EdgeKind kind = decode_tag(tag);
    if (!kind.is_immediate()) invalid_tag();
    const KeyList16 keys = view::immediate_keys<Map>(e, kind);
    return halving_count<true>([&](std::size_t j) { return keys.keys[j]; }, keys.size(), k);
}

template <bool Map>
KeyValue by_count(const Edge& e, u64 r, unsigned slot, u64 population) {
    const u8 tag = e.tag_byte();
    switch (tag) {
        case TAG_EMPTY:
            fatal("internal error: entered unreachable code: select into empty subtree");
        case TAG_FULL:
            return KeyValue{r, 0};
        case TAG_BRANCH_L3:
        case TAG_BRANCH_L7:
        case TAG_BRANCH_B:
        case TAG_BRANCH_U: {
            const Runs runs = runs_of(e, slot);
            const unsigned level = runs.level;
            const u64 prefix = level < slot ? view::skipped_prefix(e, level, slot) : 0;
            const u64 total = population != 0 ? population : known_pop(e, level);
            // Keys at rank r lie nearer the top when fewer keys follow them
            // than precede them; walk from that end.
            const SiblingPop pops(level - 1, total);
            const bool down = total != 0 && total - r < r;
            const u64 from_end = down ? total - 1 - r : r;
            // Asks for the edges the walk from the nearer end passes when
            // keys spread evenly: at most half of them, and a few beyond.
            // (Guessing the place from the rank costs a division, which
            // shows on trees that sit in cache.)
            if (total != 0) {
                constexpr std::size_t kSlack = 8;
                const std::size_t edges = runs.edge_count();
                const std::size_t reach = std::min(edges, edges / 2 + kSlack);
                down ? runs.fetch(edges - reach, edges) : runs.fetch(0, reach);
            }
            const Found f = down ? runs.find<false>(from_end, pops) : runs.find<true>(r, pops);
            if (!f.present)
                fatal("internal error: entered unreachable code: select beyond branch population");
            const Edge& child = runs.edges[f.run][f.index];
            fetch_child(child, 0, level - 1);
            const KeyValue hit = by_count<Map>(child, f.rank, level - 1);
            return KeyValue{join(prefix, level, runs.digit(f), hit.key), hit.value};
        }
        case TAG_LEAF_BITMAP: {
            const u64 prefix = view::skipped_prefix(e, 1, slot);
            const Bitmap256 bits = view::leaf_bits<Map>(e);
            const u64 count = u64{e.byte(8)} + 1;
            // The word holding the key, counted from whichever end is nearer.
            unsigned word = 0;
            if (count - r < r) {
                u64 above = count - 1 - r;
                for (word = 3;; --word) {
                    const unsigned c = popcount64(bits.words[word]);
                    if (above < c) {
                        r = c - 1 - above;
                        break;
                    }
                    above -= c;
                    require(word > 0, "select within population");
                }
            } else {
                for (; word < 4; ++word) {
                    const unsigned c = popcount64(bits.words[word]);
                    if (r < c) break;
                    r -= c;
                }
                require(word < 4, "select within population");
            }
            const u8 b = static_cast<u8>(
                64 * word + bits::select_in_word(bits.words[word], static_cast<unsigned>(r)));
            return KeyValue{shl8(prefix, 1) | b, bitmap_value<Map>(e, b)};
        }
        default:
            if (is_linear_leaf_tag(tag)) {
                const view::LinearLeaf leaf = view::linear_leaf<Map>(e);
                require(r < leaf.count, "select within population");
                const u64 prefix = view::skipped_prefix(e, leaf.w, slot);
                return KeyValue{shl8(prefix, leaf.w) | leaf.key(r), leaf_value<Map>(leaf, r)};
            }
            if (const EdgeKind kind = decode_tag(tag); kind.is_immediate()) {
                require(r < kind.count, "immediate index out of range");
                const KeyList16 keys = view::immediate_keys<Map>(e, kind);
                return KeyValue{keys.keys[r], view::immediate_value<Map>(e, kind.count, r)};
            }
            invalid_tag();
    }
}

template std::optional<KeyValue> next<false>(const Edge&, u64, unsigned);
template std::optional<KeyValue> next<true>(const Edge&, u64, unsigned);
template std::optional<KeyValue> prev<false>(const Edge&, u64, unsigned);
template std::optional<KeyValue> prev<true>(const Edge&, u64, unsigned);
template u64 count_below<false>(const Edge&, u64, unsigned, u64);
template u64 count_below<true>(const Edge&, u64, unsigned, u64);
template KeyValue by_count<false>(const Edge&, u64, unsigned, u64);
template KeyValue by_count<true>(const Edge&, u64, unsigned, u64);

}  // namespace tolvane::nav
