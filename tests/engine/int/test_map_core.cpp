// MapCore against std::map: seeded streams with a local and a deferred
// allocator, the root-leaf capacity classes and the 31/32/30 boundaries,
// leaf_entry, and listings from the smallest entry or from a start key.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>

#include "support/engine_oracle.hpp"
#include "support/oracle.hpp"
#include "tolvane/read/listing.hpp"
#include "tolvane/int/map_core.hpp"
#include "tolvane/int/root_leaf_block.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane::test {
namespace {

// A core with the allocator it uses; drains itself on destruction so the
// allocator sees every block back.
struct CoreUnderTest {
    NodeAlloc alloc;
    MapCore core;
    u64 tree_word = 0;

    // Exclusive: the exclusive-mutator members, on a local allocator.
    bool exclusive = false;

    explicit CoreUnderTest(AllocMode mode = AllocMode::Local, bool exclusive_members = false)
        : exclusive(exclusive_members) {
        set_mode(alloc, mode, &tree_word);
    }
    ~CoreUnderTest() {
        while (core.size() != 0) {
            MapIter it = core.iter_fwd_raw();
            take(it.next()->key);
        }
    }

    InsertOutcome put(u64 key, u64 value) {
        return exclusive ? core.insert_exclusive(alloc, key, value)
                         : core.insert_covered_at(alloc, key, value);
    }
    RemoveOutcome take(u64 key) {
        return exclusive ? core.remove_exclusive(alloc, key) : core.remove_covered_at(alloc, key);
    }

    MapModel::Result apply(const Op& op) {
        if (op.kind == Op::Kind::Insert) {
            const InsertOutcome r = put(op.key, op.value);
            return {r.existed, r.existed ? r.old : 0};
        }
        const RemoveOutcome r = take(op.key);
        return {r.found, r.found ? r.value : 0};
    }
    void verify(const MapModel& model) {
        const u64 n = model.size();
        ASSERT_EQ(core.size(), n);
        const u64 want = n == 0    ? ROOT_EMPTY
                         : n <= 30 ? ROOT_LEAF
                         : n >= 32 ? ROOT_TREE
                                   : core.root_state;
        ASSERT_EQ(core.root_state, want);
        if (core.root_state == ROOT_TREE) {
            ValidateStats stats{};
            const validate::Validation v =
                validate::tolvane_validate_and_stats<true>(core.root, 8, stats, 0);
            ASSERT_TRUE(v.ok()) << v.error;
            ASSERT_EQ(v.population, core.len);
        }
        if (core.root_state == ROOT_LEAF) {
            auto it = model.entries.begin();
            for (u64 i = 0; i < n; ++i, ++it)
                ASSERT_EQ(core.leaf_entry(i), (KeyValue{it->first, it->second}));
            ASSERT_EQ(alloc.live_bytes(), root_leaf::block_bytes<2>(n));
        }
    }
};

std::vector<KeyValue> entries_of(const std::map<u64, u64>& model, u64 from = 0) {
    std::vector<KeyValue> out;
    for (auto it = model.lower_bound(from); it != model.end(); ++it)
        out.push_back({it->first, it->second});
    return out;
}

// An allocator mode, or (Exclusive) a local allocator with the
// exclusive-mutator members.
enum class CoreMode { Local, Deferred, Exclusive };

CoreUnderTest core_under_test(CoreMode mode) {
    return CoreUnderTest(mode == CoreMode::Deferred ? AllocMode::Deferred : AllocMode::Local,
                         mode == CoreMode::Exclusive);
}

class MapCoreModes : public ::testing::TestWithParam<CoreMode> {};

TEST_P(MapCoreModes, SeededStreamsMatchTheModel) {
    for (const KeyPattern pattern : kAllPatterns) {
        SCOPED_TRACE(pattern_name(pattern));
        CoreUnderTest t = core_under_test(GetParam());
        MapModel model;
        replay(model, t, make_workload(pattern, 61, {.ops = 2000, .max_live = 300}),
               {.verify_all_below = 64, .verify_stride = 8});
        if (HasFatalFailure()) return;
        MapIter it = t.core.iter_fwd_raw();
        EXPECT_EQ(collect_entries(it), entries_of(model.entries));
        std::mt19937_64 rng(3);
        for (int i = 0; i < 50; ++i) {
            const u64 start =
                i < 25 || model.size() == 0
                    ? rng()
                    : std::next(model.entries.begin(), rng() % model.size())->first + i % 3;
            MapIter from = t.core.range_fwd_raw(start);
            EXPECT_EQ(collect_entries(from), entries_of(model.entries, start)) << start;
        }
        while (!model.entries.empty()) {
            const u64 k = model.entries.begin()->first;
            ASSERT_EQ(t.take(k),
                      (RemoveOutcome{true, model.entries[k]}));
            model.entries.erase(k);
            t.verify(model);
            if (HasFatalFailure()) return;
        }
        EXPECT_EQ(t.alloc.live_bytes(), 0u);
    }
}

TEST_P(MapCoreModes, BoundariesBothWays) {
    CoreUnderTest t = core_under_test(GetParam());
    EXPECT_EQ(t.put(7, 70), InsertOutcome{});
    EXPECT_EQ(t.core.root_state, ROOT_LEAF);
    EXPECT_EQ(t.core.leaf_count(), 1u);
    EXPECT_EQ(t.alloc.live_bytes(), 16u);
    EXPECT_EQ(t.put(7, 71), (InsertOutcome{true, 70}));
    EXPECT_EQ(t.alloc.live_bytes(), 16u);
    EXPECT_EQ(t.take(7), (RemoveOutcome{true, 71}));
    EXPECT_EQ(t.core.root_state, ROOT_EMPTY);
    EXPECT_EQ(t.take(7), RemoveOutcome{});

    std::map<u64, u64> model;
    for (u64 k = 0; k <= 30; ++k) {
        const u64 key = k == 30 ? ~u64{0} : k * 3;  // the largest key sorts last
        t.put(key, k);
        model[key] = k;
    }
    EXPECT_EQ(t.put(9, 900), (InsertOutcome{true, 3}));
    model[9] = 900;
    EXPECT_EQ(t.core.root_state, ROOT_LEAF);
    EXPECT_EQ(t.core.leaf_entry(30), (KeyValue{~u64{0}, 30}));
    EXPECT_EQ(t.put(1000, 1), InsertOutcome{});
    model[1000] = 1;
    EXPECT_EQ(t.core.root_state, ROOT_TREE);
    EXPECT_EQ(t.core.len, 32u);
    EXPECT_EQ(t.put(1000, 2), (InsertOutcome{true, 1}));
    model[1000] = 2;
    EXPECT_EQ(t.core.len, 32u);
    EXPECT_EQ(t.take(0), (RemoveOutcome{true, 0}));
    model.erase(0);
    EXPECT_EQ(t.core.root_state, ROOT_TREE);
    EXPECT_EQ(t.take(3), (RemoveOutcome{true, 1}));
    model.erase(3);
    ASSERT_EQ(t.core.root_state, ROOT_LEAF);
    EXPECT_EQ(t.alloc.live_bytes(), root_leaf::block_bytes<2>(30));
    MapIter it = t.core.iter_fwd_raw();
    EXPECT_EQ(collect_entries(it), entries_of(model));
    for (u64 i = 0; i < 30; ++i)
        EXPECT_EQ(t.core.leaf_entry(i).key, std::next(model.begin(), i)->first);
}

INSTANTIATE_TEST_SUITE_P(Modes, MapCoreModes,
                         ::testing::Values(CoreMode::Local, CoreMode::Deferred,
                                           CoreMode::Exclusive),
                         [](const auto& info) {
                             return info.param == CoreMode::Local      ? std::string("local")
                                    : info.param == CoreMode::Deferred ? std::string("deferred")
                                                                       : std::string("exclusive");
                         });

TEST(MapCoreRange, FromAStartKeyInARootLeaf) {
    CoreUnderTest t;
    for (const u64 k : {10u, 20u, 30u}) t.core.insert_covered_at(t.alloc, k, k + 1);
    auto keys_from = [&](u64 start) {
        MapIter it = t.core.range_fwd_raw(start);
        std::vector<u64> out;
        while (const auto k = next_key(it)) out.push_back(*k);
        return out;
    };
    EXPECT_EQ(keys_from(20), (std::vector<u64>{20, 30}));
    EXPECT_EQ(keys_from(21), (std::vector<u64>{30}));
    EXPECT_EQ(keys_from(31), std::vector<u64>{});
    EXPECT_EQ(keys_from(0), (std::vector<u64>{10, 20, 30}));
}

TEST(MapCoreDeathTest, LeafEntryOutsideTheRootLeafIsFatal) {
    EXPECT_DEATH(
        {
            MapCore core;
            core.leaf_entry(0);
        },
        "leaf_entry outside root-leaf state");
    EXPECT_DEATH(
        {
            CoreUnderTest t;
            t.core.insert_covered_at(t.alloc, 1, 1);
            t.core.leaf_entry(1);
        },
        "index out of bounds");
}

}  // namespace
}  // namespace tolvane::test
