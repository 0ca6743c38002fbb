// The inline population counts against the library's on words that stress
// each step of the bit trick: empty, full, single bits, alternating patterns,
// bytes at their maximum (the final multiply must not carry) and random words.

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <vector>

#include "tolvane/core/types.hpp"

namespace tolvane {
namespace {

std::vector<u64> probe_words() {
    std::vector<u64> words = {0,
                              ~u64{0},
                              0x5555555555555555u,
                              0xAAAAAAAAAAAAAAAAu,
                              0x3333333333333333u,
                              0xCCCCCCCCCCCCCCCCu,
                              0x0F0F0F0F0F0F0F0Fu,
                              0xF0F0F0F0F0F0F0F0u,
                              0x00FF00FF00FF00FFu,
                              0xFF00000000000000u,
                              0x7FFFFFFFFFFFFFFFu};
    for (unsigned b = 0; b < 64; ++b) {
        words.push_back(u64{1} << b);
        words.push_back(~(u64{1} << b));
        words.push_back(b == 0 ? 0 : ~u64{0} >> (64 - b));  // the low b bits
    }
    std::mt19937_64 rng(20261207);
    for (int i = 0; i < 10000; ++i) {
        const u64 w = rng();
        words.push_back(w);
        words.push_back(w & rng());  // sparse
        words.push_back(w | rng());  // dense
    }
    return words;
}

TEST(Popcount, AgreesWithTheLibraryOnEveryProbeWord) {
    for (const u64 w : probe_words()) {
        ASSERT_EQ(popcount64(w), static_cast<unsigned>(std::popcount(w))) << std::hex << w;
        const u32 low = static_cast<u32>(w), high = static_cast<u32>(w >> 32);
        ASSERT_EQ(popcount32(low), static_cast<unsigned>(std::popcount(low))) << std::hex << low;
        ASSERT_EQ(popcount32(high), static_cast<unsigned>(std::popcount(high))) << std::hex << high;
    }
}

}  // namespace
}  // namespace tolvane
