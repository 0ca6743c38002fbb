// Node layouts: capacity classes, level and version-word readers, bitmap
// group arithmetic and the linear-branch slot operations.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "tolvane/node.hpp"

using namespace tolvane;

TEST(CapacityClass, ZeroToForty) {
    const std::size_t expect[41] = {0,  1,  2,  4,  4,  8,  8,  8,  8,  12, 12, 12, 12, 16,
                                    16, 16, 16, 24, 24, 24, 24, 24, 24, 24, 24, 32, 32, 32,
                                    32, 32, 32, 32, 32, 36, 36, 36, 36, 40, 40, 40, 40};
    for (std::size_t n = 0; n <= 40; ++n) EXPECT_EQ(capacity_class(n), expect[n]) << n;
    EXPECT_EQ(map_leaf_block_bytes(5, 2), 80u);
    EXPECT_EQ(map_leaf_key_offset(5), 64u);
}

TEST(NodeLevel, FollowsTheTagTable) {
    alignas(64) BranchL3 l3{};
    alignas(64) BranchL7 l7{};
    alignas(64) BranchB b{};
    alignas(64) BranchU u{};
    l3.level = 4;
    l7.level = 6;
    b.level = 3;
    Edge e;
    e.set_ptr(&l3);
    e.set_tag(TAG_BRANCH_L3);
    EXPECT_EQ(node_level(e, 7), 4);
    EXPECT_EQ(node_version_word(e), &l3.version);
    e.set_ptr(&l7);
    e.set_tag(TAG_BRANCH_L7);
    EXPECT_EQ(node_level(e, 7), 6);
    EXPECT_EQ(node_version_word(e), &l7.version);
    e.set_ptr(&b);
    e.set_tag(TAG_BRANCH_B);
    EXPECT_EQ(node_level(e, 7), 3);
    EXPECT_EQ(node_version_word(e), &b.version);
    e.set_ptr(&u);
    e.set_tag(TAG_BRANCH_U);
    EXPECT_EQ(node_level(e, 5), 5);
    EXPECT_EQ(node_version_word(e), &u.version);
    for (unsigned w = 1; w <= 7; ++w) {
        e.set_tag(linear_leaf_tag(w));
        EXPECT_EQ(node_level(e, 7), w);
        EXPECT_EQ(node_version_word(e), nullptr);
    }
    e.set_tag(TAG_LEAF_BITMAP);
    EXPECT_EQ(node_level(e, 3), 1);
    e.set_tag(TAG_FULL);
    EXPECT_EQ(node_level(e, 2), 2);
}

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

TEST(LinearSlots, Examples) {
    alignas(64) BranchL7 br{};
    const u8 init[] = {10, 20, 30};
    for (int i = 0; i < 3; ++i) {
        br.digits[i] = init[i];
        br.children[i] = Edge{u64(i + 1), u64(i + 1)};
    }
    BranchL7 copy = br;
    EXPECT_EQ(mutate::linear_insert_slot(br.digits, br.children, 7, 3, 25), 2u);
    EXPECT_EQ(br.digits[2], 25);
    EXPECT_EQ(br.digits[3], 30);
    EXPECT_TRUE(br.children[2].is_empty());
    EXPECT_EQ(br.children[3], (Edge{3, 3}));
    br = copy;
    EXPECT_EQ(mutate::linear_insert_slot(br.digits, br.children, 7, 3, 5), 0u);
    br = copy;
    EXPECT_EQ(mutate::linear_insert_slot(br.digits, br.children, 7, 3, 40), 3u);
    EXPECT_EQ(br.children[2], (Edge{3, 3}));

    alignas(64) BranchL3 l3{};
    for (int i = 0; i < 3; ++i) {
        l3.digits[i] = init[i];
        l3.children[i] = Edge{u64(i + 1), 0};
    }
    mutate::linear_remove_slot(l3.digits, l3.children, 3, 3, 0);
    EXPECT_EQ(l3.digits[0], 20);
    EXPECT_EQ(l3.digits[1], 30);
    EXPECT_EQ(l3.digits[2], 0);
    EXPECT_TRUE(l3.children[2].is_empty());
    EXPECT_EQ(l3.children[0], (Edge{2, 0}));
}

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
