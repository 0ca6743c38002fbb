// Edge word: tag classification, level masks, pop0 arithmetic, the prefix
// test and the immediate / decode-area codecs.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "tolvane/types.hpp"

using namespace tolvane;

namespace {

std::array<u8, 16> bytes_of(const Edge& e) {
    std::array<u8, 16> b{};
    std::memcpy(b.data(), &e.w0, 8);
    std::memcpy(b.data() + 8, &e.w1, 8);
    return b;
}

// `count` distinct ascending keys of w bytes.
std::vector<u64> random_sorted_keys(std::mt19937_64& rng, unsigned w, std::size_t count) {
    std::set<u64> s;
    const u64 mask = low_bytes_mask(w);
    while (s.size() < count) s.insert(rng() & mask);
    return {s.begin(), s.end()};
}

}  // namespace

TEST(EdgeTag, EveryTagByteIsClassified) {
    // Valid immediate tags, listed per width rather than derived from the rule.
    struct Range {
        unsigned w, first, last;
    };
    const Range immediates[] = {{1, 16, 30}, {2, 32, 38}, {3, 48, 52}, {4, 64, 66},
                                {5, 80, 82}, {6, 96, 97}, {7, 112, 113}};
    for (unsigned t = 0; t < 256; ++t) {
        const EdgeKind k = decode_tag(static_cast<u8>(t));
        Edge e;
        e.set_tag(static_cast<u8>(t));
        EXPECT_EQ(e.tag(), k) << t;
        if (t <= 12 || t == 127) {
            ASSERT_TRUE(k.is_node()) << t;
            EXPECT_EQ(k.kind, t);
            EXPECT_EQ(k.is_empty(), t == 0);
            continue;
        }
        const Range* r = nullptr;
        for (const Range& x : immediates)
            if (t >= x.first && t <= x.last) r = &x;
        if (r) {
            ASSERT_TRUE(k.is_immediate()) << t;
            EXPECT_EQ(k.key_bytes, r->w) << t;
            EXPECT_EQ(k.count, t - r->first + 1) << t;
        } else {
            EXPECT_TRUE(k.is_invalid()) << t;
        }
    }
    EXPECT_EQ(decode_tag(30), EdgeKind::immediate(1, 15));
    EXPECT_TRUE(decode_tag(31).is_invalid());
    EXPECT_EQ(decode_tag(113), EdgeKind::immediate(7, 2));
    EXPECT_TRUE(decode_tag(114).is_invalid());
}

TEST(LevelMask, EntriesAndByteShiftsAreDefinedUpToEight) {
    EXPECT_EQ(LEVEL_MASK[0], 0u);
    EXPECT_EQ(LEVEL_MASK[1], 0xFFu);
    EXPECT_EQ(LEVEL_MASK[3], 0xFFFFFFu);
    EXPECT_EQ(LEVEL_MASK[7], (u64{1} << 56) - 1);
    EXPECT_EQ(low_bytes_mask(8), ~u64{0});
    EXPECT_EQ(shl8(0xFF, 7), u64{0xFF} << 56);
    EXPECT_EQ(shl8(0xFF, 8), 0u);
    EXPECT_EQ(shr8(~u64{0}, 8), 0u);
    EXPECT_EQ(shr8(u64{0xAB} << 56, 7), 0xABu);
}

TEST(LevelMaskDeathTest, IndexEightIsFatal) {
    volatile std::size_t eight = 8;
    EXPECT_DEATH((void)LEVEL_MASK[eight], "LEVEL_MASK");
    Edge e;
    EXPECT_DEATH((void)e.pop0(eight), "LEVEL_MASK");
}

TEST(Pop0, AddWrapsInsideItsWidthOnly) {
    Edge e;
    e.w1 = 0x7F'AA'BB'CC'DD'EE'FF'00u;  // pop0 0 at level 1, other bytes set
    e.add_pop0(1, -1);
    auto b = bytes_of(e);
    EXPECT_EQ(b[8], 255);
    EXPECT_EQ(e.w1 >> 8, 0x7F'AA'BB'CC'DD'EE'FFu);

    // Random deltas at every level against byte-wise arithmetic.
    std::mt19937_64 rng(11);
    for (int round = 0; round < 2000; ++round) {
        const unsigned level = 1 + rng() % 7;
        Edge x{rng(), rng()};
        const Edge before = x;
        const i64 delta = static_cast<i64>(rng() % 513) - 256;
        x.add_pop0(level, delta);
        const u64 m = low_bytes_mask(level);
        EXPECT_EQ(x.w1 & ~m, before.w1 & ~m);
        EXPECT_EQ(x.w0, before.w0);
        EXPECT_EQ((x.pop0(level) - before.pop0(level)) & m, static_cast<u64>(delta) & m);
        x.set_pop0(level, 5);
        EXPECT_EQ(x.pop0(level), 5u);
        EXPECT_EQ(x.w1 & ~m, before.w1 & ~m);
    }
}

TEST(PrefixTest, MatchesOnlySkippedBytes) {
    std::mt19937_64 rng(5);
    for (int round = 0; round < 5000; ++round) {
        const unsigned slot = 1 + rng() % 7;
        const unsigned node = 1 + rng() % 7;
        Edge e{rng(), rng()};
        u64 key = rng();
        if (rng() % 2) {
            // Copy the skipped bytes so that the key belongs below the edge,
            // then maybe spoil one of them.
            for (unsigned j = node; j < slot; ++j) {
                const u64 m = u64{0xFF} << (8 * j);
                key = (key & ~m) | (e.w1 & m);
            }
            if (slot > node && rng() % 2) key ^= u64{1} << (8 * (node + rng() % (slot - node)));
        }
        bool expect = true;
        for (unsigned j = node; j < slot; ++j)
            if (((key >> (8 * j)) & 0xFF) != e.byte(8 + j)) expect = false;
        EXPECT_EQ(prefix_matches(e, slot, node, key), expect) << slot << " " << node;
    }
}

TEST(WriteImmed, ByteExactExamples) {
    Edge e{~u64{0}, ~u64{0}};
    const u64 one[] = {0x0A0B0C};
    mutate::write_immed(e, 3, one, 1);
    EXPECT_EQ(e.w0, 0x0A0B0Cu);
    EXPECT_EQ(e.decode_area(), 0u);
    EXPECT_EQ(e.tag_byte(), 0x30);

    const u64 two[] = {0x0102, 0x0304};
    mutate::write_immed(e, 2, two, 2);
    const std::array<u8, 16> expect = {0x02, 0x01, 0x04, 0x03, 0, 0, 0, 0,
                                       0,    0,    0,    0,    0, 0, 0, 0x21};
    EXPECT_EQ(bytes_of(e), expect);
}

TEST(WriteImmed, RoundTripsEveryWidthAndCount) {
    std::mt19937_64 rng(1);
    for (unsigned w = 1; w <= 7; ++w) {
        for (unsigned count = 1; count * w < 16; ++count) {
            for (int round = 0; round < 20; ++round) {
                const auto keys = random_sorted_keys(rng, w, count);
                Edge e{rng(), rng()};  // stale content must be overwritten
                mutate::write_immed(e, static_cast<u8>(w), keys.data(), count);
                const EdgeKind k = e.tag();
                ASSERT_TRUE(k.is_immediate());
                EXPECT_EQ(k.key_bytes, w);
                EXPECT_EQ(k.count, count);
                const auto b = bytes_of(e);
                for (unsigned i = 0; i < count; ++i)
                    for (unsigned j = 0; j < w; ++j)
                        EXPECT_EQ(b[i * w + j], (keys[i] >> (8 * j)) & 0xFF);
                for (unsigned p = count * w; p < 15; ++p) EXPECT_EQ(b[p], 0) << p;
                const KeyList16 back = mutate::immed_keys(e, static_cast<u8>(w), static_cast<u8>(count));
                ASSERT_EQ(back.size(), count);
                EXPECT_TRUE(std::equal(back.begin(), back.end(), keys.begin()));
            }
        }
    }
    EXPECT_TRUE(mutate::immed_keys(Edge{1, 2}, 3, 0).empty());
}

TEST(WriteImmedDeathTest, RefusesWhatNoTagCanHold) {
    const std::vector<u64> keys(300, 0);
    Edge e;
    EXPECT_DEATH(mutate::write_immed(e, 1, keys.data(), 16), "immediate capacity");
    EXPECT_DEATH(mutate::write_immed(e, 6, keys.data(), 3), "immediate capacity");
    EXPECT_DEATH(mutate::write_immed(e, 8, keys.data(), 2), "immediate capacity");
    EXPECT_DEATH(mutate::write_immed(e, 0, keys.data(), 2), "immediate capacity");
    EXPECT_DEATH(mutate::write_immed(e, 1, keys.data(), 0), "immediate capacity");
    // Counts whose low byte looks harmless.
    EXPECT_DEATH(mutate::write_immed(e, 1, keys.data(), 256), "immediate capacity");
    EXPECT_DEATH(mutate::write_immed(e, 1, keys.data(), 258), "immediate capacity");
}

TEST(ImmedKeysDeathTest, RangeErrors) {
    Edge e;
    EXPECT_DEATH(mutate::immed_keys(e, 9, 1), "immediate key width");
    EXPECT_DEATH(mutate::immed_keys(e, 3, 6), "immediate key range");      // 18 bytes
    EXPECT_DEATH(mutate::immed_map_keys(e, 4, 2), "immediate key range");  // 8 decode bytes
    EXPECT_DEATH(mutate::immed_map_keys(e, 9, 1), "immediate key width");
    EXPECT_DEATH(mutate::immed_keys(e, 0, 17), "immediate key count");  // more than the list holds
}

TEST(MapImmediate, KeysLiveInTheDecodeArea) {
    std::mt19937_64 rng(3);
    for (unsigned w = 1; w <= 7; ++w) {
        for (unsigned count = 1; count * w <= 7; ++count) {
            const auto keys = random_sorted_keys(rng, w, count);
            Edge e{rng(), 0};
            for (unsigned i = 0; i < count; ++i)
                for (unsigned j = 0; j < w; ++j)
                    e.set_byte(8 + i * w + j, static_cast<u8>(keys[i] >> (8 * j)));
            e.set_tag(immediate_tag(w, count));
            const KeyList16 back = mutate::immed_map_keys(e, static_cast<u8>(w), static_cast<u8>(count));
            ASSERT_EQ(back.size(), count);
            EXPECT_TRUE(std::equal(back.begin(), back.end(), keys.begin()));
        }
    }
    // Two 3-byte keys: tag 0x31, keys in bytes 8-13, byte 14 zero.
    Edge e{0x1000, 0};
    mutate::write_decode(e, 0, 3, 0x030201);
    mutate::write_decode(e, 3, 6, u64{0x060504} << 24);
    e.set_tag(immediate_tag(3, 2));
    EXPECT_EQ(e.tag_byte(), 0x31);
    EXPECT_EQ(e.byte(14), 0);
    const KeyList16 k = mutate::immed_map_keys(e, 3, 2);
    ASSERT_EQ(k.size(), 2u);
    EXPECT_EQ(k[0], 0x030201u);
    EXPECT_EQ(k[1], 0x060504u);
}

TEST(DecodeArea, WriteThenReadEverySpan) {
    std::mt19937_64 rng(9);
    for (unsigned from = 0; from <= 7; ++from) {
        for (unsigned to = from; to <= 7; ++to) {
            for (int round = 0; round < 20; ++round) {
                Edge e{rng(), rng()};
                const Edge before = e;
                const u64 key = rng();
                mutate::write_decode(e, static_cast<u8>(from), static_cast<u8>(to), key);
                for (unsigned b = 0; b < 16; ++b) {
                    const bool inside = b >= 8 + from && b < 8 + to;
                    EXPECT_EQ(e.byte(b), inside ? static_cast<u8>(key >> (8 * (b - 8))) : before.byte(b))
                        << from << ".." << to << " byte " << b;
                }
                u64 expect = 0;
                for (unsigned j = from; j < to; ++j) expect |= ((key >> (8 * j)) & 0xFF) << (8 * (j - from));
                EXPECT_EQ(mutate::decode_value(e, static_cast<u8>(from), static_cast<u8>(to)), expect);
            }
        }
    }
    Edge e{0, 0x55'66'77'88'99'AA'BB'CCu};
    EXPECT_EQ(mutate::decode_value(e, 3, 3), 0u);
    EXPECT_EQ(mutate::decode_value(e, 0, 7), 0x66'77'88'99'AA'BB'CCu);
}

TEST(DecodeAreaDeathTest, SpansPastTheDecodeAreaAreFatal) {
    Edge e;
    EXPECT_DEATH(mutate::write_decode(e, 0, 8, 0), "decode");
    EXPECT_DEATH(mutate::write_decode(e, 5, 4, 0), "decode");
    EXPECT_DEATH(mutate::decode_value(e, 8, 8), "decode");
    EXPECT_DEATH(mutate::decode_value(e, 2, 8), "decode");
    EXPECT_DEATH(mutate::decode_value(e, 4, 3), "decode");
}
