// insert_ascending: sorted input laid into empty slots a leaf at a time must
// end as inserting the same keys one by one does, in every node form and
// population field, with the last value of a repeated map key, and stay
// right for input that breaks its assumptions.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "support/engine_oracle.hpp"
#include "tolvane/check/validate.hpp"
#include "tolvane/int/ascending.hpp"
#include "tolvane/int/map.hpp"
#include "tolvane/int/set.hpp"

namespace tolvane::test {
namespace {

// Counts and bytes of each node form; the walk fails without filling them
// unless pending population counts are settled first.
template <bool Map>
ValidateStats form_stats(const Edge& root, bool tree, InsertPath& path) {
    ValidateStats stats{};
    path.flush_and_reset();
    if (tree) {
        const auto walk = validate::tolvane_validate_and_stats<Map>(root, 8, stats, 0);
        EXPECT_TRUE(walk.ok()) << walk.error;
    }
    return stats;
}
ValidateStats form_stats(TolvaneSet& s) {
    return form_stats<false>(s.root, s.root_state == ROOT_TREE, s.path);
}
ValidateStats form_stats(TolvaneMap& m) {
    return form_stats<true>(m.core.root, m.core.root_state == ROOT_TREE, m.path);
}

template <class Container>
void expect_same_forms(Container& bulk, Container& single) {
    const ValidateStats bulk_stats = form_stats(bulk), single_stats = form_stats(single);
    for (std::size_t i = 0; i < bulk_stats.size(); ++i)
        EXPECT_EQ(bulk_stats[i], single_stats[i]) << "statistic " << i;
    EXPECT_EQ(bulk.alloc.live_bytes(), single.alloc.live_bytes());
    EXPECT_LE(bulk.alloc.total_allocs(), single.alloc.total_allocs());
}

// Families of sibling clusters: the keys of a cluster share every byte above
// a random level, and the clusters of a family differ in the byte just above
// it, so that after the first two a branch waits with an empty slot for each
// next one. Cluster sizes lie on both sides of each leaf capacity, some
// clusters are dense in their lowest byte, some keys repeat; ascending.
std::vector<u64> clustered_keys(std::mt19937_64& rng, std::size_t families) {
    static constexpr unsigned kSizes[] = {1,  2,  3,  4,  7,  8,  14, 15,  16,  17,  24,
                                          25, 26, 31, 32, 33, 64, 200, 255, 256, 300};
    std::vector<u64> keys;
    for (std::size_t f = 0; f < families; ++f) {
        const unsigned level = 1 + static_cast<unsigned>(rng() % 7);
        const u64 low_mask = low_bytes_mask(level);
        const u64 family = rng() & ~low_bytes_mask(level + 1);
        const unsigned clusters = 3 + static_cast<unsigned>(rng() % 4);
        for (unsigned c = 0; c < clusters; ++c) {
            const unsigned size = kSizes[rng() % std::size(kSizes)];
            const u64 base = family | ((rng() & 0xFF) << (8 * level));
            const bool dense = rng() % 3 == 0;
            const u64 start = rng() & low_mask;
            for (unsigned i = 0; i < size; ++i)
                keys.push_back(base | (dense ? (start + i) & low_mask : rng() & low_mask));
            if (rng() % 4 == 0) keys.push_back(keys[keys.size() - 1 - rng() % size]);
        }
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

std::vector<u64> uniform_keys(std::mt19937_64& rng, std::size_t n, u64 spread) {
    std::vector<u64> keys(n);
    for (u64& k : keys) k = spread == 0 ? rng() : rng() % spread;
    std::sort(keys.begin(), keys.end());
    return keys;
}

std::vector<u64> test_keys(unsigned seed, std::mt19937_64& rng) {
    if (seed % 3 != 0) return clustered_keys(rng, 1 + rng() % 30);
    static const u64 kSpreads[] = {0, 1000, u64{1} << 20, u64{1} << 40};
    return uniform_keys(rng, 1 + rng() % 12000, kSpreads[seed % 4]);
}

// Inserts items[0, n) in chunks of random length through `insert(first,
// count)`, which answers how many keys were new, checked against `fresh`.
template <class Item, class Insert, class Fresh>
void insert_in_chunks(const std::vector<Item>& items, std::mt19937_64& rng, Insert insert,
                      Fresh fresh) {
    std::size_t at = 0;
    while (at < items.size()) {
        const std::size_t n = std::min(items.size() - at, 1 + rng() % 5000);
        std::size_t expected = 0;
        for (std::size_t i = at; i < at + n; ++i) expected += fresh(items[i]);
        ASSERT_EQ(insert(items.data() + at, n), expected) << "chunk at " << at;
        at += n;
    }
}

// Stores a pair in the model as an insert would; answers whether its key was new.
auto record_in(std::map<u64, u64>& model) {
    return [&model](const KeyValue& p) {
        const bool fresh = !model.contains(p.key);
        model[p.key] = p.value;
        return fresh;
    };
}

void expect_set_as_model(TolvaneSet& s, const std::set<u64>& model, std::mt19937_64& rng) {
    const auto report = s.validate_defensive();
    ASSERT_FALSE(report.has_value()) << *report;
    ASSERT_EQ(s.size(), model.size());
    const std::vector<u64> sorted(model.begin(), model.end());
    expect_set_queries(s, model, probe_keys(sorted, rng, 16, 32));
    expect_set_listings(s, model, probe_keys(sorted, rng, 4, 8));
}

void expect_map_as_model(TolvaneMap& m, const std::map<u64, u64>& model, std::mt19937_64& rng) {
    const auto report = m.validate_defensive();
    ASSERT_FALSE(report.has_value()) << *report;
    ASSERT_EQ(m.size(), model.size());
    std::vector<u64> sorted;
    for (const auto& [k, v] : model) sorted.push_back(k);
    expect_map_queries(m, model, probe_keys(sorted, rng, 16, 32));
    expect_map_listings(m, model, probe_keys(sorted, rng, 4, 8));
}

// Some trees hold keys already, so runs also meet occupied slots.
std::vector<u64> keys_before(unsigned seed, std::mt19937_64& rng) {
    const std::size_t count = std::vector<std::size_t>{0, 0, 20, 40, 3000}[seed % 5];
    return uniform_keys(rng, count, seed % 2 ? 0 : u64{1} << 24);
}

TEST(AscendingInsert, SetMatchesOneByOneInsertsInEveryForm) {
    for (unsigned seed = 0; seed < 24; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        TolvaneSet bulk, single;
        std::set<u64> model;
        for (u64 k : keys_before(seed, rng)) {
            bulk.insert_deferred(k);
            single.insert_deferred(k);
            model.insert(k);
        }
        const std::vector<u64> keys = test_keys(seed, rng);
        insert_in_chunks(
            keys, rng, [&](const u64* first, std::size_t n) { return insert_ascending(bulk, first, n); },
            [&](u64 k) { return model.insert(k).second; });
        for (u64 k : keys) single.insert_deferred(k);
        expect_set_as_model(bulk, model, rng);
        expect_same_forms(bulk, single);
    }
}

TEST(AscendingInsert, MapMatchesOneByOneInsertsInEveryFormWithTheLastValue) {
    for (unsigned seed = 0; seed < 24; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed + 100);
        TolvaneMap bulk, single;
        std::map<u64, u64> model;
        for (u64 k : keys_before(seed, rng)) {
            bulk.insert(k, 1);
            single.insert(k, 1);
            model[k] = 1;
        }
        std::vector<KeyValue> pairs;
        for (u64 k : test_keys(seed, rng)) pairs.push_back({k, rng()});
        insert_in_chunks(
            pairs, rng,
            [&](const KeyValue* first, std::size_t n) { return insert_ascending(bulk, first, n); },
            record_in(model));
        for (const KeyValue& p : pairs) single.insert(p.key, p.value);
        expect_map_as_model(bulk, model, rng);
        expect_same_forms(bulk, single);
    }
}

// Neighbours on both sides put a level-2 branch above prefix 0x77 and leave
// its level-1 slot empty for a run of `count` one-byte keys, each given
// twice to the map with the later value last.
TEST(AscendingInsert, LevelOneRunsTakeTheFormsOfTheirCount) {
    for (unsigned count : {1u, 2u, 7u, 8u, 15u, 16u, 25u, 26u, 255u, 256u}) {
        SCOPED_TRACE(count);
        std::vector<u64> run;
        for (u64 b = 0; b < count; ++b) run.push_back((u64{0x77} << 8) | (256 - count + b));
        std::mt19937_64 rng(count);

        TolvaneSet s;
        std::set<u64> set_model;
        for (u64 b = 0; b < 40; ++b)
            for (u64 prefix : {0x76, 0x78}) {
                s.insert_deferred((prefix << 8) | (b * 3));
                set_model.insert((prefix << 8) | (b * 3));
            }
        set_model.insert(run.begin(), run.end());
        u64 allocs_before = s.alloc.total_allocs();
        ASSERT_EQ(insert_ascending(s, run.data(), run.size()), count);
        // One block for the whole run (none for an immediate or full edge).
        EXPECT_LE(s.alloc.total_allocs() - allocs_before, 1u);
        expect_set_as_model(s, set_model, rng);
        const ValidateStats set_stats = form_stats(s);
        EXPECT_EQ(set_stats[validate::STAT_FULL], count == 256 ? 1u : 0u);
        EXPECT_EQ(set_stats[validate::STAT_BITMAP_LEAF], count > 25 && count < 256 ? 3u : 2u);
        EXPECT_EQ(set_stats[validate::STAT_IMMEDIATE], count <= 15 ? 1u : 0u);

        TolvaneMap m;
        std::map<u64, u64> map_model;
        for (u64 b = 0; b < 40; ++b)
            for (u64 prefix : {0x76, 0x78}) {
                m.insert((prefix << 8) | (b * 3), b);
                map_model[(prefix << 8) | (b * 3)] = b;
            }
        std::vector<KeyValue> pairs;
        for (u64 k : run) {
            pairs.push_back({k, k * 3});
            pairs.push_back({k, k * 5});  // the later value stays
            map_model[k] = k * 5;
        }
        allocs_before = m.alloc.total_allocs();
        ASSERT_EQ(insert_ascending(m, pairs.data(), pairs.size()), count);
        // Blocks: a value array or leaf, or a bitmap leaf with its groups.
        EXPECT_LE(m.alloc.total_allocs() - allocs_before, count > 25 ? 9u : 1u);
        expect_map_as_model(m, map_model, rng);
        const ValidateStats map_stats = form_stats(m);
        EXPECT_EQ(map_stats[validate::STAT_FULL], 0u);
        EXPECT_EQ(map_stats[validate::STAT_BITMAP_LEAF], count > 25 ? 3u : 2u);
        EXPECT_EQ(map_stats[validate::STAT_IMMEDIATE], count <= 7 ? 1u : 0u);
    }
}

TEST(AscendingInsert, InputOutOfOrderOrOnASharedTreeStaysRight) {
    for (AllocMode mode : {AllocMode::Local, AllocMode::Deferred, AllocMode::Covered}) {
        SCOPED_TRACE(mode_name(mode));
        std::mt19937_64 rng(11);
        std::vector<u64> keys = clustered_keys(rng, 30);
        // Descending blocks inside ascending ones.
        for (std::size_t at = 0; at + 50 < keys.size(); at += 170)
            std::reverse(keys.begin() + static_cast<std::ptrdiff_t>(at),
                         keys.begin() + static_cast<std::ptrdiff_t>(at + 50));

        TolvaneSet s;
        u64 set_word = 0;
        set_mode(s.alloc, mode, &set_word);
        std::set<u64> set_model;
        insert_in_chunks(
            keys, rng, [&](const u64* first, std::size_t n) { return insert_ascending(s, first, n); },
            [&](u64 k) { return set_model.insert(k).second; });
        ASSERT_EQ(insert_ascending(s, keys.data(), keys.size()), 0u);
        expect_set_as_model(s, set_model, rng);

        TolvaneMap m;
        u64 map_word = 0;
        set_mode(m.alloc, mode, &map_word);
        std::map<u64, u64> map_model;
        std::vector<KeyValue> pairs;
        for (u64 k : keys) pairs.push_back({k, rng()});
        insert_in_chunks(
            pairs, rng,
            [&](const KeyValue* first, std::size_t n) { return insert_ascending(m, first, n); },
            record_in(map_model));
        expect_map_as_model(m, map_model, rng);
    }
}

}  // namespace
}  // namespace tolvane::test
