// Exclusive map insert and remove against std::map on seeded key streams with
// values that include 0 and 2^64 - 1: every answer (existed, old value,
// removed value) must match, and after every operation the map validator
// must accept the tree with the model's population, every model key's value
// word must hold its value and the allocator must hold exactly the bytes the
// tree uses. Each insert also checks its own report and what the insert path
// names afterwards (support/map_tree.hpp).

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/form_streams.hpp"
#include "support/map_tree.hpp"
#include "support/oracle.hpp"
#include "tolvane/core/node.hpp"

namespace tolvane::test {
namespace {

// ---------------------------------------------------------------------------
// Answers and structure.

constexpr size_t kTreeKeys = 900;

std::vector<Workload> workloads(KeyPattern pattern, uint64_t seed) {
    std::vector<Workload> runs;
    for (int order = 0; order < 3; ++order)
        runs.push_back(
            {"grow-drain",
             with_values(make_grow_drain(pattern, seed + order, kTreeKeys, order), seed)});
    WorkloadShape churn{6000, 55, 85, kTreeKeys};
    runs.push_back({"churn", with_values(make_workload(pattern, seed + 7, churn), seed + 1)});
    return runs;
}

class MapOracle : public ::testing::TestWithParam<KeyPattern> {};

TEST_P(MapOracle, AnswersValuesAndStructureMatchTheModel) {
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        replay_runs<MapTree, MapModel>(workloads(GetParam(), seed * 1000), seed,
                                       [](MapTree&, const MapModel&) {});
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Patterns, MapOracle, ::testing::ValuesIn(kAllPatterns),
                         [](const auto& info) { return std::string(pattern_name(info.param)); });

struct KeepTree : MapTree {
    KeepTree() { keep_existing = true; }
    void verify(const KeepModel& model) {
        MapModel as_map;
        as_map.entries = model.entries;
        MapTree::verify(as_map);
    }
};

TEST(MapOracle, GetOrInsertKeepsPresentValues) {
    for (KeyPattern p :
         {KeyPattern::DenseRuns, KeyPattern::Clustered, KeyPattern::Mixed, KeyPattern::Extremes}) {
        SCOPED_TRACE(pattern_name(p));
        KeepTree tree;
        KeepModel model;
        // Many re-inserts of present keys, each with a fresh value.
        WorkloadShape shape{5000, 75, 90, 700};
        replay(model, tree, with_values(make_workload(p, 31, shape), 32));
        if (HasFatalFailure()) return;
    }
}

// Removing every key in any order leaves nothing behind: an all-zero root
// edge, no live byte and no live node.
TEST(MapOracle, DrainingEveryKeyReturnsEverything) {
    for (KeyPattern p : kAllPatterns) {
        for (int order = 0; order < 3; ++order) {
            SCOPED_TRACE(std::string(pattern_name(p)) + " order " + std::to_string(order));
            MapTree tree;
            MapModel model;
            replay(model, tree, with_values(make_grow_drain(p, 900 + order, 3000, order), 5),
                   ReplayOptions{0, 997});
            if (HasFatalFailure()) return;
            ASSERT_EQ(model.size(), 0u);
            EXPECT_EQ(tree.root, Edge{});
            EXPECT_EQ(tree.alloc.live_bytes(), 0u);
            EXPECT_EQ(tree.alloc.live_nodes(), 0u);
        }
    }
}

// ---------------------------------------------------------------------------
// Every form change is reached, at its exact bound.

// The bounds of the map forms, checked whenever an edge changes form.
void check_bounds(const Op& op, const TraceStep& b, const TraceStep& a) {
    const bool ins = op.kind == Op::Kind::Insert;
    const unsigned S = a.slot_level;
    const EdgeKind kb = decode_tag(b.tag), ka = decode_tag(a.tag);
    SCOPED_TRACE(describe(op) + " at slot level " + std::to_string(S) + ": " + kind_name(b.tag) +
                 " of " + std::to_string(b.size) + " -> " + kind_name(a.tag) + " of " +
                 std::to_string(a.size));
    check_shared_bounds(ins, b, a);
    if (ka.is_immediate()) {
        EXPECT_EQ(ka.key_bytes, S) << "immediate narrower than its slot";
        EXPECT_LE(a.size * ka.key_bytes, 7u) << "map immediate past its seven key bytes";
    }
    if (ins && kb.is_immediate() && is_linear_leaf_tag(a.tag)) {
        EXPECT_EQ(b.size, 7u / kb.key_bytes);
        EXPECT_EQ(a.size, b.size + 1);
        EXPECT_EQ(a.tag - TAG_LEAF_BASE, kb.key_bytes);
    }
    if (ins && is_linear_leaf_tag(b.tag) && b.tag != TAG_LEAF_1 && !is_linear_leaf_tag(a.tag) &&
        b.node_level == b.slot_level) {
        EXPECT_EQ(b.size, 32u) << "only a full leaf is rebuilt";
        if (a.tag == TAG_LEAF_BITMAP) {
            EXPECT_EQ(a.size, 33u);
        }
    }
    if (!ins && b.tag == TAG_LEAF_BITMAP && a.tag != TAG_LEAF_BITMAP) {
        EXPECT_EQ(a.tag, TAG_LEAF_1);
    }
    if (!ins && is_linear_leaf_tag(b.tag) && ka.is_immediate()) {
        EXPECT_LE(b.size, 7u / S);
        EXPECT_EQ(a.size, b.size - 1);
    }
    if (!ins && is_linear_leaf_tag(b.tag) && a.tag == TAG_EMPTY) {
        EXPECT_EQ(b.size, 1u);
    }
}

void record_transitions(Events& events, const Op& op, const KeyTrace& before,
                        const KeyTrace& after) {
    const std::string side = op.kind == Op::Kind::Insert ? "ins " : "del ";
    for (const TraceStep& a : after.steps) {
        const TraceStep* b = before.at(a.slot_level);
        if (!b || b->slot != a.slot) continue;
        const bool both_immediates =
            decode_tag(a.tag).is_immediate() && decode_tag(b->tag).is_immediate();
        const std::string kb = kind_name(b->tag), ka = kind_name(a.tag);
        if (b->tag != a.tag && !both_immediates) {
            check_bounds(op, *b, a);
            std::string name = side + kb + "->" + ka;
            // A new branch above a leaf: a wrap when the key left the leaf's
            // skipped bytes (the branch sits above the leaf's level), else
            // the split of a full leaf, whose branch may have grown already.
            const bool ins = op.kind == Op::Kind::Insert;
            if (ins && is_branch_tag(a.tag) && b->tag != TAG_EMPTY && !is_branch_tag(b->tag))
                name += a.node_level > b->node_level ? " wrap" : " split";
            if (ins && a.tag == TAG_BRANCH_L3 && is_branch_tag(b->tag))
                name += b->tag == TAG_BRANCH_B && b->size == 192 ? " wrap192" : " wrap";
            if (a.tag == TAG_LEAF_BITMAP && is_linear_leaf_tag(b->tag) && a.slot_level > 1)
                name += " decode";
            ++events[name];
            if (is_linear_leaf_tag(b->tag) && decode_tag(a.tag).is_immediate())
                ++events[name + "@" + std::to_string(a.slot_level)];
        } else if (is_branch_tag(a.tag) && b->node_level != a.node_level) {
            ++events[side + kb + " wrap"];
        } else if (a.size != b->size) {
            if (both_immediates) check_bounds(op, *b, a);
            const std::string sizes =
                "(" + std::to_string(b->size) + "->" + std::to_string(a.size) + ")";
            const bool class_change = capacity_class(a.size) != capacity_class(b->size);
            if (both_immediates) ++events[side + "imm" + sizes];
            if (is_linear_leaf_tag(a.tag))
                ++events[side + "leaf " + (class_change ? "moved" : "in place")];
            if (a.tag == TAG_LEAF_BITMAP) {
                if (b->size == 22) ++events[side + "bitmap" + sizes];
                if (a.size == 256) ++events[side + "bitmap" + sizes];
            }
            if (a.tag == TAG_BRANCH_B && (b->size == 191 || b->size == 8))
                ++events[side + "B" + sizes];
            if (a.tag == TAG_BRANCH_U && b->size == 162) ++events[side + "U" + sizes];
            if (a.tag == TAG_BRANCH_L7 && b->size == 4) ++events[side + "L7" + sizes];
            if (a.tag == TAG_BRANCH_L3 && b->size == 2 && a.size == 1)
                ++events[side + "L3" + sizes];
        }
    }
}

TEST(MapTransitions, EveryFormChangeIsReachedAtItsBound) {
    Events events;
    auto run = [&](const std::vector<Op>& ops, u64 seed) {
        replay_counting_changes<MapTree, MapModel>(events, record_transitions,
                                                   with_values(ops, seed), ReplayOptions{0, 101});
    };
    for (uint64_t seed = 1; seed <= 3; ++seed) {
        for (const std::vector<Op>& ops : form_change_streams(seed, 1500)) {
            run(ops, seed);
            if (HasFatalFailure()) return;
        }
        for (unsigned width = 2; width <= 7; ++width)
            run(narrow_ops(seed * 10 + width, width, 80), seed);
        if (HasFatalFailure()) return;
    }

    const char* const required[] = {
        // immediates and linear leaves
        "ins empty->L3",
        "ins empty->imm",
        "ins imm(1->2)",
        "ins imm(2->3)",
        "ins imm(3->4)",
        "ins imm(4->5)",
        "ins imm(6->7)",
        "ins imm->leaf1",
        "ins imm->leaf2",
        "ins imm->leaf3",
        "ins imm->leaf4",
        "ins imm->leaf7",
        "ins leaf in place",
        "ins leaf moved",
        // full leaves
        "ins leaf1->bitmap",
        "ins leaf7->bitmap decode",
        "ins leaf7->L3 split",
        "ins leaf3->L3 split",
        "ins leaf7->B split",
        "ins bitmap(255->256)",
        // branches and skipped levels
        "ins L3->L7",
        "ins L7->B",
        "ins B->U",
        "ins B(191->192)",
        "ins L3 wrap",
        "ins L7->L3 wrap",
        "ins leaf1->L3 wrap",
        "ins bitmap->L3 wrap",
        "ins B->L3 wrap192",
        // removal
        "del imm->empty",
        "del imm(2->1)",
        "del imm(3->2)",
        "del imm(4->3)",
        "del imm(5->4)",
        "del imm(7->6)",
        "del leaf1->imm@1",
        "del leaf2->imm@2",
        "del leaf3->imm@3",
        "del leaf7->empty",
        "del leaf in place",
        "del leaf moved",
        "del bitmap(22->21)",
        "del bitmap->leaf1",
        "del L7->L3",
        "del L7(4->3)",
        "del B->L7",
        "del B(8->7)",
        "del U->B",
        "del U(162->161)",
        "del L3(2->1)",
        "del L3->empty",
    };
    expect_all_reached(events, required);
}

// ---------------------------------------------------------------------------
// A split hands the insert path back empty.

// 33 keys below one 7-byte-wide slot: the 32nd fills a width-7 leaf and the
// 33rd splits it into a level-2 branch whose re-inserted children are
// level-1 leaves. The re-inserts carry only the low bytes of each key; a
// path they left behind would name a hot leaf under prefix 0x01 where the
// full keys have 0xFF000000000001, and an owner's fast path would then put
// unrelated keys into that leaf.
TEST(MapSplit, LeavesTheInsertPathEmptyOrUnderTheFullPrefix) {
    MapTree tree;
    MapModel model;
    std::vector<u64> keys;
    for (u64 x = 0x000; x <= 0x00F; ++x) keys.push_back(0xFF00000000000000ull + x);
    for (u64 x = 0x100; x <= 0x110; ++x) keys.push_back(0xFF00000000000000ull + x);
    ASSERT_EQ(keys.size(), 33u);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        SCOPED_TRACE("key " + std::to_string(i));
        if (i == 32) {
            const KeyTrace t = trace_key(tree.root, keys[i]);
            ASSERT_EQ(t.steps.back().tag, linear_leaf_tag(7));
            ASSERT_EQ(t.steps.back().size, 32u);
        }
        ASSERT_EQ(tree.insert(keys[i], ~keys[i]),
                  model.apply({Op::Kind::Insert, keys[i], ~keys[i]}));
        if (i == 32) {
            EXPECT_TRUE(tree.path.len == 0 || tree.path.prefix == 0xFF000000000001ull)
                << std::hex << "prefix 0x" << tree.path.prefix;
            const KeyTrace t = trace_key(tree.root, keys[i]);
            ASSERT_EQ(t.at(7)->tag, TAG_BRANCH_L3);
            EXPECT_EQ(t.at(7)->node_level, 2u);
            EXPECT_EQ(t.at(7)->size, 2u);
            EXPECT_EQ(t.steps.back().slot_level, 1u);
        }
        ASSERT_NO_FATAL_FAILURE(tree.verify(model));
    }
    // Keys with the leaf's shortened prefix go elsewhere in the tree.
    const u64 stranger = 0x0000000000000142ull;
    ASSERT_EQ(tree.insert(stranger, 7), model.apply({Op::Kind::Insert, stranger, 7}));
    ASSERT_NO_FATAL_FAILURE(tree.verify(model));
}

}  // namespace
}  // namespace tolvane::test
