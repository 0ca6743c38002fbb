// Leaf search: every width and every count from 0 to 40, every method the
// tables pick, against a plain lower bound and membership test.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "support/packed_keys.hpp"
#include "tolvane/leaf/leaf_search.hpp"

using namespace tolvane;
using tolvane::testing::kAllPackedShapes;
using tolvane::testing::pack_keys;
using tolvane::testing::sorted_keys;

namespace {

std::size_t lower_bound_by_width(unsigned w, const u8* keys, std::size_t count, u64 target) {
    switch (w) {
        case 1: return leaf::lower_bound_fixed<1>(keys, count, target);
        case 2: return leaf::lower_bound_fixed<2>(keys, count, target);
        case 3: return leaf::lower_bound_fixed<3>(keys, count, target);
        case 4: return leaf::lower_bound_fixed<4>(keys, count, target);
        case 5: return leaf::lower_bound_fixed<5>(keys, count, target);
        case 6: return leaf::lower_bound_fixed<6>(keys, count, target);
        default: return leaf::lower_bound_fixed<7>(keys, count, target);
    }
}

// Targets around every key, the ends of the range and a few random ones.
std::vector<u64> targets_for(const std::vector<u64>& keys, unsigned w, std::mt19937_64& rng) {
    const u64 top = low_bytes_mask(w);
    std::vector<u64> t = {0, 1, top, top - 1};
    for (u64 k : keys) {
        t.push_back(k);
        t.push_back(k + 1);
        t.push_back(k - 1);
    }
    for (int i = 0; i < 8; ++i) t.push_back(rng());
    for (u64& x : t) x &= top;
    return t;
}

}  // namespace

TEST(LeafSearch, EveryWidthAndCountMatchesPlainSearch) {
    std::mt19937_64 rng(1104);
    for (unsigned w = 1; w <= 7; ++w) {
        for (std::size_t count = 0; count <= 40; ++count) {
            for (auto shape : kAllPackedShapes) {
                const auto keys = sorted_keys(rng, w, count, shape);
                // Exactly sized heap copy: a read past the keys is caught.
                const auto packed = pack_keys(keys, w);
                const std::vector<u8> block(packed);
                for (u64 t : targets_for(keys, w, rng)) {
                    const std::size_t lb = std::lower_bound(keys.begin(), keys.end(), t) - keys.begin();
                    const bool present = lb < count && keys[lb] == t;
                    const u8* p = block.data();
                    ASSERT_EQ(lower_bound_by_width(w, p, count, t), lb)
                        << "w=" << w << " count=" << count << " t=" << t;
                    const auto loc = leaf::locate(p, count, static_cast<u8>(w), t);
                    ASSERT_EQ(loc.found, present) << "w=" << w << " count=" << count << " t=" << t;
                    ASSERT_EQ(loc.index, lb);
                    // search reduces the key itself: garbage above byte w-1 must not matter.
                    const u64 dirty = t | (rng() & ~low_bytes_mask(w));
                    const auto hit = leaf::search(p, count, static_cast<u8>(w), dirty);
                    ASSERT_EQ(hit.found, present) << "w=" << w << " count=" << count << " t=" << t;
                    if (present) {
                        ASSERT_EQ(hit.index, lb);
                    }
                }
            }
        }
    }
}

TEST(LeafSearch, ThirteenAndSixteenKeysAnswerAlike) {
    std::mt19937_64 rng(13);
    for (int round = 0; round < 50; ++round) {
        const auto keys = sorted_keys(rng, 1, 16, tolvane::testing::PackedShape::Uniform);
        const auto packed = pack_keys(keys, 1);
        std::vector<u64> first13(keys.begin(), keys.begin() + 13);
        for (unsigned t = 0; t < 256; ++t) {
            const std::size_t lb13 = std::lower_bound(first13.begin(), first13.end(), t) - first13.begin();
            EXPECT_EQ(leaf::lower_bound_fixed<1>(packed.data(), 13, t), lb13);
            EXPECT_EQ(leaf::search(packed.data(), 13, 1, t).found,
                      std::binary_search(first13.begin(), first13.end(), t));
            EXPECT_EQ(leaf::search(packed.data(), 16, 1, t).found,
                      std::binary_search(keys.begin(), keys.end(), t));
        }
    }
}

TEST(LeafSearch, WidthsOutsideOneToSixReadSevenByteKeys) {
    std::mt19937_64 rng(77);
    const auto keys = sorted_keys(rng, 7, 9, tolvane::testing::PackedShape::Uniform);
    const auto packed = pack_keys(keys, 7);
    for (u8 w : {u8{0}, u8{7}, u8{8}, u8{200}}) {
        EXPECT_EQ(leaf::locate(packed.data(), 9, w, keys[4]), (leaf::LeafPos{true, 4}));
        EXPECT_EQ(leaf::search(packed.data(), 9, w, keys[8]), (leaf::LeafPos{true, 8}));
    }
}
