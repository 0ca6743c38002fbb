// Reclaiming map insert and remove against the exclusive ones: the same
// seeded streams (values 0, 2^64 - 1 and key-like values mixed in) drive both
// families, in every allocator mode and with either root variant, and every
// answer must agree with the model while the two trees dump identically.
// Around every operation the reclaiming tree must also keep its writer
// protocol: the reported value word is the key's, the insert path leaves
// empty whatever it named, live branches are stable, replaced branches are
// marked obsolete and still readable until recycled, the tree word moves only
// for changes of the root slot, and both allocators hold and have released
// the same blocks.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "support/map_tree.hpp"
#include "support/reclaiming_map_tree.hpp"
#include "support/oracle.hpp"
#include "support/set_tree.hpp"
#include "support/tree_dump.hpp"
#include "support/twin_checks.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/check/validate.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::test {
namespace {

// Both map mutator families on the same operations.
class MapTwin {
  public:
    MapTwin(ReclaimingMode mode, bool keep) : reclaiming(mode) {
        exclusive.check_path = false;
        exclusive.keep_existing = keep;
        reclaiming.keep_existing = keep;
    }

    MapModel::Result apply(const Op& op) {
        const std::vector<BranchRef> before = branch_nodes(reclaiming.root);
        std::vector<u32> words_before;
        for (const BranchRef& b : before) words_before.push_back(*b.version);
        const u64 tree_before = reclaiming.tree_word;

        const MapModel::Result expected = exclusive.apply(op);
        // The path comes in naming a leaf and owing nothing; it must leave empty.
        Edge stale;
        reclaiming.path.fill(&stale, nullptr, nullptr, 9, op.key);
        const MapModel::Result actual = op.kind == Op::Kind::Insert ? insert(op) : remove(op);
        EXPECT_EQ(actual, expected) << describe(op);
        EXPECT_EQ(reclaiming.path.len, 0u) << describe(op);
        EXPECT_EQ(reclaiming.path.prefix, InsertPath::NO_PREFIX);
        EXPECT_EQ(reclaiming.path.hot_count, 0u);

        const std::set<const void*> after = stable_branches(reclaiming.root, describe(op));
        const bool changed = op.kind == Op::Kind::Insert ? !actual.existed : actual.existed;
        const bool untouched = op.kind == Op::Kind::Insert
                                   ? actual.existed && reclaiming.keep_existing
                                   : !actual.existed;
        if (untouched && reclaiming.versioned()) {
            // A present key for get-or-insert, an absent one for remove: no word moves.
            for (std::size_t i = 0; i < before.size(); ++i)
                EXPECT_EQ(*before[i].version, words_before[i])
                    << "version word moved: " << describe(op);
        }
        if (reclaiming.deferred()) {
            // Replaced branches wait in the collector's bins, marked.
            replaced += replaced_branches_marked(before, after, describe(op));
            reclaiming.collector->try_advance();
        }
        if (reclaiming.mode == ReclaimingMode::DeferredCovered) {
            EXPECT_EQ(reclaiming.tree_word % 2, 0u);
            // Once the tree holds a key, its root slot holds a level-8
            // branch: only new or removed keys republish that slot.
            if (changed)
                EXPECT_GT(reclaiming.tree_word, tree_before)
                    << "root slot not republished: " << describe(op);
            else
                EXPECT_EQ(reclaiming.tree_word, tree_before) << describe(op);
        } else {
            EXPECT_EQ(reclaiming.tree_word, 0u);
        }
        EXPECT_EQ(path_shape(trace_key(reclaiming.root, op.key)),
                  path_shape(trace_key(exclusive.root, op.key)))
            << describe(op);
        return actual;
    }

    template <class Model>
    void verify(const Model& model) {
        expect_twins_equal<true>(reclaiming.root, reclaiming.alloc, exclusive.root, exclusive.alloc,
                                 model.size());
    }

    MapTree exclusive;
    ReclaimingMapTree reclaiming;
    u64 replaced = 0;

  private:
    MapModel::Result insert(const Op& op) {
        const mutate_map::InsertResult r = reclaiming.insert(op.key, op.value);
        EXPECT_LE(r.existed, 1u);
        EXPECT_EQ(r.slot, reclaiming.find(op.key))
            << "reported value word is not the key's: " << describe(op);
        if (r.slot == nullptr) return {};
        if (r.existed == 0) {
            EXPECT_EQ(r.old, ReclaimingMapTree::kUntouched) << "old value written for a new key";
            EXPECT_EQ(*r.slot, op.value);
            return {};
        }
        EXPECT_EQ(*r.slot, reclaiming.keep_existing ? r.old : op.value) << describe(op);
        return {true, r.old};
    }

    MapModel::Result remove(const Op& op) {
        const mutate_map::RemoveResult r = reclaiming.remove(op.key);
        EXPECT_EQ(reclaiming.find(op.key), nullptr) << "key still found after its removal";
        if (!r.found) return {};
        return {true, r.value};
    }
};

std::vector<std::vector<Op>> streams(KeyPattern pattern, u64 seed) {
    std::vector<std::vector<Op>> runs;
    runs.push_back(with_values(make_grow_drain(pattern, seed, 1200, 0), seed));
    runs.push_back(with_values(make_grow_drain(pattern, seed + 1, 700, 2), seed + 1));
    runs.push_back(
        with_values(make_workload(pattern, seed + 2, WorkloadShape{4000, 55, 85, 900}), seed + 2));
    return runs;
}

class ReclaimingMapDifferential : public ::testing::TestWithParam<ReclaimingMode> {};

TEST_P(ReclaimingMapDifferential, BuildsTheExclusiveTreeOnEveryKeyStream) {
    u64 replaced = 0;
    for (KeyPattern pattern : kAllPatterns) {
        SCOPED_TRACE(pattern_name(pattern));
        for (const std::vector<Op>& ops : streams(pattern, 40)) {
            MapTwin twin(GetParam(), false);
            MapModel model;
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

TEST_P(ReclaimingMapDifferential, GetOrInsertKeepsPresentValuesLikeTheExclusiveMember) {
    for (KeyPattern pattern : {KeyPattern::DenseRuns, KeyPattern::Clustered, KeyPattern::Mixed}) {
        SCOPED_TRACE(pattern_name(pattern));
        const std::vector<Op> ops =
            with_values(make_workload(pattern, 77, WorkloadShape{5000, 70, 90, 1500}), 78);
        MapTwin twin(GetParam(), true);
        KeepModel model;
        replay(model, twin, ops, ReplayOptions{64, 25});
        if (HasFatalFailure() || HasNonfatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ReclaimingMapDifferential, ::testing::ValuesIn(kAllReclaimingModes),
                         [](const auto& info) {
                             return std::string(reclaiming_mode_name(info.param));
                         });

}  // namespace
}  // namespace tolvane::test
