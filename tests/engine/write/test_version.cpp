// Writer-side version words: node counters, the obsolete mark, the slot
// brackets over caller words and the tree word, and edge copies.

#include <gtest/gtest.h>

#include <memory>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/mem/occ.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane {
namespace {

using mutate::mark_obsolete;
using mutate::node_version_begin;
using mutate::node_version_end;
using mutate::slot_version_begin;
using mutate::slot_version_end;

// An allocator whose root slot is covered by `word`.
struct CoveredAlloc {
    u64 word = 0;
    NodeAlloc alloc;
    CoveredAlloc() {
        alloc.defer_to(std::make_shared<Collector>());
        alloc.bind_tree_word(&word);
        alloc.cover_root();
    }
};

TEST(NodeVersion, EachChangeIsOddWhileOpenAndAddsTwo) {
    u32 word = 40;
    node_version_begin(word);
    EXPECT_EQ(word, 41u);
    EXPECT_TRUE(version_locked(word));
    node_version_end(word);
    EXPECT_EQ(word, 42u);
    EXPECT_FALSE(version_locked(word));
    EXPECT_FALSE(version_obsolete(word));
}

// The counter lives in bits 0-30: 2^30 changes bring it back to 0 rather
// than into the obsolete bit.
TEST(NodeVersion, CounterWrapsBelowTheObsoleteBit) {
    u32 word = 0x7FFFFFFC;
    for (int change = 0; change < 3; ++change) {
        node_version_begin(word);
        EXPECT_TRUE(version_locked(word));
        EXPECT_FALSE(version_obsolete(word)) << std::hex << word;
        node_version_end(word);
        EXPECT_FALSE(version_locked(word));
        EXPECT_FALSE(version_obsolete(word)) << std::hex << word;
    }
    EXPECT_EQ(word, 2u);  // 0x7FFFFFFC + 6 wrapped at 2^31

    EXPECT_EQ(version_advance(0x7FFFFFFE, 2), 0u);  // the lock holders' unlock step
    EXPECT_EQ(version_advance(0x7FFFFFFF, 1), 0u);
    EXPECT_EQ(version_advance(0x80000005, 2), 0x80000005u);  // obsolete: frozen
}

TEST(NodeVersion, ObsoleteMarkSetsBits31And0AndKeepsTheCounter) {
    u32 word = 0x00000010;
    mark_obsolete(word);
    EXPECT_EQ(word, 0x80000011u);
    mark_obsolete(word);
    EXPECT_EQ(word, 0x80000011u);
    // Never stable again, even when a bracket that was open closes on it.
    node_version_end(word);
    node_version_begin(word);
    EXPECT_EQ(word, 0x80000011u);

    NodeAlloc local;
    u32 a = 6;
    EXPECT_FALSE(mark_obsolete(local, a));
    EXPECT_EQ(a, 0x80000007u);
    CoveredAlloc deferred;
    u32 b = 8;
    EXPECT_TRUE(mark_obsolete(deferred.alloc, b));
    EXPECT_EQ(b, 0x80000009u);
}

TEST(SlotVersion, CallerWordProtectsTheSlotWhenBit0IsSet) {
    CoveredAlloc covered;
    u32 caller = 100;
    for (u64 bump : {u64{1}, u64{3}, ~u64{0}}) {
        slot_version_begin(covered.alloc, bump, &caller);
        EXPECT_EQ(caller % 2, 1u);
        slot_version_end(covered.alloc, bump, &caller);
    }
    EXPECT_EQ(caller, 106u);
    EXPECT_EQ(covered.word, 0u);  // never read, although the root is covered
}

TEST(SlotVersion, RootSlotUsesTheTreeWordOnlyWhenCovered) {
    NodeAlloc local;
    // Not covered: nothing is bumped and the caller word is not even read.
    slot_version_begin(local, 0, nullptr);
    slot_version_end(local, 0, nullptr);

    NodeAlloc bound_only;
    bound_only.defer_to(std::make_shared<Collector>());
    u64 unused = 7;
    bound_only.bind_tree_word(&unused);
    slot_version_begin(bound_only, 0, nullptr);
    slot_version_end(bound_only, 0, nullptr);
    EXPECT_EQ(unused, 7u);

    CoveredAlloc covered;
    u32 caller = 50;
    for (u64 bump : {u64{0}, u64{2}}) {  // only bit 0 matters
        slot_version_begin(covered.alloc, bump, &caller);
        EXPECT_EQ(covered.word % 2, 1u);
        slot_version_end(covered.alloc, bump, &caller);
        EXPECT_EQ(covered.word % 2, 0u);
    }
    EXPECT_EQ(covered.word, 4u);
    EXPECT_EQ(caller, 50u);

    // The address and the flag are read afresh at every bump.
    u64 other = 10;
    NodeAlloc rebound;
    rebound.defer_to(std::make_shared<Collector>());
    rebound.bind_tree_word(&other);
    rebound.cover_root();
    rebound.set_root_covered(0);
    slot_version_begin(rebound, 0, nullptr);
    slot_version_end(rebound, 0, nullptr);
    EXPECT_EQ(other, 10u);
    rebound.set_root_covered(1);
    slot_version_begin(rebound, 0, nullptr);
    slot_version_end(rebound, 0, nullptr);
    EXPECT_EQ(other, 12u);
}

TEST(SlotVersionDeathTest, CoveredRootWithoutTreeWordIsFatal) {
    EXPECT_DEATH(
        {
            NodeAlloc alloc;
            alloc.set_root_covered(1);
            slot_version_begin(alloc, 0, nullptr);
        },
        "tree_version on a tree with no tree word bound");
    EXPECT_DEATH(
        {
            NodeAlloc alloc;
            alloc.set_root_covered(1);
            slot_version_end(alloc, 0, nullptr);
        },
        "tree_version on a tree with no tree word bound");
}

TEST(EdgeCopies, PublishReadAndMoveCarryBothWords) {
    Edge slots[2];
    Edge e;
    e.w0 = 0x1122334455667788;
    e.w1 = 0x0599AABBCCDDEEFF;
    mutate::publish_edge(slots[0], e);
    EXPECT_EQ(slots[0], e);
    EXPECT_EQ(mutate::read_edge(slots[0]), e);
    mutate::move_edge(slots[1], slots[0]);
    EXPECT_EQ(slots[1], e);
    mutate::publish_edge(slots[0], Edge::empty());
    EXPECT_TRUE(slots[0].is_empty());
    EXPECT_EQ(slots[1], e);
}

}  // namespace
}  // namespace tolvane
