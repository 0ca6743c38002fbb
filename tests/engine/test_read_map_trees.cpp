// The map-flavour readers (point lookup, neighbours, rank, select, forward
// iteration with values from the smallest key and from any start, the
// cursor) on trees grown and shrunk by the exclusive map mutators, against
// the std::map of the same operation stream.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "support/map_tree.hpp"
#include "support/oracle.hpp"
#include "support/reference_walk.hpp"
#include "tolvane/cursor.hpp"
#include "tolvane/get.hpp"
#include "tolvane/iter.hpp"
#include "tolvane/nav.hpp"

namespace tolvane::test {
namespace {

using Entries = std::vector<KeyValue>;

Entries drain(MapIter& it, std::size_t limit = SIZE_MAX) {
    Entries out;
    while (out.size() < limit) {
        const auto item = it.next();
        if (!item) break;
        out.push_back(*item);
    }
    return out;
}

void check_map_readers(MapTree& tree, const std::map<u64, u64>& model, u64 seed) {
    // Readers expect exact populations: the validator flushes the path.
    const auto v = tree.validate();
    ASSERT_TRUE(v.ok()) << v.error;
    ASSERT_EQ(v.population, model.size());
    const Edge& root = tree.root;
    Entries all;
    for (const auto& [k, val] : model) all.push_back({k, val});
    const std::vector<u64> keys = keys_of(all);
    const u64 n = all.size();
    std::mt19937_64 rng(seed);

    {
        auto it = MapIter::from_tree(root);
        ASSERT_EQ(drain(it), all);
        EXPECT_FALSE(it.next().has_value()) << "iteration does not stay finished";
    }

    std::size_t full_drains = 0;
    for (const u64 p : probe_keys(keys, rng, 250)) {
        SCOPED_TRACE(::testing::Message() << "probe 0x" << std::hex << p);
        const auto lo = std::lower_bound(keys.begin(), keys.end(), p);
        const auto hi = std::upper_bound(keys.begin(), keys.end(), p);
        const std::size_t at = static_cast<std::size_t>(lo - keys.begin());
        const bool present = lo != keys.end() && *lo == p;

        const u64* slot = get::locate_slot(&root, p, 8);
        ASSERT_EQ(slot != nullptr, present);
        if (present) {
            EXPECT_EQ(*slot, all[at].value);
        }

        const auto nx = nav::next<true>(root, p, 8);
        ASSERT_EQ(nx.has_value(), lo != keys.end());
        if (nx) {
            EXPECT_EQ(*nx, all[at]);
        }
        const auto pv = nav::prev<true>(root, p, 8);
        ASSERT_EQ(pv.has_value(), hi != keys.begin());
        if (pv) {
            EXPECT_EQ(*pv, all[static_cast<std::size_t>(hi - keys.begin()) - 1]);
        }
        EXPECT_EQ(nav::count_below<true>(root, p, 8), at);

        auto it = MapIter::from_tree_range(root, p);
        const std::size_t want = full_drains < 4 ? SIZE_MAX : 5;
        if (want == SIZE_MAX) ++full_drains;
        const std::size_t take = std::min<std::size_t>(want, n - at);
        ASSERT_EQ(drain(it, want), Entries(all.begin() + static_cast<std::ptrdiff_t>(at),
                                           all.begin() + static_cast<std::ptrdiff_t>(at + take)));

        RawCursor cursor;
        cursor.seek_tree(root, p);
        ASSERT_EQ(cursor.found != 0, at < n);
        for (std::size_t i = at; i < std::min<std::size_t>(n, at + 3); ++i) {
            EXPECT_EQ(cursor.advance(), std::optional<KeyValue>(all[i]));
        }
    }

    std::vector<u64> ranks;
    if (n <= 500) {
        for (u64 r = 0; r < n; ++r) ranks.push_back(r);
    } else {
        ranks = {0, n - 1, n / 2};
        for (int i = 0; i < 300; ++i) ranks.push_back(rng() % n);
    }
    for (const u64 r : ranks) {
        const KeyValue kv = nav::by_count<true>(root, r, 8);
        ASSERT_EQ(kv, all[r]) << "rank " << r;
        EXPECT_EQ(nav::count_below<true>(root, kv.key, 8), r);
    }
}

// Streams that grow a tree through every form and drain it again, checked
// at points along the way.
TEST(ReadMapTrees, GrownAndDrainedByTheMapMutators) {
    for (const KeyPattern pattern : kAllPatterns) {
        for (u64 seed = 1; seed <= 2; ++seed) {
            SCOPED_TRACE(::testing::Message() << pattern_name(pattern) << " seed " << seed);
            MapTree tree;
            MapModel model;
            const auto ops =
                with_values(make_grow_drain(pattern, seed, 2500, static_cast<int>(seed % 3)), seed);
            for (std::size_t i = 0; i < ops.size(); ++i) {
                ASSERT_EQ(tree.apply(ops[i]), model.apply(ops[i])) << describe(ops[i]);
                if (i % 800 == 799 || i + 1 == ops.size()) {
                    SCOPED_TRACE(::testing::Message() << "after operation " << i);
                    ASSERT_NO_FATAL_FAILURE(
                        check_map_readers(tree, model.entries, seed * 1000 + i));
                }
            }
        }
    }
}

// Overwrites and removals mixed: the readers see the latest value of every
// key.
TEST(ReadMapTrees, UnderChurnWithOverwrites) {
    for (const KeyPattern pattern : kAllPatterns) {
        SCOPED_TRACE(pattern_name(pattern));
        MapTree tree;
        MapModel model;
        const auto ops =
            with_values(make_workload(pattern, 17, WorkloadShape{5000, 65, 85, 2500}), 3);
        for (std::size_t i = 0; i < ops.size(); ++i) {
            ASSERT_EQ(tree.apply(ops[i]), model.apply(ops[i])) << describe(ops[i]);
            if (i % 1700 == 1699) {
                ASSERT_NO_FATAL_FAILURE(check_map_readers(tree, model.entries, i));
            }
        }
    }
}

}  // namespace
}  // namespace tolvane::test
