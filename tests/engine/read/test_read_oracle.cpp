// Every reader of the trie (point lookup, neighbours, rank, select, forward
// iteration from the smallest key and from any start, the cursor) against an
// oracle, on two sources of trees:
// - trees of both flavours grown and shrunk by the exclusive mutators,
//   checked against the std::set / std::map of the same operation stream;
// - randomly shaped hand-built trees of both flavours (every node form, any
//   skipped prefix, sizes across each form's bounds), checked against the
//   plain reference walk, itself checked against the generator's population.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "support/map_tree.hpp"
#include "support/oracle.hpp"
#include "support/random_tree.hpp"
#include "support/reference_walk.hpp"
#include "support/set_tree.hpp"
#include "tolvane/read/cursor.hpp"
#include "tolvane/read/get.hpp"
#include "tolvane/read/iter.hpp"
#include "tolvane/read/nav.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane::test {
namespace {

using Entries = std::vector<KeyValue>;

KeyValue as_entry(u64 key) { return {key, 0}; }
KeyValue as_entry(const KeyValue& kv) { return kv; }

template <bool Map>
Entries drain(RawIter<Map>& it, std::size_t limit = SIZE_MAX) {
    Entries out;
    while (out.size() < limit) {
        const auto item = it.next();
        if (!item) break;
        out.push_back(as_entry(*item));
    }
    return out;
}

// Checks every reader on the level-8 tree `root` against its sorted entries.
template <bool Map>
void check_readers(const Edge& root, const Entries& all, u64 seed) {
    std::mt19937_64 rng(seed);
    const std::vector<u64> keys = keys_of(all);
    const u64 n = all.size();

    // Whole iteration from the smallest key, then the end stays the end.
    {
        auto it = RawIter<Map>::from_tree(root);
        ASSERT_EQ(drain(it), all);
        EXPECT_FALSE(it.next().has_value());
        EXPECT_FALSE(it.next().has_value());
    }

    const std::vector<u64> probes = probe_keys(keys, rng, 300);
    std::size_t full_drains = 0;
    for (const u64 p : probes) {
        SCOPED_TRACE(::testing::Message() << "probe 0x" << std::hex << p);
        const auto lo = std::lower_bound(keys.begin(), keys.end(), p);
        const auto hi = std::upper_bound(keys.begin(), keys.end(), p);
        const std::size_t at = static_cast<std::size_t>(lo - keys.begin());
        const bool present = lo != keys.end() && *lo == p;

        const auto nx = nav::next<Map>(root, p, 8);
        if (lo == keys.end()) {
            EXPECT_FALSE(nx.has_value());
        } else {
            ASSERT_TRUE(nx.has_value());
            EXPECT_EQ(*nx, all[at]);
        }
        const auto pv = nav::prev<Map>(root, p, 8);
        if (hi == keys.begin()) {
            EXPECT_FALSE(pv.has_value());
        } else {
            ASSERT_TRUE(pv.has_value());
            EXPECT_EQ(*pv, all[static_cast<std::size_t>(hi - keys.begin()) - 1]);
        }
        // Without the root's population the root is summed from its low
        // end; with it, from its nearer end like every node below.
        EXPECT_EQ(nav::count_below<Map>(root, p, 8), at);
        EXPECT_EQ(nav::count_below<Map>(root, p, 8, n), at);

        if constexpr (Map) {
            const u64* slot = get::locate_slot(&root, p, 8);
            ASSERT_EQ(slot != nullptr, present);
            if (present) {
                EXPECT_EQ(*slot, all[at].value);
            }
        } else {
            EXPECT_EQ(get::contains(&root, p, 8), present);
        }

        // Iteration from the probe: the first few items, or all of them for
        // a handful of probes.
        auto it = RawIter<Map>::from_tree_range(root, p);
        const std::size_t want = full_drains < 6 ? SIZE_MAX : 4;
        if (want == SIZE_MAX) ++full_drains;
        const Entries got = drain(it, want);
        const std::size_t take = std::min<std::size_t>(want, n - at);
        ASSERT_EQ(got, Entries(all.begin() + static_cast<std::ptrdiff_t>(at),
                               all.begin() + static_cast<std::ptrdiff_t>(at + take)));
        if (want == SIZE_MAX) {
            EXPECT_FALSE(it.next().has_value());
        }

        if constexpr (Map) {
            RawCursor cursor;
            cursor.seek_tree(root, p);
            ASSERT_EQ(cursor.found != 0, at < n);
            for (std::size_t i = at; i < std::min<std::size_t>(n, at + 3); ++i) {
                EXPECT_EQ(cursor.entry, all[i]);
                EXPECT_EQ(cursor.advance(), std::optional<KeyValue>(all[i]));
            }
        }
    }

    // Select and the rank/select identities, on every rank of a small tree
    // and on a sample plus both ends of a large one.
    std::vector<u64> ranks;
    if (n <= 600) {
        for (u64 r = 0; r < n; ++r) ranks.push_back(r);
    } else {
        ranks = {0, n - 1, n / 2};
        for (int i = 0; i < 400; ++i) ranks.push_back(rng() % n);
    }
    for (const u64 r : ranks) {
        const KeyValue kv = nav::by_count<Map>(root, r, 8);
        ASSERT_EQ(kv, all[r]) << "rank " << r;
        ASSERT_EQ(nav::by_count<Map>(root, r, 8, n), all[r]) << "rank " << r;
        EXPECT_EQ(nav::count_below<Map>(root, kv.key, 8), r);
    }
}

// ---------------------------------------------------------------------------
// Trees built by the exclusive set mutators.

void check_set_tree(SetTree& tree, const std::set<u64>& model, u64 seed) {
    // Readers expect exact populations: flush the postponed counts.
    const auto v = tree.validate();
    ASSERT_TRUE(v.ok()) << v.error;
    ASSERT_EQ(v.population, model.size());
    Entries all;
    for (const u64 k : model) all.push_back({k, 0});
    check_readers<false>(tree.root, all, seed);
}

TEST(ReadOracle, MutatorBuiltSetTreesMatchStdSet) {
    for (const KeyPattern pattern : kAllPatterns) {
        for (u64 seed = 1; seed <= 2; ++seed) {
            SCOPED_TRACE(::testing::Message() << pattern_name(pattern) << " seed " << seed);
            SetTree tree;
            tree.fast_path = seed == 2;
            std::set<u64> model;
            const std::vector<Op> ops = make_grow_drain(pattern, seed, 2500, int(seed % 3));
            for (std::size_t i = 0; i < ops.size(); ++i) {
                const Op& op = ops[i];
                if (op.kind == Op::Kind::Insert) {
                    ASSERT_EQ(tree.insert(op.key), model.insert(op.key).second);
                } else {
                    ASSERT_EQ(tree.remove(op.key), model.erase(op.key) != 0);
                }
                if (i % 1250 == 1249 || i + 1 == ops.size()) {
                    SCOPED_TRACE(::testing::Message() << "after operation " << i);
                    ASSERT_NO_FATAL_FAILURE(check_set_tree(tree, model, seed * 1000 + i));
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Trees built by the exclusive map mutators: grown through every form and
// drained, and under churn with overwrites (readers see each key's latest
// value).

void check_map_tree(MapTree& tree, const std::map<u64, u64>& model, u64 seed) {
    // Readers expect exact populations: the validator flushes the path.
    const auto v = tree.validate();
    ASSERT_TRUE(v.ok()) << v.error;
    ASSERT_EQ(v.population, model.size());
    Entries all;
    for (const auto& [k, val] : model) all.push_back({k, val});
    check_readers<true>(tree.root, all, seed);
}

TEST(ReadOracle, MutatorBuiltMapTreesMatchStdMap) {
    for (const KeyPattern pattern : kAllPatterns) {
        for (u64 seed = 1; seed <= 3; ++seed) {
            SCOPED_TRACE(::testing::Message() << pattern_name(pattern) << " seed " << seed);
            MapTree tree;
            MapModel model;
            // Seeds 1 and 2 grow and drain; seed 3 churns with overwrites.
            const auto ops = with_values(
                seed < 3 ? make_grow_drain(pattern, seed, 2500, static_cast<int>(seed % 3))
                         : make_workload(pattern, 17, WorkloadShape{5000, 65, 85, 2500}),
                seed);
            for (std::size_t i = 0; i < ops.size(); ++i) {
                ASSERT_EQ(tree.apply(ops[i]), model.apply(ops[i])) << describe(ops[i]);
                if (i % 800 == 799 || i + 1 == ops.size()) {
                    SCOPED_TRACE(::testing::Message() << "after operation " << i);
                    ASSERT_NO_FATAL_FAILURE(check_map_tree(tree, model.entries, seed * 1000 + i));
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Randomly shaped hand-built trees of both flavours.

template <bool Map>
void check_random_shapes(u64 first_seed, u64 seeds) {
    std::size_t checked = 0;
    for (u64 seed = first_seed; seed < first_seed + seeds; ++seed) {
        SCOPED_TRACE(::testing::Message() << "shape seed " << seed);
        NodeAlloc alloc;
        testing::TreeBuilder<Map> builder(alloc);
        testing::RandomTree<Map> gen(builder, seed);
        Edge root = gen.root();
        Entries all;
        // Full edges low in the tree make populations of millions; those
        // trees are freed unchecked.
        if (gen.population <= 200000) {
            ValidateStats stats{};
            const auto v = validate::tolvane_validate_and_stats<Map>(root, 8, stats, 0);
            ASSERT_TRUE(v.ok()) << v.error;
            ASSERT_TRUE(reference_entries<Map>(root, 8, all));
            ASSERT_EQ(all.size(), gen.population);
            ASSERT_TRUE(
                std::is_sorted(all.begin(), all.end(),
                               [](const KeyValue& a, const KeyValue& b) { return a.key < b.key; }));
            ASSERT_NO_FATAL_FAILURE(check_readers<Map>(root, all, seed));
            ++checked;
        }
        builder.free(root);
    }
    EXPECT_GE(checked, seeds / 2);  // the size cap must not hide most shapes
}

TEST(ReadOracle, RandomShapedSetTrees) { check_random_shapes<false>(1, 60); }

TEST(ReadOracle, RandomShapedMapTrees) { check_random_shapes<true>(1001, 60); }

}  // namespace
}  // namespace tolvane::test
