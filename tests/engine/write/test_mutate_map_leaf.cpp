// The map leaf builders and reader: what they build must be what every
// reader of the map flavour expects (validator, point lookup, subtree
// freeing with sizes taken from the counts alone), byte for byte where the
// layout is fixed, and impossible shapes must stop the process.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "support/tree_bytes.hpp"
#include "tolvane/read/get.hpp"
#include "tolvane/write/mutate_free.hpp"
#include "tolvane/write/mutate_map_leaf.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane::test {
namespace {

using mutate_map::build_bitmap_leaf_map;
using mutate_map::build_map_leaf;
using mutate_map::read_map_leaf;
using mutate_map::write_map_immed;

std::vector<KeyValue> sorted_pairs(std::mt19937_64& rng, std::size_t n, unsigned w) {
    std::vector<u64> keys;
    while (keys.size() < n) {
        const u64 k = rng() & low_bytes_mask(w);
        if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
    }
    std::sort(keys.begin(), keys.end());
    std::vector<KeyValue> pairs;
    for (u64 k : keys) pairs.push_back({k, rng() % 3 == 0 ? ~u64{0} : rng()});
    return pairs;
}

// A built form at slot level `level` holds exactly the given pairs: the
// validator accepts it with their count and every key's value word holds
// its value. Freeing it gives back every byte it took.
void expect_holds(NodeAlloc& alloc, Edge& e, unsigned level, const std::vector<KeyValue>& pairs,
                  u64 live_before) {
    ValidateStats stats{};
    const auto v = validate::tolvane_validate_and_stats<true>(e, level, stats, 0);
    ASSERT_TRUE(v.ok()) << v.error;
    EXPECT_EQ(v.population, pairs.size());
    EXPECT_EQ(alloc.live_bytes() - live_before, counted_bytes(stats));
    for (const KeyValue& kv : pairs) {
        const u64* slot = get::locate_slot(&e, kv.key, static_cast<u8>(level));
        ASSERT_NE(slot, nullptr) << kv.key;
        EXPECT_EQ(*slot, kv.value) << kv.key;
    }
    mutate::free_subtree<false, true>(alloc, e);
    EXPECT_EQ(alloc.live_bytes(), live_before);
    EXPECT_TRUE(e.is_empty());
}

TEST(MapLeafBuild, LinearLeavesOfEveryWidthAndCount) {
    std::mt19937_64 rng(11);
    NodeAlloc alloc;
    for (unsigned w = 1; w <= 7; ++w) {
        for (std::size_t n = 1; n <= (w == 1 ? 25u : 32u); ++n) {
            SCOPED_TRACE("w " + std::to_string(w) + " n " + std::to_string(n));
            const auto pairs = sorted_pairs(rng, n, w);
            Edge e;
            build_map_leaf<false>(alloc, e, static_cast<u8>(w), pairs.data(), n);
            EXPECT_EQ(e.tag_byte(), linear_leaf_tag(w));
            EXPECT_EQ(e.decode_area(), n - 1) << "only pop0 in the decode area";
            // The reader gives the pairs back and leaves room for one more.
            const auto back = read_map_leaf(e, static_cast<u8>(w), n);
            ASSERT_EQ(back, pairs);
            EXPECT_GE(back.capacity(), n + 1);
            // Slots past the count are zero in a fresh block.
            const u8* block = e.ptr<u8>();
            const std::size_t cap = capacity_class(n);
            for (std::size_t i = 8 * n; i < 8 * cap; ++i) ASSERT_EQ(block[i], 0) << i;
            for (std::size_t i = 8 * cap + n * w; i < cap * (w + 8); ++i)
                ASSERT_EQ(block[i], 0) << i;
            ASSERT_NO_FATAL_FAILURE(expect_holds(alloc, e, w, pairs, 0));
        }
    }
    EXPECT_EQ(alloc.live_nodes(), 0u);
}

TEST(MapLeafBuild, ImmediatesOfEveryWidthAndCount) {
    std::mt19937_64 rng(12);
    NodeAlloc alloc;
    for (unsigned w = 1; w <= 7; ++w) {
        for (std::size_t n = 1; n <= 7 / w; ++n) {
            SCOPED_TRACE("w " + std::to_string(w) + " n " + std::to_string(n));
            const auto pairs = sorted_pairs(rng, n, w);
            Edge e;
            write_map_immed<false>(alloc, e, static_cast<u8>(w), pairs.data(), n);
            EXPECT_EQ(e.tag_byte(), immediate_tag(w, n));
            for (std::size_t i = 8 + n * w; i < 15; ++i) EXPECT_EQ(e.byte(i), 0) << i;
            if (n == 1) {
                EXPECT_EQ(e.w0, pairs[0].value);
                EXPECT_EQ(alloc.live_nodes(), 0u) << "one key needs no block";
            } else {
                const u64* values = e.ptr<u64>();
                for (std::size_t i = n; i < capacity_class(n); ++i) EXPECT_EQ(values[i], 0u) << i;
            }
            ASSERT_NO_FATAL_FAILURE(expect_holds(alloc, e, w, pairs, 0));
        }
    }
}

TEST(MapLeafBuild, BitmapLeavesGroupTheirValues) {
    std::mt19937_64 rng(13);
    NodeAlloc alloc;
    for (std::size_t n : {1u, 2u, 26u, 32u, 33u, 100u, 255u, 256u}) {
        SCOPED_TRACE("n " + std::to_string(n));
        // The next 128-byte block handed out is a dirty one.
        void* dirty = alloc.allocate(sizeof(LeafBitmapL));
        std::memset(dirty, 0xA5, sizeof(LeafBitmapL));
        alloc.release(dirty, sizeof(LeafBitmapL), NODE_ALIGN);
        const auto pairs = sorted_pairs(rng, n, 1);
        Edge e;
        build_bitmap_leaf_map<false>(alloc, e, pairs.data(), n);
        ASSERT_EQ(e.ptr<void>(), dirty);
        EXPECT_EQ(e.tag_byte(), TAG_LEAF_BITMAP);
        EXPECT_EQ(e.byte(8), n - 1);
        const auto* leaf = e.ptr<LeafBitmapL>();
        for (unsigned g = 0; g < 8; ++g) {
            EXPECT_EQ(leaf->bitmap[g] == 0, leaf->value_subarrays[g] == nullptr) << g;
        }
        for (int i = 0; i < 32; ++i) EXPECT_EQ(leaf->rest[i], 0);
        // Below the validator's floor a bitmap leaf is only a building block:
        // check the values directly there.
        if (n >= 21) {
            ASSERT_NO_FATAL_FAILURE(expect_holds(alloc, e, 1, pairs, 0));
        } else {
            for (const KeyValue& kv : pairs) EXPECT_EQ(*get::locate_slot(&e, kv.key, 1), kv.value);
            mutate::free_subtree<false, true>(alloc, e);
        }
    }
    EXPECT_EQ(alloc.live_bytes(), 0u);
    EXPECT_EQ(alloc.live_nodes(), 0u);
}

TEST(MapLeafBuild, ImpossibleShapesStopTheProcess) {
    NodeAlloc alloc;
    Edge e;
    const KeyValue pairs[8] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 8}};
    // Width 0 would write a node tag.
    EXPECT_DEATH(write_map_immed<false>(alloc, e, 0, pairs, 1), "immediate capacity");
    EXPECT_DEATH(write_map_immed<false>(alloc, e, 8, pairs, 1), "immediate capacity");
    EXPECT_DEATH(write_map_immed<false>(alloc, e, 1, pairs, 0), "immediate capacity");
    EXPECT_DEATH(write_map_immed<false>(alloc, e, 2, pairs, 8), "immediate capacity");
    // Fits a set immediate, but not the seven key bytes of a map one.
    EXPECT_DEATH(write_map_immed<false>(alloc, e, 1, pairs, 8), "past edge byte 14");
    EXPECT_DEATH(write_map_immed<false>(alloc, e, 4, pairs, 2), "past edge byte 14");
    const KeyValue high[1] = {{256, 1}};
    EXPECT_DEATH(build_bitmap_leaf_map<false>(alloc, e, high, 1), "digit above 255");
}

}  // namespace
}  // namespace tolvane::test
