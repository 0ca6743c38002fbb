#include "tolvane/str/str_validate.hpp"

#include <vector>

#include "tolvane/check/validate.hpp"
#include "tolvane/int/root_leaf_block.hpp"

namespace tolvane::strmap {

namespace {

// A terminal word holds its key bytes, then nothing but zero bytes.
bool canonical_terminal(u64 w) noexcept {
    for (int shift = 56; shift >= 0; shift -= 8)
        if (((w >> shift) & 0xFF) == 0) return (w & ((u64{1} << shift) - 1)) == 0;
    return false;
}

// Checks one word map; adds its allocator bytes. Empty text when sound.
std::string check_words(const MapCore& m, u64& bytes) {
    if (m.root_state == ROOT_LEAF) {
        const u64 n = m.leaf_count();
        if (n == 0 || n > ROOT_LEAF_MAX) return "word list of 1 to 31 words";
        for (u64 i = 1; i < n; ++i)
            if (m.leaf_keys()[i - 1] >= m.leaf_keys()[i]) return "word list ascending";
        bytes += root_leaf::block_bytes<2>(n);
        return {};
    }
    if (m.root_state == ROOT_TREE) {
        ValidateStats stats{};
        const validate::Validation v =
            validate::tolvane_validate_and_stats<true>(m.root, 8, stats, 0);
        if (!v.ok()) return "word trie: " + v.error;
        if (v.population != m.len) return "word trie population matches its count";
        if (m.len < ROOT_LEAF_MAX) return "word trie holds at least 31 words";
        for (std::size_t i = validate::STAT_VALUE_ARRAY_BYTES; i <= validate::STAT_BRANCH_U_BYTES;
             ++i)
            bytes += stats[i];
        return {};
    }
    if (m.root_state != ROOT_EMPTY) return "word map state";
    return "node holds a word";
}

}  // namespace

std::string validate(const TolvaneStrMap& map) {
    if (!map.root) return map.len == 0 ? std::string{} : "len 0 without a root";
    u64 entries = 0;
    u64 bytes = 0;
    std::vector<const StrNode*> stack{map.root};
    while (!stack.empty()) {
        const StrNode* node = stack.back();
        stack.pop_back();
        if (std::string broken = check_words(node->words, bytes); !broken.empty()) return broken;
        MapIter it = node->words.iter_fwd_raw();
        while (const auto e = it.next()) {
            if (is_terminal(e->key)) {
                if (!canonical_terminal(e->key)) return "terminal word zero after its key bytes";
                ++entries;
            } else if (e->value & 1) {
                if (!as_suffix(e->value)) return "non-null value slot";
                ++entries;
            } else {
                if (!e->value) return "full word slot holds a child";
                stack.push_back(as_child(e->value));
            }
        }
    }
    if (entries != map.len) return "len counts the stored keys";
    if (bytes != map.alloc.live_bytes()) return "allocator live bytes are the word maps' bytes";
    return {};
}

}  // namespace tolvane::strmap
