// TolvaneStrMap successor search: the smallest stored key at or after a
// query, and strictly after it.

#include <vector>

#include "tolvane/str/str_map.hpp"

namespace tolvane {

using namespace strmap;

std::optional<StrEntry> TolvaneStrMap::next_at_or_after(std::string_view query) {
    if (!root) return std::nullopt;
    struct Level {
        StrNode* node;
        u64 word;
        std::size_t key_len;
    };
    std::vector<Level> path;
    KeyBuffer key;
    key.reserve(query.size() + 8);
    StrNode* node = root;
    Candidate c;
    for (std::size_t p = 0;; p += 8) {
        const u64 w = word_at(query, p);
        c = at_or_above(node->words, w);
        if (!c || c->key > w || is_terminal(w)) break;
        if (c->value & 1) {
            SuffixBlock* b = as_suffix(c->value);
            const std::string_view rest =
                p + 8 <= query.size() ? query.substr(p + 8) : std::string_view{};
            if (rest.compare(b->tail_view()) <= 0) {
                push_chunk_suffix(key, w, b->tail_view());
                return StrEntry{std::move(key), &b->value};
            }
            c = above(node->words, w);
            break;
        }
        path.push_back({node, w, key.size()});
        push_word(key, w);
        node = as_child(c->value);
    }
    if (u64* found = StrNode::take_from<true>(node, c, key)) return StrEntry{std::move(key), found};
    while (!path.empty()) {
        const Level up = path.back();
        path.pop_back();
        key.resize(up.key_len);
        if (u64* found = StrNode::take_from<true>(up.node, above(up.node->words, up.word), key))
            return StrEntry{std::move(key), found};
    }
    return std::nullopt;
}

std::optional<StrEntry> TolvaneStrMap::next_after(std::string_view query) {
    // Stored keys hold no 0x00, so every key above the query is at or above
    // the query followed by 0x01.
    std::string extended;
    extended.reserve(query.size() + 1);
    extended.append(query);
    extended.push_back('\x01');
    return next_at_or_after(extended);
}

}  // namespace tolvane
