#pragma once
// What the optimistic readers of the concurrent containers share: the guard
// that vouches for what a walk has read, the read of the published root, the
// atomic reads of node fields and packed leaf keys, and the attempt loop with
// its pin, unpin and exclusive fallback.
//
// Reader protocol (the writers' side is in write/version.hpp and the shared
// block): a version word is loaded with acquire before what it vouches for is
// used, and validated afterwards by an acquire fence, a relaxed re-read and a
// comparison. Node memory is read only with atomic loads of the widths the
// writers store (linear branch header as one u32, digits as one u64, key
// areas as whole words plus a 4-2-1 tail), so a torn read is a stale value,
// never a data race; every index derived from an unvalidated read is bounded
// before it is used, and the validation that follows rejects the attempt.

#include <atomic>
#include <cstddef>

#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/leaf/leaf_search.hpp"
#include "tolvane/mem/occ.hpp"
#include "tolvane/sync/shared.hpp"
#include "tolvane/core/spin.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::sync {

namespace olc {

// Test switch: when non-zero, every n-th attempt of this thread fails before
// it reads anything, so tests reach every retry and fallback path on demand.
// 1 fails every attempt and sends each read to the exclusive fallback.
inline constinit thread_local u64 FORCE_RETRY_EVERY = 0;
inline constinit thread_local u64 FORCE_RETRY_COUNT = 0;
// Exclusive fallbacks this thread has taken (tests read it).
inline constinit thread_local u64 FALLBACKS_TAKEN = 0;

inline bool forced_retry() noexcept {
    const u64 every = FORCE_RETRY_EVERY;
    return every != 0 && ++FORCE_RETRY_COUNT % every == 0;
}

template <class T>
inline T load_at(const void* p) noexcept {
    return std::atomic_ref<T>(*static_cast<T*>(const_cast<void*>(p)))
        .load(std::memory_order_relaxed);
}

// The word that vouches for what a walk has read so far: the root version
// (64 bits) at the top, a branch's version word (32 bits) below.
struct Guard {
    const u64* root = nullptr;
    const u32* node = nullptr;
    u64 seen = 0;

    static Guard of_root(const u64& word, u64 v) noexcept { return {&word, nullptr, v}; }
    static Guard of_node(const u32& word, u32 v) noexcept { return {nullptr, &word, v}; }

    bool holds() const noexcept {
        std::atomic_thread_fence(std::memory_order_acquire);
        if (node) return load_relaxed(*node) == static_cast<u32>(seen);
        return load_relaxed(*root) == seen;
    }
};

// The published root: version v (even) and the three words read under it.
struct RootRead {
    u64 version;
    u64 kind;
    u64 word0;
    u64 word1;
};

// Spins while the root version is odd, then reads kind and words.
template <class Block>
inline RootRead read_root(const Block& b) noexcept {
    RootRead r;
    r.version = load_acquire(b.root_version);
    for (SpinWait w; r.version & 1; r.version = load_acquire(b.root_version)) w.pause();
    r.kind = load_relaxed(b.root_kind);
    r.word0 = load_relaxed(b.root_word0);
    r.word1 = load_relaxed(b.root_word1);
    return r;
}

// Word k of a key area of `area_bytes` bytes, read the way the writers store
// it: whole aligned words, then the partial tail as 4-, 2- and 1-byte pieces.
inline u64 area_word(const u8* area, std::size_t area_bytes, std::size_t k) noexcept {
    const std::size_t at = 8 * k;
    if (at + 8 <= area_bytes) return load_at<u64>(area + at);
    const std::size_t t = area_bytes - at;
    u64 v = 0;
    std::size_t off = 0;
    if (t & 4) {
        v = load_at<u32>(area + at);
        off = 4;
    }
    if (t & 2) {
        v |= u64{load_at<u16>(area + at + off)} << (8 * off);
        off += 2;
    }
    if (t & 1) v |= u64{load_at<u8>(area + at + off)} << (8 * off);
    return v;
}

// Key j (w bytes) of a packed key area.
inline u64 area_key(const u8* area, std::size_t area_bytes, unsigned w, std::size_t j) noexcept {
    const std::size_t b = j * w;
    const std::size_t k = b / 8;
    const unsigned shift = static_cast<unsigned>(8 * (b % 8));
    u64 x = area_word(area, area_bytes, k) >> shift;
    if (shift + 8 * w > 64) x |= area_word(area, area_bytes, k + 1) << (64 - shift);
    return x & low_bytes_mask(w);
}

// Lower bound of s among the n keys and whether s is there: the area is
// copied word by word first (independent loads the processor overlaps, where
// a bisection in place would wait for one cache miss after another), then
// searched in the copy. Areas too large for the copy are bisected in place.
inline constexpr std::size_t AREA_COPY_WORDS = 32;
inline leaf::LeafPos area_locate(const u8* area, std::size_t n, unsigned w, u64 s) noexcept {
    const std::size_t bytes = capacity_class(n) * w;
    const std::size_t words = (bytes + 7) / 8;
    if (words <= AREA_COPY_WORDS) {
        u64 copy[AREA_COPY_WORDS];
        for (std::size_t k = 0; k < words; ++k) copy[k] = area_word(area, bytes, k);
        return leaf::locate(reinterpret_cast<const u8*>(copy), n, static_cast<u8>(w), s);
    }
    std::size_t lo = 0, hi = n;
    while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if (area_key(area, bytes, w, mid) < s)
            lo = mid + 1;
        else
            hi = mid;
    }
    return {lo < n && area_key(area, bytes, w, lo) == s, lo};
}

// Index of the first of the n keys not below s (n when none).
inline std::size_t area_lower_bound(const u8* area, std::size_t n, unsigned w, u64 s) noexcept {
    return area_locate(area, n, w, s).index;
}

// The header of a linear branch as writers store it: count, level and digit
// summary in one u32, the eight digits in one u64.
struct LinearHeader {
    unsigned count;
    unsigned level;
    u64 digits;
    u8 digit(unsigned i) const noexcept { return static_cast<u8>(digits >> (8 * i)); }
};
template <std::size_t N>
inline LinearHeader linear_header(const BranchL<N>* node) noexcept {
    const u32 shape = load_at<u32>(&node->count);
    return {shape & 0xFFu, (shape >> 8) & 0xFFu, load_at<u64>(node->digits)};
}

// Root-leaf block of n entries: key j (both flavours); value j (map).
inline u64 root_leaf_key(u64 block, u64 j) noexcept {
    return load_at<u64>(reinterpret_cast<const u64*>(block) + j);
}
inline u64 root_leaf_value(u64 block, u64 n, u64 j) noexcept {
    return load_at<u64>(reinterpret_cast<const u64*>(block) + capacity_class(n) + j);
}

// Runs `attempt` (pinned) until it answers, at most OPTIMISTIC_ATTEMPTS times, then
// `fallback`. `attempt(out)` returns false to retry. The reader is idle on
// return whatever the path.
template <class Out, class Attempt, class Fallback>
inline void run_attempts(Reader& reader, Out& out, Attempt&& attempt, Fallback&& fallback) {
    for (unsigned tries = 0; tries < OPTIMISTIC_ATTEMPTS; ++tries) {
        reader.announce();
        const bool done = !forced_retry() && attempt(out);
        reader.go_idle();
        if (done) return;
    }
    ++FALLBACKS_TAKEN;
    fallback(out);
}

}  // namespace olc
}  // namespace tolvane::sync
