#include "support/tree_dump.hpp"

#include <bit>
#include <cstdio>
#include <cstring>

#include "tolvane/core/node.hpp"

namespace tolvane::test {
namespace {

std::string hex(u64 v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(v));
    return buf;
}

u64 packed(const u8* p, std::size_t i, unsigned w) {
    u64 k = 0;
    std::memcpy(&k, p + i * w, w);
    return k;
}

template <bool Map>
class Dumper {
  public:
    std::string out;

    // `label` names the slot: its digit in the parent, or "root".
    void edge(const Edge& e, unsigned slot_level, unsigned depth, const std::string& label) {
        out.append(2 * depth, ' ');
        out += label + " S" + std::to_string(slot_level) + " tag=" + std::to_string(e.tag_byte()) +
               " decode=" + hex(e.decode_area());
        const EdgeKind kind = e.tag();
        if (kind.is_invalid()) {
            out += " invalid w0=" + hex(e.w0) + "\n";
            return;
        }
        if (kind.is_immediate()) {
            immediate(e, kind);
            return;
        }
        switch (kind.kind) {
            case TAG_EMPTY:
                out += " empty w0=" + hex(e.w0) + "\n";
                return;
            case TAG_FULL:
                out += " full w0=" + hex(e.w0) + "\n";
                return;
            case TAG_BRANCH_L3:
                linear(e.ptr<const BranchL3>(), depth);
                return;
            case TAG_BRANCH_L7:
                linear(e.ptr<const BranchL7>(), depth);
                return;
            case TAG_BRANCH_B:
                bitmap_branch(e.ptr<const BranchB>(), depth);
                return;
            case TAG_BRANCH_U:
                full_branch(e.ptr<const BranchU>(), slot_level, depth);
                return;
            case TAG_LEAF_BITMAP:
                bitmap_leaf(e);
                return;
            default:
                linear_leaf(e);
                return;
        }
    }

  private:
    void immediate(const Edge& e, const EdgeKind& kind) {
        const KeyList16 keys = Map ? mutate::immed_map_keys(e, kind.key_bytes, kind.count)
                                   : mutate::immed_keys(e, kind.key_bytes, kind.count);
        out += " keys=";
        for (u64 k : keys) out += hex(k) + ",";
        if constexpr (Map) {
            out += " values=";
            if (kind.count == 1) {
                out += hex(e.w0);
            } else {
                const u64* values = e.ptr<const u64>();
                if (!values) out += "null";
                for (unsigned i = 0; values && i < kind.count; ++i) out += hex(values[i]) + ",";
            }
        }
        out += "\n";
    }

    template <std::size_t N>
    void linear(const BranchL<N>* node, unsigned depth) {
        if (!node) {
            out += " null\n";
            return;
        }
        out += " level=" + std::to_string(node->level) + " count=" + std::to_string(node->count) +
               " summary=" + hex(node->summary) + " digits=";
        for (u8 d : node->digits) out += hex(d) + ",";
        out += "\n";
        for (unsigned i = 0; i < N; ++i) {
            // Slots past the count must stay empty; show them only if not.
            if (i >= node->count && node->children[i].is_empty()) continue;
            edge(node->children[i], node->level - 1u, depth + 1, "[" + hex(node->digits[i]) + "]");
        }
    }

    void bitmap_branch(const BranchB* node, unsigned depth) {
        if (!node) {
            out += " null\n";
            return;
        }
        out += " level=" + std::to_string(node->level) + " groups=";
        for (unsigned g = 0; g < 8; ++g)
            out += hex(node->bitmap[g]) + "/" + std::to_string(node->group_counts[g]) + ",";
        out += "\n";
        for (unsigned g = 0; g < 8; ++g) {
            if (node->group_counts[g] == 0) {
                if (node->subarrays[g])
                    out.append(2 * depth + 2, ' ') +=
                        "group " + std::to_string(g) + " stray subarray\n";
                continue;
            }
            if (!node->subarrays[g]) {
                out.append(2 * depth + 2, ' ') += "group " + std::to_string(g) + " null subarray\n";
                continue;
            }
            u32 bits = node->bitmap[g];
            for (unsigned i = 0; i < node->group_counts[g]; ++i) {
                const unsigned d =
                    bits ? 32 * g + static_cast<unsigned>(std::countr_zero(bits)) : 999;
                bits &= bits - 1;
                edge(node->subarrays[g][i], node->level - 1u, depth + 1, "[" + hex(d) + "]");
            }
        }
    }

    void full_branch(const BranchU* node, unsigned slot_level, unsigned depth) {
        if (!node) {
            out += " null\n";
            return;
        }
        out += "\n";
        for (unsigned d = 0; d < 256; ++d) {
            if (node->children[d].is_empty()) continue;
            edge(node->children[d], slot_level - 1, depth + 1, "[" + hex(d) + "]");
        }
    }

    void bitmap_leaf(const Edge& e) {
        out += " bits=";
        if constexpr (Map) {
            const auto* leaf = e.ptr<const LeafBitmapL>();
            if (!leaf) {
                out += "null\n";
                return;
            }
            for (u32 g : leaf->bitmap) out += hex(g) + ",";
            out += " values=";
            for (unsigned g = 0; g < 8; ++g) {
                const unsigned c = static_cast<unsigned>(std::popcount(leaf->bitmap[g]));
                if (c == 0) continue;
                const u64* values = leaf->value_subarrays[g];
                if (!values) {
                    out += "null;";
                    continue;
                }
                for (unsigned i = 0; i < c; ++i) out += hex(values[i]) + ",";
                out += ";";
            }
        } else {
            const auto* leaf = e.ptr<const LeafB1>();
            if (!leaf) {
                out += "null\n";
                return;
            }
            for (u64 w : leaf->bitmap) out += hex(w) + ",";
        }
        out += "\n";
    }

    void linear_leaf(const Edge& e) {
        const unsigned w = e.tag_byte() - TAG_LEAF_BASE;
        const std::size_t n = static_cast<std::size_t>(e.pop0(w)) + 1;
        const u8* block = e.ptr<const u8>();
        if (!block) {
            out += " null\n";
            return;
        }
        const u8* keys = Map ? block + map_leaf_key_offset(n) : block;
        out += " keys=";
        for (std::size_t i = 0; i < n; ++i) out += hex(packed(keys, i, w)) + ",";
        if constexpr (Map) {
            const u64* values = e.ptr<const u64>();
            out += " values=";
            for (std::size_t i = 0; i < n; ++i) out += hex(values[i]) + ",";
        }
        out += "\n";
    }
};

void collect_branches(const Edge& e, std::vector<BranchRef>& out) {
    switch (e.tag_byte()) {
        case TAG_BRANCH_L3: {
            auto* node = e.ptr<BranchL3>();
            out.push_back({node, TAG_BRANCH_L3, &node->version});
            for (unsigned i = 0; i < node->count && i < 3; ++i)
                collect_branches(node->children[i], out);
            return;
        }
        case TAG_BRANCH_L7: {
            auto* node = e.ptr<BranchL7>();
            out.push_back({node, TAG_BRANCH_L7, &node->version});
            for (unsigned i = 0; i < node->count && i < 7; ++i)
                collect_branches(node->children[i], out);
            return;
        }
        case TAG_BRANCH_B: {
            auto* node = e.ptr<BranchB>();
            out.push_back({node, TAG_BRANCH_B, &node->version});
            for (unsigned g = 0; g < 8; ++g)
                for (unsigned i = 0; node->subarrays[g] && i < node->group_counts[g]; ++i)
                    collect_branches(node->subarrays[g][i], out);
            return;
        }
        case TAG_BRANCH_U: {
            auto* node = e.ptr<BranchU>();
            out.push_back({node, TAG_BRANCH_U, &node->version});
            for (const Edge& child : node->children) collect_branches(child, out);
            return;
        }
        default:
            return;
    }
}

}  // namespace

template <bool Map>
std::string dump_tree(const Edge& edge, unsigned slot_level) {
    Dumper<Map> dumper;
    dumper.edge(edge, slot_level, 0, "root");
    return dumper.out;
}

template std::string dump_tree<false>(const Edge&, unsigned);
template std::string dump_tree<true>(const Edge&, unsigned);

std::vector<BranchRef> branch_nodes(const Edge& edge) {
    std::vector<BranchRef> out;
    collect_branches(edge, out);
    return out;
}

}  // namespace tolvane::test
