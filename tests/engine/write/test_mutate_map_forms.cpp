// Single map inserts and removals at places the random streams reach only by
// chance: what the first key builds, get-or-insert on every leaf form, keys
// that carry skipped digits back into an immediate, removals of absent keys,
// blocks that must not move while their capacity class holds, and trees
// whose edges no sound tree holds.

#include <gtest/gtest.h>

#include <vector>

#include "support/map_tree.hpp"
#include "support/tree_builder.hpp"
#include "support/tree_dump.hpp"
#include "tolvane/read/get.hpp"
#include "tolvane/write/mutate_free.hpp"
#include "tolvane/write/mutate_map_insert.hpp"
#include "tolvane/write/mutate_map_remove.hpp"
#include "tolvane/core/node.hpp"

namespace tolvane::test {
namespace {

using mutate_map::InsertResult;
using mutate_map::map_insert_with_path_flat;
using mutate_map::map_remove;

TEST(MapForms, FirstKeyGoesBelowANewRootBranch) {
    MapTree tree;
    const u64 key = 0x0123456789ABCDEFull;
    tree.insert(key, 42);
    ASSERT_EQ(tree.root.tag_byte(), TAG_BRANCH_L3);
    EXPECT_EQ(tree.root.decode_area(), 0u) << "the root edge carries no count";
    const auto* node = tree.root.ptr<BranchL3>();
    EXPECT_EQ(node->level, 8);
    ASSERT_EQ(node->count, 1);
    EXPECT_EQ(node->digits[0], 0x01);
    const Edge& child = node->children[0];
    EXPECT_EQ(child.tag_byte(), 0x70);
    EXPECT_EQ(child.decode_area(), key & low_bytes_mask(7));
    EXPECT_EQ(child.w0, 42u);
    EXPECT_EQ(tree.last.slot, &child.w0);
    EXPECT_TRUE(tree.path.empty());
}

// A width-1 leaf two levels under its slot that falls into the immediate
// range becomes an immediate of slot-wide keys with the skipped digits.
TEST(MapForms, LeafUnderSkippedDigitsFoldsIntoSlotWideImmediate) {
    NodeAlloc alloc;
    testing::TreeBuilder<true> b(alloc);
    Edge e = testing::TreeBuilder<true>::skip(b.linear_leaf(1, {0x10, 0x20}, {100, 200}), 1, 3,
                                              0xABCD00);
    const auto removed = map_remove(alloc, e, 0xABCD10, 3);
    ASSERT_TRUE(removed.found);
    EXPECT_EQ(removed.value, 100u);
    EXPECT_EQ(e.tag_byte(), 0x30);
    EXPECT_EQ(e.decode_area(), 0xABCD20u);
    EXPECT_EQ(e.w0, 200u);
    EXPECT_EQ(alloc.live_bytes(), 0u) << "the leaf block was not released";
    EXPECT_EQ(*get::locate_slot(&e, 0xABCD20, 3), 200u);
}

// Within a capacity class keys and values move inside their block: no
// allocation, the same block; across a class boundary the block moves.
// `values(e)` names the block that holds the values of interest.
template <class ValuesOf>
void grow_and_shrink(NodeAlloc& alloc, Edge& e, unsigned level, const std::vector<u64>& keys,
                     std::size_t first_count, ValuesOf values) {
    InsertPath path;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::size_t before = first_count + i;
        SCOPED_TRACE("insert at count " + std::to_string(before));
        const u64* block = values(e);
        const u64 allocs = alloc.total_allocs();
        InsertResult r;
        map_insert_with_path_flat<false>(r, alloc, e, keys[i], i, static_cast<u8>(level), path);
        path.flush_and_reset();
        ASSERT_EQ(r.existed, 0u);
        const bool same_class = capacity_class(before + 1) == capacity_class(before);
        EXPECT_EQ(values(e) == block, same_class);
        EXPECT_EQ(alloc.total_allocs() == allocs, same_class);
    }
    for (std::size_t i = keys.size(); i-- > 0;) {
        const std::size_t before = first_count + i + 1;
        SCOPED_TRACE("remove at count " + std::to_string(before));
        const u64* block = values(e);
        const u64 allocs = alloc.total_allocs();
        ASSERT_TRUE(map_remove(alloc, e, keys[i], level).found);
        const bool same_class = capacity_class(before - 1) == capacity_class(before);
        EXPECT_EQ(values(e) == block, same_class);
        // The last key of a group takes its block along without a new one.
        EXPECT_EQ(alloc.total_allocs() == allocs, same_class || before == 1);
    }
}

TEST(MapForms, BlocksMoveOnlyWhenTheirCapacityClassChanges) {
    NodeAlloc alloc;
    testing::TreeBuilder<true> b(alloc);
    const auto own_block = [](const Edge& e) { return e.ptr<const u64>(); };
    {
        SCOPED_TRACE("immediate value array, 2..7 keys");
        Edge e = b.immediate(1, {0, 1}, {0, 1});
        grow_and_shrink(alloc, e, 1, {2, 3, 4, 5, 6}, 2, own_block);
        b.free(e);
    }
    {
        SCOPED_TRACE("linear leaf, 8..25 keys");
        std::vector<u64> keys, values;
        for (u64 k = 0; k < 8; ++k) keys.push_back(k), values.push_back(k);
        Edge e = b.linear_leaf(1, keys, values);
        std::vector<u64> more;
        for (u64 k = 8; k < 25; ++k) more.push_back(k);
        grow_and_shrink(alloc, e, 1, more, 8, own_block);
        b.free(e);
    }
    {
        SCOPED_TRACE("bitmap leaf group, 0..32 keys");
        std::vector<u64> keys, values;
        for (u64 k = 0; k < 30; ++k) keys.push_back(k), values.push_back(k);
        Edge e = b.bitmap_leaf(keys, values);
        std::vector<u64> group7;
        for (u64 k = 224; k < 256; ++k) group7.push_back(k);
        grow_and_shrink(alloc, e, 1, group7, 0, [](const Edge& leaf) {
            return static_cast<const u64*>(leaf.ptr<LeafBitmapL>()->value_subarrays[7]);
        });
        b.free(e);
    }
    EXPECT_EQ(alloc.live_bytes(), 0u);
}

// Edges a sound map tree never holds stop both mutators with the invariant
// they break: a set-width immediate past the seven map key bytes (a reader
// would run past the edge), an invalid tag, a full edge.
TEST(MapForms, EdgesNoMapTreeHoldsStopTheProcess) {
    NodeAlloc alloc;
    InsertPath path;
    InsertResult r;
    Edge wide;  // eight one-byte keys: a valid set immediate only
    wide.w1 = 0x0706050403020100ull & low_bytes_mask(7);
    wide.set_tag(immediate_tag(1, 8));
    EXPECT_DEATH(map_insert_with_path_flat<false>(r, alloc, wide, 9, 1, 1, path),
                 "valid immediate tag");
    EXPECT_DEATH(map_remove(alloc, wide, 1, 1), "valid edge tag");

    Edge invalid;
    invalid.set_tag(13);
    EXPECT_DEATH(map_insert_with_path_flat<false>(r, alloc, invalid, 9, 1, 1, path),
                 "valid immediate tag");
    EXPECT_DEATH(map_remove(alloc, invalid, 9, 1), "valid edge tag");

    Edge full;
    full.set_byte(8, 0xFF);
    full.set_tag(TAG_FULL);
    EXPECT_DEATH(map_insert_with_path_flat<true>(r, alloc, full, 9, 1, 1, path),
                 "full-tolvane edges are set-flavor only");
    EXPECT_DEATH(map_remove(alloc, full, 9, 1), "full-tolvane edges are set-flavor only");
}

}  // namespace
}  // namespace tolvane::test
