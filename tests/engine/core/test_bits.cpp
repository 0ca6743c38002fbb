// Digit bitmaps, byte search and select against naive references.

#include <gtest/gtest.h>

#include <bit>
#include <optional>
#include <random>

#include "tolvane/core/bits.hpp"

using namespace tolvane;

namespace {

std::optional<unsigned> naive_next(const bool (&bits)[256], unsigned from) {
    for (unsigned p = from; p < 256; ++p)
        if (bits[p]) return p;
    return std::nullopt;
}

Bitmap256 random_bitmap(std::mt19937_64& rng, bool (&bits)[256]) {
    // Densities from nearly empty to nearly full; whole words left empty too.
    const unsigned density = rng() % 6;
    Bitmap256 b;
    for (unsigned d = 0; d < 256; ++d) {
        bool on = false;
        switch (density) {
            case 0: on = rng() % 200 == 0; break;
            case 1: on = rng() % 20 == 0; break;
            case 2: on = rng() % 2 == 0; break;
            case 3: on = rng() % 20 != 0; break;
            case 4: on = (d >> 6) == 2 && rng() % 8 == 0; break;
            default: on = d == 255 || d == 0; break;
        }
        bits[d] = on;
        if (on) b.set(static_cast<u8>(d));
    }
    return b;
}

}  // namespace

TEST(Bitmap256, NextSetMatchesNaiveScan) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 400; ++round) {
        bool bits[256];
        const Bitmap256 b = random_bitmap(rng, bits);
        unsigned count = 0;
        for (unsigned d = 0; d < 256; ++d) {
            count += bits[d];
            EXPECT_EQ(b.test(static_cast<u8>(d)), bits[d]);
            const auto got = b.next_set(static_cast<u8>(d));
            const auto want = naive_next(bits, d);
            ASSERT_EQ(got.has_value(), want.has_value()) << d;
            if (got) {
                EXPECT_EQ(*got, *want) << d;
            }
        }
        EXPECT_EQ(b.count(), count);
    }
}

TEST(Bitmap256, GroupViewAddressesTheSameDigits) {
    std::mt19937_64 rng(8);
    for (int round = 0; round < 100; ++round) {
        bool bits[256];
        const Bitmap256 b = random_bitmap(rng, bits);
        u32 groups[8];
        b.to_groups(groups);
        for (unsigned d = 0; d < 256; ++d) EXPECT_EQ(((groups[d >> 5] >> (d & 31)) & 1) != 0, bits[d]);
        EXPECT_EQ(Bitmap256::from_groups(groups), b);
    }
}

TEST(FindByte8, MatchesNaiveSearchAndIgnoresUnusedBytes) {
    std::mt19937_64 rng(17);
    for (int round = 0; round < 20000; ++round) {
        u8 digits[8];
        const std::size_t n = rng() % 9;
        // Small alphabet so that hits, misses and garbage equal to d all occur.
        for (auto& x : digits) x = static_cast<u8>(rng() % 12);
        if (rng() % 4 == 0)
            for (auto& x : digits) x = static_cast<u8>(rng());
        const u8 d = static_cast<u8>(rng() % 12);
        std::optional<unsigned> want;
        for (unsigned i = 0; i < n; ++i)
            if (digits[i] == d) {
                want = i;
                break;
            }
        EXPECT_EQ(bits::find_byte_8(digits, n, d), want) << "n=" << n;
    }
}

TEST(FindByte8, BytesPastTheCountNeverMatch) {
    const u8 c[8] = {1, 4, 9, 16, 25, 0, 0, 0};
    EXPECT_EQ(bits::find_byte_8(c, 5, 25), 4u);
    EXPECT_FALSE(bits::find_byte_8(c, 5, 0));
    EXPECT_FALSE(bits::find_byte_8(c, 0, 1));
    EXPECT_FALSE(bits::find_byte_8(c, 2, 9));
}

TEST(Select, LutAndWordSelectMatchNaive) {
    for (unsigned b = 0; b < 256; ++b) {
        unsigned k = 0;
        for (unsigned p = 0; p < 8; ++p)
            if ((b >> p) & 1) {
                EXPECT_EQ(bits::SELECT_LUT[b][k++], p) << b;
            }
        for (; k < 8; ++k) EXPECT_EQ(bits::SELECT_LUT[b][k], 0) << b;
    }
    EXPECT_EQ(bits::select_in_word(0xA5, 2), 5u);
    EXPECT_EQ(bits::select_in_word(0x0100, 0), 8u);
    std::mt19937_64 rng(23);
    for (int round = 0; round < 3000; ++round) {
        u64 w = rng();
        if (round % 3 == 0) w &= rng() & rng();  // sparse words
        if (round % 7 == 0) w &= u64{0xFF} << (8 * (rng() % 8));
        if (w == 0) continue;
        unsigned r = 0;
        for (unsigned p = 0; p < 64; ++p)
            if ((w >> p) & 1) {
                EXPECT_EQ(bits::select_in_word(w, r++), p);
            }
        EXPECT_EQ(r, static_cast<unsigned>(std::popcount(w)));
    }
}
