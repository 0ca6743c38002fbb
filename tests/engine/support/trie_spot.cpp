#include "support/trie_spot.hpp"

#include "tolvane/core/node.hpp"

namespace tolvane::test {

namespace {
template <class Node>
const Edge* linear_child(const Node* n, u8 d) {
    for (unsigned i = 0; i < n->count && i < Node::CAPACITY; ++i)
        if (n->digits[i] == d) return &n->children[i];
    return nullptr;
}
}  // namespace

Spot spot_of(const Edge& root, u64 key) {
    Spot s;
    s.e = root;
    for (;;) {
        const u8 tag = s.e.tag_byte();
        const Edge* child = nullptr;
        unsigned child_level = 0;
        const u32* version = node_version_word(s.e);
        if (tag == TAG_BRANCH_L3 || tag == TAG_BRANCH_L7) {
            const unsigned level = tag == TAG_BRANCH_L3 ? s.e.ptr<BranchL3>()->level : s.e.ptr<BranchL7>()->level;
            const u8 d = static_cast<u8>(shr8(key, level - 1));
            child = tag == TAG_BRANCH_L3 ? linear_child(s.e.ptr<BranchL3>(), d) : linear_child(s.e.ptr<BranchL7>(), d);
            child_level = level - 1;
        } else if (tag == TAG_BRANCH_B) {
            const auto* n = s.e.ptr<BranchB>();
            const u8 d = static_cast<u8>(shr8(key, n->level - 1));
            if (group_has(n->bitmap[d >> 5], d)) child = &n->subarrays[d >> 5][group_rank(n->bitmap[d >> 5], d)];
            child_level = n->level - 1u;
        } else if (tag == TAG_BRANCH_U) {
            child = &s.e.ptr<BranchU>()->children[static_cast<u8>(shr8(key, s.level - 1))];
            child_level = s.level - 1;
        } else {
            return s;
        }
        if (!child) {
            s.missing = true;
            return s;
        }
        s.holder = tag;
        s.holder_version = version;
        s.e = *child;
        s.level = child_level;
    }
}

unsigned keys_in(const Edge& e) {
    const EdgeKind k = e.tag();
    if (k.is_immediate()) return k.count;
    if (is_linear_leaf_tag(e.tag_byte())) return static_cast<unsigned>(e.pop0(e.tag_byte() - TAG_LEAF_BASE)) + 1;
    if (e.tag_byte() == TAG_LEAF_BITMAP) return static_cast<unsigned>(e.pop0(1)) + 1;
    return 0;
}

Form form_of(const Edge& root, u64 key) {
    const Spot s = spot_of(root, key);
    const EdgeKind k = s.e.tag();
    return {k.is_immediate() ? static_cast<u8>(0x10 * k.key_bytes) : s.e.tag_byte(), keys_in(s.e)};
}

}  // namespace tolvane::test
