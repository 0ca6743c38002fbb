// Listings of the integer engines: the iterator consumers at their ends,
// and range walks that start at the start key giving exactly what a walk
// from the smallest key that skips the keys below start gives.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "support/engine_oracle.hpp"
#include "support/oracle.hpp"
#include "tolvane/read/listing.hpp"
#include "tolvane/int/map.hpp"
#include "tolvane/int/set.hpp"

namespace tolvane::test {
namespace {

TEST(EngineListing, EmptyContainersGiveNothing) {
    TolvaneMap m;
    TolvaneSet s;
    MapIter mi = m.iter_fwd_raw();
    const std::vector<KeyValue> entries = collect_entries(mi);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(entries.capacity(), 0u);
    SetIter si = s.iter_fwd_raw();
    EXPECT_EQ(collect_keys(si).capacity(), 0u);
    MapIter a = m.iter_fwd_raw();
    EXPECT_EQ(next_key(a), std::nullopt);
    EXPECT_EQ(next_value(a), std::nullopt);
    bool started = false;
    EXPECT_EQ(find_at_or_after(a, started, 0), std::nullopt);
    SetIter b = s.iter_fwd_raw();
    EXPECT_EQ(find_at_or_after(b, started, 0), std::nullopt);
    EXPECT_FALSE(started);
    EXPECT_EQ(find_map(a, [](KeyValue e) { return std::optional<KeyValue>(e); }), std::nullopt);
    EXPECT_TRUE(m.range(0, std::nullopt, true).empty());
    EXPECT_TRUE(s.range(0, 5, false).empty());
}

TEST(EngineListing, SkipStepAndProjectionsStayAtTheirEnd) {
    TolvaneMap m;
    for (u64 k = 0; k < 100; ++k) m.insert(k * 1000, k);
    MapIter it = m.iter_fwd_raw();
    bool started = false;
    EXPECT_EQ(find_at_or_after(it, started, 99001), std::nullopt);
    EXPECT_FALSE(started);
    EXPECT_EQ(find_at_or_after(it, started, 0), std::nullopt);

    MapIter walk = m.iter_fwd_raw();
    EXPECT_EQ(find_at_or_after(walk, started, 41500), (KeyValue{42000, 42}));
    EXPECT_TRUE(started);
    // Once started, the next item comes whatever its key.
    EXPECT_EQ(find_at_or_after(walk, started, ~u64{0}), (KeyValue{43000, 43}));

    MapIter keys = m.iter_fwd_raw();
    u64 count = 0;
    while (next_key(keys)) ++count;
    EXPECT_EQ(count, 100u);
    EXPECT_EQ(next_key(keys), std::nullopt);
    EXPECT_EQ(next_value(keys), std::nullopt);

    MapIter search = m.iter_fwd_raw();
    const auto pick = [](KeyValue e) -> std::optional<KeyValue> {
        if ((e.value & 0xFF) == 16 || (e.value & 0xFF) == 20) return e;
        return std::nullopt;
    };
    EXPECT_EQ(find_map(search, pick), (KeyValue{16000, 16}));
    EXPECT_EQ(find_map(search, pick), (KeyValue{20000, 20}));
    EXPECT_EQ(find_map(search, pick), std::nullopt);
    EXPECT_EQ(find_map(search, pick), std::nullopt);
}

// The range listings start their walk at `start`; a walk from the smallest
// key that skips below `start` must give the same items.
TEST(EngineListing, RangeFromStartEqualsTheSkippingWalk) {
    std::mt19937_64 rng(44);
    for (const KeyPattern pattern : kAllPatterns) {
        SCOPED_TRACE(pattern_name(pattern));
        for (const u64 size : {3u, 31u, 2000u}) {
            TolvaneMap m;
            TolvaneSet s;
            std::vector<u64> keys;
            KeyStream stream(pattern, size);
            for (u64 i = 0; i < size; ++i) {
                const u64 k = stream.next();
                m.insert(k, rng());
                s.insert_deferred(k);
                keys.push_back(k);
            }
            std::sort(keys.begin(), keys.end());
            std::vector<u64> starts = probe_keys(keys, rng, 12, 24);
            for (const u64 start : starts) {
                MapIter skip = m.iter_fwd_raw();
                bool started = false;
                std::vector<KeyValue> want_map;
                while (auto e = find_at_or_after(skip, started, start)) want_map.push_back(*e);
                MapIter from = m.range_fwd_raw(start);
                EXPECT_EQ(collect_entries(from), want_map) << "start " << start;

                SetIter skip_set = s.iter_fwd_raw();
                started = false;
                std::vector<u64> want_set;
                while (auto k = find_at_or_after(skip_set, started, start)) want_set.push_back(*k);
                SetIter from_set = s.range_fwd_raw(start);
                EXPECT_EQ(collect_keys(from_set), want_set) << "start " << start;
            }
        }
    }
}

}  // namespace
}  // namespace tolvane::test
