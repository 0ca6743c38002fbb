// The structural validator on hand-made trees: every broken invariant is
// reported with its exact text (first one in check order), sound trees give
// their population and the statistics the walk is meant to collect.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/random_tree.hpp"
#include "support/tree_builder.hpp"
#include "support/tree_bytes.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane {
namespace {

using testing::Children;
using testing::TreeBuilder;

// Owns an allocator and the roots built in it; frees them at the end and
// insists that nothing stays behind. Tests break copies of edges, or restore
// what they broke inside nodes, so every kept root is freeable.
template <bool Map>
struct Forest {
    NodeAlloc alloc;
    TreeBuilder<Map> b{alloc};
    std::vector<Edge> roots;

    Edge keep(Edge e) {
        roots.push_back(e);
        return e;
    }
    ~Forest() {
        for (Edge& e : roots) b.free(e);
        EXPECT_EQ(alloc.live_bytes(), 0u);
        EXPECT_EQ(alloc.live_nodes(), 0u);
    }
};

template <bool Map>
validate::Validation run(const Edge& e, std::size_t level, std::size_t depth = 0) {
    ValidateStats stats{};
    return validate::tolvane_validate_and_stats<Map>(e, level, stats, depth);
}

template <bool Map>
std::string error_of(const Edge& e, std::size_t level, std::size_t depth = 0) {
    const validate::Validation v = run<Map>(e, level, depth);
    return v.ok() ? std::string("<no error, population ") + std::to_string(v.population) + ">"
                  : v.error;
}

std::string hex(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
    return buf;
}

std::vector<u64> range(u64 from, u64 count, u64 step = 1) {
    std::vector<u64> keys;
    for (u64 i = 0; i < count; ++i) keys.push_back(from + i * step);
    return keys;
}

// Children with one-key immediates (slot level 1) under the given digits.
template <bool Map>
Children one_key_children(TreeBuilder<Map>& b, const std::vector<u64>& digits) {
    Children out;
    for (u64 d : digits) {
        if constexpr (Map)
            out.emplace_back(static_cast<u8>(d), b.immediate(1, {d}, {d * 7}));
        else
            out.emplace_back(static_cast<u8>(d), b.immediate(1, {d}));
    }
    return out;
}

// A 64-aligned scratch block where nodes are copied to sit at a misaligned
// address.
struct Scratch {
    unsigned char* block = static_cast<unsigned char*>(std::aligned_alloc(64, 8192));
    ~Scratch() { std::free(block); }
    template <class T>
    void* copy_at(std::size_t offset, const T* node, std::size_t bytes = sizeof(T)) {
        std::memcpy(block + offset, static_cast<const void*>(node), bytes);
        return block + offset;
    }
};

TEST(ValidatorAnyEdge, DepthLevelAndTagAreCheckedFirstInThatOrder) {
    Edge imm;
    const u64 key = 5;
    mutate::write_immed(imm, 1, &key, 1);
    EXPECT_TRUE(run<false>(imm, 1, 8).ok());
    EXPECT_EQ(error_of<false>(imm, 1, 9), "depth limit exceeded (possible cycle)");
    EXPECT_EQ(error_of<false>(imm, 0, 9), "depth limit exceeded (possible cycle)");
    EXPECT_EQ(error_of<false>(imm, 0), "level 0 out of range");
    EXPECT_EQ(error_of<true>(imm, 9), "level 9 out of range");

    for (u8 tag : {13, 14, 15, 31, 39, 114, 126, 128, 200, 255}) {
        Edge bad;
        bad.set_tag(tag);
        EXPECT_EQ(error_of<false>(bad, 3), "invalid edge tag byte") << int(tag);
        EXPECT_EQ(error_of<true>(bad, 9), "level 9 out of range") << int(tag);
    }
}

TEST(ValidatorAnyEdge, EmptyRootCountsOneEmptyEdgeAtLevel8) {
    ValidateStats stats{};
    const validate::Validation v = validate::tolvane_validate_and_stats<false>(Edge{}, 8, stats, 0);
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(v.population, 0u);
    ValidateStats expected{};
    expected[validate::STAT_EMPTY] = 1;
    expected[validate::stat_edges_at(8)] = 1;
    EXPECT_EQ(stats, expected);
}

TEST(ValidatorBranches, CommonChecks) {
    Forest<false> f;
    for (u8 tag : {TAG_BRANCH_L3, TAG_BRANCH_L7}) {
        Edge null_branch;
        null_branch.set_tag(tag);
        EXPECT_EQ(error_of<false>(null_branch, 4), "branch edge has null node pointer");
    }
    Edge null_b;
    null_b.set_tag(TAG_BRANCH_B);
    EXPECT_EQ(error_of<false>(null_b, 4), "BranchB edge has null node pointer");
    Edge null_u;
    null_u.set_tag(TAG_BRANCH_U);
    EXPECT_EQ(error_of<true>(null_u, 4), "BranchU edge has null node pointer");

    const Edge low = f.keep(f.b.branch_l3(1, {}));
    EXPECT_EQ(error_of<false>(low, 1), "branch below level 2");
    const Edge u_at_1 = f.keep(f.b.branch_u(1, {}));
    EXPECT_EQ(error_of<false>(u_at_1, 1), "branch below level 2");

    const Edge l3 = f.keep(f.b.branch_l3(2, one_key_children(f.b, {1, 2})));
    EXPECT_EQ(error_of<false>(l3, 1), "branch form level above its slot level");
    EXPECT_EQ(error_of<false>(l3, 8), "level-8 slots cannot skip");
    const validate::Validation sound = run<false>(f.b.skip(l3, 2, 5, 0x0102030405), 5);
    ASSERT_TRUE(sound.ok()) << sound.error;
    EXPECT_EQ(sound.population, 2u);

    Edge wrong_pop = l3;
    wrong_pop.set_pop0(2, 3);
    EXPECT_EQ(error_of<false>(wrong_pop, 2), "branch pop0 disagrees with subtree: 4 != 2");
    // Only the low L bytes are the count: a skipped digit above them is not.
    EXPECT_TRUE(run<false>(f.b.skip(l3, 2, 3, 0xFF0000), 3).ok());

    // A level-8 branch carries no pop0: whatever its decode area says is not
    // compared (it cannot skip, so the area is unused).
    const Edge root =
        f.keep(f.b.branch_l3(8, {{0, f.b.branch_l3(7, {{0, f.b.immediate(6, {1})}})}}));
    // Populations are compared at every level below 8, the top one included.
    Edge* level7 = &root.ptr<BranchL3>()->children[0];
    level7->set_pop0(7, 1);
    EXPECT_EQ(error_of<false>(root, 8), "branch pop0 disagrees with subtree: 2 != 1");
    level7->set_pop0(7, 0);
    Edge root_with_noise = root;
    root_with_noise.set_pop0(7, 12345);
    const validate::Validation r = run<false>(root_with_noise, 8);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.population, 1u);
}

TEST(ValidatorBranches, LinearBranch) {
    Forest<false> f;
    Scratch scratch;
    const Edge l3 = f.keep(f.b.branch_l3(2, one_key_children(f.b, {1, 2, 3})));
    const Edge l7 = f.keep(f.b.branch_l7(2, one_key_children(f.b, {10, 20, 30, 40, 50, 60, 70})));
    EXPECT_EQ(run<false>(l3, 2).population, 3u);
    EXPECT_EQ(run<false>(l7, 2).population, 7u);

    Edge moved = l3;
    moved.set_ptr(scratch.copy_at(32, l3.ptr<BranchL3>()));
    EXPECT_EQ(error_of<false>(moved, 2),
              "linear branch pointer " + hex(moved.ptr<void>()) + " not 64-byte aligned");
    Edge moved7 = l7;
    moved7.set_ptr(scratch.copy_at(1024 + 16, l7.ptr<BranchL7>()));
    EXPECT_EQ(error_of<false>(moved7, 2),
              "linear branch pointer " + hex(moved7.ptr<void>()) + " not 64-byte aligned");

    // Broken nodes live in aligned scratch copies; the kept originals stay sound.
    auto* c3 = static_cast<BranchL3*>(scratch.copy_at(2048, l3.ptr<BranchL3>()));
    Edge e3 = l3;
    e3.set_ptr(c3);
    c3->count = 0;
    EXPECT_EQ(error_of<false>(e3, 2), "linear branch count 0 out of range (1..=3)");
    c3->count = 4;
    EXPECT_EQ(error_of<false>(e3, 2), "linear branch count 4 out of range (1..=3)");
    c3->count = 3;
    c3->digits[1] = 1;  // duplicate of digit 0
    EXPECT_EQ(error_of<false>(e3, 2), "linear branch digits unsorted");
    c3->digits[1] = 0;
    EXPECT_EQ(error_of<false>(e3, 2), "linear branch digits unsorted");
    c3->digits[1] = 2;
    c3->children[2] = Edge::empty();
    EXPECT_EQ(error_of<false>(e3, 2), "linear branch holds a null child");

    auto* c7 = static_cast<BranchL7*>(scratch.copy_at(4096, l7.ptr<BranchL7>()));
    Edge e7 = l7;
    e7.set_ptr(c7);
    c7->count = 8;
    EXPECT_EQ(error_of<false>(e7, 2), "linear branch count 8 out of range (1..=7)");
    c7->count = 0;
    EXPECT_EQ(error_of<false>(e7, 2), "linear branch count 0 out of range (1..=7)");

    // A child's own breakage comes back unchanged through the branch.
    c3->children[2] = l3.ptr<BranchL3>()->children[2];
    c3->children[2].set_tag(13);
    EXPECT_EQ(error_of<false>(e3, 2), "invalid edge tag byte");
}

TEST(ValidatorBranches, BitmapBranchBoundsAndGroups) {
    Forest<false> f;
    Scratch scratch;
    const Edge seven = f.keep(f.b.branch_b(2, one_key_children(f.b, range(0, 7, 33))));
    EXPECT_EQ(run<false>(seven, 2).population, 7u);
    const Edge six = f.keep(f.b.branch_b(2, one_key_children(f.b, range(0, 6, 40))));
    EXPECT_EQ(error_of<false>(six, 2),
              "bitmap branch population 6 at or below demotion threshold 6");
    const Edge full = f.keep(f.b.branch_b(2, one_key_children(f.b, range(0, 192))));
    EXPECT_EQ(run<false>(full, 2).population, 192u);
    const Edge over = f.keep(f.b.branch_b(2, one_key_children(f.b, range(0, 193))));
    EXPECT_EQ(error_of<false>(over, 2),
              "bitmap branch population 193 above uncompressed threshold 192");

    // Digits 0, 33, 66, ..., 198: groups 0..6 hold one child each, group 7 none.
    auto* node = seven.ptr<BranchB>();
    Edge moved = seven;
    moved.set_ptr(scratch.copy_at(64 + 16, node));
    EXPECT_EQ(error_of<false>(moved, 2),
              "BranchB pointer " + hex(moved.ptr<void>()) + " not 64-byte aligned");

    node->group_counts[2] = 2;
    EXPECT_EQ(error_of<false>(seven, 2), "bitmap-branch rank cache 2 disagrees with bitmap 1");
    node->group_counts[2] = 1;

    Edge* sub = node->subarrays[4];
    node->subarrays[4] = nullptr;
    EXPECT_EQ(error_of<false>(seven, 2), "non-empty subtolvane 4 with null subarray");
    node->subarrays[4] = reinterpret_cast<Edge*>(reinterpret_cast<unsigned char*>(sub) + 8);
    EXPECT_EQ(error_of<false>(seven, 2), "BranchB subarray 4 pointer not 16-byte aligned");
    node->subarrays[4] = sub;

    const Edge child = sub[0];
    sub[0] = Edge::empty();
    EXPECT_EQ(error_of<false>(seven, 2), "bitmap branch subarray 4 index 0 holds a null child");
    sub[0] = child;

    node->subarrays[7] = reinterpret_cast<Edge*>(scratch.block);
    EXPECT_EQ(error_of<false>(seven, 2), "empty subtolvane 7 with non-null subarray");
    node->subarrays[7] = nullptr;

    // Index within a group: the second child of a two-child group.
    const Edge pair = f.keep(f.b.branch_b(2, one_key_children(f.b, {0, 1, 40, 41, 80, 120, 160})));
    Edge* g1 = pair.ptr<BranchB>()->subarrays[1];
    const Edge second = g1[1];
    g1[1] = Edge::empty();
    EXPECT_EQ(error_of<false>(pair, 2), "bitmap branch subarray 1 index 1 holds a null child");
    g1[1] = second;
    EXPECT_TRUE(run<false>(pair, 2).ok());
}

TEST(ValidatorBranches, UncompressedBranch) {
    Forest<false> f;
    Scratch scratch;
    const Edge u161 = f.keep(f.b.branch_u(2, one_key_children(f.b, range(0, 161))));
    EXPECT_EQ(run<false>(u161, 2).population, 161u);
    const Edge u160 = f.keep(f.b.branch_u(2, one_key_children(f.b, range(95, 160))));
    EXPECT_EQ(error_of<false>(u160, 2),
              "uncompressed branch population 160 at or below demotion threshold 160");

    Edge moved = u161;
    moved.set_ptr(scratch.copy_at(16, u161.ptr<BranchU>()));
    EXPECT_EQ(error_of<false>(moved, 2),
              "BranchU pointer " + hex(moved.ptr<void>()) + " not 64-byte aligned");

    // An edge with tag 0 is absent whatever its word 0 holds.
    BranchU* node = u161.ptr<BranchU>();
    node->children[200].w0 = 0xDEAD;
    EXPECT_EQ(run<false>(u161, 2).population, 161u);
    node->children[200].w0 = 0;
}

TEST(ValidatorLeaves, LinearLeaf) {
    Forest<false> f;
    const Edge leaf3 = f.keep(f.b.linear_leaf(3, {0x010203, 0x010204, 0x0A0000}));
    EXPECT_EQ(error_of<false>(leaf3, 2), "leaf key size above its slot level");
    EXPECT_EQ(run<false>(leaf3, 3).population, 3u);
    EXPECT_EQ(run<false>(f.b.skip(leaf3, 3, 7, 0xAABBCCDD000000), 7).population, 3u);

    const Edge leaf25 = f.keep(f.b.linear_leaf(1, range(0, 25, 10)));
    EXPECT_EQ(run<false>(leaf25, 1).population, 25u);
    Edge over = leaf25;
    over.set_pop0(1, 25);
    EXPECT_EQ(error_of<false>(over, 1), "linear leaf population 26 above capacity 25");
    const Edge leaf32 = f.keep(f.b.linear_leaf(2, range(0, 32, 300)));
    EXPECT_EQ(run<false>(leaf32, 2).population, 32u);
    Edge over2 = leaf32;
    over2.set_pop0(2, 32);
    EXPECT_EQ(error_of<false>(over2, 2), "linear leaf population 33 above capacity 32");
    Edge over_null = over2;
    over_null.w0 = 0;  // the capacity is checked before the pointer
    EXPECT_EQ(error_of<false>(over_null, 2), "linear leaf population 33 above capacity 32");

    Edge null_leaf = leaf3;
    null_leaf.w0 = 0;
    EXPECT_EQ(error_of<false>(null_leaf, 3), "leaf edge has null node pointer");
    Edge misaligned = leaf3;
    misaligned.w0 += 8;
    EXPECT_EQ(error_of<false>(misaligned, 3),
              "linear leaf pointer " + hex(misaligned.ptr<void>()) + " not 16-byte aligned");

    const Edge unsorted = f.keep(f.b.linear_leaf(2, {0x0100, 0x0300, 0x0200}));
    EXPECT_EQ(error_of<false>(unsorted, 2), "leaf keys unsorted");
    const Edge first_pair = f.keep(f.b.linear_leaf(1, {5, 3, 9, 10}));
    EXPECT_EQ(error_of<false>(first_pair, 1), "leaf keys unsorted");
    const Edge duplicate = f.keep(f.b.linear_leaf(7, {5, 6, 6}));
    EXPECT_EQ(error_of<false>(duplicate, 7), "leaf keys unsorted");
    // Keys compare as whole w-byte integers, not byte by byte.
    const Edge wide = f.keep(f.b.linear_leaf(2, {0x00FF, 0x0100}));
    EXPECT_TRUE(run<false>(wide, 2).ok());
}

// A small leaf under a slot whose immediate floor is higher is sound: the
// insert that wraps a skipped prefix moves such leaves down a level. This is
// the tree that inserting 0x00010203040506xx for xx = 0..32, removing xx =
// 2..32 and inserting 0x0001020304050700 leaves behind.
TEST(ValidatorLeaves, SmallLeafBelowImmediateFloorIsSound) {
    Forest<false> f;
    for (u8 level = 1; level <= 7; ++level) {
        const Edge one = f.keep(f.b.linear_leaf(1, {7}));
        const validate::Validation v = run<false>(f.b.skip(one, 1, level, 0), level);
        EXPECT_TRUE(v.ok()) << int(level) << ": " << v.error;
    }
    const Edge leaf = f.b.linear_leaf(1, {0x00, 0x01});
    const Edge wrapped = f.b.branch_l3(2, {{0x06, leaf}, {0x07, f.b.immediate(1, {0x00})}});
    const Edge root =
        f.keep(f.b.branch_l3(8, {{0x00, f.b.skip(wrapped, 2, 7, 0x0001020304050000)}}));
    const validate::Validation v = run<false>(root, 8);
    ASSERT_TRUE(v.ok()) << v.error;
    EXPECT_EQ(v.population, 3u);

    Forest<true> m;
    const Edge map_leaf = m.keep(m.b.linear_leaf(1, {1, 2}, {10, 20}));
    EXPECT_TRUE(run<true>(map_leaf, 1).ok());
}

TEST(ValidatorLeaves, BitmapLeafSetFlavour) {
    Forest<false> f;
    Scratch scratch;
    const Edge b21 = f.keep(f.b.bitmap_leaf(range(100, 21, 7)));
    EXPECT_EQ(run<false>(b21, 1).population, 21u);
    const Edge b20 = f.keep(f.b.bitmap_leaf(range(0, 20)));
    EXPECT_EQ(error_of<false>(b20, 1), "bitmap leaf population 20 below hysteresis floor 21");
    const Edge b256 = f.keep(f.b.bitmap_leaf(range(0, 256)));
    EXPECT_EQ(run<false>(f.b.skip(b256, 1, 3, 0xABCD00), 3).population, 256u);

    Edge wrong = b21;
    wrong.set_byte(8, 21);
    EXPECT_EQ(error_of<false>(wrong, 1), "bitmap-leaf pop0 22 disagrees with bitmap count 21");
    Edge null_leaf = b21;
    null_leaf.w0 = 0;
    EXPECT_EQ(error_of<false>(null_leaf, 1), "LeafB1 has null node pointer");
    Edge moved = b21;
    moved.set_ptr(scratch.copy_at(32, b21.ptr<LeafB1>()));
    EXPECT_EQ(error_of<false>(moved, 1),
              "LeafBitmap1 pointer " + hex(moved.ptr<void>()) + " not 64-byte aligned");
}

TEST(ValidatorLeaves, BitmapLeafMapFlavour) {
    Forest<true> f;
    Scratch scratch;
    const std::vector<u64> keys = range(3, 30, 8);  // groups 0..7 all used
    const Edge leaf = f.keep(f.b.bitmap_leaf(keys, range(1000, 30)));
    EXPECT_EQ(run<true>(leaf, 1).population, 30u);
    const Edge b20 = f.keep(f.b.bitmap_leaf(range(0, 20), range(0, 20)));
    EXPECT_EQ(error_of<true>(b20, 1), "bitmap leaf population 20 below hysteresis floor 21");

    Edge null_leaf = leaf;
    null_leaf.w0 = 0;
    EXPECT_EQ(error_of<true>(null_leaf, 1), "LeafB1 has null node pointer");
    Edge moved = leaf;
    moved.set_ptr(scratch.copy_at(64 + 32, leaf.ptr<LeafBitmapL>()));
    EXPECT_EQ(error_of<true>(moved, 1),
              "LeafBitmapL pointer " + hex(moved.ptr<void>()) + " not 64-byte aligned");

    auto* node = leaf.ptr<LeafBitmapL>();
    u64* values = node->value_subarrays[2];
    node->value_subarrays[2] = nullptr;
    EXPECT_EQ(error_of<true>(leaf, 1), "value subarray/bitmap disagreement in LeafBitmapL");
    node->value_subarrays[2] = reinterpret_cast<u64*>(reinterpret_cast<unsigned char*>(values) + 8);
    EXPECT_EQ(error_of<true>(leaf, 1), "LeafBitmapL value subarray 2 pointer not 16-byte aligned");
    node->value_subarrays[2] = values;

    // Bits gone, subarray still there: also a disagreement.
    const u32 bits = node->bitmap[5];
    node->bitmap[5] = 0;
    EXPECT_EQ(error_of<true>(leaf, 1), "value subarray/bitmap disagreement in LeafBitmapL");
    node->bitmap[5] = bits;

    Edge wrong = leaf;
    wrong.set_byte(8, 28);
    EXPECT_EQ(error_of<true>(wrong, 1), "bitmap-leaf pop0 29 disagrees with bitmap count 30");
}

TEST(ValidatorLeaves, Immediates) {
    Forest<false> f;
    const Edge two = f.b.immediate(2, {0x0102, 0x0304});
    EXPECT_EQ(run<false>(two, 2).population, 2u);
    EXPECT_EQ(error_of<false>(two, 3), "immediate key size 2 must equal level 3");
    EXPECT_EQ(error_of<false>(f.b.immediate(1, {9, 8}), 1), "immediate keys unsorted");
    EXPECT_EQ(error_of<false>(f.b.immediate(3, {9, 9}), 3), "immediate keys unsorted");
    EXPECT_EQ(run<false>(f.b.immediate(1, range(0, 15)), 1).population, 15u);
    EXPECT_EQ(run<false>(f.b.immediate(7, {1, 0xFFFFFFFFFFFFFF}), 7).population, 2u);

    Forest<true> m;
    EXPECT_EQ(run<true>(m.keep(m.b.immediate(1, range(0, 7), range(0, 7))), 1).population, 7u);
    EXPECT_EQ(error_of<true>(m.keep(m.b.immediate(1, range(0, 8), range(0, 8))), 1),
              "map immediate above aux capacity");
    EXPECT_EQ(run<true>(m.keep(m.b.immediate(3, {1, 2}, {5, 6})), 3).population, 2u);
    EXPECT_EQ(error_of<true>(m.keep(m.b.immediate(2, {1, 2, 3, 4}, {5, 6, 7, 8})), 2),
              "map immediate above aux capacity");
    EXPECT_EQ(run<true>(m.b.immediate(7, {1}, {5}), 7).population, 1u);
    EXPECT_EQ(error_of<true>(m.b.immediate(7, {1}, {5}), 6),
              "immediate key size 7 must equal level 6");
    EXPECT_EQ(error_of<true>(m.keep(m.b.immediate(1, {4, 3}, {0, 0})), 1),
              "immediate keys unsorted");
}

TEST(ValidatorLeaves, FullEdges) {
    for (u8 level = 1; level <= 7; ++level) {
        const Edge full = TreeBuilder<false>::full_edge(level);
        const validate::Validation v = run<false>(full, level);
        ASSERT_TRUE(v.ok()) << v.error;
        EXPECT_EQ(v.population, u64{1} << (8 * level));
        EXPECT_EQ(error_of<true>(full, level), "full-tolvane edges are set-flavor only");
    }
    EXPECT_FALSE(run<false>(TreeBuilder<false>::full_edge(8), 8).ok());

    ValidateStats stats{};
    ASSERT_TRUE(
        validate::tolvane_validate_and_stats<false>(TreeBuilder<false>::full_edge(1), 1, stats, 0)
            .ok());
    ValidateStats expected{};
    expected[validate::STAT_FULL] = 1;
    expected[validate::stat_edges_at(1)] = 1;
    EXPECT_EQ(stats, expected);  // no histogram entry for a full edge
}

// The counts themselves are checked against the random trees' own tallies
// below; here, what a walk stopped by a broken node leaves behind.
TEST(ValidatorStatistics, BrokenNodeStopsTheCountsWhereItSits) {
    using namespace validate;
    Forest<false> f;
    auto& b = f.b;
    const Edge l7 = b.branch_l7(2, {{1, b.bitmap_leaf(range(0, 21))},
                                    {2, b.linear_leaf(1, {1, 2, 3})},
                                    {3, b.immediate(1, {4, 5})},
                                    {4, TreeBuilder<false>::full_edge(1)}});
    const Edge bb = b.branch_b(2, one_key_children(b, range(10, 7)));  // one group of 7
    Children wide;
    for (u64 d = 0; d < 161; ++d) wide.emplace_back(static_cast<u8>(d), b.immediate(5, {d << 20}));
    const Edge u = b.branch_u(6, wide);
    const Edge mid =
        b.branch_l3(7, {{0, b.skip(l7, 2, 6, 0)}, {1, b.skip(bb, 2, 6, 0x0505050505)}, {2, u}});
    const Edge root = f.keep(b.branch_l3(8, {{9, mid}}));

    ValidateStats stats{};
    const Validation v = tolvane_validate_and_stats<false>(root, 8, stats, 0);
    ASSERT_TRUE(v.ok()) << v.error;
    EXPECT_EQ(v.population, 21u + 3 + 2 + 256 + 7 + 161);

    EXPECT_EQ(test::counted_bytes(stats), f.alloc.live_bytes());

    // A broken node stops the walk; what was counted before it stays.
    BranchB* node = bb.ptr<BranchB>();
    node->group_counts[0] = 6;
    ValidateStats partial{};
    EXPECT_EQ(tolvane_validate_and_stats<false>(root, 8, partial, 0).error,
              "bitmap-branch rank cache 6 disagrees with bitmap 7");
    node->group_counts[0] = 7;
    EXPECT_EQ(partial[STAT_BRANCH_B], 1u);
    EXPECT_EQ(partial[STAT_BRANCH_B_BYTES], 128u);  // its subarray was never reached
    EXPECT_EQ(partial[STAT_BRANCH_U], 0u);
    EXPECT_EQ(partial[stat_leaves_of(21)], 1u);
    EXPECT_EQ(partial[stat_leaves_of(1)], 0u);
    // The caller's counters are only ever added to.
    ValidateStats twice = stats;
    ASSERT_TRUE(tolvane_validate_and_stats<false>(root, 8, twice, 0).ok());
    for (std::size_t i = 0; i < twice.size(); ++i) EXPECT_EQ(twice[i], 2 * stats[i]) << i;
}

template <bool Map>
void check_random_trees(u64 seed, int trees) {
    for (int t = 0; t < trees; ++t) {
        NodeAlloc alloc;
        TreeBuilder<Map> b(alloc);
        testing::RandomTree<Map> gen(b, seed + static_cast<u64>(t));
        Edge root = gen.root();
        ValidateStats stats{};
        const validate::Validation v = validate::tolvane_validate_and_stats<Map>(root, 8, stats, 0);
        ASSERT_TRUE(v.ok()) << "seed " << seed + t << ": " << v.error;
        EXPECT_EQ(v.population, gen.population) << "seed " << seed + t;
        EXPECT_EQ(stats, gen.expected) << "seed " << seed + t;
        EXPECT_EQ(test::counted_bytes(stats), alloc.live_bytes()) << "seed " << seed + t;
        b.free(root);
        EXPECT_EQ(alloc.live_bytes(), 0u);
    }
}

TEST(ValidatorRandomTrees, SoundTreesOfEveryFormGiveTheirPopulationAndStatistics) {
    check_random_trees<false>(1000, 150);
    check_random_trees<true>(5000, 150);
}

}  // namespace
}  // namespace tolvane
