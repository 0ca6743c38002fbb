#include "tolvane/sync/olc_get.hpp"

#include <cstring>

namespace tolvane::sync::olc {
namespace {

constexpr Probe retry() { return {}; }
constexpr Probe present(u64 value = 0) { return {Answer::Present, value}; }

// The answer "absent", trusted only while `g` still holds.
Probe absent_after(const Guard& g) { return g.holds() ? Probe{Answer::Absent, 0} : retry(); }

// The 16 key bytes of an immediate: the map keeps its keys in edge bytes
// 8-14, the set in bytes 0-14; the rest of the window reads as zero, so a
// torn tag never indexes past it.
template <bool Map>
u64 immediate_key(const Edge& e, unsigned w, unsigned i) {
    u8 window[16] = {};
    if constexpr (Map) {
        std::memcpy(window, &e.w1, 7);
    } else {
        std::memcpy(window, &e.w0, 8);
        std::memcpy(window + 8, &e.w1, 7);
    }
    u64 k = 0;
    std::memcpy(&k, window + i * w, w);
    return k;
}

// The key's own step through a linear branch: the child edge, or the answer.
template <std::size_t N>
bool linear_step(const BranchL<N>* node, unsigned& level, u64 key, Guard& guard, Edge& e,
                 Probe& answer) {
    const u32 ver = load_acquire(node->version);
    if (ver & NODE_VERSION_LOCKED) return answer = retry(), false;
    const LinearHeader h = linear_header(node);
    if (h.level < 2 || h.level > level || h.count > N) return answer = retry(), false;
    const Guard here = Guard::of_node(node->version, ver);
    if (!prefix_matches(e, level, h.level, key)) return answer = absent_after(here), false;
    const u8 d = static_cast<u8>(shr8(key, h.level - 1));
    unsigned i = 0;
    while (i < h.count && h.digit(i) != d) ++i;
    if (i == h.count) return answer = absent_after(here), false;
    const Edge child = mutate::read_edge(node->children[i]);
    if (!here.holds()) return answer = retry(), false;
    guard = here;
    level = h.level - 1;
    e = child;
    return true;
}

bool bitmap_step(const BranchB* node, unsigned& level, u64 key, Guard& guard, Edge& e,
                 Probe& answer) {
    const u32 ver = load_acquire(node->version);
    if (ver & NODE_VERSION_LOCKED) return answer = retry(), false;
    const unsigned l = load_at<u8>(&node->level);
    if (l < 2 || l > level) return answer = retry(), false;
    const u8 d = static_cast<u8>(shr8(key, l - 1));
    const u32 group = load_relaxed(node->bitmap[d >> 5]);
    const Edge* sub = load_acquire(node->subarrays[d >> 5]);
    const Guard here = Guard::of_node(node->version, ver);
    if (!prefix_matches(e, level, l, key) || !group_has(group, d))
        return answer = absent_after(here), false;
    if (sub == nullptr || !here.holds()) return answer = retry(), false;
    // Bits and pointer held together, so the subarray has the rank.
    const Edge child = mutate::read_edge(sub[group_rank(group, d)]);
    if (!here.holds()) return answer = retry(), false;
    guard = here;
    level = l - 1;
    e = child;
    return true;
}

bool uncompressed_step(const BranchU* node, unsigned& level, u64 key, Guard& guard, Edge& e,
                       Probe& answer) {
    const u32 ver = load_acquire(node->version);
    if ((ver & NODE_VERSION_LOCKED) || level < 2) return answer = retry(), false;
    level -= 1;
    const Edge child = mutate::read_edge(node->children[static_cast<u8>(shr8(key, level))]);
    const Guard here = Guard::of_node(node->version, ver);
    if (!here.holds()) return answer = retry(), false;
    guard = here;
    e = child;
    return true;
}

template <bool Map>
Probe linear_leaf(const Edge& e, unsigned level, u64 key, const Guard& guard) {
    const unsigned w = e.tag_byte() - TAG_LEAF_BASE;
    if (w > level) return retry();
    if (!prefix_matches(e, level, w, key)) return absent_after(guard);
    const std::size_t n = static_cast<std::size_t>(e.w1 & LEVEL_MASK[w]) + 1;
    const u8* block = e.ptr<const u8>();
    const u8* keys = Map ? block + map_leaf_key_offset(n) : block;
    const u64 s = key & low_bytes_mask(w);
    const leaf::LeafPos at = area_locate(keys, n, w, s);
    const std::size_t i = at.index;
    const bool found = at.found;
    if (!guard.holds()) return retry();
    if (!found) return {Answer::Absent, 0};
    if constexpr (!Map) return present();
    const u64 value = load_at<u64>(block + 8 * i);
    return guard.holds() ? present(value) : retry();
}

template <bool Map>
Probe bitmap_leaf(const Edge& e, unsigned level, u64 key, const Guard& guard) {
    if (!prefix_matches(e, level, 1, key)) return absent_after(guard);
    const u8 d = static_cast<u8>(key);
    if constexpr (Map) {
        const LeafBitmapL* leaf = e.ptr<const LeafBitmapL>();
        const u32 group = load_relaxed(leaf->bitmap[d >> 5]);
        const u64* values = load_acquire(leaf->value_subarrays[d >> 5]);
        if (!guard.holds()) return retry();
        if (!group_has(group, d)) return {Answer::Absent, 0};
        if (values == nullptr) return retry();
        const u64 value = load_relaxed(values[group_rank(group, d)]);
        return guard.holds() ? present(value) : retry();
    } else {
        const LeafB1* leaf = e.ptr<const LeafB1>();
        const u64 word = load_relaxed(leaf->bitmap[d >> 6]);
        if (!guard.holds()) return retry();
        return (word >> (d & 63)) & 1 ? present() : Probe{Answer::Absent, 0};
    }
}

template <bool Map>
Probe immediate(const Edge& e, unsigned level, u64 key, const Guard& guard) {
    const EdgeKind kind = decode_tag(e.tag_byte());
    if (!kind.is_immediate() || kind.key_bytes != level) return retry();
    const u64 s = key & low_bytes_mask(kind.key_bytes);
    unsigned i = 0;
    while (i < kind.count && immediate_key<Map>(e, kind.key_bytes, i) != s) ++i;
    if (i == kind.count) return absent_after(guard);
    if (!guard.holds()) return retry();
    if constexpr (!Map) return present();
    if (kind.count == 1) return present(e.w0);
    const u64 value = load_relaxed(e.ptr<const u64>()[i]);
    return guard.holds() ? present(value) : retry();
}

}  // namespace

template <bool Map>
Probe probe_trie(Edge e, u64 key, const Guard& root_guard) {
    Guard guard = root_guard;
    unsigned level = 8;
    Probe answer;
    // Each branch consumes at least one level, so the walk ends within 8.
    for (;;) {
        switch (e.tag_byte()) {
            case TAG_EMPTY:
                return absent_after(guard);
            case TAG_BRANCH_L3:
                if (!linear_step(e.ptr<const BranchL3>(), level, key, guard, e, answer))
                    return answer;
                continue;
            case TAG_BRANCH_L7:
                if (!linear_step(e.ptr<const BranchL7>(), level, key, guard, e, answer))
                    return answer;
                continue;
            case TAG_BRANCH_B:
                if (!bitmap_step(e.ptr<const BranchB>(), level, key, guard, e, answer))
                    return answer;
                continue;
            case TAG_BRANCH_U:
                if (!uncompressed_step(e.ptr<const BranchU>(), level, key, guard, e, answer))
                    return answer;
                continue;
            case TAG_LEAF_BITMAP:
                return bitmap_leaf<Map>(e, level, key, guard);
            case TAG_FULL:
                // A map never holds one: the read was torn.
                if constexpr (Map) return retry();
                return guard.holds() ? present() : retry();
            default:
                if (is_linear_leaf_tag(e.tag_byte())) return linear_leaf<Map>(e, level, key, guard);
                return immediate<Map>(e, level, key, guard);
        }
    }
}

template Probe probe_trie<true>(Edge, u64, const Guard&);
template Probe probe_trie<false>(Edge, u64, const Guard&);

}  // namespace tolvane::sync::olc
