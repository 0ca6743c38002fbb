#include "tolvane/core/node.hpp"

#include <cstring>

namespace tolvane {

namespace {

// Reads one byte of a node without naming its exact struct type.
u8 node_byte(const Edge& e, std::size_t offset) {
    u8 b;
    std::memcpy(&b, e.ptr<const unsigned char>() + offset, 1);
    return b;
}

}  // namespace

u8 node_level(const Edge& e, unsigned slot_level) {
    const u8 tag = e.tag_byte();
    switch (tag) {
        case TAG_BRANCH_L3:
        case TAG_BRANCH_L7:
            static_assert(offsetof(BranchL3, level) == offsetof(BranchL7, level));
            return node_byte(e, offsetof(BranchL3, level));
        case TAG_BRANCH_B:
            return node_byte(e, offsetof(BranchB, level));
        case TAG_BRANCH_U:
        case TAG_FULL:
            return static_cast<u8>(slot_level);
        case TAG_LEAF_BITMAP:
            return 1;
        default:
            if (is_linear_leaf_tag(tag)) return static_cast<u8>(tag - TAG_LEAF_BASE);
            fatal("valid edge tag");
    }
}

u32* node_version_word(const Edge& e) noexcept {
    unsigned char* node = e.ptr<unsigned char>();
    switch (e.tag_byte()) {
        case TAG_BRANCH_L3:
            return &reinterpret_cast<BranchL3*>(node)->version;
        case TAG_BRANCH_L7:
            return &reinterpret_cast<BranchL7*>(node)->version;
        case TAG_BRANCH_B:
            return &reinterpret_cast<BranchB*>(node)->version;
        case TAG_BRANCH_U:
            return &reinterpret_cast<BranchU*>(node)->version;
        default:
            return nullptr;
    }
}

namespace mutate {

std::size_t linear_insert_slot(u8* digits, Edge* children, std::size_t capacity, std::size_t count,
                               u8 d) {
    require(count < capacity && count < 8, "linear branch slot index out of range");
    std::size_t p = 0;
    while (p < count && digits[p] <= d) ++p;
    for (std::size_t j = count; j > p; --j) {
        digits[j] = digits[j - 1];
        children[j] = children[j - 1];
    }
    digits[p] = d;
    children[p] = Edge::empty();
    return p;
}

void linear_remove_slot(u8* digits, Edge* children, std::size_t capacity, std::size_t count,
                        std::size_t i) {
    require(i < count && count <= capacity && count <= 8, "linear branch slot index out of range");
    const std::size_t last = count - 1;
    for (std::size_t j = i; j < last; ++j) {
        digits[j] = digits[j + 1];
        children[j] = children[j + 1];
    }
    digits[last] = 0;
    children[last] = Edge::empty();
}

}  // namespace mutate
}  // namespace tolvane
