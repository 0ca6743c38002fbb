// The byte map engine against std::unordered_map on random streams, once
// with the real keyed hash and once with a hash that collides on purpose so
// that buckets of many entries are built, shrunk and emptied. The validator
// checks the bucket invariants and the byte charge after every few steps;
// the walk order is checked against the order of first insertion within
// each hash. ASan's leak check covers the freeing of buckets and key copies.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <unordered_map>

#include "tolvane/bytes/bytes_map.hpp"

namespace tolvane {
namespace {

// Sixteen hashes in all: a stream of a few hundred keys fills buckets of
// dozens of entries.
struct CollidingHash {
    static u64 hash(SipKey, std::string_view k) noexcept {
        return (k.size() + (k.empty() ? 0 : static_cast<u8>(k[0]))) % 16;
    }
};

std::string random_key(std::mt19937_64& rng) {
    std::string k(rng() % 12, '\0');
    for (char& c : k) {
        const u64 r = rng() % 8;
        c = static_cast<char>(r < 3 ? 0 : r < 5 ? r : rng());  // NULs and small bytes are common
    }
    return k;
}

template <class Map>
class BytesMapOracle : public ::testing::Test {};
using Hashes = ::testing::Types<BasicBytesMap<SipKeyedHash>, BasicBytesMap<CollidingHash>>;
TYPED_TEST_SUITE(BytesMapOracle, Hashes);

TYPED_TEST(BytesMapOracle, RandomStreamMatchesUnorderedMap) {
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 4; ++round) {
        TypeParam m;
        std::unordered_map<std::string, u64> model;
        std::unordered_map<std::string, u64> first_insert;  // key -> sequence number of its insert
        u64 sequence = 0;
        for (int step = 0; step < 6000; ++step) {
            const std::string k = random_key(rng);
            const u64 op = rng() % 10;
            if (op < 5) {
                const u64 v = rng();
                const auto before = model.find(k);
                const std::optional<u64> expected =
                    before == model.end() ? std::nullopt : std::optional<u64>(before->second);
                ASSERT_EQ(m.insert(k, v), expected);
                if (!expected) first_insert[k] = sequence++;
                model[k] = v;
            } else if (op < 8) {
                const auto before = model.find(k);
                const std::optional<u64> expected =
                    before == model.end() ? std::nullopt : std::optional<u64>(before->second);
                ASSERT_EQ(m.remove_impl(k), expected);
                model.erase(k);
                first_insert.erase(k);
            } else {
                const auto at = model.find(k);
                ASSERT_EQ(m.get(k), at == model.end() ? std::nullopt : std::optional<u64>(at->second));
            }
            ASSERT_EQ(m.len, model.size());
            if (step % 97 == 0) {
                ASSERT_EQ(m.validate(), std::nullopt) << "step " << step;
            }
        }
        ASSERT_EQ(m.validate(), std::nullopt);
        for (const auto& [k, v] : model) ASSERT_EQ(m.get(k), v);

        // The walk lists every entry once, by ascending hash and, within a
        // hash, by first insertion.
        std::vector<std::pair<u64, u64>> order;  // (hash, insert sequence)
        std::unordered_map<std::string, u64> walked;
        m.for_each([&](std::string_view k, u64 v) {
            walked.emplace(std::string(k), v);
            order.emplace_back(m.hash(k), first_insert.at(std::string(k)));
        });
        ASSERT_EQ(walked, model);
        ASSERT_TRUE(std::is_sorted(order.begin(), order.end()));
        ASSERT_EQ(m.mem_used(), m.bucket_bytes + m.map.alloc.live_bytes());

        if (round % 2 == 0) {  // clearing leaves a map that keeps working with the same keys
            const u64 h = m.hash("probe");
            m.clear_entries();
            ASSERT_EQ(m.len, 0u);
            ASSERT_EQ(m.bucket_bytes, 0u);
            ASSERT_EQ(m.map.size(), 0u);
            for (const auto& entry : model) ASSERT_EQ(m.get(entry.first), std::nullopt);
            ASSERT_EQ(m.hash("probe"), h);
            ASSERT_EQ(m.insert("probe", 1), std::nullopt);
            ASSERT_EQ(m.get("probe"), 1u);
            ASSERT_EQ(m.validate(), std::nullopt);
        }
    }
}

// The byte charge of each event, on keys that all share one hash.
TEST(BytesMapBuckets, SharedHashKeepsOrderAndChargesEachEvent) {
    struct OneHash {
        static u64 hash(SipKey, std::string_view) noexcept { return 42; }
    };
    BasicBytesMap<OneHash> m;
    const auto keys_in_walk = [&] {
        std::vector<std::string> keys;
        m.for_each([&](std::string_view k, u64) { keys.emplace_back(k); });
        return keys;
    };
    m.insert("", 1);  // new hash, empty key: one bucket record and one entry
    EXPECT_EQ(m.bucket_bytes, 48u);
    m.insert(std::string("a\0", 2), 2);  // new key in the existing bucket
    EXPECT_EQ(m.bucket_bytes, 48u + 26u);
    m.insert("a", 3);
    EXPECT_EQ(m.bucket_bytes, 48u + 26u + 25u);
    EXPECT_EQ(m.insert(std::string("a\0", 2), 9), 2u);  // replaced in place
    EXPECT_EQ(m.bucket_bytes, 48u + 26u + 25u);
    EXPECT_EQ(keys_in_walk(), (std::vector<std::string>{"", std::string("a\0", 2), "a"}));

    EXPECT_EQ(m.remove_impl(""), 1u);  // the first goes, the others stay in order
    EXPECT_EQ(m.bucket_bytes, 24u + 26u + 25u);
    EXPECT_EQ(keys_in_walk(), (std::vector<std::string>{std::string("a\0", 2), "a"}));
    EXPECT_EQ(m.map.size(), 1u);
    m.insert("", 4);  // a key inserted again goes behind the others
    EXPECT_EQ(keys_in_walk(), (std::vector<std::string>{std::string("a\0", 2), "a", ""}));
    EXPECT_EQ(m.remove_impl("a"), 3u);
    EXPECT_EQ(m.remove_impl("a"), std::nullopt);
    EXPECT_EQ(m.remove_impl(std::string("a\0", 2)), 9u);
    EXPECT_EQ(m.bucket_bytes, 48u);
    EXPECT_EQ(m.remove_impl(""), 4u);  // the last entry takes the hash with it
    EXPECT_EQ(m.bucket_bytes, 0u);
    EXPECT_EQ(m.map.size(), 0u);
    EXPECT_EQ(m.validate(), std::nullopt);
}

TEST(BytesMapKeys, MapsMadeOnOneThreadDifferInFirstKeyByOne) {
    TolvaneBytesMap a;
    TolvaneBytesMap b;
    EXPECT_EQ(b.k0, a.k0 + 1);
    EXPECT_EQ(b.k1, a.k1);
    EXPECT_NE(a.hash("key"), b.hash("key"));
}

}  // namespace
}  // namespace tolvane
