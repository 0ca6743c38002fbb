#include "tolvane/sync/olc_walk.hpp"

#include "tolvane/core/node.hpp"
#include "tolvane/int/map_core.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::sync {
namespace {

using End = OlcWalk::End;

OlcWalk ended(End end) {
    OlcWalk w;
    w.end = end;
    return w;
}

u8 digit_at(u64 key, unsigned level) noexcept { return static_cast<u8>(shr8(key, level - 1)); }

// Ends the walk with `end`; a step returns this to say it did not descend.
bool stop(OlcWalk& w, End end) {
    w.end = end;
    return false;
}

// Reads the child edge in `slot` of a branch at `level` whose word read v,
// and moves the walk onto it when the word still reads v afterwards.
bool descend(OlcWalk& w, const u32& word, u32 v, Edge* slot, unsigned level) {
    const Edge child = mutate::read_edge(*slot);
    if (!olc_still(word, v)) return stop(w, End::Retry);
    w.e = child;
    w.slot = slot;
    w.level = level - 1;
    return true;
}

// One linear branch: the child of the key's digit, or why there is none.
template <std::size_t N>
bool linear_step(OlcWalk& w, OlcPath& path, u64 key) {
    auto* node = w.e.ptr<BranchL<N>>();
    const u32 v = load_acquire(node->version);
    if (v & NODE_VERSION_LOCKED) return stop(w, End::Retry);
    const olc::LinearHeader header = olc::linear_header(node);
    const unsigned count = header.count;
    const unsigned level = header.level;
    if (level < 2 || level > w.level || count > N) return stop(w, End::Retry);
    const u8 d = digit_at(key, level);
    const OlcStep step{node, &node->version, v, static_cast<u8>(level - 1), d,
                       static_cast<u8>(N == 3 ? TAG_BRANCH_L3 : TAG_BRANCH_L7)};
    w.branch = step;
    if (!prefix_matches(w.e, w.level, level, key)) return stop(w, End::PrefixDiffers);
    for (unsigned i = 0; i < count; ++i) {
        if (header.digit(i) != d) continue;
        path.push(step);
        return descend(w, node->version, v, &node->children[i], level);
    }
    w.count = count;
    return stop(w, End::Missing);
}

bool bitmap_step(OlcWalk& w, OlcPath& path, u64 key) {
    auto* node = w.e.ptr<BranchB>();
    const u32 v = load_acquire(node->version);
    if (v & NODE_VERSION_LOCKED) return stop(w, End::Retry);
    const unsigned level = load_relaxed(node->level);
    if (level < 2 || level > w.level) return stop(w, End::Retry);
    const u8 d = digit_at(key, level);
    const unsigned g = d >> 5;
    const OlcStep step{node, &node->version, v, static_cast<u8>(level - 1), d, TAG_BRANCH_B};
    w.branch = step;
    if (!prefix_matches(w.e, w.level, level, key)) return stop(w, End::PrefixDiffers);
    // Writers store a new subarray before the bit (release), so a set bit
    // read with acquire comes with a subarray that has the digit's edge.
    const u32 group = load_acquire(node->bitmap[g]);
    Edge* sub = load_acquire(node->subarrays[g]);
    if (!group_has(group, d)) return stop(w, End::Missing);
    const unsigned rank = group_rank(group, d);
    if (!sub || rank >= load_relaxed(node->group_counts[g])) return stop(w, End::Retry);
    if (!olc_still(node->version, v)) return stop(w, End::Retry);
    path.push(step);
    return descend(w, node->version, v, &sub[rank], level);
}

bool uncompressed_step(OlcWalk& w, OlcPath& path, u64 key) {
    auto* node = w.e.ptr<BranchU>();
    const u32 v = load_acquire(node->version);
    if (v & NODE_VERSION_LOCKED) return stop(w, End::Retry);
    const u8 d = digit_at(key, w.level);
    path.push(OlcStep{node, &node->version, v, static_cast<u8>(w.level - 1), d, TAG_BRANCH_U});
    return descend(w, node->version, v, &node->children[d], w.level);
}

}  // namespace

OlcWalk olc_walk(const olc::RootRead& root, u64 key, OlcPath& path) {
    if (root.kind != ROOT_TREE) return ended(End::NotTrie);
    OlcWalk w;
    w.e.w0 = root.word0;
    w.e.w1 = root.word1;
    w.level = 8;
    for (;;) {
        bool descended;
        switch (w.e.tag_byte()) {
            case TAG_BRANCH_L3:
                descended = linear_step<3>(w, path, key);
                break;
            case TAG_BRANCH_L7:
                descended = linear_step<7>(w, path, key);
                break;
            case TAG_BRANCH_B:
                descended = bitmap_step(w, path, key);
                break;
            case TAG_BRANCH_U:
                descended = uncompressed_step(w, path, key);
                break;
            default:
                w.end = End::Edge;
                return w;
        }
        if (!descended) return w;
    }
}

}  // namespace tolvane::sync
