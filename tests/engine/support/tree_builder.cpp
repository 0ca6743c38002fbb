#include "support/tree_builder.hpp"

#include <cstring>

#include "tolvane/core/fatal.hpp"
#include "tolvane/write/mutate_free.hpp"

namespace tolvane::testing {

u64 edge_population(const Edge& e, u8 slot_level) {
    const EdgeKind kind = e.tag();
    if (kind.is_immediate()) return kind.count;
    require(!kind.is_invalid(), "edge_population of an invalid tag");
    if (kind.kind == TAG_EMPTY) return 0;
    if (kind.kind == TAG_FULL) {
        require(slot_level <= 7, "edge_population of a full edge at level 8");
        return shl8(1, slot_level);
    }
    const u8 level = node_level(e, slot_level);
    if (kind.kind == TAG_LEAF_BITMAP) return u64{e.byte(8)} + 1;
    return e.pop0(level) + 1;
}

namespace {

void put_key(unsigned char* at, u64 key, unsigned w) { std::memcpy(at, &key, w); }

// An edge to a leaf block of n keys: population n - 1 in the low `pop_bytes`
// bytes of the decode area.
Edge leaf_edge(void* block, u8 tag, unsigned pop_bytes, std::size_t n) {
    Edge e;
    e.set_ptr(block);
    e.set_tag(tag);
    e.set_pop0(pop_bytes, n - 1);
    return e;
}

}  // namespace

template <bool Map>
Edge TreeBuilder<Map>::immediate(u8 w, const std::vector<u64>& keys)
    requires(!Map)
{
    Edge e;
    std::vector<u64> low;
    for (u64 k : keys) low.push_back(k & low_bytes_mask(w));
    if (low.size() == 1) {
        mutate::write_immed(e, w, low.data(), 1);
        return e;
    }
    // Packed by hand so that unsorted keys can be written too.
    unsigned char bytes[16] = {};
    for (std::size_t i = 0; i < low.size(); ++i) put_key(bytes + i * w, low[i], w);
    std::memcpy(static_cast<void*>(&e), bytes, 15);
    e.set_tag(immediate_tag(w, static_cast<unsigned>(low.size())));
    return e;
}

template <bool Map>
Edge TreeBuilder<Map>::immediate(u8 w, const std::vector<u64>& keys, const std::vector<u64>& values)
    requires(Map)
{
    require(keys.size() == values.size() && !keys.empty(), "one value per key");
    Edge e;
    unsigned char decode[8] = {};
    for (std::size_t i = 0; i < keys.size() && (i + 1) * w <= 7; ++i)
        put_key(decode + i * w, keys[i] & low_bytes_mask(w), w);
    u64 area = 0;
    std::memcpy(&area, decode, 7);
    e.w1 = area;
    e.set_tag(immediate_tag(w, static_cast<unsigned>(keys.size())));
    if (keys.size() == 1) {
        e.w0 = values[0];
    } else {
        auto* array = static_cast<u64*>(alloc_.allocate_zeroed(value_array_bytes(values.size())));
        std::memcpy(array, values.data(), values.size() * 8);
        e.set_ptr(array);
    }
    return e;
}

template <bool Map>
Edge TreeBuilder<Map>::linear_leaf(u8 w, const std::vector<u64>& keys)
    requires(!Map)
{
    const std::size_t n = keys.size();
    auto* block = static_cast<unsigned char*>(alloc_.allocate_zeroed(leaf_block_bytes(n, w)));
    for (std::size_t i = 0; i < n; ++i) put_key(block + i * w, keys[i], w);
    return leaf_edge(block, linear_leaf_tag(w), w, n);
}

template <bool Map>
Edge TreeBuilder<Map>::linear_leaf(u8 w, const std::vector<u64>& keys,
                                   const std::vector<u64>& values)
    requires(Map)
{
    require(keys.size() == values.size(), "one value per key");
    const std::size_t n = keys.size();
    auto* block = static_cast<unsigned char*>(alloc_.allocate_zeroed(map_leaf_block_bytes(n, w)));
    std::memcpy(block, values.data(), n * 8);
    for (std::size_t i = 0; i < n; ++i) put_key(block + map_leaf_key_offset(n) + i * w, keys[i], w);
    return leaf_edge(block, linear_leaf_tag(w), w, n);
}

template <bool Map>
Edge TreeBuilder<Map>::bitmap_leaf(const std::vector<u64>& keys)
    requires(!Map)
{
    auto* leaf = static_cast<LeafB1*>(alloc_.allocate(LEAF_B1_BYTES));
    std::memset(static_cast<void*>(leaf), 0, LEAF_B1_BYTES);
    for (u64 k : keys) leaf->bitmap[(k & 0xFF) >> 6] |= u64{1} << (k & 63);
    return leaf_edge(leaf, TAG_LEAF_BITMAP, 1, keys.size());
}

template <bool Map>
Edge TreeBuilder<Map>::bitmap_leaf(const std::vector<u64>& keys, const std::vector<u64>& values)
    requires(Map)
{
    require(keys.size() == values.size(), "one value per key");
    auto* leaf = static_cast<LeafBitmapL*>(alloc_.allocate(LEAF_BITMAP_L_BYTES));
    std::memset(static_cast<void*>(leaf), 0, LEAF_BITMAP_L_BYTES);
    for (u64 k : keys) leaf->bitmap[(k & 0xFF) >> 5] |= u32{1} << (k & 31);
    for (unsigned g = 0; g < 8; ++g) {
        const unsigned c = static_cast<unsigned>(std::popcount(leaf->bitmap[g]));
        if (c != 0)
            leaf->value_subarrays[g] =
                static_cast<u64*>(alloc_.allocate_zeroed(value_array_bytes(c)));
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const u8 d = static_cast<u8>(keys[i]);
        leaf->value_subarrays[d >> 5][group_rank(leaf->bitmap[d >> 5], d)] = values[i];
    }
    return leaf_edge(leaf, TAG_LEAF_BITMAP, 1, keys.size());
}

template <bool Map>
Edge TreeBuilder<Map>::full_edge(u8 slot_level) {
    Edge e;
    if (slot_level < 8) e.set_pop0(slot_level, LEVEL_MASK[slot_level]);
    e.set_tag(TAG_FULL);
    return e;
}

template <bool Map>
Edge TreeBuilder<Map>::node_edge(const void* node, u8 tag, u8 level, u64 population) {
    Edge e;
    e.set_ptr(node);
    e.set_tag(tag);
    if (level < 8 && population > 0) e.set_pop0(level, population - 1);
    return e;
}

template <bool Map>
template <std::size_t N>
Edge TreeBuilder<Map>::linear(u8 level, const Children& children) {
    require(children.size() <= N, "too many children for a linear branch");
    auto* node = static_cast<BranchL<N>*>(alloc_.allocate(sizeof(BranchL<N>)));
    std::memset(static_cast<void*>(node), 0, sizeof(BranchL<N>));
    node->count = static_cast<u8>(children.size());
    node->level = level;
    u64 population = 0;
    for (std::size_t i = 0; i < children.size(); ++i) {
        node->digits[i] = children[i].first;
        node->children[i] = children[i].second;
        node->summary = static_cast<u16>(node->summary | (1u << (children[i].first & 15)));
        population += edge_population(children[i].second, static_cast<u8>(level - 1));
    }
    return node_edge(node, N == 3 ? TAG_BRANCH_L3 : TAG_BRANCH_L7, level, population);
}

template <bool Map>
Edge TreeBuilder<Map>::branch_b(u8 level, const Children& children) {
    auto* node = static_cast<BranchB*>(alloc_.allocate(BRANCH_B_BYTES));
    std::memset(static_cast<void*>(node), 0, BRANCH_B_BYTES);
    node->level = level;
    u64 population = 0;
    for (const auto& [d, child] : children) {
        node->bitmap[d >> 5] |= u32{1} << (d & 31);
        population += edge_population(child, static_cast<u8>(level - 1));
    }
    for (unsigned g = 0; g < 8; ++g) {
        const unsigned c = static_cast<unsigned>(std::popcount(node->bitmap[g]));
        node->group_counts[g] = static_cast<u16>(c);
        if (c != 0)
            node->subarrays[g] = static_cast<Edge*>(alloc_.allocate_zeroed(edge_subarray_bytes(c)));
    }
    for (const auto& [d, child] : children)
        node->subarrays[d >> 5][group_rank(node->bitmap[d >> 5], d)] = child;
    return node_edge(node, TAG_BRANCH_B, level, population);
}

template <bool Map>
Edge TreeBuilder<Map>::branch_u(u8 level, const Children& children) {
    auto* node = static_cast<BranchU*>(alloc_.allocate(BRANCH_U_BYTES));
    std::memset(static_cast<void*>(node), 0, BRANCH_U_BYTES);
    u64 population = 0;
    for (const auto& [d, child] : children) {
        node->children[d] = child;
        population += edge_population(child, static_cast<u8>(level - 1));
    }
    return node_edge(node, TAG_BRANCH_U, level, population);
}

template <bool Map>
Edge TreeBuilder<Map>::skip(Edge e, u8 node_level, u8 slot_level, u64 prefix) {
    mutate::write_decode(e, node_level, slot_level, prefix);
    return e;
}

template <bool Map>
void TreeBuilder<Map>::free(Edge& e) {
    mutate::free_subtree<false, Map>(alloc_, e);
}

template class TreeBuilder<false>;
template class TreeBuilder<true>;

}  // namespace tolvane::testing
