// Ordered navigation of the string trie: extreme entries, stepping past
// subtrees that hold nothing, and the predecessor search. Every descent is
// a loop; the only state per level is one path entry.

#include <vector>

#include "tolvane/core/fatal.hpp"
#include "tolvane/str/str_node.hpp"

namespace tolvane {

using namespace strmap;

namespace {

void drop_word(KeyBuffer& key) {
    if (key.size() >= 8) key.resize(key.size() - 8);
}

// A terminal word chosen in `node`: its bytes go into the key, its slot is
// found again by exact search.
u64* take_terminal(StrNode* node, u64 w, KeyBuffer& key) {
    push_terminal(key, w);
    u64* slot = exact_slot(node->words, w);
    if (!slot) fatal("present chunk");
    return slot;
}

// A full word whose slot holds a suffix block: the word, then the tail.
u64* take_suffix(u64 w, u64 slot, KeyBuffer& key) {
    SuffixBlock* b = as_suffix(slot);
    if (!b) fatal("non-null value slot");
    push_chunk_suffix(key, w, b->tail_view());
    return &b->value;
}

// Extreme entry below `top`, keeping no path: a node on the way whose word
// map yields nothing hands over to extreme_past_empty.
template <bool Forward>
u64* extreme_descent(StrNode* top, KeyBuffer& key) {
    StrNode* node = top;
    for (;;) {
        const Candidate c = extreme_word<Forward>(node->words);
        if (!c) return StrNode::extreme_past_empty<Forward>(top, node, key);
        if (is_terminal(c->key)) return take_terminal(node, c->key, key);
        if (c->value & 1) return take_suffix(c->key, c->value, key);
        push_word(key, c->key);
        node = as_child(c->value);
    }
}

}  // namespace

template <bool Forward>
u64* StrNode::extreme_walk(StrNode* node, std::vector<WalkStep>& path, Candidate c,
                           KeyBuffer& key) {
    for (;;) {
        if (!c) {
            if (path.empty()) return nullptr;
            const WalkStep up = path.back();
            path.pop_back();
            drop_word(key);
            node = up.node;
            c = beyond<Forward>(node->words, up.word);
            continue;
        }
        if (is_terminal(c->key)) return take_terminal(node, c->key, key);
        if (c->value & 1) return take_suffix(c->key, c->value, key);
        push_word(key, c->key);
        path.push_back({node, c->key});
        node = as_child(c->value);
        c = extreme_word<Forward>(node->words);
    }
}

template <bool Forward>
u64* StrNode::extreme_past_empty(StrNode* top, const StrNode* empty, KeyBuffer& key) {
    // The descent that met the empty node kept no path: rebuild it along the
    // same extreme words.
    std::vector<WalkStep> path;
    for (StrNode* node = top; node != empty;) {
        const Candidate c = extreme_word<Forward>(node->words);
        if (!c || is_terminal(c->key) || (c->value & 1)) return nullptr;
        path.push_back({node, c->key});
        node = as_child(c->value);
    }
    return extreme_walk<Forward>(const_cast<StrNode*>(empty), path, std::nullopt, key);
}

template <bool Forward>
u64* StrNode::take_past_empty(StrNode* node, u64 w, KeyBuffer& key) {
    drop_word(key);
    std::vector<WalkStep> path;
    return extreme_walk<Forward>(node, path, beyond<Forward>(node->words, w), key);
}

template <bool Forward>
u64* StrNode::take_from(StrNode* node, const Candidate& c, KeyBuffer& key) {
    if (!c) return nullptr;
    if (is_terminal(c->key)) return take_terminal(node, c->key, key);
    if (c->value & 1) return take_suffix(c->key, c->value, key);
    push_word(key, c->key);
    if (u64* found = extreme_descent<Forward>(as_child(c->value), key)) return found;
    return take_past_empty<Forward>(node, c->key, key);
}

u64* StrNode::extreme_entry(StrNode* node, KeyBuffer& key) {
    return extreme_descent<false>(node, key);
}

u64* StrNode::prev_at_or_before(StrNode* root, std::string_view query, bool strict,
                                KeyBuffer& key) {
    struct Level {
        StrNode* node;
        u64 word;
        std::size_t key_len;
    };
    std::vector<Level> path;
    StrNode* node = root;
    std::size_t p = 0;
    Candidate c;
    for (;;) {
        if (query.size() - p < 8) {
            const u64 t = word_at(query, p);
            c = strict ? below(node->words, t) : at_or_below(node->words, t);
            break;
        }
        const u64 w = load_word(query.data() + p, 8);
        const u64* slot = exact_slot(node->words, w);
        if (!slot) {
            c = below(node->words, w);
            break;
        }
        if (*slot & 1) {
            SuffixBlock* b = as_suffix(*slot);
            const int order = query.substr(p + 8).compare(b->tail_view());
            if (strict ? order > 0 : order >= 0) {
                push_chunk_suffix(key, w, b->tail_view());
                return &b->value;
            }
            c = below(node->words, w);
            break;
        }
        path.push_back({node, w, key.size()});
        push_word(key, w);
        p += 8;
        node = as_child(*slot);
    }
    if (u64* found = take_from<false>(node, c, key)) return found;
    while (!path.empty()) {
        const Level up = path.back();
        path.pop_back();
        key.resize(up.key_len);
        if (u64* found = take_from<false>(up.node, below(up.node->words, up.word), key))
            return found;
    }
    return nullptr;
}

template u64* StrNode::take_from<false>(StrNode*, const Candidate&, KeyBuffer&);
template u64* StrNode::take_from<true>(StrNode*, const Candidate&, KeyBuffer&);
template u64* StrNode::take_past_empty<false>(StrNode*, u64, KeyBuffer&);
template u64* StrNode::take_past_empty<true>(StrNode*, u64, KeyBuffer&);
template u64* StrNode::extreme_past_empty<false>(StrNode*, const StrNode*, KeyBuffer&);
template u64* StrNode::extreme_past_empty<true>(StrNode*, const StrNode*, KeyBuffer&);
template u64* StrNode::extreme_walk<false>(StrNode*, std::vector<WalkStep>&, Candidate,
                                           KeyBuffer&);
template u64* StrNode::extreme_walk<true>(StrNode*, std::vector<WalkStep>&, Candidate,
                                          KeyBuffer&);

}  // namespace tolvane
