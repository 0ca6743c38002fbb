// TolvaneMap behaviour the set flavour does not share (the streams, root
// boundaries and clearing of both flavours: test_engine_flavours.cpp):
// get-or-insert in each allocator mode, overwrites in both hot-leaf forms,
// and the defensive validation's reports.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "support/engine_oracle.hpp"
#include "support/oracle.hpp"
#include "support/tree_bytes.hpp"
#include "tolvane/int/map.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane::test {
namespace {

u64 root_leaf_charge(u64 n) { return capacity_class(n) * 16; }

// Size, defensive validation, and every byte the allocator has out belongs
// to the root.
void verify_whole(TolvaneMap& m, u64 n) {
    ASSERT_EQ(m.size(), n);
    ASSERT_EQ(m.validate_defensive(), std::nullopt);
    const u64 held = m.core.root_state == ROOT_TREE   ? tree_bytes<true>(m.core.root)
                     : m.core.root_state == ROOT_LEAF ? root_leaf_charge(m.core.leaf_count())
                                                      : 0;
    ASSERT_EQ(m.alloc.live_bytes(), held);
}

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
    verify_whole(m, model.size());
}

class MapEngine : public ::testing::TestWithParam<AllocMode> {
  protected:
    u64 tree_word = 0;
    void prepare(TolvaneMap& m) { set_mode(m.alloc, GetParam(), &tree_word); }
};

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
