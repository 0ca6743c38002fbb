// Reclaiming set insert and remove against the exclusive ones: the same
// seeded key streams drive both, every answer must agree with std::set, and
// the two trees must dump identically. Around every operation the reclaiming
// tree must keep its writer protocol: live branches stable (even version
// words), every branch the operation replaced marked obsolete and still
// readable until the collector recycles it, the tree word even, and the
// allocator holding exactly what the exclusive tree holds.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/reclaiming_set_tree.hpp"
#include "support/oracle.hpp"
#include "support/set_tree.hpp"
#include "support/tree_dump.hpp"
#include "support/twin_checks.hpp"
#include "tolvane/write/mutate_reclaiming_insert.hpp"
#include "tolvane/write/mutate_reclaiming_remove.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane::test {
namespace {

// Both mutator families on the same operations.
class Twin {
  public:
    explicit Twin(ReclaimingMode mode) : reclaiming(mode) { exclusive.check_path = false; }

    bool apply(const Op& op) {
        const std::vector<BranchRef> before = branch_nodes(reclaiming.root);
        const u64 word_before = reclaiming.tree_word;
        // The branches on the key's path with their words: a change below a
        // branch happens inside a bracket of that branch's word.
        struct Watched {
            const void* node;
            const u32* word;
            u32 seen;
        };
        std::vector<Watched> on_path;
        for (const TraceStep& step : trace_key(reclaiming.root, op.key).steps) {
            if (!is_branch_tag(step.tag)) continue;
            const u32* word = node_version_word(*step.slot);
            on_path.push_back({step.slot->ptr<void>(), word, *word});
        }

        const bool expected = exclusive.apply(op);
        const bool actual = reclaiming.apply(op);
        EXPECT_EQ(actual, expected) << describe(op);

        const std::set<const void*> after = stable_branches(reclaiming.root, describe(op));
        // The key's path between full dumps: same forms and sizes at every level.
        const KeyTrace ex_path = trace_key(exclusive.root, op.key),
                       reclaiming_path = trace_key(reclaiming.root, op.key);
        EXPECT_EQ(path_shape(reclaiming_path), path_shape(ex_path)) << describe(op);

        std::set<const void*> still_on_path;
        for (const TraceStep& step : reclaiming_path.steps)
            if (is_branch_tag(step.tag)) still_on_path.insert(step.slot->ptr<void>());
        for (const Watched& w : on_path) {
            // A branch that a wrap moved aside is no longer on the key's path.
            // In local mode a released branch's block may come back within the
            // same operation as another node, so only deferred trees tell.
            if (!reclaiming.deferred() || !after.count(w.node) || !still_on_path.count(w.node))
                continue;
            const u32 now = *w.word;
            if (actual) {
                EXPECT_GE(now - w.seen, 2u)
                    << "a change below a branch left its word alone: " << describe(op);
            } else if (op.kind == Op::Kind::Remove && reclaiming.versioned()) {
                EXPECT_EQ(now, w.seen) << "an absent key changed a word: " << describe(op);
            }
        }

        if (reclaiming.deferred()) {
            // Replaced branches wait in the collector's bins, marked.
            replaced += replaced_branches_marked(before, after, describe(op));
            reclaiming.collector->try_advance();
        }
        if (reclaiming.mode == ReclaimingMode::DeferredCovered) {
            EXPECT_EQ(reclaiming.tree_word % 2, 0u);
            if (actual) {
                EXPECT_GT(reclaiming.tree_word, word_before)
                    << "root slot not republished: " << describe(op);
            } else if (op.kind == Op::Kind::Remove) {
                EXPECT_EQ(reclaiming.tree_word, word_before) << "absent key bumped the tree word";
            }
        } else {
            EXPECT_EQ(reclaiming.tree_word, 0u);
        }
        return actual;
    }

    void verify(const SetModel& model) {
        exclusive.path.flush_and_reset();
        expect_twins_equal<false>(reclaiming.root, reclaiming.alloc, exclusive.root,
                                  exclusive.alloc, model.size());
    }

    SetTree exclusive;
    ReclaimingSetTree reclaiming;
    u64 replaced = 0;
};

class ReclaimingSetDifferential : public ::testing::TestWithParam<ReclaimingMode> {};

TEST_P(ReclaimingSetDifferential, BuildsTheExclusiveTreeOnEveryKeyStream) {
    u64 replaced = 0;
    for (KeyPattern pattern : kAllPatterns) {
        SCOPED_TRACE(pattern_name(pattern));
        std::vector<std::vector<Op>> runs;
        runs.push_back(make_grow_drain(pattern, 11, 1200, 0));
        runs.push_back(make_grow_drain(pattern, 12, 700, 2));
        runs.push_back(make_workload(pattern, 13, WorkloadShape{5000, 55, 85, 900}));
        for (const std::vector<Op>& ops : runs) {
            Twin twin(GetParam());
            SetModel model;
            replay(model, twin, ops, ReplayOptions{64, 25});
            if (HasFatalFailure() || HasNonfatalFailure()) return;
            replaced += twin.replaced;
        }
    }
    if (GetParam() == ReclaimingMode::DeferredUnversioned ||
        GetParam() == ReclaimingMode::DeferredCovered) {
        EXPECT_GT(replaced, 0u) << "no branch was ever replaced: the obsolete check saw nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ReclaimingSetDifferential, ::testing::ValuesIn(kAllReclaimingModes),
                         [](const auto& info) {
                             return std::string(reclaiming_mode_name(info.param));
                         });

}  // namespace
}  // namespace tolvane::test
