#include "tolvane/sync/olc_nav.hpp"

#include <cstring>

#include "tolvane/core/node.hpp"

namespace tolvane::sync::sync_nav {
namespace {

using olc::Guard;
using olc::load_at;

constexpr NavResult retry() { return {}; }
constexpr NavResult none() { return {NAV_NONE, 0, 0}; }

// The wanted side's extreme key of `bytes` bytes: 0 for next, all ones for prev.
template <bool Next>
constexpr u64 extreme(unsigned bytes) {
    return Next ? 0 : low_bytes_mask(bytes);
}

// The result of a child with the levels this node resolves put back.
NavResult compose(const NavResult& child, u64 upper) {
    if (child.tag != NAV_FOUND) return child;
    return {NAV_FOUND, child.key | upper, child.value};
}

// Takes the branch's version on entry and records it. False: the branch is
// being changed, or the path is full; the attempt fails.
bool enter(const u32& word, NavPath& path, u32& seen) {
    seen = load_acquire(word);
    if ((seen & NODE_VERSION_LOCKED) || path.count >= NAV_PATH_CAP) return false;
    path.words[path.count] = &word;
    path.seen[path.count] = seen;
    ++path.count;
    return true;
}

// The skipped prefix of a node at level l below a slot at level L (l < L)
// against the key. False: nothing on the wanted side below the edge.
// Otherwise `k` is the key to search below (masked to l bytes) and `p` the
// prefix to put back.
template <bool Next>
bool through_prefix(const Edge& e, unsigned l, unsigned L, u64& k, u64& p) {
    p = 0;
    if (l < L) {
        p = shr8(e.w1, l) & LEVEL_MASK[L - l];
        const u64 h = shr8(k, l);
        if (Next ? h > p : h < p) return false;
        if (h != p) k = extreme<Next>(l);
    }
    k &= low_bytes_mask(l);
    return true;
}

// The first (Next) or last (prev) set digit of `bits` at or beyond `from`
// in the wanted direction; -1 when none.
template <bool Next>
int scan_bits(const u32 (&bits)[8], int from) {
    if (Next) {
        for (int c = from; c <= 255; ++c)
            if ((bits[c >> 5] >> (c & 31)) & 1) return c;
    } else {
        for (int c = from; c >= 0; --c)
            if ((bits[c >> 5] >> (c & 31)) & 1) return c;
    }
    return -1;
}

template <bool Next, std::size_t N>
NavResult linear_branch(const Edge& e, const BranchL<N>* node, u64 k, unsigned L, NavPath& path) {
    u32 ver;
    if (!enter(node->version, path, ver)) return retry();
    const olc::LinearHeader h = olc::linear_header(node);
    if (h.level < 2 || h.level > L || h.count > N) return retry();
    const unsigned l = h.level;
    u64 p;
    if (!through_prefix<Next>(e, l, L, k, p)) return none();
    const u8 d = static_cast<u8>(shr8(k, l - 1));
    const Guard here = Guard::of_node(node->version, ver);
    const int count = static_cast<int>(h.count);
    // Digits ascend: next visits those not below d upward, prev those not
    // above d downward.
    int i = Next ? 0 : count - 1;
    if (Next)
        while (i < count && h.digit(static_cast<unsigned>(i)) < d) ++i;
    else
        while (i >= 0 && h.digit(static_cast<unsigned>(i)) > d) --i;
    for (; Next ? i < count : i >= 0; i += Next ? 1 : -1) {
        const u8 c = h.digit(static_cast<unsigned>(i));
        const Edge child = mutate::read_edge(node->children[i]);
        if (!here.holds()) return retry();
        const u64 ck = c == d ? k & low_bytes_mask(l - 1) : extreme<Next>(l - 1);
        const NavResult r = nav_in<Next>(child, ck, l - 1, here, path);
        if (r.tag != NAV_NONE) return compose(r, shl8(c, l - 1) | shl8(p, l));
    }
    return none();
}

template <bool Next>
NavResult bitmap_branch(const Edge& e, const BranchB* node, u64 k, unsigned L, NavPath& path) {
    u32 ver;
    if (!enter(node->version, path, ver)) return retry();
    const unsigned l = load_at<u8>(&node->level);
    if (l < 2 || l > L) return retry();
    u64 p;
    if (!through_prefix<Next>(e, l, L, k, p)) return none();
    const u8 d = static_cast<u8>(shr8(k, l - 1));
    u32 bits[8];
    for (unsigned g = 0; g < 8; ++g) bits[g] = load_relaxed(node->bitmap[g]);
    const Guard here = Guard::of_node(node->version, ver);
    for (int c = scan_bits<Next>(bits, d); c >= 0;
         c = (Next ? c == 255 : c == 0) ? -1 : scan_bits<Next>(bits, Next ? c + 1 : c - 1)) {
        const Edge* sub = load_acquire(node->subarrays[c >> 5]);
        if (sub == nullptr || !here.holds()) return retry();
        // Bits and pointer held together, so the subarray has the rank.
        const Edge child = mutate::read_edge(sub[group_rank(bits[c >> 5], static_cast<u8>(c))]);
        if (!here.holds()) return retry();
        const u64 ck = c == d ? k & low_bytes_mask(l - 1) : extreme<Next>(l - 1);
        const NavResult r = nav_in<Next>(child, ck, l - 1, here, path);
        if (r.tag != NAV_NONE) return compose(r, shl8(static_cast<u64>(c), l - 1) | shl8(p, l));
    }
    return none();
}

template <bool Next>
NavResult uncompressed_branch(const BranchU* node, u64 k, unsigned L, NavPath& path) {
    u32 ver;
    if (!enter(node->version, path, ver)) return retry();
    if (L < 2) return retry();
    const int d = static_cast<int>(static_cast<u8>(shr8(k, L - 1)));
    const Guard here = Guard::of_node(node->version, ver);
    for (int c = d; Next ? c <= 255 : c >= 0; c += Next ? 1 : -1) {
        const Edge child = mutate::read_edge(node->children[c]);
        if (child.tag_byte() == TAG_EMPTY) continue;
        if (!here.holds()) return retry();
        const u64 ck = c == d ? k & low_bytes_mask(L - 1) : extreme<Next>(L - 1);
        const NavResult r = nav_in<Next>(child, ck, L - 1, here, path);
        if (r.tag != NAV_NONE) return compose(r, shl8(static_cast<u64>(c), L - 1));
    }
    return none();
}

template <bool Next>
NavResult linear_leaf(const Edge& e, u64 k, unsigned L) {
    const unsigned w = e.tag_byte() - TAG_LEAF_BASE;
    if (w > L) return retry();
    u64 p;
    if (!through_prefix<Next>(e, w, L, k, p)) return none();
    const std::size_t n = static_cast<std::size_t>(e.w1 & LEVEL_MASK[w]) + 1;
    const u8* block = e.ptr<const u8>();
    const u8* keys = block + map_leaf_key_offset(n);
    std::size_t i;
    if (Next) {
        i = olc::area_locate(keys, n, w, k).index;
        if (i == n) return none();
    } else {
        // The subtree's largest key needs no search.
        std::size_t below = n;
        if (k != low_bytes_mask(w)) {
            const leaf::LeafPos at = olc::area_locate(keys, n, w, k);
            below = at.index + (at.found ? 1 : 0);
        }
        if (below == 0) return none();
        i = below - 1;
    }
    const u64 key = olc::area_key(keys, capacity_class(n) * w, w, i);
    return {NAV_FOUND, key | shl8(p, w), load_at<u64>(block + 8 * i)};
}

template <bool Next>
NavResult bitmap_leaf(const Edge& e, u64 k, unsigned L, const Guard& guard) {
    u64 p;
    if (!through_prefix<Next>(e, 1, L, k, p)) return none();
    const LeafBitmapL* leaf = e.ptr<const LeafBitmapL>();
    u32 bits[8];
    for (unsigned g = 0; g < 8; ++g) bits[g] = load_relaxed(leaf->bitmap[g]);
    const int c = scan_bits<Next>(bits, static_cast<int>(k));
    if (c < 0) return none();
    const u64* values = load_acquire(leaf->value_subarrays[c >> 5]);
    if (values == nullptr || !guard.holds()) return retry();
    const u64 value = load_relaxed(values[group_rank(bits[c >> 5], static_cast<u8>(c))]);
    return {NAV_FOUND, static_cast<u64>(c) | shl8(p, 1), value};
}

template <bool Next>
NavResult immediate(const Edge& e, u64 k, unsigned L) {
    const EdgeKind kind = decode_tag(e.tag_byte());
    if (!kind.is_immediate() || kind.key_bytes != L) return retry();
    // Map immediates keep their keys in edge bytes 8-14; the rest of the
    // window reads as zero.
    u8 window[16] = {};
    std::memcpy(window, &e.w1, 7);
    const unsigned w = kind.key_bytes;
    const auto key_at = [&](unsigned i) {
        u64 key = 0;
        std::memcpy(&key, window + i * w, w);
        return key;
    };
    const unsigned n = kind.count;
    unsigned i = 0;
    if (Next) {
        while (i < n && key_at(i) < k) ++i;
        if (i == n) return none();
    } else {
        while (i < n && key_at(i) <= k) ++i;
        if (i == 0) return none();
        --i;
    }
    const u64 value = n == 1 ? e.w0 : load_relaxed(e.ptr<const u64>()[i]);
    return {NAV_FOUND, key_at(i), value};
}

}  // namespace

template <bool Next>
NavResult nav_in(const Edge& e, u64 k, unsigned L, const Guard& guard, NavPath& path) {
    const u8 tag = e.tag_byte();
    switch (tag) {
        case TAG_EMPTY:
            return none();
        case TAG_BRANCH_L3:
            return linear_branch<Next>(e, e.ptr<const BranchL3>(), k, L, path);
        case TAG_BRANCH_L7:
            return linear_branch<Next>(e, e.ptr<const BranchL7>(), k, L, path);
        case TAG_BRANCH_B:
            return bitmap_branch<Next>(e, e.ptr<const BranchB>(), k, L, path);
        case TAG_BRANCH_U:
            return uncompressed_branch<Next>(e.ptr<const BranchU>(), k, L, path);
        case TAG_LEAF_BITMAP:
            return bitmap_leaf<Next>(e, k, L, guard);
        case TAG_FULL:
            // A map never holds one: the read was torn.
            return retry();
        default:
            if (is_linear_leaf_tag(tag)) return linear_leaf<Next>(e, k, L);
            return immediate<Next>(e, k, L);
    }
}

template NavResult nav_in<true>(const Edge&, u64, unsigned, const Guard&, NavPath&);
template NavResult nav_in<false>(const Edge&, u64, unsigned, const Guard&, NavPath&);

}  // namespace tolvane::sync::sync_nav
