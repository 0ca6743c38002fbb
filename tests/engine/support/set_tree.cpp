#include "support/set_tree.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>

#include "support/tree_bytes.hpp"
#include "tolvane/write/mutate_free.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/write/mutate_remove.hpp"
#include "tolvane/core/node.hpp"

namespace tolvane::test {

const TraceStep* KeyTrace::at(unsigned slot_level) const {
    for (const TraceStep& s : steps) {
        if (s.slot_level == slot_level) return &s;
    }
    return nullptr;
}

std::string kind_name(u8 tag) {
    switch (tag) {
        case TAG_EMPTY:
            return "empty";
        case TAG_BRANCH_L3:
            return "L3";
        case TAG_BRANCH_L7:
            return "L7";
        case TAG_BRANCH_B:
            return "B";
        case TAG_BRANCH_U:
            return "U";
        case TAG_LEAF_BITMAP:
            return "bitmap";
        case TAG_FULL:
            return "full";
        default:
            break;
    }
    if (is_linear_leaf_tag(tag)) return "leaf" + std::to_string(tag - TAG_LEAF_BASE);
    return decode_tag(tag).is_immediate() ? "imm" : "invalid";
}

namespace {

u64 packed(const u8* keys, std::size_t i, unsigned w) {
    u64 k = 0;
    std::memcpy(&k, keys + i * w, w);
    return k;
}

}  // namespace

KeyTrace trace_key(const Edge& root, u64 key, unsigned level) {
    KeyTrace t;
    const Edge* e = &root;
    unsigned L = level;
    for (;;) {
        const u8 tag = e->tag_byte();
        TraceStep s{e, L, tag, 0, 0};
        const u8 digit_at_l = static_cast<u8>(shr8(key, L - 1));
        switch (tag) {
            case TAG_EMPTY:
                t.steps.push_back(s);
                return t;
            case TAG_BRANCH_L3:
            case TAG_BRANCH_L7: {
                // Both forms share the header and the edge offset.
                const auto* n = e->ptr<BranchL3>();
                const Edge* children = reinterpret_cast<const Edge*>(
                    reinterpret_cast<const unsigned char*>(n) + offsetof(BranchL3, children));
                s.node_level = n->level;
                s.size = n->count;
                t.steps.push_back(s);
                if (!prefix_matches(*e, L, s.node_level, key)) return t;
                const u8 d = static_cast<u8>(shr8(key, s.node_level - 1));
                const Edge* next = nullptr;
                for (unsigned i = 0; i < n->count; ++i) {
                    if (n->digits[i] == d) next = &children[i];
                }
                if (!next) return t;
                e = next;
                L = s.node_level - 1;
                continue;
            }
            case TAG_BRANCH_B: {
                const auto* n = e->ptr<BranchB>();
                s.node_level = n->level;
                for (u32 g : n->bitmap) s.size += static_cast<unsigned>(std::popcount(g));
                t.steps.push_back(s);
                if (!prefix_matches(*e, L, s.node_level, key)) return t;
                const u8 d = static_cast<u8>(shr8(key, s.node_level - 1));
                if (!group_has(n->bitmap[d >> 5], d)) return t;
                e = &n->subarrays[d >> 5][group_rank(n->bitmap[d >> 5], d)];
                L = s.node_level - 1;
                continue;
            }
            case TAG_BRANCH_U: {
                const auto* n = e->ptr<BranchU>();
                s.node_level = L;
                for (const Edge& c : n->children) s.size += c.tag_byte() != 0;
                t.steps.push_back(s);
                e = &n->children[digit_at_l];
                L -= 1;
                continue;
            }
            case TAG_LEAF_BITMAP: {
                const auto* leaf = e->ptr<LeafB1>();
                s.node_level = 1;
                s.size = e->byte(8) + 1u;
                t.steps.push_back(s);
                const u8 b = static_cast<u8>(key);
                t.present =
                    prefix_matches(*e, L, 1, key) && ((leaf->bitmap[b >> 6] >> (b & 63)) & 1);
                return t;
            }
            case TAG_FULL:
                s.node_level = L;
                t.steps.push_back(s);
                t.present = true;
                return t;
            default:
                break;
        }
        if (is_linear_leaf_tag(tag)) {
            const unsigned w = tag - TAG_LEAF_BASE;
            s.node_level = w;
            s.size = static_cast<unsigned>(e->pop0(w) + 1);
            t.steps.push_back(s);
            if (!prefix_matches(*e, L, w, key)) return t;
            const u64 k = key & low_bytes_mask(w);
            for (unsigned i = 0; i < s.size; ++i) t.present |= packed(e->ptr<u8>(), i, w) == k;
            return t;
        }
        const EdgeKind kind = decode_tag(tag);
        if (kind.is_immediate()) {
            s.size = kind.count;
            const KeyList16 keys = mutate::immed_keys(*e, kind.key_bytes, kind.count);
            for (u64 k : keys) t.present |= k == (key & low_bytes_mask(kind.key_bytes));
        }
        t.steps.push_back(s);
        return t;
    }
}

template <bool Map>
ExclusiveTree<Map>::~ExclusiveTree() {
    mutate::free_subtree<false, Map>(alloc, root);
}

template class ExclusiveTree<false>;
template class ExclusiveTree<true>;

bool SetTree::try_fast_path(u64 key, bool& stored) {
    if (path.len == 0 || (key >> 8) != path.prefix) return false;
    Edge& leaf_edge = *path.edges[0];
    const u8 b = static_cast<u8>(key);
    if (path.hot_bitmap) {
        auto* leaf = static_cast<LeafB1*>(path.hot_bitmap);
        u64& word = leaf->bitmap[b >> 6];
        const u64 bit = u64{1} << (b & 63);
        if (word & bit) {
            stored = false;
            return true;
        }
        word |= bit;
        ++path.hot_count;
        ++path.pending;
        if (path.hot_count == 256) {
            path.flush_and_reset();
            alloc.release(leaf, sizeof(LeafB1), NODE_ALIGN);
            Edge full;
            full.set_byte(8, 0xFF);
            full.set_tag(TAG_FULL);
            leaf_edge = full;
        } else {
            leaf_edge.set_byte(8, static_cast<u8>(path.hot_count - 1));
        }
        stored = true;
        ++fast_path_hits;
        return true;
    }
    const u8* keys = path.hot_linear;
    const unsigned n = path.hot_count;
    for (unsigned i = 0; i < n; ++i) {
        if (keys[i] == b) {
            stored = false;
            return true;
        }
    }
    if (b > keys[n - 1] && n < 25 && capacity_class(n + 1) == capacity_class(n)) {
        path.hot_linear[n] = b;
        leaf_edge.set_byte(8, static_cast<u8>(n));
        ++path.hot_count;
        ++path.pending;
        stored = true;
        ++fast_path_hits;
        return true;
    }
    return false;
}

void SetTree::check_path_after_insert(u64 key) {
    if (path.len == 0) return;
    ASSERT_LE(path.len, InsertPath::MAX_ENTRIES);
    EXPECT_EQ(path.levels[0], 1);
    EXPECT_EQ(path.prefix, key >> 8) << "hot leaf recorded under another prefix";
    const KeyTrace t = trace_key(root, key);
    ASSERT_TRUE(t.present);
    const TraceStep& last = t.steps.back();
    ASSERT_EQ(last.slot, path.edges[0]) << "hot leaf is not the leaf that holds the key";
    EXPECT_EQ(last.slot_level, 1u);
    const Edge& leaf = *path.edges[0];
    if (leaf.tag_byte() == TAG_LEAF_BITMAP) {
        EXPECT_EQ(path.hot_bitmap, leaf.ptr<void>());
        EXPECT_EQ(path.hot_linear, nullptr);
    } else {
        ASSERT_EQ(leaf.tag_byte(), TAG_LEAF_1);
        EXPECT_EQ(path.hot_linear, leaf.ptr<u8>());
        EXPECT_EQ(path.hot_bitmap, nullptr);
    }
    EXPECT_EQ(path.hot_count, last.size);
    // The recorded ancestors are branches on the key's path, each once.
    const std::size_t branches = t.steps.size() - 1;
    EXPECT_EQ(path.len - 1, branches < 7 ? branches : 7);
    for (u64 i = 1; i < path.len; ++i) {
        bool on_path = false;
        for (std::size_t s = 0; s + 1 < t.steps.size(); ++s) {
            if (t.steps[s].slot == path.edges[i]) {
                on_path = true;
                EXPECT_EQ(path.levels[i], t.steps[s].node_level);
            }
        }
        EXPECT_TRUE(on_path) << "path entry " << i << " is not an ancestor of the hot leaf";
        for (u64 j = 1; j < i; ++j) EXPECT_NE(path.edges[j], path.edges[i]);
    }
}

bool SetTree::insert(u64 key) {
    KeyTrace before;
    if (observer) before = trace_key(root, key);
    bool stored = false;
    if (!(fast_path && try_fast_path(key, stored))) {
        path.flush_and_reset();
        stored = mutate::insert_with_path_flat(alloc, root, key, 8, path);
        if (!fast_path) {
            EXPECT_EQ(path.pending, 0);
        }
    }
    if (stored) ++population;
    if (check_path) check_path_after_insert(key);
    if (observer) observer(Op{Op::Kind::Insert, key}, stored, before, trace_key(root, key));
    return stored;
}

bool SetTree::remove(u64 key) {
    KeyTrace before;
    if (observer) before = trace_key(root, key);
    path.flush_and_reset();
    const bool removed = mutate::remove(alloc, root, key, 8);
    if (removed) --population;
    if (observer) observer(Op{Op::Kind::Remove, key}, removed, before, trace_key(root, key));
    return removed;
}

const Edge* slot_at(const Edge& root, u64 key, unsigned slot_level) {
    const KeyTrace trace = trace_key(root, key);
    const TraceStep* s = trace.at(slot_level);
    return s ? s->slot : nullptr;
}

u32 branch_word(const Edge& root, u64 key, std::size_t i) {
    const KeyTrace t = trace_key(root, key);
    if (i >= t.steps.size() || !is_branch_tag(t.steps[i].tag)) {
        ADD_FAILURE() << "no branch at step " << i;
        return 0;
    }
    return *node_version_word(*t.steps[i].slot);
}

template <bool Map>
u64 validated_population(const Edge& edge, unsigned level) {
    ValidateStats stats{};
    const validate::Validation v = validate::tolvane_validate_and_stats<Map>(edge, level, stats, 0);
    EXPECT_TRUE(v.ok()) << v.error;
    return v.population;
}

template u64 validated_population<false>(const Edge&, unsigned);
template u64 validated_population<true>(const Edge&, unsigned);

template <bool Map>
validate::Validation validate_flushed(const Edge& root, InsertPath& path, ValidateStats* stats) {
    path.flush_and_reset();
    ValidateStats local{};
    ValidateStats& s = stats ? *stats : local;
    s.fill(0);
    return validate::tolvane_validate_and_stats<Map>(root, 8, s, 0);
}

template validate::Validation validate_flushed<false>(const Edge&, InsertPath&, ValidateStats*);
template validate::Validation validate_flushed<true>(const Edge&, InsertPath&, ValidateStats*);

void expect_sound_tree(const validate::Validation& v, const ValidateStats& stats,
                       const NodeAlloc& alloc, const Edge& root, u64 population,
                       std::size_t model_size) {
    ASSERT_TRUE(v.ok()) << v.error;
    ASSERT_EQ(v.population, model_size);
    ASSERT_EQ(population, model_size);
    ASSERT_EQ(alloc.live_bytes(), counted_bytes(stats)) << "allocator and tree disagree on the bytes in use";
    if (model_size == 0) {
        ASSERT_TRUE(root.is_empty());
        ASSERT_EQ(alloc.live_bytes(), 0u);
        ASSERT_EQ(alloc.live_nodes(), 0u);
    }
}

void SetTree::verify(const SetModel& model) {
    ValidateStats stats{};
    const validate::Validation v = validate(&stats);
    expect_sound_tree(v, stats, alloc, root, population, model.size());
}

}  // namespace tolvane::test
