#include "tolvane/str/str_node.hpp"

#include <new>
#include <vector>

#include "tolvane/core/fatal.hpp"
#include "tolvane/core/heap.hpp"
#include "tolvane/read/get.hpp"
#include "tolvane/int/root_leaf_block.hpp"
#include "tolvane/read/nav.hpp"
#include "tolvane/write/mutate_free.hpp"

namespace tolvane {

StrNode* StrNode::create() { return new (heap_allocate(sizeof(StrNode))) StrNode{}; }

void StrNode::destroy(StrNode* node) noexcept { heap_free(node); }

SuffixBlock* SuffixBlock::create(u64 value, std::string_view tail) {
    // A tail near 2^63 bytes cannot be laid out; no key held in memory has one.
    if (tail.size() > (std::size_t{1} << 62))
        fatal("suffix layout: size is header + key remainder, align is 8");
    auto* block = static_cast<SuffixBlock*>(heap_allocate(16 + tail.size()));
    block->value = value;
    block->tail_len = tail.size();
    if (!tail.empty()) std::memcpy(block->tail(), tail.data(), tail.size());
    return block;
}

void SuffixBlock::destroy(SuffixBlock* block) noexcept { heap_free(block); }

u64 SuffixBlock::shell_bytes() const noexcept {
    const u64 bytes = block_bytes();
    if (bytes > (u64{1} << 62)) fatal("suffix layout: size is header + key remainder, align is 8");
    return bytes;
}

u64 StrNode::shell_bytes(const StrNode* root) {
    u64 total = 0;
    std::vector<const StrNode*> stack;
    stack.reserve(1);
    stack.push_back(root);
    while (!stack.empty()) {
        const StrNode* node = stack.back();
        stack.pop_back();
        total += SHELL_BYTES;
        MapIter it = node->words.iter_fwd_raw();
        while (const auto e = it.next()) {
            if (strmap::is_terminal(e->key)) continue;
            if (e->value & 1) {
                total += strmap::as_suffix(e->value)->shell_bytes();
            } else {
                stack.push_back(strmap::as_child(e->value));
            }
        }
    }
    return total;
}

namespace strmap {

namespace {

// Number of list words <= w (Inclusive) or < w.
template <bool Inclusive>
u64 count_in_list(const MapCore& m, u64 w) noexcept {
    const u64 n = m.leaf_count();
    if (n == 1) {
        const u64 k = m.leaf_keys()[0];
        return (Inclusive ? k <= w : k < w) ? 1 : 0;
    }
    return map_detail::count_before<Inclusive>(m.leaf_keys(), n, w);
}

Candidate list_entry(const MapCore& m, u64 i) {
    return KeyValue{m.leaf_keys()[i], m.leaf_values()[i]};
}

bool has_list(const MapCore& m) noexcept {
    return m.root_state == ROOT_LEAF && m.leaf_count() != 0;
}

}  // namespace

u64* exact_slot(MapCore& m, u64 w) {
    if (m.root_state == ROOT_TREE) return get::locate_slot(&m.root, w, 8);
    if (!has_list(m)) return nullptr;
    const auto i = map_detail::leaf_find(m.leaf_keys(), m.leaf_count(), w);
    return i ? m.leaf_values() + *i : nullptr;
}

const u64* exact_slot(const MapCore& m, u64 w) { return exact_slot(const_cast<MapCore&>(m), w); }

Candidate at_or_above(const MapCore& m, u64 w) {
    if (m.root_state == ROOT_TREE) return nav::next<true>(m.root, w, 8);
    if (!has_list(m)) return std::nullopt;
    const u64 i = count_in_list<false>(m, w);
    return i < m.leaf_count() ? list_entry(m, i) : std::nullopt;
}

Candidate above(const MapCore& m, u64 w) {
    if (w == LAST_WORD) return std::nullopt;
    if (m.root_state == ROOT_TREE) return nav::next<true>(m.root, w + 1, 8);
    if (!has_list(m)) return std::nullopt;
    const u64 i = count_in_list<true>(m, w);
    return i < m.leaf_count() ? list_entry(m, i) : std::nullopt;
}

Candidate at_or_below(const MapCore& m, u64 w) {
    if (m.root_state == ROOT_TREE) return nav::prev<true>(m.root, w, 8);
    if (!has_list(m)) return std::nullopt;
    const u64 count = count_in_list<true>(m, w);
    return count ? list_entry(m, count - 1) : std::nullopt;
}

Candidate below(const MapCore& m, u64 w) {
    if (w == 0) return std::nullopt;
    return at_or_below(m, w - 1);
}

void release_words(MapCore& m, NodeAlloc& alloc) {
    if (m.root_state == ROOT_LEAF)
        alloc.release(m.leaf_keys(), root_leaf::block_bytes<2>(m.leaf_count()), 16);
    else if (m.root_state == ROOT_TREE)
        mutate::free_subtree<false, true>(alloc, m.root);
    m = MapCore{};
}

}  // namespace strmap
}  // namespace tolvane
