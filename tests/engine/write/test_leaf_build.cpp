// Building linear leaves: block layout, edge word, accounting, and reuse of
// dirty recycled blocks in both allocator modes.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "support/packed_keys.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/leaf/leaf_search.hpp"
#include "tolvane/write/mutate_leaf_build.hpp"
#include "tolvane/mem/occ.hpp"

using namespace tolvane;
using tolvane::testing::sorted_keys;

namespace {

std::vector<u8> block_bytes(const Edge& e, std::size_t size) {
    const u8* p = e.ptr<const u8>();
    return {p, p + size};
}

void release_leaf(NodeAlloc& alloc, const Edge& e, std::size_t n, unsigned w) {
    alloc.release(e.ptr<void>(), leaf_block_bytes(n, w), LEAF_ALIGN);
}

template <bool Occ>
void check_build_for_every_width_and_count() {
    std::mt19937_64 rng(2103);
    NodeAlloc alloc;
    for (unsigned w = 1; w <= 7; ++w) {
        for (std::size_t n = 1; n <= 40; ++n) {
            auto keys = sorted_keys(rng, w, n, tolvane::testing::PackedShape::Uniform);
            // Bytes above the width must not reach the block.
            std::vector<u64> dirty(keys);
            for (u64& k : dirty) k |= rng() & ~low_bytes_mask(w);
            Edge e{rng(), rng()};  // stale pointer, decode bytes and tag
            const u64 bytes_before = alloc.live_bytes();
            const u64 allocs_before = alloc.total_allocs();

            mutate::build_leaf<Occ>(alloc, e, static_cast<u8>(w), dirty.data(), n);

            const std::size_t size = capacity_class(n) * w;
            EXPECT_EQ(alloc.live_bytes() - bytes_before, (size + 15) / 16 * 16);
            EXPECT_EQ(alloc.total_allocs() - allocs_before, 1u);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(e.ptr<void>()) % 16, 0u);
            EXPECT_EQ(e.tag_byte(), 4 + w);
            EXPECT_EQ(e.pop0(w), n - 1);
            for (unsigned b = 8 + w; b < 15; ++b) EXPECT_EQ(e.byte(b), 0) << "w=" << w << " n=" << n;
            std::vector<u8> expect = tolvane::testing::pack_keys(keys, w);
            expect.resize(size, 0);
            ASSERT_EQ(block_bytes(e, size), expect) << "w=" << w << " n=" << n;
            // The leaf answers searches for exactly its keys.
            for (u64 k : keys) EXPECT_TRUE(leaf::search(e.ptr<const u8>(), n, static_cast<u8>(w), k).found);
            release_leaf(alloc, e, n, w);
        }
    }
    EXPECT_EQ(alloc.live_bytes(), 0u);
}

}  // namespace

TEST(BuildLeaf, EveryWidthAndCountExclusive) { check_build_for_every_width_and_count<false>(); }
TEST(BuildLeaf, EveryWidthAndCountReclaimingInLocalMode) { check_build_for_every_width_and_count<true>(); }

TEST(BuildLeaf, RecycledDirtyBlockIsClearedOverTheLeaf) {
    // A 24-byte block (eight 3-byte keys) goes back to the free list full of
    // key bytes; a five-key leaf of the same class must not see them.
    NodeAlloc alloc;
    std::vector<u64> full(8);
    for (unsigned i = 0; i < 8; ++i) full[i] = 0xFFFFF0 + i;
    Edge old;
    mutate::build_leaf<false>(alloc, old, 3, full.data(), 8);
    void* const first_block = old.ptr<void>();
    release_leaf(alloc, old, 8, 3);
    const u64 five[] = {1, 2, 3, 4, 5};
    Edge e;
    mutate::build_leaf<false>(alloc, e, 3, five, 5);
    EXPECT_EQ(e.ptr<void>(), first_block);  // the same block, reused
    std::vector<u8> expect = tolvane::testing::pack_keys({1, 2, 3, 4, 5}, 3);
    expect.resize(24, 0);
    EXPECT_EQ(block_bytes(e, 24), expect);
    release_leaf(alloc, e, 5, 3);
}

TEST(BuildLeaf, DeferredModeTakesCollectorBlocksCleared) {
    auto collector = std::make_shared<Collector>();
    NodeAlloc alloc;
    alloc.defer_to(collector);
    std::vector<u64> full(8);
    for (unsigned i = 0; i < 8; ++i) full[i] = 0xFFFFF0 + i;
    Edge old;
    mutate::build_leaf<true>(alloc, old, 3, full.data(), 8);
    void* const first_block = old.ptr<void>();
    EXPECT_EQ(alloc.live_bytes(), 32u);
    release_leaf(alloc, old, 8, 3);  // retired, recycled after two epoch steps
    for (int i = 0; i < 3; ++i) collector->try_advance();

    const u64 five[] = {1, 2, 3, 4, 5};
    Edge e;
    mutate::build_leaf<true>(alloc, e, 3, five, 5);
    EXPECT_EQ(e.ptr<void>(), first_block);
    std::vector<u8> expect = tolvane::testing::pack_keys({1, 2, 3, 4, 5}, 3);
    expect.resize(24, 0);
    EXPECT_EQ(block_bytes(e, 24), expect);
    EXPECT_EQ(alloc.total_allocs(), 2u);
    EXPECT_EQ(alloc.live_bytes(), 32u);
    // Nothing came from or went to the allocator's own pages.
    EXPECT_EQ(alloc.release_free(), 0u);
    release_leaf(alloc, e, 5, 3);
}
