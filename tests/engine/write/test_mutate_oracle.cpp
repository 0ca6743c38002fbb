// Exclusive set insert and remove against std::set on seeded key streams:
// every answer must match, and after every operation the validator must
// accept the tree with the model's population and the allocator must hold
// exactly the bytes the tree uses. Inserts also check what the insert path
// names (support/set_tree.hpp).

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/form_streams.hpp"
#include "support/oracle.hpp"
#include "support/set_tree.hpp"

namespace tolvane::test {
namespace {

// ---------------------------------------------------------------------------
// Form transitions, read off the key's path before and after each change.

bool is_branch(u8 tag) { return is_branch_tag(tag); }

// Each form change happens exactly at its bound.
void check_bounds(const Op& op, const TraceStep& b, const TraceStep& a) {
    const bool ins = op.kind == Op::Kind::Insert;
    const unsigned S = a.slot_level;
    const EdgeKind kb = decode_tag(b.tag), ka = decode_tag(a.tag);
    SCOPED_TRACE(describe(op) + " at slot level " + std::to_string(S) + ": " + kind_name(b.tag) +
                 " of " + std::to_string(b.size) + " -> " + kind_name(a.tag) + " of " +
                 std::to_string(a.size));
    check_shared_bounds(ins, b, a);
    if (ins && kb.is_immediate() && is_linear_leaf_tag(a.tag)) {
        EXPECT_EQ(b.size, 15u / kb.key_bytes);
        EXPECT_EQ(a.size, b.size + 1);
    }
    if (ins && is_linear_leaf_tag(b.tag) && b.tag != TAG_LEAF_1 && !is_linear_leaf_tag(a.tag)) {
        EXPECT_EQ(b.size, 32u) << "only a full leaf splits";
    }
    if (ins && b.tag == TAG_LEAF_BITMAP && a.tag == TAG_FULL) {
        EXPECT_EQ(b.size, 255u);
        EXPECT_EQ(S, 1u);
    }
    if (ins && b.tag == TAG_BRANCH_B && a.tag == TAG_BRANCH_L3 && b.size == 192) {
        EXPECT_LT(b.node_level, S) << "only a skipping BranchB is wrapped before it grows";
    }
    if (!ins && is_linear_leaf_tag(b.tag) && ka.is_immediate()) {
        EXPECT_LE(b.size, 15u / S);
        EXPECT_EQ(ka.key_bytes, S);
        EXPECT_EQ(a.size, b.size - 1);
    }
    if (!ins && b.tag == TAG_FULL) {
        EXPECT_EQ(a.size, S == 1 ? 255u : 256u);
    }
}

void record_transitions(Events& events, const Op& op, const KeyTrace& before,
                        const KeyTrace& after) {
    const std::string side = op.kind == Op::Kind::Insert ? "ins " : "del ";
    for (const TraceStep& a : after.steps) {
        const TraceStep* b = before.at(a.slot_level);
        if (!b || b->slot != a.slot) continue;
        const std::string kb = kind_name(b->tag), ka = kind_name(a.tag);
        const std::string at = "@" + std::to_string(a.slot_level);
        if (b->tag != a.tag) {
            std::string name = side + kb + "->" + ka;
            check_bounds(op, *b, a);
            if (is_linear_leaf_tag(b->tag) && a.tag == TAG_BRANCH_L3)
                name += b->size == 32 ? " split" : " wrap";
            if (b->tag == TAG_BRANCH_B && a.tag == TAG_BRANCH_L3)
                name += b->size == 192 ? " wrap192" : " wrap";
            if (b->tag == TAG_LEAF_BITMAP && a.tag == TAG_BRANCH_L3) name += " wrap";
            if (is_linear_leaf_tag(b->tag) && a.tag == TAG_LEAF_BITMAP && b->tag != TAG_LEAF_1)
                name += " split";
            ++events[name];
            // Linear leaf to immediate per slot level, for the fold bound.
            if (is_linear_leaf_tag(b->tag) && decode_tag(a.tag).is_immediate()) ++events[name + at];
        } else if (is_branch(a.tag) && b->node_level != a.node_level) {
            ++events[side + kb + " wrap"];
        } else if (a.tag == b->tag && a.size != b->size) {
            // Bounds that must not change the form.
            const std::string sizes =
                "(" + std::to_string(b->size) + "->" + std::to_string(a.size) + ")";
            if (a.tag == TAG_BRANCH_B && (b->size == 191 || b->size == 7 + 1))
                ++events[side + "B" + sizes];
            if (a.tag == TAG_BRANCH_U && b->size == 161 + 1) ++events[side + "U" + sizes];
            if (a.tag == TAG_BRANCH_L7 && b->size == 4) ++events[side + "L7" + sizes];
            if (a.tag == TAG_LEAF_BITMAP && b->size == 22) ++events[side + "bitmap" + sizes];
            if (a.tag == TAG_LEAF_BITMAP && a.size == 256) ++events[side + "bitmap" + sizes + at];
            if (a.tag == TAG_LEAF_1 && a.slot_level == 1 && b->size == 16)
                ++events[side + "leaf1" + sizes + at];
        }
    }
}

// Workload size: keep each tree small enough that verifying after every
// operation stays cheap, and run many of them.
constexpr size_t kTreeKeys = 1500;

std::vector<Workload> workloads(KeyPattern pattern, uint64_t seed) {
    std::vector<Workload> runs;
    for (int order = 0; order < 3; ++order)
        runs.push_back({"grow-drain", make_grow_drain(pattern, seed + order, kTreeKeys, order)});
    WorkloadShape churn{12000, 55, 85, kTreeKeys};
    runs.push_back({"churn", make_workload(pattern, seed + 7, churn)});
    WorkloadShape shrinking{6000, 35, 90, kTreeKeys};
    runs.push_back({"shrinking", make_workload(pattern, seed + 11, shrinking)});
    return runs;
}

class MutateOracle : public ::testing::TestWithParam<KeyPattern> {};

TEST_P(MutateOracle, AnswersAndStructureMatchTheModel) {
    for (uint64_t seed = 1; seed <= 10; ++seed) {
        replay_runs<SetTree, SetModel>(workloads(GetParam(), seed * 1000), seed,
                                       [](SetTree& tree, const SetModel& model) {
                                           // Whatever is left must be exactly the model's keys.
                                           for (u64 k : model.keys)
                                               ASSERT_TRUE(tree.contains(k)) << k;
                                       });
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Patterns, MutateOracle, ::testing::ValuesIn(kAllPatterns),
                         [](const auto& info) { return std::string(pattern_name(info.param)); });

// ---------------------------------------------------------------------------
// Every form change is reached, and each bound is crossed in both directions.

TEST(MutateTransitions, EveryFormChangeIsReached) {
    Events events;
    auto run = [&](const std::vector<Op>& ops) {
        replay_counting_changes<SetTree, SetModel>(events, record_transitions, ops);
    };
    for (uint64_t seed = 1; seed <= 3; ++seed) {
        for (const std::vector<Op>& ops : form_change_streams(seed, 2000)) {
            run(ops);
            if (HasFatalFailure()) return;
        }
    }

    const char* const required[] = {
        // growth
        "ins empty->L3",
        "ins empty->imm",
        "ins imm->leaf1",
        "ins imm->leaf2",
        "ins imm->leaf3",
        "ins imm->leaf4",
        "ins imm->leaf5",
        "ins imm->leaf6",
        "ins imm->leaf7",
        "ins leaf1->bitmap",
        "ins leaf7->bitmap split",
        "ins leaf7->L3 split",
        "ins bitmap->full",
        "ins L3->L7",
        "ins L7->B",
        "ins B->U",
        "ins B(191->192)",
        "ins bitmap(255->256)@7",
        // skip levels
        "ins L3 wrap",
        "ins leaf1->L3 wrap",
        "ins bitmap->L3 wrap",
        "ins B->L3 wrap192",
        // shrinkage
        "del full->bitmap",
        "del bitmap->leaf1",
        "del bitmap(22->21)",
        "del leaf1(16->15)@1",
        "del leaf1->imm",
        "del leaf1->imm@1",
        "del imm->empty",
        "del L7->L3",
        "del L7(4->3)",
        "del B->L7",
        "del B(8->7)",
        "del U->B",
        "del U(162->161)",
        "del L3->empty",
    };
    expect_all_reached(events, required);
}

// The append fast path of the integer engines, emulated through the insert
// path: keys added straight into the hot leaf must leave, after the flush,
// exactly the tree the full inserts would have built.
TEST(MutateOracle, FastPathThroughTheInsertPathKeepsTheTreeExact) {
    u64 hits = 0;
    for (KeyPattern p : {KeyPattern::DenseRuns, KeyPattern::Diverging, KeyPattern::Mixed}) {
        SCOPED_TRACE(pattern_name(p));
        SetTree tree;
        tree.fast_path = true;
        SetModel model;
        // Verifying flushes the path, so verify only now and then to let
        // the owed counts pile up in between.
        const ReplayOptions sparse_checks{0, 37};
        replay(model, tree, make_grow_drain(p, 77, 4000, 0), sparse_checks);
        if (HasFatalFailure()) return;
        WorkloadShape shape{20000, 70, 80, 3000};
        replay(model, tree, make_workload(p, 78, shape), sparse_checks);
        if (HasFatalFailure()) return;
        hits += tree.fast_path_hits;
    }
    EXPECT_GT(hits, 1000u);
}

}  // namespace
}  // namespace tolvane::test
