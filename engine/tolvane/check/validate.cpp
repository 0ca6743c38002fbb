// Structural validator. Node bytes are read with memcpy at the layout's
// offsets, never through node pointers, so that a misaligned or otherwise
// broken node can be reported instead of read with undefined behaviour.

#include "tolvane/check/validate.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "tolvane/core/fatal.hpp"
#include "tolvane/core/forms.hpp"
#include "tolvane/leaf/leaf_keys.hpp"
#include "tolvane/core/node.hpp"

namespace tolvane {

u64& ValidateStats::operator[](std::size_t i) {
    using namespace validate;
    u64* const kinds[] = {&empty_edges, &immediates, &linear_leaves, &bitmap_leaves, &branch_l3,
                          &branch_l7,   &branch_b,   &branch_u,      &full_edges};
    u64* const bytes[] = {&value_array_bytes, &linear_leaf_bytes, &bitmap_leaf_bytes,
                          &branch_l3_bytes,   &branch_l7_bytes,   &branch_b_bytes,
                          &branch_u_bytes};
    require(i < COUNTERS, "index out of bounds: validator statistics counter");
    if (i < stat_edges_at(0)) return *kinds[i];
    if (i < stat_leaves_of(0)) return edges_at_level[i - stat_edges_at(0)];
    if (i < STAT_VALUE_ARRAY_BYTES) return leaves_of_keys[i - stat_leaves_of(0)];
    if (i < stat_branches_at(0)) return *bytes[i - STAT_VALUE_ARRAY_BYTES];
    if (i < stat_leaf_nodes_at(0)) return branches_at_level[i - stat_branches_at(0)];
    return leaf_nodes_at_level[i - stat_leaf_nodes_at(0)];
}

}  // namespace tolvane

namespace tolvane::validate {
namespace {

// The forms' bounds, as the mutators keep them.
constexpr u64 BITMAP_LEAF_FLOOR = forms::BITMAP_LEAF_MIN_KEYS;
constexpr u64 BITMAP_BRANCH_DEMOTION = forms::B_SHRINK_AT;
constexpr u64 BITMAP_BRANCH_UPGRADE = forms::B_MAX_CHILDREN;
constexpr u64 UNCOMPRESSED_DEMOTION = forms::U_SHRINK_AT;

template <class T>
T read_at(const unsigned char* base, std::size_t offset) {
    T v;
    std::memcpy(&v, base + offset, sizeof v);
    return v;
}

Edge edge_at(const unsigned char* base, std::size_t offset) { return read_at<Edge>(base, offset); }

const unsigned char* node_bytes(const Edge& e) {
    return reinterpret_cast<const unsigned char*>(static_cast<std::uintptr_t>(e.w0));
}

bool aligned(const Edge& e, u64 to) { return e.w0 % to == 0; }

std::string hex(u64 address) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), digits[address & 15]);
        address >>= 4;
    } while (address != 0);
    return "0x" + out;
}

std::string num(u64 v) { return std::to_string(v); }

u64 round16(u64 n) { return (n + 15) / 16 * 16; }

using leaf::packed_key;

template <bool Map>
class Walker {
  public:
    explicit Walker(ValidateStats& stats) : stats_(stats) {}

    // Population below `e` into `pop`, or false with the message in `error_`.
    bool visit(const Edge& e, std::size_t slot_level_word, std::size_t depth, u64& pop) {
        if (depth > 8) return fail("depth limit exceeded (possible cycle)");
        const u8 s = static_cast<u8>(slot_level_word);
        if (s < 1 || s > 8) return fail("level " + num(s) + " out of range");
        const EdgeKind kind = e.tag();
        if (kind.is_invalid()) return fail("invalid edge tag byte");
        count_kind(kind, s);

        if (kind.is_immediate()) return immediate(e, kind, s, pop);
        switch (kind.kind) {
            case TAG_EMPTY:
                pop = 0;
                return true;
            case TAG_BRANCH_L3:
            case TAG_BRANCH_L7:
            case TAG_BRANCH_B:
            case TAG_BRANCH_U:
                return branch(e, kind.kind, s, depth, pop);
            case TAG_LEAF_BITMAP:
                return bitmap_leaf(e, pop);
            case TAG_FULL:
                return full_edge(s, pop);
            default:
                return linear_leaf(e, kind.kind, s, pop);
        }
    }

    std::string error_;

  private:
    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    void count_kind(const EdgeKind& kind, u8 s) {
        ++kind_counter(kind);
        ++stats_.edges_at_level[s];
        if (kind.is_node() && is_branch_tag(kind.kind)) ++stats_.branches_at_level[s];
        if (kind.is_node() && kind.kind >= TAG_LEAF_1 && kind.kind <= TAG_LEAF_BITMAP)
            ++stats_.leaf_nodes_at_level[s];
    }

    u64& kind_counter(const EdgeKind& kind) {
        if (kind.is_immediate()) return stats_.immediates;
        switch (kind.kind) {
            case TAG_EMPTY: return stats_.empty_edges;
            case TAG_BRANCH_L3: return stats_.branch_l3;
            case TAG_BRANCH_L7: return stats_.branch_l7;
            case TAG_BRANCH_B: return stats_.branch_b;
            case TAG_BRANCH_U: return stats_.branch_u;
            case TAG_LEAF_BITMAP: return stats_.bitmap_leaves;
            case TAG_FULL: return stats_.full_edges;
            default: return stats_.linear_leaves;
        }
    }

    bool child(const Edge& c, u8 child_level, std::size_t depth, u64& sum) {
        u64 p = 0;
        if (!visit(c, child_level, depth + 1, p)) return false;
        sum += p;
        return true;
    }

    bool branch(const Edge& e, u8 tag, u8 s, std::size_t depth, u64& pop) {
        if (e.w0 == 0) {
            if (tag == TAG_BRANCH_B) return fail("BranchB edge has null node pointer");
            if (tag == TAG_BRANCH_U) return fail("BranchU edge has null node pointer");
            return fail("branch edge has null node pointer");
        }
        const unsigned char* node = node_bytes(e);
        u8 level = s;
        if (tag == TAG_BRANCH_B)
            level = read_at<u8>(node, offsetof(BranchB, level));
        else if (tag != TAG_BRANCH_U)
            level = read_at<u8>(node, offsetof(BranchL3, level));
        if (level < 2) return fail("branch below level 2");
        if (level > s) return fail("branch form level above its slot level");
        if (s == 8 && level != 8) return fail("level-8 slots cannot skip");

        u64 sum = 0;
        bool ok;
        if (tag == TAG_BRANCH_B)
            ok = bitmap_branch(e, node, level, depth, sum);
        else if (tag == TAG_BRANCH_U)
            ok = uncompressed_branch(e, node, level, depth, sum);
        else
            ok = linear_branch(e, node, tag, level, depth, sum);
        if (!ok) return false;

        if (level < 8) {
            const u64 stored = (e.w1 & LEVEL_MASK[level]) + 1;
            if (stored != sum)
                return fail("branch pop0 disagrees with subtree: " + num(stored) +
                            " != " + num(sum));
        }
        pop = sum;
        return true;
    }

    bool linear_branch(const Edge& e, const unsigned char* node, u8 tag, u8 level,
                       std::size_t depth, u64& sum) {
        if (!aligned(e, 64))
            return fail("linear branch pointer " + hex(e.w0) + " not 64-byte aligned");
        const bool small = tag == TAG_BRANCH_L3;
        const u64 cap = small ? BranchL3::CAPACITY : BranchL7::CAPACITY;
        (small ? stats_.branch_l3_bytes : stats_.branch_l7_bytes) +=
            small ? BRANCH_L3_BYTES : BRANCH_L7_BYTES;
        const u8 count = read_at<u8>(node, offsetof(BranchL3, count));
        if (count < 1 || count > cap)
            return fail("linear branch count " + num(count) + " out of range (1..=" + num(cap) +
                        ")");
        for (unsigned i = 1; i < count; ++i) {
            const u8 prev = read_at<u8>(node, offsetof(BranchL3, digits) + i - 1);
            const u8 cur = read_at<u8>(node, offsetof(BranchL3, digits) + i);
            if (!(prev < cur)) return fail("linear branch digits unsorted");
        }
        for (unsigned i = 0; i < count; ++i) {
            const Edge c = edge_at(node, offsetof(BranchL3, children) + i * sizeof(Edge));
            if (c.tag_byte() == 0) return fail("linear branch holds a null child");
            if (!child(c, static_cast<u8>(level - 1), depth, sum)) return false;
        }
        return true;
    }

    bool bitmap_branch(const Edge& e, const unsigned char* node, u8 level, std::size_t depth,
                       u64& sum) {
        if (!aligned(e, 64)) return fail("BranchB pointer " + hex(e.w0) + " not 64-byte aligned");
        stats_.branch_b_bytes += BRANCH_B_BYTES;
        u32 groups[8];
        u64 children = 0;
        for (unsigned g = 0; g < 8; ++g) {
            groups[g] = read_at<u32>(node, offsetof(BranchB, bitmap) + 4 * g);
            children += static_cast<u64>(std::popcount(groups[g]));
        }
        if (children <= BITMAP_BRANCH_DEMOTION)
            return fail("bitmap branch population " + num(children) +
                        " at or below demotion threshold " + num(BITMAP_BRANCH_DEMOTION));
        if (children > BITMAP_BRANCH_UPGRADE)
            return fail("bitmap branch population " + num(children) +
                        " above uncompressed threshold " + num(BITMAP_BRANCH_UPGRADE));
        for (unsigned g = 0; g < 8; ++g) {
            const u64 m = static_cast<u64>(std::popcount(groups[g]));
            const u16 stored = read_at<u16>(node, offsetof(BranchB, group_counts) + 2 * g);
            if (stored != m)
                return fail("bitmap-branch rank cache " + num(stored) + " disagrees with bitmap " +
                            num(m));
            const u64 sub = read_at<u64>(node, offsetof(BranchB, subarrays) + 8 * g);
            if (m == 0) {
                if (sub != 0) return fail("empty subtolvane " + num(g) + " with non-null subarray");
                continue;
            }
            if (sub == 0) return fail("non-empty subtolvane " + num(g) + " with null subarray");
            stats_.branch_b_bytes += edge_subarray_bytes(m);
            if (sub % 16 != 0)
                return fail("BranchB subarray " + num(g) + " pointer not 16-byte aligned");
            const auto* edges =
                reinterpret_cast<const unsigned char*>(static_cast<std::uintptr_t>(sub));
            for (u64 i = 0; i < m; ++i) {
                const Edge c = edge_at(edges, i * sizeof(Edge));
                if (c.tag_byte() == 0)
                    return fail("bitmap branch subarray " + num(g) + " index " + num(i) +
                                " holds a null child");
                if (!child(c, static_cast<u8>(level - 1), depth, sum)) return false;
            }
        }
        return true;
    }

    bool uncompressed_branch(const Edge& e, const unsigned char* node, u8 level, std::size_t depth,
                             u64& sum) {
        if (!aligned(e, 64)) return fail("BranchU pointer " + hex(e.w0) + " not 64-byte aligned");
        stats_.branch_u_bytes += BRANCH_U_BYTES;
        const std::size_t base = offsetof(BranchU, children);
        u64 children = 0;
        for (unsigned d = 0; d < 256; ++d)
            if (edge_at(node, base + d * sizeof(Edge)).tag_byte() != 0) ++children;
        if (children <= UNCOMPRESSED_DEMOTION)
            return fail("uncompressed branch population " + num(children) +
                        " at or below demotion threshold " + num(UNCOMPRESSED_DEMOTION));
        for (unsigned d = 0; d < 256; ++d) {
            const Edge c = edge_at(node, base + d * sizeof(Edge));
            if (c.tag_byte() == 0) continue;
            if (!child(c, static_cast<u8>(level - 1), depth, sum)) return false;
        }
        return true;
    }

    // A linear leaf below its slot's immediate floor is not reported: when a
    // new key leaves a skipped prefix, the wrap moves a small leaf down to a
    // lower slot level, where the floor is higher, and that tree is sound.
    bool linear_leaf(const Edge& e, u8 tag, u8 s, u64& pop) {
        const unsigned w = tag - TAG_LEAF_BASE;
        if (w > s) return fail("leaf key size above its slot level");
        const u64 n = (e.w1 & LEVEL_MASK[w]) + 1;
        const u64 cap = forms::linear_leaf_max_keys(w);
        if (n > cap)
            return fail("linear leaf population " + num(n) + " above capacity " + num(cap));
        if (e.w0 == 0) return fail("leaf edge has null node pointer");
        if (!aligned(e, 16))
            return fail("linear leaf pointer " + hex(e.w0) + " not 16-byte aligned");
        const unsigned char* keys = node_bytes(e) + (Map ? map_leaf_key_offset(n) : 0);
        for (u64 i = 1; i < n; ++i)
            if (!(packed_key(keys, i - 1, w) < packed_key(keys, i, w)))
                return fail("leaf keys unsorted");
        ++stats_.leaves_of_keys[n];
        stats_.linear_leaf_bytes +=
            round16(Map ? map_leaf_block_bytes(n, w) : leaf_block_bytes(n, w));
        pop = n;
        return true;
    }

    bool bitmap_leaf(const Edge& e, u64& pop) {
        if (e.w0 == 0) return fail("LeafB1 has null node pointer");
        const unsigned char* node = node_bytes(e);
        u64 p = 0;
        if constexpr (Map) {
            if (!aligned(e, 64))
                return fail("LeafBitmapL pointer " + hex(e.w0) + " not 64-byte aligned");
            stats_.bitmap_leaf_bytes += LEAF_BITMAP_L_BYTES;
            for (unsigned g = 0; g < 8; ++g) {
                const u32 bits = read_at<u32>(node, offsetof(LeafBitmapL, bitmap) + 4 * g);
                const u64 sub = read_at<u64>(node, offsetof(LeafBitmapL, value_subarrays) + 8 * g);
                if ((bits == 0) != (sub == 0))
                    return fail("value subarray/bitmap disagreement in LeafBitmapL");
                if (bits == 0) continue;
                if (sub % 16 != 0)
                    return fail("LeafBitmapL value subarray " + num(g) +
                                " pointer not 16-byte aligned");
                const u64 m = static_cast<u64>(std::popcount(bits));
                stats_.bitmap_leaf_bytes += round16(value_array_bytes(m));
                p += m;
            }
        } else {
            if (!aligned(e, 64))
                return fail("LeafBitmap1 pointer " + hex(e.w0) + " not 64-byte aligned");
            stats_.bitmap_leaf_bytes += LEAF_B1_BYTES;
            for (unsigned i = 0; i < 4; ++i)
                p += static_cast<u64>(
                    std::popcount(read_at<u64>(node, offsetof(LeafB1, bitmap) + 8 * i)));
        }
        const u64 stored = u64{e.byte(8)} + 1;
        if (stored != p)
            return fail("bitmap-leaf pop0 " + num(stored) + " disagrees with bitmap count " +
                        num(p));
        if (p < BITMAP_LEAF_FLOOR)
            return fail("bitmap leaf population " + num(p) + " below hysteresis floor " +
                        num(BITMAP_LEAF_FLOOR));
        ++stats_.leaves_of_keys[p];
        pop = p;
        return true;
    }

    bool immediate(const Edge& e, const EdgeKind& kind, u8 s, u64& pop) {
        const u8 w = kind.key_bytes;
        const u8 n = kind.count;
        if (w != s) return fail("immediate key size " + num(w) + " must equal level " + num(s));
        if constexpr (Map) {
            if (n > forms::map_immediate_capacity(s))
                return fail("map immediate above aux capacity");
            if (n >= 2) stats_.value_array_bytes += value_array_bytes(n);
        }
        if (n >= 2) {
            const KeyList16 keys =
                Map ? mutate::immed_map_keys(e, w, n) : mutate::immed_keys(e, w, n);
            for (std::size_t i = 1; i < keys.size(); ++i)
                if (!(keys[i - 1] < keys[i])) return fail("immediate keys unsorted");
        }
        ++stats_.leaves_of_keys[n];
        pop = n;
        return true;
    }

    // Every key below the slot is present. At level 8 that is 2^64 keys, more
    // than a population can count, so such an edge is reported.
    bool full_edge(u8 s, u64& pop) {
        if (Map) return fail("full-tolvane edges are set-flavor only");
        if (s >= 8)
            return fail("full-tolvane edge at level 8 holds more keys than a population counts");
        pop = shl8(1, s);
        return true;
    }

    ValidateStats& stats_;
};

}  // namespace

template <bool Map>
Validation tolvane_validate_and_stats(const Edge& edge, std::size_t slot_level,
                                      ValidateStats& stats, std::size_t depth) {
    Walker<Map> walker(stats);
    Validation result;
    if (!walker.visit(edge, slot_level, depth, result.population)) {
        result.population = 0;
        result.error = std::move(walker.error_);
    }
    return result;
}

template Validation tolvane_validate_and_stats<false>(const Edge&, std::size_t, ValidateStats&,
                                                      std::size_t);
template Validation tolvane_validate_and_stats<true>(const Edge&, std::size_t, ValidateStats&,
                                                     std::size_t);

}  // namespace tolvane::validate
