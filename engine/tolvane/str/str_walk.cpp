#include "tolvane/str/str_walk.hpp"

#include "tolvane/core/fatal.hpp"

namespace tolvane {

using namespace strmap;

std::optional<WalkEntry> Walk::next() {
    if (done_) return std::nullopt;
    if (!started_) {
        started_ = true;
        StrNode* root = map_->root;
        const Candidate first = root ? extreme_word<true>(root->words) : std::nullopt;
        if (first) {
            if (u64* slot = descend_from(root, first->key, first->value, 0))
                return WalkEntry{key_, slot};
        } else {
            done_ = true;
            return std::nullopt;
        }
        // The root's first word led to an empty node: go on past it.
    }
    for (;;) {
        // Fast step: the top frame owns the last cursor in use.
        if (active_cursors_ > 0 && cursors_[active_cursors_ - 1].first + 1 == frames_.size()) {
            RawCursor& cursor = cursors_[active_cursors_ - 1].second;
            const auto e = cursor.advance();
            // The lookahead now names the next word: start fetching the
            // block its slot leads to while this entry is handed out.
            if (cursor.found && !is_terminal(cursor.entry.key))
                __builtin_prefetch(as_suffix(cursor.entry.value));
            StrFrame& top = frames_.back();
            key_.resize(top.key_len);
            if (e) {
                top.word = e->key;
                if (u64* slot = descend_rest(top.node, e->key, e->value))
                    return WalkEntry{key_, slot};
                continue;
            }
            frames_.pop_back();
        }
        bool descended = false;
        while (!frames_.empty()) {
            const StrFrame frame = frames_.back();
            frames_.pop_back();
            key_.resize(frame.key_len);
            if (const Candidate c = sibling(frame)) {
                if (u64* slot = descend_from(frame.node, c->key, c->value, 1))
                    return WalkEntry{key_, slot};
                descended = true;
                break;
            }
        }
        if (!descended) {
            done_ = true;
            return std::nullopt;
        }
    }
}

u64* Walk::descend_from(StrNode* node, u64 w, u64 s, u8 advanced) {
    frames_.push_back({node, w, key_.size(), advanced});
    return descend_rest(node, w, s);
}

u64* Walk::descend_rest(StrNode* node, u64 w, u64 s) {
    while (!is_terminal(w)) {
        if (s & 1) {
            SuffixBlock* b = as_suffix(s);
            if (!b) fatal("non-null value slot");
            push_chunk_suffix(key_, w, b->tail_view());
            return &b->value;
        }
        StrNode* child = as_child(s);
        push_word(key_, w);
        const Candidate first = extreme_word<true>(child->words);
        if (!first) return nullptr;
        frames_.push_back({child, first->key, key_.size(), 0});
        node = child;
        w = first->key;
        s = first->value;
    }
    push_terminal(key_, w);
    // A terminal word missing from its own node means a corrupted map: a
    // walk that ended here would pass it off as a complete listing.
    u64* slot = exact_slot(node->words, w);
    if (!slot) fatal("present chunk");
    return slot;
}

Candidate Walk::sibling(const StrFrame& frame) {
    const u64 depth = frames_.size();
    while (active_cursors_ > 0 && cursors_[active_cursors_ - 1].first > depth) --active_cursors_;
    if (active_cursors_ > 0 && cursors_[active_cursors_ - 1].first == depth)
        return cursors_[active_cursors_ - 1].second.advance();
    const MapCore& words = frame.node->words;
    if (frame.word == LAST_WORD) return std::nullopt;
    if (frame.advanced && words.root_state == ROOT_TREE) {
        if (cursors_.size() <= active_cursors_) cursors_.emplace_back();
        auto& [index, cursor] = cursors_[active_cursors_];
        ++active_cursors_;
        index = depth;
        cursor.seek_tree(words.root, frame.word + 1);
        return cursor.advance();
    }
    return above(words, frame.word);
}

}  // namespace tolvane
