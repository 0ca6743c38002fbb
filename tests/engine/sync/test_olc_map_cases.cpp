// The optimistic map insert and removal, one thread, case by case: each
// scenario builds the form it needs through the map itself, checks the form
// of the key's edge, runs one optimistic phase and checks whether it was
// handled optimistically or left to the exclusive section, the answer and
// the form afterwards. A random stream against std::map closes the file.

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <string>

#include "support/trie_spot.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/sync/olc_insert_map.hpp"
#include "tolvane/sync/olc_map_writes.hpp"
#include "tolvane/sync/olc_remove_map.hpp"
#include "tolvane/sync/sync_map.hpp"

namespace tolvane::sync {
namespace {

using test::Form;
using test::IMMEDIATE_1;
using test::IMMEDIATE_7;
using test::keys_in;
using test::Spot;

Spot spot_of(SyncTolvaneMap& m, u64 key) { return test::spot_of(m.shared().tree.core.root, key); }
Form form_of(SyncTolvaneMap& m, u64 key) { return test::form_of(m.shared().tree.core.root, key); }

// A map under test and the oracle it must match.
class Cases : public ::testing::Test {
  protected:
    SyncTolvaneMap m;
    std::map<u64, u64> oracle;
    u64 next_value = 1;

    // Inserts through the exclusive path (to build forms).
    void put(u64 k) {
        const u64 v = next_value++;
        m.insert_exclusive(k, v);
        oracle[k] = v;
    }
    // One optimistic phase; true when it finished the insert. A phase that
    // gives up is completed in the exclusive section, as the map does.
    bool opt_put(u64 k, std::optional<u64>* previous = nullptr) {
        const u64 v = next_value++;
        std::optional<std::optional<u64>> done = olc_insert_phase(m.shared(), k, v);
        const bool optimistic = done.has_value();
        if (!done) done = m.insert_exclusive(k, v);
        const auto it = oracle.find(k);
        EXPECT_EQ(*done, it == oracle.end() ? std::nullopt : std::optional<u64>(it->second)) << k;
        if (previous) *previous = *done;
        oracle[k] = v;
        return optimistic;
    }
    bool opt_remove(u64 k) {
        std::optional<std::optional<u64>> done = olc_remove_phase(m.shared(), k);
        const bool optimistic = done.has_value();
        if (!done) done = m.remove_exclusive(k);
        const auto it = oracle.find(k);
        EXPECT_EQ(*done, it == oracle.end() ? std::nullopt : std::optional<u64>(it->second)) << k;
        if (it != oracle.end()) oracle.erase(it);
        return optimistic;
    }
    void check() {
        const std::optional<std::string> broken = m.validate();
        ASSERT_FALSE(broken) << *broken;
        ASSERT_EQ(m.len(), oracle.size());
        for (const auto& [k, v] : oracle) ASSERT_EQ(m.shared().tree.get(k), std::optional<u64>(v)) << k;
    }
    // 40 keys under top byte 0x10 that differ in the low byte only: the root
    // is a trie whose first child is a bitmap leaf under six skipped bytes.
    void base() {
        for (u64 i = 0; i < 40; ++i) put(0x1000000000000000ull | i);
    }
};

TEST_F(Cases, RootLeafAndEmptyMapNeverAttempt) {
    EXPECT_FALSE(opt_put(5));
    EXPECT_FALSE(opt_put(5));  // replace in the root leaf
    EXPECT_FALSE(opt_remove(5));
    EXPECT_FALSE(opt_remove(5));  // absent, empty map
    for (u64 i = 0; i < 31; ++i) EXPECT_FALSE(opt_put(i * 1000));
    EXPECT_EQ(m.shared().tree.core.root_state, ROOT_LEAF);
    EXPECT_FALSE(opt_put(77));  // the 32nd key builds the trie
    EXPECT_EQ(m.shared().tree.core.root_state, ROOT_TREE);
    check();
}

TEST_F(Cases, BranchChildrenUpToEachFormsLimit) {
    base();
    ASSERT_EQ(m.shared().tree.core.root.tag_byte(), TAG_BRANCH_L3);
    u64 top = 0x11;
    auto next_top = [&] { return (top++) << 56; };
    EXPECT_TRUE(opt_put(next_top()));   // 2nd child of the BranchL3
    EXPECT_TRUE(opt_put(next_top()));   // 3rd
    EXPECT_FALSE(opt_put(next_top()));  // 4th: grows to BranchL7
    ASSERT_EQ(m.shared().tree.core.root.tag_byte(), TAG_BRANCH_L7);
    for (int i = 5; i <= 7; ++i) EXPECT_TRUE(opt_put(next_top())) << i;
    EXPECT_FALSE(opt_put(next_top()));  // 8th: grows to BranchB
    ASSERT_EQ(m.shared().tree.core.root.tag_byte(), TAG_BRANCH_B);
    for (unsigned children = 8; children < 192; ++children) EXPECT_TRUE(opt_put(next_top()));
    EXPECT_FALSE(opt_put(next_top()));  // 193rd: grows to BranchU
    ASSERT_EQ(m.shared().tree.core.root.tag_byte(), TAG_BRANCH_U);
    EXPECT_TRUE(opt_put(0xFFull << 56));  // an empty slot of the BranchU
    EXPECT_EQ(form_of(m, 0xFFull << 56).tag, IMMEDIATE_7);
    check();
}

TEST_F(Cases, ImmediatesGrowIntoLeavesAndReplaceInPlace) {
    base();
    // A one-key immediate of 7-byte keys takes a second key as a 2-entry leaf.
    put(0x2000000000000100ull);
    ASSERT_EQ(form_of(m, 0x2000000000000100ull).tag, IMMEDIATE_7);
    std::optional<u64> prev;
    EXPECT_TRUE(opt_put(0x2000000000000100ull, &prev));  // replace the inline value
    EXPECT_TRUE(prev);
    EXPECT_TRUE(opt_put(0x2000000000000200ull));
    EXPECT_EQ(form_of(m, 0x2000000000000200ull).tag, linear_leaf_tag(7));
    // 32 keys in that leaf, then one differing in byte 1 splits it into a
    // BranchL3 at level 2 whose children sit in level-1 slots.
    for (u64 i = 1; i < 31; ++i) EXPECT_TRUE(opt_put(0x2000000000000100ull | i));
    ASSERT_EQ(form_of(m, 0x2000000000000100ull).keys, 32u);
    EXPECT_TRUE(opt_put(0x2000000000000305ull));  // full leaf of wide keys: private subtree
    const Spot split = spot_of(m, 0x2000000000000305ull);
    EXPECT_EQ(split.level, 1u);
    EXPECT_EQ(split.holder, TAG_BRANCH_L3);
    EXPECT_EQ(form_of(m, 0x2000000000000305ull).tag, IMMEDIATE_1);

    // Level-1 immediates: 1 -> 2 (new array), 2 -> 3 (grown), 3 -> 4 (in
    // place), ..., 7 keys are full and the 8th makes a linear leaf.
    const u64 p = 0x2000000000000300ull;
    for (unsigned n = 1; n < 7; ++n) {
        EXPECT_TRUE(opt_put(p | (n * 9)));
        EXPECT_EQ(form_of(m, p).tag, IMMEDIATE_1);
        EXPECT_EQ(form_of(m, p).keys, n + 1);
        EXPECT_TRUE(opt_put(p | 5, &prev));  // replace in the value array
        EXPECT_TRUE(prev);
    }
    EXPECT_TRUE(opt_put(p | 0xF0));
    EXPECT_EQ(form_of(m, p).tag, linear_leaf_tag(1));
    EXPECT_EQ(form_of(m, p).keys, 8u);
    // The immediate's other keys do not linger in the leaf edge's decode area.
    EXPECT_EQ(spot_of(m, p).e.decode_area() >> 8, 0u);
    // The width-1 leaf takes keys up to 25 (in place or grown); the 26th
    // makes a bitmap leaf.
    for (unsigned n = 8; n < 25; ++n) EXPECT_TRUE(opt_put(p | (0x60 + n)));
    EXPECT_EQ(form_of(m, p).keys, 25u);
    EXPECT_TRUE(opt_put(p | 0x68, &prev));  // replace in the leaf
    EXPECT_TRUE(prev);
    EXPECT_TRUE(opt_put(p | 0xF8));
    EXPECT_EQ(form_of(m, p).tag, TAG_LEAF_BITMAP);
    EXPECT_EQ(form_of(m, p).keys, 26u);
    EXPECT_TRUE(opt_put(p | 0x68, &prev));  // replace in the bitmap leaf
    EXPECT_TRUE(prev);
    // Bitmap leaf up to 255 keys optimistically, the 256th in the section.
    for (u64 d = 0; d < 256; ++d) {
        if (form_of(m, p).keys == 255) break;
        if (oracle.count(p | d)) continue;
        EXPECT_TRUE(opt_put(p | d)) << d;
    }
    ASSERT_EQ(form_of(m, p).keys, 255u);
    u64 last = 0;
    while (oracle.count(p | last)) ++last;
    EXPECT_FALSE(opt_put(p | last));
    EXPECT_EQ(form_of(m, p).keys, 256u);
    check();
}

TEST_F(Cases, FullLeafOfWideKeysBecomesABitmapLeaf) {
    base();
    for (u64 i = 0; i < 32; ++i) put(0x3000000000000000ull | (i * 7));
    ASSERT_EQ(form_of(m, 0x3000000000000000ull).tag, linear_leaf_tag(7));
    EXPECT_TRUE(opt_put(0x30000000000000FFull));
    EXPECT_EQ(form_of(m, 0x30000000000000FFull).tag, TAG_LEAF_BITMAP);
    EXPECT_EQ(form_of(m, 0x30000000000000FFull).keys, 33u);
    check();
}

TEST_F(Cases, SkippedPrefixMismatchIsTheSectionsOrAbsent) {
    base();
    // The bitmap leaf under top byte 0x10 skips bytes 1..6.
    ASSERT_EQ(form_of(m, 0x1000000000000000ull).tag, TAG_LEAF_BITMAP);
    EXPECT_FALSE(opt_remove(0x1000000000060000ull));  // differs at the leaf: exclusive
    EXPECT_FALSE(opt_put(0x1000000000050000ull));
    // A BranchL3 at level 2 under top byte 0x20 skips bytes 2..6.
    for (u64 i = 0; i < 32; ++i) put(0x2000000000000100ull | i);
    put(0x2000000000000205ull);
    ASSERT_EQ(spot_of(m, 0x2000000000000205ull).holder, TAG_BRANCH_L3);
    EXPECT_FALSE(opt_put(0x2000000700000100ull));  // differs at the branch: exclusive
    EXPECT_TRUE(opt_remove(0x2000000800000100ull));  // absent at the branch
    check();
}

TEST_F(Cases, RemovalShrinksLeavesAndImmediates) {
    base();
    // Level-1 slot under a level-2 BranchL3 (see the insert cases).
    for (u64 i = 0; i < 32; ++i) put(0x2000000000000100ull | i);
    const u64 p = 0x2000000000000300ull;
    for (u64 i = 0; i < 23; ++i) put(p | (i * 3));
    ASSERT_EQ(form_of(m, p).tag, linear_leaf_tag(1));  // 23 keys in a width-1 leaf
    for (u64 i = 23; i < 30; ++i) put(p | (i * 3));
    ASSERT_EQ(form_of(m, p).tag, TAG_LEAF_BITMAP);
    ASSERT_EQ(form_of(m, p).keys, 30u);
    // Bitmap leaf: in place, dropped group subarray, down to the floor.
    u64 i = 29;
    while (form_of(m, p).keys > 22) EXPECT_TRUE(opt_remove(p | (i-- * 3)));
    EXPECT_TRUE(opt_remove(p | (i-- * 3)));  // 22 -> 21 stays a bitmap leaf
    EXPECT_EQ(form_of(m, p).tag, TAG_LEAF_BITMAP);
    EXPECT_TRUE(opt_remove(p | (i-- * 3)));  // 21 -> 20 becomes a linear leaf
    EXPECT_EQ(form_of(m, p).tag, linear_leaf_tag(1));
    EXPECT_EQ(form_of(m, p).keys, 20u);
    // Linear leaf in place and into smaller blocks down to 8, then 7 keys
    // in a level-1 slot become an immediate of 6.
    while (form_of(m, p).keys > 7) EXPECT_TRUE(opt_remove(p | (i-- * 3)));
    EXPECT_EQ(form_of(m, p).tag, linear_leaf_tag(1));
    EXPECT_TRUE(opt_remove(p | (i-- * 3)));
    EXPECT_EQ(form_of(m, p).tag, IMMEDIATE_1);
    EXPECT_EQ(form_of(m, p).keys, 6u);
    // Immediates of 7 .. 2 keys: in place (7, 6, 4), smaller arrays (5, 3),
    // the last two keys' survivor inline. A full immediate of 7 first:
    const u64 q = 0x2000000000000500ull;
    for (u64 j = 0; j < 7; ++j) put(q | (j * 5));
    ASSERT_EQ(form_of(m, q).tag, IMMEDIATE_1);
    EXPECT_TRUE(opt_remove(q | 10));
    EXPECT_EQ(form_of(m, q).keys, 6u);
    while (form_of(m, p).keys > 1) {
        const unsigned before = form_of(m, p).keys;
        EXPECT_TRUE(opt_remove(p | (i-- * 3)));
        EXPECT_EQ(form_of(m, p).keys, before - 1);
        EXPECT_EQ(form_of(m, p).tag, IMMEDIATE_1);
    }
    // The only key under a linear branch: the section's.
    EXPECT_FALSE(opt_remove(p | (i * 3)));
    EXPECT_TRUE(opt_remove(p | 1));  // absent
    check();
}

TEST_F(Cases, OnlyKeyUnderAnUncompressedBranchAtItsFloor) {
    // 193 top bytes make the root uncompressed; one key under each, two
    // under top byte 0 (a two-entry leaf of 7-byte keys).
    for (u64 t = 0; t < 193; ++t) put(t << 56);
    put(1);
    ASSERT_EQ(m.shared().tree.core.root.tag_byte(), TAG_BRANCH_U);
    EXPECT_TRUE(opt_remove(1));  // leaves a one-key leaf
    ASSERT_EQ(form_of(m, 0).tag, linear_leaf_tag(7));
    ASSERT_EQ(form_of(m, 0).keys, 1u);
    unsigned children = 193;
    u64 t = 192;
    for (; children > 162; --children) EXPECT_TRUE(opt_remove(t-- << 56));  // immediates
    EXPECT_TRUE(opt_remove(0));  // the one-key leaf: 162 -> 161 children
    EXPECT_EQ(form_of(m, 0).tag, TAG_EMPTY);
    EXPECT_EQ(m.shared().tree.core.root.tag_byte(), TAG_BRANCH_U);
    EXPECT_FALSE(opt_remove(t-- << 56));  // 161 -> 160: demoted in the section
    EXPECT_EQ(m.shared().tree.core.root.tag_byte(), TAG_BRANCH_B);
    check();
}

TEST_F(Cases, FailedAttemptsGiveBackEveryPrivateBlock) {
    base();
    const u64 p = 0x2000000000000000ull;
    for (u64 i = 0; i < 32; ++i) put(p | 0x100 | i);  // digit 1: bitmap leaf of 32
    put(p | 0x300);                                   // digit 3: one-key immediate
    for (u64 i = 0; i < 25; ++i) put(p | 0x400 | (i * 2));  // digit 4: full width-1 leaf
    for (u64 i = 0; i < 8; ++i) put(p | 0x500 | (i * 2));   // digit 5: leaf of 8
    for (u64 i = 0; i < 3; ++i) put(p | 0x600 | (i * 2));   // digit 6: immediate of 3
    for (u64 i = 0; i < 32; ++i) put(0x3000000000000000ull | (i << 8) | i);  // wide leaf of 32
    NodeAlloc& alloc = m.shared().tree.alloc;
    const olc::RootRead root = olc::read_root(m.shared());
    // Each allocates before the lock: a new value array, a bitmap leaf's
    // subarray, a full width-1 leaf's bitmap leaf, a grown leaf block, a
    // full wide leaf's private BranchL3 subtree; then a smaller leaf block
    // and a smaller value array.
    const u64 inserts[] = {p | 0x301, p | 0x133, p | 0x401, p | 0x501, 0x3000000000002000ull};
    const u64 removals[] = {p | 0x400, p | 0x602};
    auto unchanged = [&](auto&& attempt, u64 k) {
        const u64 bytes = alloc.live_bytes();
        const u64 nodes = alloc.live_nodes();
        OLC_FORCED_FAILURES = 1;
        EXPECT_EQ(attempt(k), OlcStatus::Retry) << k;
        EXPECT_EQ(OLC_FORCED_FAILURES, 0u) << k;
        EXPECT_EQ(alloc.live_bytes(), bytes) << k;
        EXPECT_EQ(alloc.live_nodes(), nodes) << k;
    };
    for (const u64 k : inserts)
        unchanged([&](u64 key) { return olc_insert_map(alloc, root, key, 1).status; }, k);
    for (const u64 k : removals)
        unchanged([&](u64 key) { return olc_remove_map(alloc, root, key).status; }, k);
    OLC_FORCED_FAILURES = 0;
    check();
}

TEST_F(Cases, RandomStreamMatchesStdMap) {
    std::mt19937_64 rng(17);
    for (int round = 0; round < 6000; ++round) {
        const u64 r = rng();
        const u64 k = (r % 3 == 0) ? (r & 0x0F0000000000FFFFull) : (0x2000000000000000ull | (r % 700));
        if (rng() % 3 == 0)
            opt_remove(k);
        else
            opt_put(k);
        if (round % 1000 == 999) check();
    }
    check();
}

}  // namespace
}  // namespace tolvane::sync
