// The engine TolvaneMap against std::map: seeded streams of every key shape
// in each allocator mode, get-or-insert, the root-leaf / tree boundaries in
// both directions, overwrites in the root leaf and in both hot-leaf forms,
// rank queries between fast-path inserts, clearing and validation reports.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <type_traits>

#include "support/engine_oracle.hpp"
#include "support/oracle.hpp"
#include "tolvane/map.hpp"
#include "tolvane/node.hpp"
#include "tolvane/validate.hpp"

namespace tolvane::test {
namespace {

static_assert(!std::is_copy_constructible_v<TolvaneMap> &&
                  !std::is_move_constructible_v<TolvaneMap> &&
                  !std::is_move_assignable_v<TolvaneMap>,
              "a moved map would carry insert-path entries into another object's root");

// Bytes the validator finds in a map tree: node blocks, leaf blocks, value
// arrays and subarrays.
u64 tree_bytes(const Edge& root) {
    ValidateStats stats{};
    validate::tolvane_validate_and_stats<true>(root, 8, stats, 0);
    u64 sum = 0;
    for (std::size_t i = validate::STAT_VALUE_ARRAY_BYTES; i <= validate::STAT_BRANCH_U_BYTES; ++i)
        sum += stats[i];
    return sum;
}

u64 root_leaf_charge(u64 n) { return capacity_class(n) * 16; }

struct MapSubject {
    TolvaneMap& m;
    MapModel::Result apply(const Op& op) {
        if (op.kind == Op::Kind::Insert) {
            const InsertOutcome r = m.insert(op.key, op.value);
            return {r.existed, r.existed ? r.old : 0};
        }
        const RemoveOutcome r = m.remove(op.key);
        return {r.found, r.found ? r.value : 0};
    }
    void verify(const MapModel& model) {
        const u64 n = model.size();
        ASSERT_EQ(m.size(), n);
        ASSERT_EQ(m.validate_defensive(), std::nullopt);
        // 31 entries are a root leaf on the way up and a tree on the way down.
        const u64 want = n == 0    ? ROOT_EMPTY
                         : n <= 30 ? ROOT_LEAF
                         : n >= 32 ? ROOT_TREE
                                   : m.core.root_state;
        ASSERT_EQ(m.core.root_state, want);
        // Every byte the allocator has out belongs to the root.
        const u64 held = m.core.root_state == ROOT_TREE   ? tree_bytes(m.core.root)
                         : m.core.root_state == ROOT_LEAF ? root_leaf_charge(m.core.leaf_count())
                                                          : 0;
        ASSERT_EQ(m.alloc.live_bytes(), held);
    }
};

void seed_neighbour(TolvaneMap& m, std::map<u64, u64>& model, u64 p) {
    for (u64 b = 0; b < 40; ++b) {
        const u64 k = ((p + 1) << 8) | (b * 5);
        m.insert(k, k ^ 0x55);
        model[k] = k ^ 0x55;
    }
    ASSERT_EQ(m.core.root_state, ROOT_TREE);
}

void expect_matches(TolvaneMap& m, const std::map<u64, u64>& model, u64 seed) {
    std::mt19937_64 rng(seed);
    std::vector<u64> sorted;
    for (const auto& kv : model) sorted.push_back(kv.first);
    expect_map_queries(m, model, probe_keys(sorted, rng, 8, 64));
    expect_map_listings(m, model, probe_keys(sorted, rng, 4, 10));
    MapModel mm{model};
    MapSubject{m}.verify(mm);
}

class MapEngine : public ::testing::TestWithParam<AllocMode> {
  protected:
    u64 tree_word = 0;
    void prepare(TolvaneMap& m) { set_mode(m.alloc, GetParam(), &tree_word); }
};

TEST_P(MapEngine, SeededStreamsMatchTheModel) {
    for (const KeyPattern pattern : kAllPatterns) {
        for (const u64 seed : {21u, 22u}) {
            SCOPED_TRACE(std::string(pattern_name(pattern)) + " seed " + std::to_string(seed));
            TolvaneMap m;
            prepare(m);
            MapModel model;
            MapSubject subject{m};
            const auto ops = make_workload(
                pattern, seed,
                {.ops = 2500, .insert_percent = 60, .hit_percent = 80, .max_live = 400});
            replay(model, subject, ops, {.verify_all_below = 0, .verify_stride = 16});
            if (HasFatalFailure()) return;
            std::mt19937_64 rng(seed);
            std::vector<u64> sorted;
            for (const auto& kv : model.entries) sorted.push_back(kv.first);
            const auto probes = probe_keys(sorted, rng, 16);
            expect_map_queries(m, model.entries, probes);
            expect_map_listings(m, model.entries, probes);
            m.clear_entries();
            EXPECT_EQ(m.size(), 0u);
            EXPECT_EQ(m.alloc.live_bytes(), 0u);
            EXPECT_EQ(m.alloc.live_nodes(), 0u);
        }
    }
}

TEST_P(MapEngine, GrowAndDrainThroughEveryBoundary) {
    for (const KeyPattern pattern : kAllPatterns) {
        for (const int order : {0, 1, 2}) {
            SCOPED_TRACE(std::string(pattern_name(pattern)) + " drain " + std::to_string(order));
            TolvaneMap m;
            prepare(m);
            MapModel model;
            MapSubject subject{m};
            replay(model, subject, make_grow_drain(pattern, 50 + order, 500, order));
            if (HasFatalFailure()) return;
            EXPECT_EQ(m.core.root_state, ROOT_EMPTY);
            EXPECT_EQ(m.alloc.live_bytes(), 0u);
        }
    }
}

TEST_P(MapEngine, QueriesAcrossTheRootLeafBoundary) {
    std::mt19937_64 rng(17);
    for (const KeyPattern pattern :
         {KeyPattern::SparseRandom, KeyPattern::Clustered, KeyPattern::Extremes}) {
        SCOPED_TRACE(pattern_name(pattern));
        TolvaneMap m;
        prepare(m);
        std::map<u64, u64> model;
        KeyStream stream(pattern, 77);
        auto sorted = [&] {
            std::vector<u64> v;
            for (const auto& kv : model) v.push_back(kv.first);
            return v;
        };
        while (model.size() < 40) {
            const u64 k = stream.next();
            const u64 v = rng();
            const auto it = model.find(k);
            const InsertOutcome r = m.insert(k, v);
            EXPECT_EQ(r.existed, it != model.end());
            EXPECT_EQ(r.existed ? r.old : 0, it != model.end() ? it->second : 0);
            model[k] = v;
            expect_map_queries(m, model, probe_keys(sorted(), rng, 4, 40));
            if (HasFailure()) return;
        }
        std::vector<u64> order = sorted();
        std::shuffle(order.begin(), order.end(), rng);
        for (const u64 k : order) {
            const RemoveOutcome r = m.remove(k);
            EXPECT_TRUE(r.found);
            EXPECT_EQ(r.value, model[k]);
            model.erase(k);
            expect_map_queries(m, model, probe_keys(sorted(), rng, 4, 40));
            expect_map_listings(m, model, probe_keys(sorted(), rng, 2, 6));
            if (HasFailure()) return;
        }
    }
}

// Get-or-insert: a present key keeps its value, an absent one gets the
// initial value, and the returned word is the key's own value word.
TEST_P(MapEngine, EnsureSlotMatchesTheModel) {
    for (const KeyPattern pattern :
         {KeyPattern::Ascending, KeyPattern::Clustered, KeyPattern::DenseRuns, KeyPattern::Mixed}) {
        SCOPED_TRACE(pattern_name(pattern));
        TolvaneMap m;
        prepare(m);
        std::map<u64, u64> model;
        KeyStream stream(pattern, 5);
        std::mt19937_64 rng(6);
        std::vector<u64> seen;
        for (u64 i = 0; i < 3000; ++i) {
            const u64 k = (i % 4 == 3 && !seen.empty()) ? seen[rng() % seen.size()] : stream.next();
            const u64 initial = rng();
            const bool present = model.count(k) == 1;
            u64* slot = m.ensure_slot(k, initial);
            ASSERT_NE(slot, nullptr);
            if (!present) {
                model[k] = initial;
                seen.push_back(k);
            }
            ASSERT_EQ(*slot, model[k]) << "key " << k;
            // Counting through the word is how its users keep per-key data.
            *slot += 1;
            model[k] += 1;
            ASSERT_EQ(m.get(k), model[k]);
            ASSERT_EQ(m.size(), model.size());
            if (i % 128 == 0) {
                ASSERT_EQ(m.validate_defensive(), std::nullopt);
            }
        }
        std::vector<u64> sorted;
        for (const auto& kv : model) sorted.push_back(kv.first);
        expect_map_queries(m, model, probe_keys(sorted, rng, 8));
        expect_map_listings(m, model, probe_keys(sorted, rng, 4, 8));
    }
}

TEST_P(MapEngine, ThirtySecondKeyMakesATreeAndThirtiethCondenses) {
    TolvaneMap m;
    prepare(m);
    const u64 before = tree_word;
    for (u64 k = 0; k < 31; ++k) ASSERT_FALSE(m.insert(k * 1000, k).existed);
    ASSERT_FALSE(m.insert(~u64{0}, 99).existed);
    EXPECT_EQ(m.core.root_state, ROOT_TREE);
    EXPECT_EQ(m.core.len, 32u);
    EXPECT_TRUE(m.path.empty());
    EXPECT_EQ(tree_word, before);
    for (u64 k = 0; k < 31; ++k) EXPECT_EQ(m.insert(k * 1000, k + 500), (InsertOutcome{true, k}));
    EXPECT_EQ(m.insert(~u64{0}, 98), (InsertOutcome{true, 99}));
    EXPECT_EQ(m.size(), 32u);

    const u64 mark = tree_word;
    EXPECT_EQ(m.remove(5000), (RemoveOutcome{true, 505}));
    EXPECT_EQ(m.core.root_state, ROOT_TREE);
    const u64 plain = tree_word - mark;
    EXPECT_EQ(m.remove(7000), (RemoveOutcome{true, 507}));
    ASSERT_EQ(m.core.root_state, ROOT_LEAF);
    ASSERT_EQ(m.core.leaf_count(), 30u);
    EXPECT_EQ(tree_word - mark, 2 * plain + (GetParam() == AllocMode::Covered ? 2 : 0));
    std::vector<KeyValue> want;
    for (u64 k = 0; k < 31; ++k)
        if (k != 5 && k != 7) want.push_back({k * 1000, k + 500});
    want.push_back({~u64{0}, 98});
    EXPECT_EQ(m.items(), want);
    EXPECT_EQ(m.alloc.live_bytes(), root_leaf_charge(30));
    // Removing the last key of a tree empties the map.
    TolvaneMap t;
    prepare(t);
    for (u64 k = 0; k < 32; ++k) t.insert(k << 40, k);
    for (u64 k = 0; k < 32; ++k) ASSERT_TRUE(t.remove(k << 40).found);
    EXPECT_EQ(t.core.root_state, ROOT_EMPTY);
    EXPECT_EQ(t.alloc.live_bytes(), 0u);
    EXPECT_EQ(t.insert(3, 4), InsertOutcome{});
    EXPECT_EQ(t.core.root_state, ROOT_LEAF);
}

TEST_P(MapEngine, ClearEntriesGivesEveryByteBack) {
    for (const u64 n : {0u, 1u, 9u, 31u, 32u, 3000u}) {
        SCOPED_TRACE(n);
        TolvaneMap m;
        prepare(m);
        KeyStream stream(KeyPattern::Mixed, n + 1);
        for (u64 i = 0; i < n; ++i) m.insert(stream.next(), i);
        m.clear_entries();
        EXPECT_EQ(m.size(), 0u);
        EXPECT_EQ(m.alloc.live_bytes(), 0u);
        EXPECT_EQ(m.get(0), std::nullopt);
        EXPECT_EQ(m.insert(1, 2), InsertOutcome{});
        EXPECT_EQ(m.alloc.live_bytes(), root_leaf_charge(1));
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, MapEngine,
                         ::testing::Values(AllocMode::Local, AllocMode::Deferred,
                                           AllocMode::Covered),
                         [](const auto& info) { return std::string(mode_name(info.param)); });

// ---------------------------------------------------------------------------
// The hot-leaf fast path (local mode).

TEST(MapEngineHotLeaf, BitmapLeafInsertsAndOverwrites) {
    std::mt19937_64 rng(31);
    TolvaneMap m;
    std::map<u64, u64> model;
    const u64 p = 0x00FEDCBA98765400ull >> 8;
    seed_neighbour(m, model, p);
    const std::vector<u64> block = shuffled_block(p, rng);
    u64 hot = 0, hot_overwrites = 0;
    for (std::size_t i = 0; i < block.size(); ++i) {
        const bool was_hot = m.path.len != 0 && m.path.hot_bitmap != nullptr && m.path.prefix == p;
        const u64 v = rng();
        ASSERT_EQ(m.insert(block[i], v), InsertOutcome{});
        model[block[i]] = v;
        if (was_hot) ++hot;
        // Overwrite an earlier key of the block: through the hot leaf once
        // it is a bitmap leaf, with no change of counts.
        const u64 old_key = block[i / 2];
        const u64 pending = static_cast<u64>(m.path.pending);
        const bool overwrite_hot = m.path.hot_bitmap != nullptr;
        ASSERT_EQ(m.insert(old_key, v + 1), (InsertOutcome{true, model[old_key]}));
        model[old_key] = v + 1;
        if (overwrite_hot) {
            ++hot_overwrites;
            ASSERT_EQ(static_cast<u64>(m.path.pending), pending);
        }
        ASSERT_EQ(m.size(), model.size());
        if (i % 32 == 0) expect_matches(m, model, i);
        if (HasFailure()) return;
    }
    EXPECT_GT(hot, 200u);
    EXPECT_GT(hot_overwrites, 200u);
    // The map has no full edges: a bitmap leaf of 256 keys stays one.
    EXPECT_NE(m.path.hot_bitmap, nullptr);
    EXPECT_EQ(m.count_range(p << 8, (p << 8) | 0xFF), 256u);
    expect_matches(m, model, 1);
}

TEST(MapEngineHotLeaf, LinearLeafAppendsAndOverwritesItsLastKey) {
    TolvaneMap m;
    std::map<u64, u64> model;
    const u64 p = 0x4321;
    seed_neighbour(m, model, p);
    u64 fast = 0, last_overwrites = 0;
    for (u64 low = 2; low < 120; low += 4) {
        const u64 k = (p << 8) | low;
        const i64 pending = m.path.pending;
        const bool armed = m.path.hot_linear != nullptr && m.path.prefix == p;
        ASSERT_EQ(m.insert(k, low), InsertOutcome{});
        model[k] = low;
        if (armed && m.path.pending == pending + 1) ++fast;
        // The last key of a hot linear leaf is overwritten in place.
        if (m.path.hot_linear != nullptr) {
            const i64 before = m.path.pending;
            ASSERT_EQ(m.insert(k, low + 1), (InsertOutcome{true, low}));
            model[k] = low + 1;
            ASSERT_EQ(m.path.pending, before);
            ++last_overwrites;
        }
        // A key below the last one goes the full way and lands in order.
        if (low % 16 == 10) {
            ASSERT_EQ(m.insert(k - 1, 7), InsertOutcome{});
            model[k - 1] = 7;
        }
        expect_matches(m, model, low);
        if (HasFailure()) return;
    }
    EXPECT_GT(fast, 5u);
    EXPECT_GT(last_overwrites, 5u);
}

TEST(MapEngineHotLeaf, RankQueriesStayExactBetweenFastPathInserts) {
    TolvaneMap m;
    std::map<u64, u64> model;
    const u64 base = 0x0000123400000000ull;
    u64 fast_after_query = 0;
    for (u64 i = 0; i < 5000; ++i) {
        const u64 k = base + i;
        const bool hot_before = m.path.len != 0;
        ASSERT_EQ(m.insert(k, i * 3), InsertOutcome{});
        model[k] = i * 3;
        if (hot_before && m.path.pending > 0 && i % 97 == 1) ++fast_after_query;
        if (i % 97 == 0) {
            EXPECT_EQ(m.count_below(k), i);
            EXPECT_EQ(m.by_count(i / 2), (KeyValue{base + i / 2, i / 2 * 3}));
            EXPECT_EQ(m.count_range(base + 3, k), i >= 3 ? i - 2 : 0);
            EXPECT_EQ(m.path.pending, 0);
        }
    }
    EXPECT_GT(fast_after_query, 20u);
    expect_matches(m, model, 2);
}

// ---------------------------------------------------------------------------

TEST(MapEngineValidation, ReportsEachBrokenInvariant) {
    TolvaneMap m;
    EXPECT_EQ(m.validate_defensive(), std::nullopt);
    for (u64 k = 1; k <= 3; ++k) m.insert(k, k);
    std::swap(m.core.leaf_keys()[1], m.core.leaf_keys()[2]);
    EXPECT_EQ(m.validate_defensive(), "root leaf keys unsorted");
    std::swap(m.core.leaf_keys()[1], m.core.leaf_keys()[2]);
    m.core.root.w1 = 40;
    EXPECT_EQ(m.validate_defensive(), "root leaf pop 40 out of range");
    m.core.root.w1 = 3;
    for (u64 k = 100; k < 200; ++k) m.insert(k << 12, k);
    m.core.len -= 2;
    EXPECT_EQ(m.validate_defensive(), "total population 101 disagrees with tree 103");
    m.core.len += 2;
    const Edge saved = m.core.root;
    m.core.root = Edge{};
    EXPECT_EQ(m.validate_defensive(), "tree root with null top");
    m.core.root = saved;
    EXPECT_EQ(m.validate_defensive(), std::nullopt);
}

}  // namespace
}  // namespace tolvane::test
