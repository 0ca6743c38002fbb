#include "support/map_tree.hpp"

#include <gtest/gtest.h>

#include <random>

#include "tolvane/read/get.hpp"
#include "tolvane/write/mutate_map_remove.hpp"
#include "tolvane/core/node.hpp"

namespace tolvane::test {

const u64* MapTree::find(u64 key) const { return get::locate_slot(&root, key, 8); }

void MapTree::check_report(u64 key, u64 value, const mutate_map::InsertResult& r) {
    ASSERT_NE(r.slot, nullptr);
    EXPECT_EQ(r.slot, find(key)) << "reported value word is not the key's";
    if (r.existed == 1 && keep_existing) {
        EXPECT_EQ(*r.slot, r.old) << "get-or-insert changed the stored value";
    } else {
        EXPECT_EQ(*r.slot, value);
    }
}

MapModel::Result MapTree::insert(u64 key, u64 value) {
    const KeyTrace before = trace_key(root, key);
    // Callers hand the insert a flushed path.
    path.flush_and_reset();
    constexpr u64 kUntouched = 0x5EB7'1E55'0DDB'A115ull;
    mutate_map::InsertResult r;
    r.old = kUntouched;
    if (keep_existing)
        mutate_map::map_insert_with_path_flat<true>(r, alloc, root, key, value, 8, path);
    else
        mutate_map::map_insert_with_path_flat<false>(r, alloc, root, key, value, 8, path);
    last = r;
    EXPECT_TRUE(r.existed == 0 || r.existed == 1) << r.existed;
    if (r.existed == 0) {
        EXPECT_EQ(r.old, kUntouched) << "old value written for a new key";
        ++population;
    }
    check_report(key, value, r);
    EXPECT_EQ(path.pending, 0);
    const KeyTrace after = trace_key(root, key);
    if (check_path) check_path_after_insert(key, r.existed == 0, before, after);
    if (observer) observer(Op{Op::Kind::Insert, key, value}, r.existed == 0, before, after);
    MapModel::Result out;
    out.existed = r.existed == 1;
    if (out.existed) out.old_value = r.old;
    return out;
}

MapModel::Result MapTree::remove(u64 key) {
    const KeyTrace before = trace_key(root, key);
    path.flush_and_reset();
    const mutate_map::RemoveResult r = mutate_map::map_remove(alloc, root, key, 8);
    if (r.found) --population;
    EXPECT_EQ(find(key), nullptr) << "key still found after its removal";
    if (observer) observer(Op{Op::Kind::Remove, key}, r.found, before, trace_key(root, key));
    MapModel::Result out;
    out.existed = r.found;
    if (r.found) out.old_value = r.value;
    return out;
}

void MapTree::check_path_after_insert(u64 key, bool added, const KeyTrace& before,
                                      const KeyTrace& after) {
    // Filled exactly when the key was added in place to a width-1 leaf or a
    // bitmap leaf in a level-1 slot.
    const TraceStep* a1 = after.at(1);
    const TraceStep* b1 = before.at(1);
    const bool plain_level1_insert = added && a1 && b1 && a1->slot == b1->slot &&
                                     a1->tag == b1->tag &&
                                     (a1->tag == TAG_LEAF_1 || a1->tag == TAG_LEAF_BITMAP);
    ASSERT_EQ(path.len != 0, plain_level1_insert)
        << "insert path " << (path.len ? "names a leaf" : "is empty") << " after "
        << kind_name(b1 ? b1->tag : 0) << " -> " << kind_name(a1 ? a1->tag : 0);
    if (path.len == 0) return;
    ASSERT_LE(path.len, InsertPath::MAX_ENTRIES);
    EXPECT_EQ(path.levels[0], 1);
    EXPECT_EQ(path.prefix, key >> 8) << "hot leaf recorded under another prefix";
    ASSERT_EQ(path.edges[0], a1->slot) << "hot leaf is not the leaf that holds the key";
    EXPECT_EQ(after.steps.back().slot, a1->slot);
    const Edge& leaf = *path.edges[0];
    if (leaf.tag_byte() == TAG_LEAF_BITMAP) {
        EXPECT_EQ(path.hot_bitmap, leaf.ptr<void>());
        EXPECT_EQ(path.hot_linear, nullptr);
    } else {
        EXPECT_EQ(path.hot_linear, leaf.ptr<u8>());
        EXPECT_EQ(path.hot_bitmap, nullptr);
    }
    EXPECT_EQ(path.hot_count, a1->size);
    // Then the ancestors from the root slot down, as many as fit.
    const std::size_t branches = after.steps.size() - 1;
    ASSERT_EQ(path.len - 1, branches < 7 ? branches : 7);
    for (u64 i = 1; i < path.len; ++i) {
        EXPECT_EQ(path.edges[i], after.steps[i - 1].slot) << "path entry " << i;
        EXPECT_EQ(path.levels[i], after.steps[i - 1].node_level) << "path entry " << i;
    }
}

void MapTree::verify(const MapModel& model) {
    ValidateStats stats{};
    const validate::Validation v = validate(&stats);
    expect_sound_tree(v, stats, alloc, root, population, model.size());
    if (::testing::Test::HasFatalFailure()) return;
    for (const auto& [key, value] : model.entries) {
        const u64* slot = find(key);
        ASSERT_NE(slot, nullptr) << "key " << key << " lost";
        ASSERT_EQ(*slot, value) << "value of key " << key;
    }
}

std::vector<Op> with_values(std::vector<Op> ops, u64 seed) {
    std::mt19937_64 rng(seed);
    for (Op& op : ops) {
        if (op.kind != Op::Kind::Insert) continue;
        switch (rng() % 8) {
            case 0:
                op.value = 0;
                break;
            case 1:
                op.value = ~u64{0};
                break;
            case 2:
                op.value = op.key;
                break;
            default:
                op.value = rng();
                break;
        }
    }
    return ops;
}

}  // namespace tolvane::test
