// Node layouts: the level reader's fatal check, bitmap
// group arithmetic and the linear-branch slot operations.

#include <gtest/gtest.h>

#include <random>
#include <algorithm>
#include <vector>

#include "tolvane/core/node.hpp"

using namespace tolvane;

TEST(NodeLevelDeathTest, ImmediatesAndInvalidTagsHaveNoLevel) {
    Edge e;
    e.set_tag(0x21);
    EXPECT_DEATH(node_level(e, 2), "valid edge tag");
    e.set_tag(13);
    EXPECT_DEATH(node_level(e, 2), "valid edge tag");
}

TEST(BitmapGroups, RankIsTheIndexInThePackedSubarray) {
    // Group 1 holds digits 33, 40 and 63.
    alignas(64) BranchB b{};
    for (unsigned d : {33u, 40u, 63u}) b.bitmap[d >> 5] |= u32{1} << (d & 31);
    EXPECT_TRUE(group_has(b.bitmap[1], 40));
    EXPECT_FALSE(group_has(b.bitmap[1], 41));
    EXPECT_EQ(group_rank(b.bitmap[1], 33), 0u);
    EXPECT_EQ(group_rank(b.bitmap[1], 40), 1u);
    EXPECT_EQ(group_rank(b.bitmap[1], 63), 2u);
    std::mt19937 rng(2);
    for (int round = 0; round < 1000; ++round) {
        const u32 g = rng();
        const u8 d = static_cast<u8>(rng());
        unsigned expect = 0;
        for (unsigned j = 0; j < (d & 31u); ++j) expect += (g >> j) & 1;
        EXPECT_EQ(group_rank(g, d), expect);
        EXPECT_EQ(group_has(g, d), ((g >> (d & 31)) & 1) != 0);
    }
}

namespace {

struct LinearModel {
    std::vector<u8> digits;
    std::vector<Edge> children;
};

template <std::size_t N>
void expect_same(const BranchL<N>& br, std::size_t count, const LinearModel& m) {
    ASSERT_EQ(count, m.digits.size());
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(br.digits[i], i < count ? m.digits[i] : 0) << i;
    for (std::size_t i = 0; i < N; ++i)
        EXPECT_EQ(br.children[i], i < count ? m.children[i] : Edge::empty()) << i;
}

}  // namespace

TEST(LinearSlots, RandomEditsMatchAVectorModel) {
    std::mt19937 rng(21);
    for (int round = 0; round < 300; ++round) {
        alignas(64) BranchL7 br{};
        LinearModel m;
        std::size_t count = 0;
        for (int step = 0; step < 40; ++step) {
            const bool grow = count == 0 || (count < 7 && rng() % 2);
            if (grow) {
                u8 d;
                do d = static_cast<u8>(rng() % 24);  // small range forces neighbours
                while (std::find(m.digits.begin(), m.digits.end(), d) != m.digits.end());
                const Edge child{rng() | 1, u64(d)};
                const std::size_t p = mutate::linear_insert_slot(br.digits, br.children, 7, count, d);
                br.children[p] = child;
                const auto it = std::upper_bound(m.digits.begin(), m.digits.end(), d);
                const std::size_t expect_p = it - m.digits.begin();
                EXPECT_EQ(p, expect_p);
                m.digits.insert(it, d);
                m.children.insert(m.children.begin() + expect_p, child);
                ++count;
            } else {
                const std::size_t i = rng() % count;
                mutate::linear_remove_slot(br.digits, br.children, 7, count, i);
                m.digits.erase(m.digits.begin() + i);
                m.children.erase(m.children.begin() + i);
                --count;
            }
            expect_same(br, count, m);
        }
    }
}

TEST(LinearSlotsDeathTest, NoRoomOrBadIndexIsFatal) {
    alignas(64) BranchL3 br{};
    EXPECT_DEATH(mutate::linear_insert_slot(br.digits, br.children, 3, 3, 1), "slot index");
    EXPECT_DEATH(mutate::linear_remove_slot(br.digits, br.children, 3, 3, 3), "slot index");
    EXPECT_DEATH(mutate::linear_remove_slot(br.digits, br.children, 3, 2, 2), "slot index");
}
