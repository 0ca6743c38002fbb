#pragma once
// Digit bitmaps, the byte search of linear branches and the select table.
// All pure, allocation-free and branch-light: they sit on every walk.

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <optional>

#include "tolvane/core/types.hpp"

namespace tolvane {

// 256 digits as four u64 words: digit d is bit (d & 63) of words[d >> 6].
// The same memory image read as eight little-endian u32 groups is the
// bitmap of BranchB and LeafBitmapL (digit d = bit (d & 31) of group d >> 5).
struct Bitmap256 {
    u64 words[4] = {};

    static Bitmap256 from_groups(const u32* groups) noexcept {
        Bitmap256 b;
        std::memcpy(b.words, groups, 32);
        return b;
    }
    void to_groups(u32* groups) const noexcept { std::memcpy(groups, words, 32); }

    bool test(u8 d) const noexcept { return (words[d >> 6] >> (d & 63)) & 1; }
    void set(u8 d) noexcept { words[d >> 6] |= u64{1} << (d & 63); }
    void clear(u8 d) noexcept { words[d >> 6] &= ~(u64{1} << (d & 63)); }
    unsigned count() const noexcept {
        return popcount64(words[0]) + popcount64(words[1]) + popcount64(words[2]) +
               popcount64(words[3]);
    }

    // Smallest set digit at or after `from`. Ascending walks stop after 255
    // themselves, since from + 1 would wrap to 0.
    std::optional<u8> next_set(u8 from) const noexcept {
        unsigned i = from >> 6;
        const unsigned s = from & 63;
        u64 x = (words[i] >> s) << s;
        for (;;) {
            if (x != 0) return static_cast<u8>(64 * i + static_cast<unsigned>(std::countr_zero(x)));
            if (++i == 4) return std::nullopt;
            x = words[i];
        }
    }

    friend bool operator==(const Bitmap256&, const Bitmap256&) = default;
};

namespace bits {

// First index i < min(n, 8) with digits[i] == d. The array is always 8 bytes;
// entries at n and above are ignored whatever they hold.
inline std::optional<unsigned> find_byte_8(const u8* digits, std::size_t n, u8 d) noexcept {
    if (n < 4) {
        if (n >= 1 && digits[0] == d) return 0u;
        if (n >= 2 && digits[1] == d) return 1u;
        if (n == 3 && digits[2] == d) return 2u;
        return std::nullopt;
    }
    u64 word;
    std::memcpy(&word, digits, 8);
    constexpr u64 lows = 0x0101010101010101u;
    constexpr u64 sevens = 0x7F7F7F7F7F7F7F7Fu;
    const u64 x = word ^ (lows * d);  // zero bytes where equal
    // High bit of each byte set exactly when that byte of x is zero.
    const u64 eq = ~(((x & sevens) + sevens) | x | sevens);
    const u64 hits = eq & low_bytes_mask(static_cast<unsigned>(n < 8 ? n : 8));
    if (hits == 0) return std::nullopt;
    return static_cast<unsigned>(std::countr_zero(hits)) / 8;
}

// SELECT_LUT[b][k]: position of the (k+1)-th lowest set bit of byte b, or 0
// when b has no more than k set bits.
inline constexpr std::array<std::array<u8, 8>, 256> SELECT_LUT = [] {
    std::array<std::array<u8, 8>, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned k = 0;
        for (unsigned p = 0; p < 8; ++p)
            if ((b >> p) & 1) t[b][k++] = static_cast<u8>(p);
    }
    return t;
}();

// Position of the r-th (0-based) set bit of w. Callers keep r below
// popcount(w); they compare against population counts first.
inline unsigned select_in_word(u64 w, unsigned r) noexcept {
    unsigned b = 0;
    for (; b < 7; ++b) {
        const unsigned c = popcount64((w >> (8 * b)) & 0xFF);
        if (r < c) break;
        r -= c;
    }
    return 8 * b + SELECT_LUT[(w >> (8 * b)) & 0xFF][r & 7];
}

}  // namespace bits
}  // namespace tolvane
