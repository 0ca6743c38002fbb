#pragma once
// Keyed SipHash with the number of compression and finalisation rounds as
// template parameters. The hashed containers use 1-3 (one compression round
// per 8-byte block, three finalisation rounds): enough to keep an outsider
// from choosing colliding keys without knowing the per-map key, and cheap
// on short keys. 2-4 exists for the published reference vectors, which
// check the shared round function and block handling.
//
// SipHasher is incremental so that a caller can hash a prefix (a length,
// an identity word) and the key bytes as one message without joining them
// in a buffer first: writing a message in pieces gives the same hash as
// writing it at once.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tolvane/core/types.hpp"

namespace tolvane {

// The two 64-bit halves of a 128-bit SipHash key (k0 the first 8 key bytes,
// k1 the next 8, each read little-endian).
struct SipKey {
    u64 k0 = 0;
    u64 k1 = 0;
    friend bool operator==(const SipKey&, const SipKey&) = default;
};

template <unsigned CompressionRounds, unsigned FinalRounds>
class SipHasher {
public:
    explicit SipHasher(SipKey key) noexcept
        : v0_(key.k0 ^ 0x736f6d6570736575u),
          v1_(key.k1 ^ 0x646f72616e646f6du),
          v2_(key.k0 ^ 0x6c7967656e657261u),
          v3_(key.k1 ^ 0x7465646279746573u) {}

    void write(const void* data, std::size_t size) noexcept {
        const auto* bytes = static_cast<const u8*>(data);
        length_ += size;
        // Top up a partial block left by an earlier write first.
        while (tail_size_ != 0 && size != 0) {
            tail_ |= u64{*bytes++} << (8 * tail_size_);
            --size;
            if (++tail_size_ == 8) {
                compress(tail_);
                tail_ = 0;
                tail_size_ = 0;
            }
        }
        for (; size >= 8; size -= 8, bytes += 8) {
            u64 block;
            std::memcpy(&block, bytes, 8);  // little-endian host (types.hpp)
            compress(block);
        }
        for (; size != 0; --size) tail_ |= u64{*bytes++} << (8 * tail_size_++);
    }

    // The word as 8 little-endian bytes.
    void write_u64(u64 word) noexcept { write(&word, 8); }

    // The hash of everything written so far; the hasher itself is unchanged.
    [[nodiscard]] u64 finish() const noexcept {
        SipHasher last = *this;
        last.compress(last.tail_ | (last.length_ << 56));
        last.v2_ ^= 0xff;
        for (unsigned i = 0; i < FinalRounds; ++i) last.round();
        return last.v0_ ^ last.v1_ ^ last.v2_ ^ last.v3_;
    }

private:
    static constexpr u64 rotl(u64 x, unsigned b) noexcept { return (x << b) | (x >> (64 - b)); }

    void round() noexcept {
        v0_ += v1_;
        v1_ = rotl(v1_, 13);
        v1_ ^= v0_;
        v0_ = rotl(v0_, 32);
        v2_ += v3_;
        v3_ = rotl(v3_, 16);
        v3_ ^= v2_;
        v0_ += v3_;
        v3_ = rotl(v3_, 21);
        v3_ ^= v0_;
        v2_ += v1_;
        v1_ = rotl(v1_, 17);
        v1_ ^= v2_;
        v2_ = rotl(v2_, 32);
    }

    void compress(u64 block) noexcept {
        v3_ ^= block;
        for (unsigned i = 0; i < CompressionRounds; ++i) round();
        v0_ ^= block;
    }

    u64 v0_, v1_, v2_, v3_;
    u64 tail_ = 0;           // bytes of the unfinished block, first byte lowest
    unsigned tail_size_ = 0;  // 0..7
    u64 length_ = 0;          // message bytes written; only its low byte enters the hash
};

using SipHasher13 = SipHasher<1, 3>;
using SipHasher24 = SipHasher<2, 4>;

// One-shot SipHash-1-3 of a byte string.
u64 siphash13(SipKey key, const void* data, std::size_t size) noexcept;

}  // namespace tolvane
