// insert_ascending: sorted input laid into empty slots a leaf at a time must
// end as inserting the same keys one by one does, in every leaf form and
// population field, and stay right for input that breaks its assumptions.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "support/engine_oracle.hpp"
#include "tolvane/check/validate.hpp"
#include "tolvane/int/set.hpp"
#include "tolvane/int/set_bulk.hpp"

namespace tolvane::test {
namespace {

// Counts and bytes of each node form; the walk fails without filling them
// unless pending population counts are settled first.
ValidateStats form_stats(TolvaneSet& s) {
    ValidateStats stats{};
    s.path.flush_and_reset();
    if (s.root_state == ROOT_TREE) {
        const auto walk = validate::tolvane_validate_and_stats<false>(s.root, 8, stats, 0);
        EXPECT_TRUE(walk.ok()) << walk.error;
    }
    return stats;
}

// Families of sibling clusters: the keys of a cluster share every byte above
// a random level, and the clusters of a family differ in the byte just above
// it, so that after the first two a branch waits with an empty slot for each
// next one. Cluster sizes lie on both sides of each leaf capacity, some
// clusters are dense in their lowest byte, some keys repeat; ascending.
std::vector<u64> clustered_keys(std::mt19937_64& rng, std::size_t families) {
    static constexpr unsigned kSizes[] = {1,  2,  3,  7,  8,  14, 15, 16,  17,  24,
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

// Inserts `keys` in chunks of random length, checking each chunk's count of
// new keys against the model.
void insert_in_chunks(TolvaneSet& s, std::set<u64>& model, const std::vector<u64>& keys,
                      std::mt19937_64& rng) {
    std::size_t at = 0;
    while (at < keys.size()) {
        const std::size_t n = std::min(keys.size() - at, 1 + rng() % 5000);
        std::size_t fresh = 0;
        for (std::size_t i = at; i < at + n; ++i) fresh += model.insert(keys[i]).second;
        ASSERT_EQ(insert_ascending(s, keys.data() + at, n), fresh) << "chunk at " << at;
        at += n;
    }
}

void expect_same_as_model(TolvaneSet& s, const std::set<u64>& model, std::mt19937_64& rng) {
    const auto report = s.validate_defensive();
    ASSERT_FALSE(report.has_value()) << *report;
    const std::vector<u64> sorted(model.begin(), model.end());
    expect_set_queries(s, model, probe_keys(sorted, rng, 16, 32));
    expect_set_listings(s, model, probe_keys(sorted, rng, 4, 8));
}

TEST(SetBulk, AscendingInputMatchesOneByOneInsertsInEveryForm) {
    for (unsigned seed = 0; seed < 24; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        TolvaneSet bulk, single;
        std::set<u64> model;
        // Some trees hold keys already, so runs also meet occupied slots.
        const std::size_t before = std::vector<std::size_t>{0, 0, 20, 40, 3000}[seed % 5];
        for (u64 k : uniform_keys(rng, before, seed % 2 ? 0 : u64{1} << 24)) {
            bulk.insert_deferred(k);
            single.insert_deferred(k);
            model.insert(k);
        }
        const std::vector<u64> keys =
            seed % 3 == 0 ? uniform_keys(rng, 1 + rng() % 12000,
                                         std::vector<u64>{0, 1000, u64{1} << 20, u64{1} << 40}[seed % 4])
                          : clustered_keys(rng, 1 + rng() % 30);
        insert_in_chunks(bulk, model, keys, rng);
        for (u64 k : keys) single.insert_deferred(k);
        ASSERT_EQ(bulk.size(), model.size());
        expect_same_as_model(bulk, model, rng);
        const ValidateStats bulk_stats = form_stats(bulk), single_stats = form_stats(single);
        for (std::size_t i = 0; i < bulk_stats.size(); ++i)
            EXPECT_EQ(bulk_stats[i], single_stats[i]) << "statistic " << i;
        EXPECT_EQ(bulk.alloc.live_bytes(), single.alloc.live_bytes());
        EXPECT_LE(bulk.alloc.total_allocs(), single.alloc.total_allocs());
    }
}

TEST(SetBulk, LevelOneRunsTakeTheFormsOfTheirCount) {
    // Neighbours on both sides put a level-2 branch above prefix 0x77 and
    // leave its level-1 slot empty for the run.
    for (unsigned count : {15u, 16u, 25u, 26u, 255u, 256u}) {
        SCOPED_TRACE(count);
        TolvaneSet s;
        std::set<u64> model;
        for (u64 b = 0; b < 40; ++b) {
            for (u64 prefix : {0x76, 0x78}) {
                s.insert_deferred((prefix << 8) | (b * 3));
                model.insert((prefix << 8) | (b * 3));
            }
        }
        std::vector<u64> keys;
        for (u64 b = 0; b < count; ++b) keys.push_back((u64{0x77} << 8) | (255 - b));
        std::sort(keys.begin(), keys.end());
        model.insert(keys.begin(), keys.end());
        const u64 allocs_before = s.alloc.total_allocs();
        ASSERT_EQ(insert_ascending(s, keys.data(), keys.size()), count);
        // One block for the whole run (none for an immediate or full edge).
        EXPECT_LE(s.alloc.total_allocs() - allocs_before, 1u);
        std::mt19937_64 rng(count);
        expect_same_as_model(s, model, rng);
        const ValidateStats stats = form_stats(s);
        EXPECT_EQ(stats[validate::STAT_FULL], count == 256 ? 1u : 0u);
        EXPECT_EQ(stats[validate::STAT_BITMAP_LEAF], count > 25 && count < 256 ? 3u : 2u);
        EXPECT_EQ(stats[validate::STAT_IMMEDIATE], count <= 15 ? 1u : 0u);
    }
}

TEST(SetBulk, InputOutOfOrderOrOnASharedTreeStaysRight) {
    for (AllocMode mode : {AllocMode::Local, AllocMode::Deferred, AllocMode::Covered}) {
        SCOPED_TRACE(mode_name(mode));
        std::mt19937_64 rng(11);
        TolvaneSet s;
        u64 tree_word = 0;
        set_mode(s.alloc, mode, &tree_word);
        std::set<u64> model;
        std::vector<u64> keys = clustered_keys(rng, 50);
        // Descending blocks inside ascending ones.
        for (std::size_t at = 0; at + 50 < keys.size(); at += 170)
            std::reverse(keys.begin() + static_cast<std::ptrdiff_t>(at),
                         keys.begin() + static_cast<std::ptrdiff_t>(at + 50));
        insert_in_chunks(s, model, keys, rng);
        ASSERT_EQ(insert_ascending(s, keys.data(), keys.size()), 0u);
        expect_same_as_model(s, model, rng);
    }
}

}  // namespace
}  // namespace tolvane::test
