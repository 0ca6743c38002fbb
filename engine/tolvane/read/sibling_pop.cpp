#include "tolvane/read/sibling_pop.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "tolvane/core/node.hpp"

namespace tolvane::nav {

namespace {

// How an edge's tag turns its w1 into a population: (w1 & mask) + add, the
// mask further cut to the bits a child of this parent can use. Branch and
// full tags take the whole decode area here (their level comes from the
// parent or the node); an invalid tag adds kBadTag, which no valid add has.
constexpr u8 kBadTag = 0x80;

struct PopRules {
    u64 mask[256] = {};
    u8 add[256] = {};
};

constexpr PopRules make_pop_rules() {
    PopRules rules;
    for (unsigned t = 0; t < 256; ++t) {
        const u8 tag = static_cast<u8>(t);
        u64 mask = 0;
        u8 add = 1;
        if (tag == TAG_EMPTY) {
            add = 0;
        } else if (is_branch_tag(tag) || tag == TAG_FULL) {
            mask = low_bytes_mask(7);
        } else if (is_linear_leaf_tag(tag)) {
            mask = low_bytes_mask(tag - TAG_LEAF_BASE);
        } else if (tag == TAG_LEAF_BITMAP) {
            mask = 0xFF;
        } else if (const EdgeKind kind = decode_tag(tag); kind.is_immediate()) {
            add = kind.count;
        } else {
            add = kBadTag;
        }
        rules.mask[t] = mask;
        rules.add[t] = add;
    }
    return rules;
}

constexpr PopRules kRules = make_pop_rules();

constexpr bool needs_level(u8 tag) noexcept {
    return tag == TAG_BRANCH_L3 || tag == TAG_BRANCH_L7 || tag == TAG_BRANCH_B;
}

[[noreturn]] void invalid_tag() { fatal("valid edge tag"); }

// Asks for the line holding the level byte of every linear or bitmap branch
// among the n edges, so that their misses overlap instead of queueing.
void fetch_levels(const Edge* run, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const u8 t = run[i].tag_byte();
        if (t == TAG_BRANCH_B)
            __builtin_prefetch(run[i].ptr<const u8>() + offsetof(BranchB, level));
        else if (t == TAG_BRANCH_L3 || t == TAG_BRANCH_L7)
            __builtin_prefetch(run[i].ptr<const u8>() + offsetof(BranchL3, level));
    }
}

// Keys behind one edge in a slot of `slot`, its pop0 cut to `cut`. With
// Levels, a linear or bitmap branch reads its level from its node. Invalid
// tags are the caller's to catch.
template <bool Levels>
inline u64 pop_of(const Edge& e, u64 cut, unsigned slot) {
    const u64 w1 = e.w1;
    const u8 t = static_cast<u8>(w1 >> 56);
    if (Levels && needs_level(t)) return (w1 & LEVEL_MASK[node_level(e, slot)]) + 1;
    return (w1 & kRules.mask[t] & cut) + kRules.add[t];
}

template <bool Levels>
u64 sum_run(const Edge* run, std::size_t n, u64 cut, unsigned slot) {
    if (Levels) fetch_levels(run, n);
    u64 total = 0;
    u8 bad = 0;
    // Without levels: one load of each w1 and two table reads, no branch.
#pragma GCC unroll 4
    for (std::size_t i = 0; i < n; ++i) {
        bad |= kRules.add[run[i].tag_byte()];
        total += pop_of<Levels>(run[i], cut, slot);
    }
    if (bad & kBadTag) invalid_tag();
    return total;
}

// One predictable branch per edge, taken once at the end; the levels of
// linear and bitmap branches, where needed, are asked for a block ahead.
// The rank is counted down in a local: through the reference the compiler
// would store it after every edge, as an edge word might alias it.
template <bool Up, bool Levels>
std::size_t find_in_run(const Edge* run, std::size_t n, u64& rank, u64 cut, unsigned slot) {
    constexpr std::size_t kBlock = Levels ? 8 : ~std::size_t{0};
    const auto block = [&](std::size_t done, std::size_t m) {
        return Up ? run + done : run + (n - done - m);
    };
    if (Levels) fetch_levels(block(0, std::min(kBlock, n)), std::min(kBlock, n));
    u64 left = rank;
    std::size_t found = n;
    u8 bad = 0;
    for (std::size_t done = 0; done < n && found == n; done += std::min(kBlock, n - done)) {
        const std::size_t m = std::min(kBlock, n - done);
        if (Levels && done + m < n) {
            const std::size_t next = std::min(kBlock, n - done - m);
            fetch_levels(block(done + m, next), next);
        }
        for (std::size_t j = done; j < done + m; ++j) {
            const std::size_t i = Up ? j : n - 1 - j;
            bad |= kRules.add[run[i].tag_byte()];
            const u64 p = pop_of<Levels>(run[i], cut, slot);
            if (left < p) {
                found = i;
                break;
            }
            left -= p;
        }
    }
    if (bad & kBadTag) invalid_tag();
    rank = left;
    return found;
}

}  // namespace

SiblingPop::SiblingPop(unsigned slot_level, u64 parent_population) noexcept
    : mask_(low_bytes_mask(slot_level)), slot_(slot_level), reads_levels_(true) {
    if (parent_population == 0) return;
    const u64 pop0 = parent_population - 1;
    const u64 bits = pop0 == 0 ? 0 : ~u64{0} >> std::countl_zero(pop0);
    mask_ &= bits;
    reads_levels_ = bits > 0xFFFF;
}

u64 SiblingPop::of(const Edge& e) const {
    if (kRules.add[e.tag_byte()] == kBadTag) invalid_tag();
    return reads_levels_ ? pop_of<true>(e, mask_, slot_) : pop_of<false>(e, mask_, slot_);
}

void fetch_edges(const Edge* run, std::size_t n) {
    if (n == 0) return;
    constexpr std::uintptr_t kLine = 64;
    const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(run + n - 1);
    for (std::uintptr_t at = reinterpret_cast<std::uintptr_t>(run) & ~(kLine - 1); at <= last;
         at += kLine)
        __builtin_prefetch(reinterpret_cast<const void*>(at));
}

u64 SiblingPop::sum(const Edge* run, std::size_t n) const {
    return reads_levels_ ? sum_run<true>(run, n, mask_, slot_)
                         : sum_run<false>(run, n, mask_, slot_);
}

template <bool Up>
std::size_t SiblingPop::find(const Edge* run, std::size_t n, u64& rank) const {
    return reads_levels_ ? find_in_run<Up, true>(run, n, rank, mask_, slot_)
                         : find_in_run<Up, false>(run, n, rank, mask_, slot_);
}

template std::size_t SiblingPop::find<true>(const Edge*, std::size_t, u64&) const;
template std::size_t SiblingPop::find<false>(const Edge*, std::size_t, u64&) const;

}  // namespace tolvane::nav
