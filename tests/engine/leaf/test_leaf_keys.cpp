// Leaf key editing against a byte-level model of the area, with guard bytes
// behind every block to prove no edit touches a byte past its area.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "support/packed_keys.hpp"
#include "tolvane/leaf/leaf_keys.hpp"
#include "tolvane/core/node.hpp"

using namespace tolvane;
using tolvane::testing::GuardedBlock;
using tolvane::testing::kAllPackedShapes;
using tolvane::testing::pack_keys;
using tolvane::testing::sorted_keys;

namespace {

// What the area must hold after inserting `key` at i: the first n keys'
// bytes opened up at i; everything from (n + 1) * w on unchanged.
std::vector<u8> model_insert(std::vector<u8> area, unsigned w, std::size_t n, std::size_t i, u64 key) {
    std::vector<u8> keys(area.begin(), area.begin() + n * w);
    std::vector<u8> k(w);
    for (unsigned j = 0; j < w; ++j) k[j] = static_cast<u8>(key >> (8 * j));
    keys.insert(keys.begin() + i * w, k.begin(), k.end());
    std::copy(keys.begin(), keys.end(), area.begin());
    return area;
}

// After removing key i of n: keys after i move down; the old last key's
// bytes stay where they were.
std::vector<u8> model_remove(std::vector<u8> area, unsigned w, std::size_t n, std::size_t i) {
    std::copy(area.begin() + (i + 1) * w, area.begin() + n * w, area.begin() + i * w);
    return area;
}

std::vector<u8> with_values(const std::vector<u8>& keys_area, const std::vector<u64>& values) {
    std::vector<u8> out(values.size() * 8);
    if (!values.empty()) std::memcpy(out.data(), values.data(), out.size());
    out.insert(out.end(), keys_area.begin(), keys_area.end());
    return out;
}

}  // namespace

TEST(LeafKeyEdit, EveryIndexInEveryClassAndWidth) {
    // Exhaustive over positions: catches straddling keys and partial tails.
    std::mt19937_64 rng(5);
    for (unsigned w = 1; w <= 7; ++w) {
        // Removal works in any class (also where callers would move to a
        // smaller block); insertion only where the class keeps its room.
        // Linear leaves never hold more than 32 keys.
        for (std::size_t n = 1; n <= 32; ++n) {
            const auto keys = sorted_keys(rng, w, n, tolvane::testing::PackedShape::Uniform);
            std::vector<u8> base = pack_keys(keys, w);
            base.resize(capacity_class(n) * w);
            for (std::size_t b = n * w; b < base.size(); ++b) base[b] = static_cast<u8>(rng());  // stale bytes
            const bool room = capacity_class(n + 1) == capacity_class(n);
            for (std::size_t i = 0; room && i <= n; ++i) {
                GuardedBlock block(base.size());
                std::memcpy(block.data(), base.data(), base.size());
                const u64 key = rng() & low_bytes_mask(w);
                leaf::shared_keys::insert_at(block.data(), static_cast<u8>(w), n, i, key);
                ASSERT_EQ(block.bytes(), model_insert(base, w, n, i, key)) << w << " " << n << " " << i;
                ASSERT_TRUE(block.guard_intact());
            }
            for (std::size_t i = 0; i < n; ++i) {
                GuardedBlock block(base.size());
                std::memcpy(block.data(), base.data(), base.size());
                leaf::shared_keys::remove_at(block.data(), static_cast<u8>(w), n, i);
                ASSERT_EQ(block.bytes(), model_remove(base, w, n, i)) << w << " " << n << " " << i;
                ASSERT_TRUE(block.guard_intact());
            }
        }
    }
}

TEST(LeafKeyEdit, RemovingTheLastKeyWritesNothing) {
    GuardedBlock block(12, 0x77);
    leaf::shared_keys::remove_at(block.data(), 3, 3, 2);
    EXPECT_EQ(block.bytes(), std::vector<u8>(12, 0x77));
    GuardedBlock map_block(4 * 8 + 12, 0x66);
    leaf::shared_keys::map_remove_at(map_block.data(), 3, 3, 2);
    EXPECT_EQ(map_block.bytes(), std::vector<u8>(44, 0x66));
}

TEST(LeafKeyEdit, MapAreaMovesValuesWithKeys) {
    std::mt19937_64 rng(31);
    for (unsigned w = 1; w <= 7; ++w) {
        for (std::size_t n = 1; n < 32; ++n) {
            if (capacity_class(n + 1) != capacity_class(n)) continue;
            const std::size_t cap = capacity_class(n);
            const auto keys = sorted_keys(rng, w, n, tolvane::testing::PackedShape::Uniform);
            std::vector<u64> values(cap);
            for (u64& v : values) v = rng();
            std::vector<u8> key_area = pack_keys(keys, w);
            key_area.resize(cap * w, 0xEE);
            const std::vector<u8> base = with_values(key_area, values);
            for (std::size_t i = 0; i <= n; ++i) {
                GuardedBlock block(base.size());
                std::memcpy(block.data(), base.data(), base.size());
                const u64 key = rng() & low_bytes_mask(w), value = rng();
                leaf::shared_keys::map_insert_at(block.data(), static_cast<u8>(w), n, i, key, value);
                std::vector<u64> vexp = values;  // slots past n keep their stale words
                for (std::size_t j = n; j > i; --j) vexp[j] = values[j - 1];
                vexp[i] = value;
                ASSERT_EQ(block.bytes(), with_values(model_insert(key_area, w, n, i, key), vexp));
                ASSERT_TRUE(block.guard_intact());
                auto model = std::vector<std::pair<u64, u64>>();
                std::vector<u64> kexp(keys);
                kexp.insert(kexp.begin() + i, key);
                for (std::size_t j = 0; j <= n; ++j) model.emplace_back(kexp[j], vexp[j]);
                ASSERT_EQ(leaf::shared_keys::map_entries(block.data(), static_cast<u8>(w), n + 1), model);
            }
            for (std::size_t i = 0; i < n; ++i) {
                GuardedBlock block(base.size());
                std::memcpy(block.data(), base.data(), base.size());
                leaf::shared_keys::map_remove_at(block.data(), static_cast<u8>(w), n, i);
                std::vector<u64> vexp = values;
                if (i + 1 < n) std::copy(values.begin() + i + 1, values.begin() + n, vexp.begin() + i);
                ASSERT_EQ(block.bytes(), with_values(model_remove(key_area, w, n, i), vexp));
                ASSERT_TRUE(block.guard_intact());
            }
        }
    }
}

TEST(LeafKeyEdit, MapReallocRemoveWritesOnlyTheSmallerLayout) {
    std::mt19937_64 rng(41);
    for (unsigned w = 1; w <= 7; ++w) {
        for (std::size_t n = 2; n <= 40; ++n) {
            const auto keys = sorted_keys(rng, w, n, tolvane::testing::PackedShape::Uniform);
            std::vector<u64> values(capacity_class(n));
            for (u64& v : values) v = rng();
            std::vector<u8> key_area = pack_keys(keys, w);
            key_area.resize(capacity_class(n) * w, 0);
            const std::vector<u8> old_bytes = with_values(key_area, values);
            for (std::size_t i = 0; i < n; i += 1 + n / 7) {
                const std::size_t new_cap = capacity_class(n - 1);
                GuardedBlock fresh(map_leaf_block_bytes(n - 1, w), 0xCC);
                leaf::map_realloc_remove(old_bytes.data(), fresh.data(), static_cast<u8>(w), n, i);
                std::vector<u8> expect(fresh.size(), 0xCC);
                std::size_t out = 0;
                for (std::size_t j = 0; j < n; ++j) {
                    if (j == i) continue;
                    std::memcpy(expect.data() + 8 * out, &values[j], 8);
                    for (unsigned b = 0; b < w; ++b)
                        expect[8 * new_cap + out * w + b] = static_cast<u8>(keys[j] >> (8 * b));
                    ++out;
                }
                ASSERT_EQ(fresh.bytes(), expect) << "w=" << w << " n=" << n << " i=" << i;
                ASSERT_TRUE(fresh.guard_intact());
            }
        }
    }
    // Where the key area starts in old and new block.
    EXPECT_EQ(map_leaf_key_offset(3), 32u);
    EXPECT_EQ(map_leaf_key_offset(2), 16u);
    EXPECT_EQ(map_leaf_key_offset(25), 256u);
    EXPECT_EQ(map_leaf_key_offset(24), 192u);
    EXPECT_EQ(map_leaf_key_offset(17), 192u);
    EXPECT_EQ(map_leaf_key_offset(16), 128u);
}

TEST(LeafUnpack, ReadsExactlyTheAreaForEveryCount) {
    // Exactly sized heap copies: the sanitizer catches any read past the area.
    std::mt19937_64 rng(8);
    for (unsigned w = 1; w <= 7; ++w) {
        for (std::size_t n = 0; n <= 40; ++n) {
            if (w == 1 && n > 40) continue;
            for (auto shape : kAllPackedShapes) {
                const auto keys = sorted_keys(rng, w, n, shape);
                std::vector<u8> area = pack_keys(keys, w);
                area.resize(capacity_class(n) * w, 0);
                const std::vector<u8> exact(area);
                const auto got = leaf::shared_keys::keys_vec(exact.data(), static_cast<u8>(w), n);
                ASSERT_EQ(got, keys) << "w=" << w << " n=" << n;
                EXPECT_GE(got.capacity(), n + 1);
                Edge e;
                e.set_ptr(exact.data());
                e.set_tag(linear_leaf_tag(w));
                const auto via_edge = mutate::leaf_keys(e, static_cast<u8>(w), n);
                ASSERT_EQ(via_edge, keys);
                EXPECT_GE(via_edge.capacity(), n + 1);

                std::vector<u64> values(capacity_class(n));
                for (u64& v : values) v = rng();
                const std::vector<u8> map_block = with_values(area, values);
                const auto entries = leaf::shared_keys::map_entries(map_block.data(), static_cast<u8>(w), n);
                ASSERT_EQ(entries.size(), n);
                EXPECT_GE(entries.capacity(), n + 1);
                for (std::size_t j = 0; j < n; ++j) {
                    EXPECT_EQ(entries[j].first, keys[j]);
                    EXPECT_EQ(entries[j].second, values[j]);
                }
            }
        }
    }
}

TEST(LeafUnpack, TailLoadReadsExactlyTBytes) {
    std::mt19937_64 rng(3);
    for (std::size_t t = 0; t <= 7; ++t) {
        std::vector<u8> bytes(t);
        for (u8& b : bytes) b = static_cast<u8>(rng());
        u64 expect = 0;
        for (std::size_t j = 0; j < t; ++j) expect |= static_cast<u64>(bytes[j]) << (8 * j);
        EXPECT_EQ(leaf::shared_keys::tail_load(bytes.data(), t), expect) << t;
    }
}

// Every key of a packed area of each width, read from a block that ends with
// the last key (so a read past it would show under the sanitizers).
TEST(LeafUnpack, PackedKeyReadsKeyIOfEveryWidth) {
    std::mt19937_64 rng(5);
    for (unsigned w = 1; w <= 8; ++w) {
        const std::size_t n = 9;
        std::vector<u8> bytes(n * w);
        for (u8& b : bytes) b = static_cast<u8>(rng());
        for (std::size_t i = 0; i < n; ++i) {
            u64 expect = 0;
            for (unsigned j = 0; j < w; ++j) expect |= static_cast<u64>(bytes[i * w + j]) << (8 * j);
            EXPECT_EQ(leaf::packed_key(bytes.data(), i, w), expect) << w << " bytes, key " << i;
        }
    }
}

TEST(LeafKeyEditDeathTest, BrokenArgumentsAreFatal) {
    GuardedBlock block(64);
    EXPECT_DEATH(leaf::shared_keys::insert_at(block.data(), 0, 2, 0, 1), "a packed leaf key is 1..=7 bytes");
    EXPECT_DEATH(leaf::shared_keys::insert_at(block.data(), 8, 3, 0, 1), "a packed leaf key is 1..=7 bytes");
    EXPECT_DEATH(leaf::shared_keys::map_insert_at(block.data(), 9, 3, 0, 1, 1),
                 "a packed leaf key is 1..=7 bytes");
    // A full class has no room for an insert in place.
    EXPECT_DEATH(leaf::shared_keys::insert_at(block.data(), 2, 4, 0, 1), "capacity class");
    EXPECT_DEATH(leaf::shared_keys::map_insert_at(block.data(), 2, 2, 0, 1, 1), "capacity class");
    EXPECT_DEATH(leaf::shared_keys::insert_at(block.data(), 2, 3, 4, 1), "capacity class");
}
