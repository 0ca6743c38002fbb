// Rank (count_below) and select (by_count) on every rank of a tree, where
// the sum over a branch's children changes the way it reads them:
// - hand-built trees whose level-7 branch holds just under, exactly at and
//   just over 65536 keys, with skipping branch children whose skipped key
//   bytes sit where a wider population mask would read them (odd, 0xFF and
//   zero bytes right above a level-2 pop0), in every branch form;
// - trees grown and shrunk by the exclusive mutators past 65536 keys on
//   every key pattern, against std::set / std::map, validated first.
// Every key, the key after it and every rank are asked, so each node is
// summed from both ends, including where the nearer end flips.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "support/map_tree.hpp"
#include "support/oracle.hpp"
#include "support/reference_walk.hpp"
#include "support/set_tree.hpp"
#include "support/tree_builder.hpp"
#include "tolvane/check/validate.hpp"
#include "tolvane/read/nav.hpp"

namespace tolvane::test {
namespace {

using Entries = std::vector<KeyValue>;
using testing::Children;
using testing::TreeBuilder;

// Asks rank and select about every entry of the level-8 tree `root`, whose
// sorted entries are `all`, plus random probes between them.
template <bool Map>
void check_every_rank(const Edge& root, const Entries& all, u64 seed) {
    const u64 n = all.size();
    for (u64 r = 0; r < n; ++r) {
        const u64 key = all[r].key;
        ASSERT_EQ(nav::by_count<Map>(root, r, 8, n), all[r]) << "rank " << r;
        ASSERT_EQ(nav::count_below<Map>(root, key, 8, n), r) << "key 0x" << std::hex << key;
        if (key != ~u64{0}) {
            ASSERT_EQ(nav::count_below<Map>(root, key + 1, 8, n), r + 1)
                << "key 0x" << std::hex << key << " + 1";
        }
        // Without the root's count the root is read from its low end and its
        // children's levels are read from their nodes.
        if (r % 5 == 0) {
            ASSERT_EQ(nav::by_count<Map>(root, r, 8), all[r]) << "rank " << r;
            ASSERT_EQ(nav::count_below<Map>(root, key, 8), r) << "key 0x" << std::hex << key;
        }
    }
    std::mt19937_64 rng(seed);
    const std::vector<u64> keys = keys_of(all);
    for (int i = 0; i < 2000; ++i) {
        // Random keys and keys that share a random number of high bytes
        // with an entry.
        u64 p = rng();
        if (n != 0 && i % 2 == 0) {
            const unsigned kept = static_cast<unsigned>(rng() % 8);
            p = (keys[rng() % n] & ~low_bytes_mask(kept)) | (p & low_bytes_mask(kept));
        }
        const u64 want =
            static_cast<u64>(std::lower_bound(keys.begin(), keys.end(), p) - keys.begin());
        ASSERT_EQ(nav::count_below<Map>(root, p, 8, n), want) << "probe 0x" << std::hex << p;
    }
}

// ---------------------------------------------------------------------------
// Hand-built trees around the 65536-key parent.

template <bool Map>
class Pieces {
  public:
    Pieces(TreeBuilder<Map>& b, u64 seed) : b_(b), rng_(seed) {}

    u64 pick(u64 lo, u64 hi) { return std::uniform_int_distribution<u64>(lo, hi)(rng_); }
    u64 random() { return rng_(); }

    // n distinct values below 256^bytes, ascending.
    std::vector<u64> distinct(u64 n, unsigned bytes) {
        std::set<u64> s;
        while (s.size() < n) s.insert(pick(0, low_bytes_mask(bytes)));
        return {s.begin(), s.end()};
    }

    Edge immediate(u8 w, u64 n) {
        const std::vector<u64> keys = distinct(n, w);
        if constexpr (Map)
            return b_.immediate(w, keys, values(n));
        else
            return b_.immediate(w, keys);
    }
    Edge linear_leaf(u8 w, u64 n) {
        const std::vector<u64> keys = distinct(n, w);
        if constexpr (Map)
            return b_.linear_leaf(w, keys, values(n));
        else
            return b_.linear_leaf(w, keys);
    }
    // n keys (21..256) under a level-1 slot: a full edge for a whole set
    // block, else a bitmap leaf.
    Edge block(u64 n) {
        if constexpr (!Map) {
            if (n == 256) return TreeBuilder<false>::full_edge(1);
        }
        const std::vector<u64> keys = distinct(n, 1);
        if constexpr (Map)
            return b_.bitmap_leaf(keys, values(n));
        else
            return b_.bitmap_leaf(keys);
    }
    // A branch of `level` over the children, in the form their count allows.
    Edge branch(u8 level, Children children) {
        std::sort(children.begin(), children.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        const std::size_t c = children.size();
        if (c > 160) return b_.branch_u(level, children);
        if (c > 7) return b_.branch_b(level, children);
        return c > 3 ? b_.branch_l7(level, children) : b_.branch_l3(level, children);
    }
    // n keys (257..65536) under a level-2 slot: a level-2 branch of blocks.
    Edge level_two(u64 n) {
        const u64 count = (n + 255) / 256;
        Children children;
        for (u64 i = 0; i < count; ++i) {
            const u64 m = (n + (count - i) - 1) / (count - i);
            children.emplace_back(static_cast<u8>(i), block(m));
            n -= m;
        }
        return branch(2, children);
    }
    // n keys (more than 512) under a level-6 slot: a level-3 branch of
    // level-2 branches, skipping key bytes 3..5.
    Edge mass(u64 n) {
        const u64 count = (n + 65535) / 65536 + 1;
        Children children;
        for (u64 i = 0; i < count; ++i) {
            const u64 m = (n + (count - i) - 1) / (count - i);
            children.emplace_back(static_cast<u8>(0x40 * i + pick(0, 0x3F)), level_two(m));
            n -= m;
        }
        return TreeBuilder<Map>::skip(branch(3, children), 3, 6, random());
    }
    // Small children of a level-6 slot that skip key bytes: branches at
    // levels 2 and 3 whose lowest skipped byte is odd, 0xFF or zero, and
    // leaves.
    std::vector<Edge> skipping_smalls() {
        const auto prefix = [&](u8 byte_two) {
            return (random() & ~low_bytes_mask(3)) | (u64{byte_two} << 16);
        };
        std::vector<Edge> out;
        out.push_back(TreeBuilder<Map>::skip(
            branch(2, {{3, immediate(1, 1)}, {200, linear_leaf(1, 5)}}), 2, 6, prefix(0x01)));
        Children wide;
        for (unsigned d = 0; d < 9; ++d)
            wide.emplace_back(static_cast<u8>(25 * d + 1), d % 3 == 0 ? block(21 + d) : immediate(1, 1));
        out.push_back(TreeBuilder<Map>::skip(branch(2, wide), 2, 6, prefix(0xFF)));
        out.push_back(TreeBuilder<Map>::skip(
            branch(2, {{9, linear_leaf(1, 3)}, {10, immediate(1, 1)}, {77, block(40)}}), 2, 6,
            prefix(0x00) | (u64{0x80} << 24)));
        Children deep;
        for (unsigned d = 0; d < 5; ++d)
            deep.emplace_back(static_cast<u8>(50 * d + 7),
                              d % 2 ? immediate(2, Map ? 1 : 3) : linear_leaf(2, 6));
        out.push_back(TreeBuilder<Map>::skip(branch(3, deep), 3, 6, random() | (u64{0x01} << 24)));
        out.push_back(TreeBuilder<Map>::skip(linear_leaf(2, 4), 2, 6, prefix(0x03)));
        out.push_back(TreeBuilder<Map>::skip(block(30), 1, 6, random() | 0x100));
        out.push_back(immediate(6, 1));
        return out;
    }

  private:
    std::vector<u64> values(std::size_t n) {
        std::vector<u64> v(n);
        for (auto& x : v) x = rng_();
        return v;
    }

    TreeBuilder<Map>& b_;
    std::mt19937_64 rng_;
};

// A level-8 tree whose level-7 branch holds `target` keys: the skipping
// small children, then fillers (immediates) to reach the branch form, then
// one mass of the remaining keys, all at random digits.
template <bool Map>
Edge around_the_bound(Pieces<Map>& p, u64 target, unsigned form, u64& population) {
    std::vector<Edge> kids = p.skipping_smalls();
    if (form == 0) kids.resize(6);  // a BranchL7: the mass makes seven
    const std::size_t fill = form == 1 ? 12 : form == 2 ? 170 : 0;
    while (kids.size() < fill) kids.push_back(p.immediate(6, 1));
    u64 small = 0;
    for (const Edge& e : kids) small += testing::edge_population(e, 6);
    if (target > small) kids.push_back(p.mass(target - small));

    std::vector<u64> digits(256);
    for (unsigned d = 0; d < 256; ++d) digits[d] = d;
    std::shuffle(digits.begin(), digits.end(), std::mt19937_64(p.random()));
    Children children;
    for (std::size_t i = 0; i < kids.size(); ++i)
        children.emplace_back(static_cast<u8>(digits[i]), kids[i]);
    const Edge level_seven = p.branch(7, children);
    population = testing::edge_population(level_seven, 7) + 1;
    const u8 at = static_cast<u8>(p.pick(0, 255));
    return p.branch(8, {{at, level_seven}, {static_cast<u8>(at + p.pick(1, 255)), p.immediate(7, 1)}});
}

template <bool Map>
void check_around_the_bound() {
    u64 seed = Map ? 500 : 1;
    for (const u64 target : {40u, 65535u, 65536u, 65537u, 66000u, 140000u}) {
        for (unsigned form = 0; form < 3; ++form, ++seed) {
            SCOPED_TRACE(::testing::Message()
                         << "level-7 branch of " << target << " keys, form " << form);
            NodeAlloc alloc;
            TreeBuilder<Map> builder(alloc);
            Pieces<Map> pieces(builder, seed);
            u64 population = 0;
            Edge root = around_the_bound(pieces, target, form, population);
            ValidateStats stats{};
            const auto v = validate::tolvane_validate_and_stats<Map>(root, 8, stats, 0);
            ASSERT_TRUE(v.ok()) << v.error;
            ASSERT_EQ(v.population, population);
            if (target > 1000) {
                ASSERT_EQ(population, target + 1);
            }
            Entries all;
            ASSERT_TRUE(reference_entries<Map>(root, 8, all));
            ASSERT_EQ(all.size(), population);
            ASSERT_NO_FATAL_FAILURE(check_every_rank<Map>(root, all, seed));
            builder.free(root);
        }
    }
}

TEST(RankSelect, SetSiblingsAroundTheLevelReadingBound) { check_around_the_bound<false>(); }

TEST(RankSelect, MapSiblingsAroundTheLevelReadingBound) { check_around_the_bound<true>(); }

// ---------------------------------------------------------------------------
// Trees of the exclusive mutators past 65536 keys.

template <class Tree, class Model>
void grow_and_check(Tree& tree, Model& model, const std::vector<Op>& ops, u64 seed) {
    constexpr bool kMap = std::is_same_v<Tree, MapTree>;
    for (std::size_t i = 0; i < ops.size(); ++i) {
        ASSERT_EQ(tree.apply(ops[i]), model.apply(ops[i])) << describe(ops[i]);
        if (i + 1 != ops.size() && i != ops.size() / 2) continue;
        SCOPED_TRACE(::testing::Message() << "after operation " << i);
        // The validator flushes the populations the readers rely on.
        const auto v = tree.validate();
        ASSERT_TRUE(v.ok()) << v.error;
        Entries all;
        if constexpr (kMap) {
            for (const auto& [k, val] : model.entries) all.push_back({k, val});
        } else {
            for (const u64 k : model.keys) all.push_back({k, 0});
        }
        ASSERT_EQ(v.population, all.size());
        ASSERT_NO_FATAL_FAILURE(check_every_rank<kMap>(tree.root, all, seed + i));
    }
}

// Grows to at most 72000 keys with a few removals along the way: most
// patterns end with more than 65536 keys under the root and hold fewer
// halfway (the clustered one stays small).
WorkloadShape past_the_bound() { return WorkloadShape{100000, 97, 90, 72000}; }

TEST(RankSelect, MutatorBuiltSetTreesMatchStdSet) {
    u64 seed = 11;
    for (const KeyPattern pattern : kAllPatterns) {
        SCOPED_TRACE(pattern_name(pattern));
        SetTree tree;
        SetModel model;
        ASSERT_NO_FATAL_FAILURE(
            grow_and_check(tree, model, make_workload(pattern, seed, past_the_bound()), seed));
        seed += 7;
    }
}

TEST(RankSelect, MutatorBuiltMapTreesMatchStdMap) {
    u64 seed = 29;
    for (const KeyPattern pattern : kAllPatterns) {
        SCOPED_TRACE(pattern_name(pattern));
        MapTree tree;
        MapModel model;
        ASSERT_NO_FATAL_FAILURE(grow_and_check(
            tree, model, with_values(make_workload(pattern, seed, past_the_bound()), seed), seed));
        seed += 7;
    }
}

}  // namespace
}  // namespace tolvane::test
