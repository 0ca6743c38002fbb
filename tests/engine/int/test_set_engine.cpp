// TolvaneSet behaviour the map flavour does not share (the streams, root
// boundaries and clearing of both flavours: test_engine_flavours.cpp): the
// hot-leaf fast path (bitmap leaf up to its full edge, 1-byte linear leaf)
// and the defensive validation's reports.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "support/engine_oracle.hpp"
#include "support/oracle.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/int/set.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane::test {
namespace {

// ---------------------------------------------------------------------------
// The hot-leaf fast path (local mode only: nothing else fills the path).

// A tree with a level-2 branch above the 56-bit prefix `p`, so that keys of
// `p` land in a level-1 leaf in a level-1 slot.
void seed_neighbour(TolvaneSet& s, std::set<u64>& model, u64 p) {
    for (u64 b = 0; b < 40; ++b) {
        const u64 k = ((p + 1) << 8) | (b * 5);
        s.insert_deferred(k);
        model.insert(k);
    }
    ASSERT_EQ(s.root_state, ROOT_TREE);
}

u64 full_edges(const TolvaneSet& s) {
    ValidateStats stats{};
    validate::tolvane_validate_and_stats<false>(s.root, 8, stats, 0);
    return stats[validate::STAT_FULL];
}

TEST(SetEngineHotLeaf, BitmapLeafFillsToAFullEdge) {
    std::mt19937_64 rng(3);
    TolvaneSet s;
    std::set<u64> model;
    const u64 p = 0x00ABCDEF01234500ull >> 8;
    seed_neighbour(s, model, p);
    const std::vector<u64> block = shuffled_block(p, rng);
    u64 hot_inserts = 0;
    u64 live_before_full = 0;
    for (std::size_t i = 0; i < block.size(); ++i) {
        const bool hot = s.path.len != 0 && s.path.hot_bitmap != nullptr && s.path.prefix == p;
        if (i + 1 == block.size()) {
            ASSERT_TRUE(hot) << "the 256th key should reach the hot bitmap leaf";
            live_before_full = s.alloc.live_bytes();
        }
        ASSERT_TRUE(s.insert_deferred(block[i]));
        model.insert(block[i]);
        if (hot) ++hot_inserts;
        // A duplicate through the fast path changes nothing.
        ASSERT_FALSE(s.insert_deferred(block[i / 2]));
        ASSERT_EQ(s.size(), model.size());
    }
    EXPECT_GT(hot_inserts, 200u);
    EXPECT_TRUE(s.path.empty());
    EXPECT_EQ(full_edges(s), 1u);
    EXPECT_EQ(s.alloc.live_bytes(), live_before_full - LEAF_B1_BYTES);
    for (const u64 k : block) EXPECT_FALSE(s.insert_deferred(k));
    EXPECT_EQ(s.count_range(p << 8, (p << 8) | 0xFF), 256u);
    std::vector<u64> sorted(model.begin(), model.end());
    expect_set_queries(s, model, probe_keys(sorted, rng, 8, 64));
    expect_set_listings(s, model, probe_keys(sorted, rng, 4, 12));
    // Removing from the full edge expands it again.
    EXPECT_TRUE(s.remove_deferred(block[17]));
    model.erase(block[17]);
    EXPECT_EQ(full_edges(s), 0u);
    sorted.assign(model.begin(), model.end());
    expect_set_queries(s, model, probe_keys(sorted, rng, 8, 64));
}

TEST(SetEngineHotLeaf, FullEdgeAtTheTopOfTheKeySpaceListsOnce) {
    TolvaneSet s;
    std::set<u64> model;
    const u64 p = ~u64{0} >> 8;
    for (u64 b = 0; b < 40; ++b) {
        const u64 k = ((p - 1) << 8) | b;
        s.insert_deferred(k);
        model.insert(k);
    }
    for (u64 b = 0; b < 256; ++b) {
        s.insert_deferred((p << 8) | b);
        model.insert((p << 8) | b);
    }
    ASSERT_EQ(full_edges(s), 1u);
    EXPECT_EQ(s.keys(), std::vector<u64>(model.begin(), model.end()));
    EXPECT_EQ(s.range(~u64{0} - 3, std::nullopt, true),
              (std::vector<u64>{~u64{0} - 3, ~u64{0} - 2, ~u64{0} - 1, ~u64{0}}));
    EXPECT_EQ(s.last(), ~u64{0});
    EXPECT_EQ(s.next_after(~u64{0}), std::nullopt);
    EXPECT_TRUE(s.contains(~u64{0} - 77));
    EXPECT_EQ(s.count_range(~u64{0}, ~u64{0}), 1u);
}

TEST(SetEngineHotLeaf, LinearLeafTakesAppendsOnlyAboveItsLastByte) {
    TolvaneSet s;
    std::set<u64> model;
    const u64 p = 0x1234;
    seed_neighbour(s, model, p);
    auto put = [&](u64 low) {
        const u64 k = (p << 8) | low;
        EXPECT_EQ(s.insert_deferred(k), model.insert(k).second) << low;
    };
    // 15 one-byte keys fit an immediate; the 17th key grows a linear leaf.
    for (u64 low = 10; low <= 170; low += 10) put(low);
    ASSERT_NE(s.path.hot_linear, nullptr);
    ASSERT_EQ(s.path.hot_count, 17u);
    // 17 keys: an append that needs no new block goes through the hot leaf.
    put(175);
    EXPECT_EQ(s.path.pending, 1);
    EXPECT_EQ(s.path.hot_count, 18u);
    // The equal byte is a duplicate: nothing changes, the path stays.
    put(175);
    EXPECT_EQ(s.path.pending, 1);
    EXPECT_EQ(s.path.hot_count, 18u);
    // A byte below the last goes the full way and still lands in order.
    put(165);
    EXPECT_EQ(s.path.pending, 0);
    EXPECT_EQ(s.path.hot_count, 19u);
    for (u64 low = 180; low <= 200; low += 5) put(low);
    EXPECT_EQ(s.path.pending, 5);
    EXPECT_EQ(s.path.hot_count, 24u);
    // 24 keys fill the capacity class: the append goes the full way.
    put(205);
    EXPECT_EQ(s.path.pending, 0);
    EXPECT_EQ(s.path.hot_count, 25u);
    // Past 25 keys the leaf becomes a bitmap leaf.
    put(210);
    EXPECT_NE(s.path.hot_bitmap, nullptr);
    put(3);
    const std::vector<u64> sorted(model.begin(), model.end());
    std::mt19937_64 rng(5);
    expect_set_queries(s, model, probe_keys(sorted, rng, 4, 80));
    EXPECT_EQ(s.keys(), sorted);
}

// ---------------------------------------------------------------------------
// Reports of the defensive validation and the fatal invariants.

TEST(SetEngineValidation, ReportsEachBrokenInvariant) {
    TolvaneSet s;
    EXPECT_EQ(s.validate_defensive(), std::nullopt);
    for (u64 k = 1; k <= 3; ++k) s.insert_deferred(k);
    std::swap(s.leaf_keys()[0], s.leaf_keys()[2]);
    EXPECT_EQ(s.validate_defensive(), "root leaf keys unsorted");
    std::swap(s.leaf_keys()[0], s.leaf_keys()[2]);
    s.root.w0 = 32;
    EXPECT_EQ(s.validate_defensive(), "root leaf pop 32 out of range");
    s.root.w0 = 0;
    EXPECT_EQ(s.validate_defensive(), "root leaf pop 0 out of range");
    s.root.w0 = 3;
    EXPECT_EQ(s.validate_defensive(), std::nullopt);

    for (u64 k = 100; k < 200; ++k) s.insert_deferred(k << 12);
    EXPECT_EQ(s.validate_defensive(), std::nullopt);
    s.len += 5;
    EXPECT_EQ(s.validate_defensive(), "total population 108 disagrees with tree 103");
    s.len -= 5;
    const Edge saved = s.root;
    s.root = Edge{};
    EXPECT_EQ(s.validate_defensive(), "tree root with null top");
    s.root = saved;
    EXPECT_EQ(s.validate_defensive(), std::nullopt);
}

TEST(SetEngineDeathTest, CondensingOutsideTreeStateIsFatal) {
    EXPECT_DEATH(
        {
            TolvaneSet s;
            s.insert_deferred(1);
            s.condense_to_root_leaf();
        },
        "condense outside tree state");
}

}  // namespace
}  // namespace tolvane::test
