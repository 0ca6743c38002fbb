#include "support/form_streams.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace tolvane::test {
namespace {

// All of `keys` inserted in their order, then removed in a shuffled one.
std::vector<Op> insert_then_remove(std::vector<u64> keys, std::mt19937_64& rng) {
    std::vector<Op> ops;
    for (u64 k : keys) ops.push_back({Op::Kind::Insert, k});
    std::shuffle(keys.begin(), keys.end(), rng);
    for (u64 k : keys) ops.push_back({Op::Kind::Remove, k});
    return ops;
}

}  // namespace

std::vector<Op> wide_branch_ops(uint64_t seed, u64 prefix, unsigned width) {
    std::mt19937_64 rng(seed);
    std::vector<u64> keys;
    for (unsigned d = 0; d < width; ++d) {
        keys.push_back(prefix | (u64{d} << 8) | (rng() & 0xFF));
        keys.push_back(prefix | (u64{d} << 8) | (rng() & 0xFF));
    }
    std::shuffle(keys.begin(), keys.end(), rng);
    return insert_then_remove(std::move(keys), rng);
}

std::vector<Op> full_block_ops(uint64_t seed, unsigned blocks) {
    std::mt19937_64 rng(seed);
    std::vector<u64> keys;
    const u64 base = rng() & ~u64{0xFFFFF};
    for (unsigned b = 0; b < blocks; ++b)
        for (unsigned x = 0; x < 256; ++x) keys.push_back(base + (u64{b} << 8) + x);
    std::shuffle(keys.begin(), keys.end(), rng);
    return insert_then_remove(std::move(keys), rng);
}

std::vector<Op> skipped_leaf_ops(uint64_t seed) {
    std::mt19937_64 rng(seed);
    const u64 prefix = rng() & ~u64{0xFF};
    std::vector<Op> ops;
    std::vector<u64> cluster;
    for (unsigned x = 0; x < 40; ++x) cluster.push_back(prefix | (x * 5 + (rng() % 5)));
    for (u64 k : cluster) ops.push_back({Op::Kind::Insert, k});
    for (unsigned i = 0; i < 20; ++i) ops.push_back({Op::Kind::Remove, cluster[i]});
    std::vector<u64> outsiders;
    for (unsigned byte = 1; byte < 7; ++byte)
        outsiders.push_back(prefix ^ (u64{1 + rng() % 255} << (8 * byte)));
    std::shuffle(outsiders.begin(), outsiders.end(), rng);
    for (u64 k : outsiders) ops.push_back({Op::Kind::Insert, k});
    for (unsigned i = 20; i < 40; ++i) ops.push_back({Op::Kind::Remove, cluster[i]});
    for (u64 k : outsiders) ops.push_back({Op::Kind::Remove, k});
    return ops;
}

std::vector<Op> narrow_ops(uint64_t seed, unsigned width, unsigned count) {
    std::mt19937_64 rng(seed);
    const u64 high = rng() & ~low_bytes_mask(width + 1);
    std::vector<u64> keys;
    for (unsigned i = 0; i < count; ++i)
        keys.push_back(high | shl8(1 + (i & 1), width) | (rng() & low_bytes_mask(width)));
    return insert_then_remove(std::move(keys), rng);
}

void check_shared_bounds(bool insert, const TraceStep& b, const TraceStep& a) {
    if (insert && b.tag == TAG_LEAF_1 && a.tag == TAG_LEAF_BITMAP) {
        EXPECT_EQ(b.size, 25u);
        EXPECT_EQ(a.size, 26u);
    }
    if (insert && b.tag == TAG_BRANCH_L3 && a.tag == TAG_BRANCH_L7) {
        EXPECT_EQ(a.size, 4u);
    }
    if (insert && b.tag == TAG_BRANCH_L7 && a.tag == TAG_BRANCH_B) {
        EXPECT_EQ(a.size, 8u);
    }
    if (insert && b.tag == TAG_BRANCH_B && a.tag == TAG_BRANCH_U) {
        EXPECT_EQ(a.size, 193u);
    }
    if (!insert && b.tag == TAG_BRANCH_L7 && a.tag == TAG_BRANCH_L3) {
        EXPECT_EQ(a.size, 2u);
    }
    if (!insert && b.tag == TAG_BRANCH_B && a.tag == TAG_BRANCH_L7) {
        EXPECT_EQ(a.size, 6u);
    }
    if (!insert && b.tag == TAG_BRANCH_U && a.tag == TAG_BRANCH_B) {
        EXPECT_EQ(a.size, 160u);
    }
    if (!insert && b.tag == TAG_LEAF_BITMAP && a.tag != TAG_LEAF_BITMAP) {
        EXPECT_EQ(b.size, 21u);
        EXPECT_EQ(a.size, 20u);
    }
    if (!insert && a.tag == TAG_EMPTY && is_branch_tag(b.tag)) {
        EXPECT_EQ(b.size, 1u);
    }
}

void expect_all_reached(const Events& events, std::span<const char* const> required) {
    std::string seen;
    for (const auto& [name, count] : events) seen += name + " " + std::to_string(count) + "\n";
    for (const char* name : required) {
        const auto it = events.find(name);
        EXPECT_TRUE(it != events.end() && it->second > 0) << name << " never happened; seen:\n"
                                                          << seen;
    }
}

std::vector<std::vector<Op>> form_change_streams(uint64_t seed, size_t grow_drain_keys) {
    std::vector<std::vector<Op>> streams;
    for (KeyPattern p : kAllPatterns)
        streams.push_back(make_grow_drain(p, seed, grow_drain_keys, static_cast<int>(seed % 3)));
    streams.push_back(wide_branch_ops(seed, 0x0011223344550000ull, 256));
    streams.push_back(wide_branch_ops(seed + 9, 0x00AB000000000000ull | (seed << 16), 200));
    streams.push_back(full_block_ops(seed, 3));
    streams.push_back(skipped_leaf_ops(seed));
    return streams;
}

}  // namespace tolvane::test
