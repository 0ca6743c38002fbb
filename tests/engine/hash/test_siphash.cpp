// SipHash against the published 2-4 reference vectors (key 00..0f, message
// 00..n-1), which check the round function and the block and tail handling
// that 1-3 shares; 1-3 values under the all-zero key as the interpreter's own
// bytes hash gives them; piecewise writes against one-shot hashing; and the
// per-thread key source.

#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "tolvane/hash/siphash.hpp"
#include "tolvane/hash/thread_keys.hpp"

namespace tolvane {
namespace {

constexpr SipKey kReferenceKey{0x0706050403020100u, 0x0f0e0d0c0b0a0908u};

std::vector<u8> counting_message(std::size_t n) {
    std::vector<u8> m(n);
    for (std::size_t i = 0; i < n; ++i) m[i] = static_cast<u8>(i);
    return m;
}

template <unsigned C, unsigned D>
u64 hash_at_once(SipKey key, const std::vector<u8>& m) {
    SipHasher<C, D> h(key);
    h.write(m.data(), m.size());
    return h.finish();
}

TEST(SipHash, ReferenceVectors24) {
    // Lengths 0..15 cover the empty message, every tail size, and one full
    // block followed by every tail size.
    const u64 expected[16] = {
        0x726fdb47dd0e0e31u, 0x74f839c593dc67fdu, 0x0d6c8009d9a94f5au, 0x85676696d7fb7e2du,
        0xcf2794e0277187b7u, 0x18765564cd99a68du, 0xcbc9466e58fee3ceu, 0xab0200f58b01d137u,
        0x93f5f5799a932462u, 0x9e0082df0ba9e4b0u, 0x7a5dbbc594ddb9f3u, 0xf4b32f46226bada7u,
        0x751e8fbc860ee5fbu, 0x14ea5627c0843d90u, 0xf723ca908e7af2eeu, 0xa129ca6149be45e5u,
    };
    for (std::size_t n = 0; n < 16; ++n)
        EXPECT_EQ((hash_at_once<2, 4>(kReferenceKey, counting_message(n))), expected[n]) << "length " << n;
}

TEST(SipHash, OneThreeUnderZeroKey) {
    const SipKey zero{};
    EXPECT_EQ(siphash13(zero, "a", 1), 4644417185603328019u);
    EXPECT_EQ(siphash13(zero, "abc", 3), 13851880170939887858u);
    EXPECT_EQ((hash_at_once<1, 3>(zero, counting_message(8))), 16921169381604339434u);
    EXPECT_EQ((hash_at_once<1, 3>(zero, counting_message(15))), 17514137373579004394u);
    EXPECT_EQ((hash_at_once<1, 3>(zero, counting_message(63))), 4061470857350050649u);
    // The rounds parameter matters: 1-3 and 2-4 disagree on the same input.
    EXPECT_NE((hash_at_once<1, 3>(kReferenceKey, counting_message(15))), 0xa129ca6149be45e5u);
}

TEST(SipHash, PiecewiseWritesEqualOneShot) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 2000; ++trial) {
        const SipKey key{rng(), rng()};
        std::vector<u8> m(rng() % 70);
        for (auto& b : m) b = static_cast<u8>(rng());
        SipHasher13 pieces(key);
        std::size_t at = 0;
        while (at < m.size()) {
            const std::size_t step = std::min<std::size_t>(rng() % 11, m.size() - at);
            pieces.write(m.data() + at, step);
            at += step;
        }
        ASSERT_EQ(pieces.finish(), siphash13(key, m.data(), m.size())) << "length " << m.size();
        // finish() leaves the hasher usable: more bytes continue the message.
        pieces.write_u64(0x0123456789abcdefu);
        m.insert(m.end(), {0xef, 0xcd, 0xab, 0x89, 0x67, 0x45, 0x23, 0x01});
        ASSERT_EQ(pieces.finish(), siphash13(key, m.data(), m.size()));
    }
}

TEST(ThreadSipKey, EachTakeAdvancesFirstHalfByOne) {
    const SipKey a = take_thread_sip_key();
    const SipKey b = take_thread_sip_key();
    EXPECT_EQ(b.k0, a.k0 + 1);
    EXPECT_EQ(b.k1, a.k1);
    // Another thread draws its own seed (equal only with chance 2^-128).
    SipKey other;
    std::thread([&] { other = take_thread_sip_key(); }).join();
    EXPECT_NE(other, take_thread_sip_key());
}

}  // namespace
}  // namespace tolvane
