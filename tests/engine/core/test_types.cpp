// Edge word: byte shifts at the key width, pop0 arithmetic, the immediate
// layout, the decode-area span codec and the codecs' fatal range checks. The
// immediate round trips are exercised by the mutator oracle runs.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "tolvane/core/types.hpp"

using namespace tolvane;

namespace {

std::array<u8, 16> bytes_of(const Edge& e) {
    std::array<u8, 16> b{};
    std::memcpy(b.data(), &e.w0, 8);
    std::memcpy(b.data() + 8, &e.w1, 8);
    return b;
}

}  // namespace

// Whole-key shifts by 8 bytes are defined and give zero.
TEST(LevelMask, ByteShiftsAreDefinedAtEight) {
    EXPECT_EQ(low_bytes_mask(8), ~u64{0});
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

// Every width and count an immediate can hold, keys with bytes above their
// width set: key i sits at bytes i*w .. i*w+w-1 whether or not it straddles
// the two words, nothing spills into its neighbours, and both decoders read
// back the low w bytes of each key.
TEST(WriteImmed, PacksAndReadsBackEveryWidthAndCount) {
    std::mt19937_64 rng(7);
    for (u8 w = 1; w <= 7; ++w) {
        for (u8 count = 2; count * w < 16; ++count) {
            std::vector<u64> keys(count);
            for (u64& k : keys) k = rng();
            Edge e{rng(), rng()};
            mutate::write_immed(e, w, keys.data(), count);
            std::array<u8, 16> expect{};
            for (unsigned i = 0; i < count; ++i)
                for (unsigned b = 0; b < w; ++b) expect[i * w + b] = static_cast<u8>(keys[i] >> (8 * b));
            expect[15] = e.tag_byte();
            EXPECT_EQ(bytes_of(e), expect) << int(w) << " bytes x " << int(count);
            const KeyList16 back = mutate::immed_keys(e, w, count);
            ASSERT_EQ(back.size(), count);
            for (unsigned i = 0; i < count; ++i)
                EXPECT_EQ(back[i], keys[i] & low_bytes_mask(w)) << int(w) << " bytes, key " << i;

            // The map flavour's keys live in the 7 decode bytes of w1.
            const u8 map_count = static_cast<u8>(7 / w);
            const KeyList16 decoded = mutate::immed_map_keys(e, w, map_count);
            ASSERT_EQ(decoded.size(), map_count);
            for (unsigned i = 0; i < map_count; ++i) {
                u64 k = 0;
                for (unsigned b = 0; b < w; ++b) k |= u64{expect[8 + i * w + b]} << (8 * b);
                EXPECT_EQ(decoded[i], k) << int(w) << " bytes, decode key " << i;
            }
        }
    }
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
