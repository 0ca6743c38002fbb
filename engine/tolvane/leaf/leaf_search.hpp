#pragma once
// Searches over packed key arrays: count keys of w bytes (1..7), key i at
// bytes i*w .. i*w+w-1, little-endian, strictly ascending. Linear leaves and
// multi-key immediates store their keys this way.
//
// Each search picks its method by width and count (branch-free counting for
// tiny arrays, early-exit scans for short ones, one vector compare for 8 or 16
// one-byte keys, bisection above); every method gives the same answer.

#include <bit>
#include <cstddef>
#include <cstring>

#include "tolvane/core/types.hpp"

namespace tolvane::leaf {

// (found, index): for locate, index is the lower bound (the insertion point
// when not found); for search it is meaningful only when found.
struct LeafPos {
    bool found;
    std::size_t index;
    friend bool operator==(const LeafPos&, const LeafPos&) = default;
};

template <unsigned W>
inline u64 load_key(const u8* keys, std::size_t i) noexcept {
    static_assert(W >= 1 && W <= 7);
    u64 k = 0;
    std::memcpy(&k, keys + i * W, W);
    return k;
}

namespace detail {

template <unsigned W>
inline std::size_t count_below(const u8* keys, std::size_t count, u64 target) noexcept {
    std::size_t below = 0;
    for (std::size_t i = 0; i < count; ++i) below += load_key<W>(keys, i) < target;
    return below;
}

// Serves both the unrolled scan and the plain loop scan: stop at the first
// key not below the target.
template <unsigned W>
inline std::size_t scan_to(const u8* keys, std::size_t count, u64 target) noexcept {
    std::size_t i = 0;
    while (i < count && load_key<W>(keys, i) < target) ++i;
    return i;
}

template <unsigned W>
inline std::size_t bisect(const u8* keys, std::size_t count, u64 target) noexcept {
    std::size_t lo = 0, hi = count;
    while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if (load_key<W>(keys, mid) < target)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

template <unsigned W>
inline LeafPos equality_scan(const u8* keys, std::size_t count, u64 k) noexcept {
    for (std::size_t i = 0; i < count; ++i)
        if (load_key<W>(keys, i) == k) return {true, i};
    return {false, 0};
}

// High bit of every byte of x that is zero, and no other bit.
constexpr u64 zero_bytes(u64 x) noexcept {
    constexpr u64 sevens = 0x7F7F7F7F7F7F7F7Fu;
    return ~(((x & sevens) + sevens) | x | sevens);
}

// One byte-wise compare of 8 (or 16) one-byte keys with k.
inline LeafPos vector_equal_8(const u8* keys, u64 k) noexcept {
    u64 word;
    std::memcpy(&word, keys, 8);
    const u64 hits = zero_bytes(word ^ (0x0101010101010101u * k));
    if (hits == 0) return {false, 0};
    return {true, static_cast<std::size_t>(std::countr_zero(hits)) / 8};
}
inline LeafPos vector_equal_16(const u8* keys, u64 k) noexcept {
    const LeafPos low = vector_equal_8(keys, k);
    if (low.found) return low;
    const LeafPos high = vector_equal_8(keys + 8, k);
    return {high.found, high.index + 8};
}

template <unsigned W>
inline LeafPos checked(const u8* keys, std::size_t count, std::size_t i, u64 k) noexcept {
    return {i < count && load_key<W>(keys, i) == k, i};
}

}  // namespace detail

// Index of the first key >= target (count when all are smaller). The target
// is already reduced to its low W bytes.
template <unsigned W>
inline std::size_t lower_bound_fixed(const u8* keys, std::size_t count, u64 target) noexcept {
    static_assert(W >= 1 && W <= 7);
    if (count == 0) return 0;
    if constexpr (W == 4) {
        if (count <= 2) return detail::count_below<W>(keys, count, target);
        if (count <= 4) return detail::scan_to<W>(keys, count, target);
        return detail::bisect<W>(keys, count, target);
    } else {
        if (count <= 4) return detail::count_below<W>(keys, count, target);
        if constexpr (W == 1 || W == 2) {
            if (count <= 8) return detail::scan_to<W>(keys, count, target);
        }
        if constexpr (W == 1) {
            if (count >= 13 && count <= 16) return detail::scan_to<W>(keys, count, target);
        }
        return detail::bisect<W>(keys, count, target);
    }
}

// Lower bound of `key` (reduced to w bytes) with whether it is present.
inline LeafPos locate(const u8* keys, std::size_t count, u8 w, u64 key) noexcept {
    if (count == 0) return {false, 0};
    std::size_t i;
    u64 at;
    switch (w) {
#define TOLVANE_LOCATE_CASE(N)                              \
    case N:                                                 \
        i = lower_bound_fixed<N>(keys, count, key);         \
        if (i == count) return {false, count};              \
        at = load_key<N>(keys, i);                          \
        break;
        TOLVANE_LOCATE_CASE(1)
        TOLVANE_LOCATE_CASE(2)
        TOLVANE_LOCATE_CASE(3)
        TOLVANE_LOCATE_CASE(4)
        TOLVANE_LOCATE_CASE(5)
        TOLVANE_LOCATE_CASE(6)
        default:
        TOLVANE_LOCATE_CASE(7)
#undef TOLVANE_LOCATE_CASE
    }
    return {at == key, i};
}

namespace detail {

template <unsigned W>
inline LeafPos search_fixed(const u8* keys, std::size_t count, u64 k) noexcept {
    if (count == 0) return {false, 0};
    if (count <= 4) return equality_scan<W>(keys, count, k);
    if constexpr (W == 1) {
        if (count <= 7) return checked<W>(keys, count, scan_to<W>(keys, count, k), k);
        if (count == 8) return vector_equal_8(keys, k);
        if (count <= 12) return checked<W>(keys, count, bisect<W>(keys, count, k), k);
        if (count <= 15) return checked<W>(keys, count, scan_to<W>(keys, count, k), k);
        if (count == 16) return vector_equal_16(keys, k);
        return checked<W>(keys, count, bisect<W>(keys, count, k), k);
    } else if constexpr (W == 2) {
        if (count <= 7) return checked<W>(keys, count, scan_to<W>(keys, count, k), k);
        if (count == 8) return equality_scan<W>(keys, count, k);
        return checked<W>(keys, count, bisect<W>(keys, count, k), k);
    } else if constexpr (W == 7) {
        return checked<W>(keys, count, lower_bound_fixed<7>(keys, count, k), k);
    } else {
        return checked<W>(keys, count, bisect<W>(keys, count, k), k);
    }
}

}  // namespace detail

// Whether the low w bytes of `key` are among the keys, and where.
inline LeafPos search(const u8* keys, std::size_t count, u8 w, u64 key) noexcept {
    switch (w) {
        case 1: return detail::search_fixed<1>(keys, count, key & low_bytes_mask(1));
        case 2: return detail::search_fixed<2>(keys, count, key & low_bytes_mask(2));
        case 3: return detail::search_fixed<3>(keys, count, key & low_bytes_mask(3));
        case 4: return detail::search_fixed<4>(keys, count, key & low_bytes_mask(4));
        case 5: return detail::search_fixed<5>(keys, count, key & low_bytes_mask(5));
        case 6: return detail::search_fixed<6>(keys, count, key & low_bytes_mask(6));
        default: return detail::search_fixed<7>(keys, count, key & low_bytes_mask(7));
    }
}

}  // namespace tolvane::leaf
