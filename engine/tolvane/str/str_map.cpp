// TolvaneStrMap lookup, insertion and removal.

#include "tolvane/str/str_map.hpp"

#include <vector>

#include "tolvane/core/fatal.hpp"

namespace tolvane {

using namespace strmap;

std::optional<u64> TolvaneStrMap::get(std::string_view key) const {
    const StrNode* node = root;
    if (!node) return std::nullopt;
    std::size_t p = 0;
    for (; key.size() - p >= 8; p += 8) {
        const u64* slot = exact_slot(node->words, load_word(key.data() + p, 8));
        if (!slot) return std::nullopt;
        if (*slot & 1) {
            const SuffixBlock* b = as_suffix(*slot);
            if (b->tail_view() != key.substr(p + 8)) return std::nullopt;
            return b->value;
        }
        node = as_child(*slot);
    }
    const u64* slot = exact_slot(node->words, word_at(key, p));
    if (!slot) return std::nullopt;
    return *slot;
}

void TolvaneStrMap::insert_word(StrNode* node, u64 w, u64 slot) {
    node->words.insert_exclusive(alloc, w, slot);
}

std::optional<u64> TolvaneStrMap::insert(std::string_view key, u64 value) noexcept {
    if (!root) root = StrNode::create();
    StrNode* node = root;
    std::size_t p = 0;
    while (key.size() - p >= 8) {
        const u64 w = load_word(key.data() + p, 8);
        const std::string_view rest = key.substr(p + 8);
        u64* slot = exact_slot(node->words, w);
        if (!slot) {
            insert_word(node, w, suffix_slot(SuffixBlock::create(value, rest)));
            ++len;
            return std::nullopt;
        }
        if (*slot & 1) {
            SuffixBlock* b = as_suffix(*slot);
            if (b->tail_view() == rest) {
                const u64 old = b->value;
                b->value = value;
                return old;
            }
            const Split split = split_suffix(node, w, b, rest);
            node = split.node;
            p += 8 * split.levels;
        } else {
            node = as_child(*slot);
            p += 8;
        }
    }
    const InsertOutcome r = node->words.insert_exclusive(alloc, word_at(key, p), value);
    if (r.existed) return r.old;
    ++len;
    return std::nullopt;
}

TolvaneStrMap::Split TolvaneStrMap::split_suffix(StrNode* parent, u64 w, SuffixBlock* block,
                                                 std::string_view rest) {
    // The chain goes down one node per full word both keys share; the
    // block's key is copied once, into the deepest node.
    const std::string_view tail = block->tail_view();
    u64 shared = 0;
    while (rest.size() >= 8 * (shared + 1) && tail.size() >= 8 * (shared + 1) &&
           rest.compare(8 * shared, 8, tail, 8 * shared, 8) == 0)
        ++shared;

    StrNode* top = StrNode::create();
    StrNode* node = top;
    for (u64 level = 0; level < shared; ++level) {
        StrNode* next = StrNode::create();
        insert_word(node, load_word(tail.data() + 8 * level, 8), child_slot(next));
        node = next;
    }
    const std::size_t at = 8 * shared;
    const u64 x = word_at(tail, at);
    if (tail.size() - at >= 8)
        insert_word(node, x, suffix_slot(SuffixBlock::create(block->value, tail.substr(at + 8))));
    else
        insert_word(node, x, block->value);
    insert_word(parent, w, child_slot(top));
    SuffixBlock::destroy(block);
    return {node, shared + 1};
}

std::optional<u64> TolvaneStrMap::remove(std::string_view key) noexcept {
    if (!root) return std::nullopt;
    StrNode* node = root;
    std::vector<WalkStep> path;
    std::size_t p = 0;
    std::optional<u64> removed;
    for (; key.size() - p >= 8; p += 8) {
        const u64 w = load_word(key.data() + p, 8);
        const u64* slot = exact_slot(node->words, w);
        if (!slot) return std::nullopt;
        if (*slot & 1) {
            SuffixBlock* b = as_suffix(*slot);
            if (b->tail_view() != key.substr(p + 8)) return std::nullopt;
            removed = b->value;
            node->words.remove_exclusive(alloc, w);
            SuffixBlock::destroy(b);
            break;
        }
        path.push_back({node, w});
        node = as_child(*slot);
    }
    if (!removed) {
        const RemoveOutcome r = node->words.remove_exclusive(alloc, word_at(key, p));
        if (!r.found) return std::nullopt;
        removed = r.value;
    }
    // Prune the nodes the removal emptied, bottom up.
    while (!path.empty()) {
        const WalkStep step = path.back();
        path.pop_back();
        const u64* slot = exact_slot(step.node->words, step.word);
        require(slot && (*slot & 1) == 0, "path entry still linked");
        StrNode* child = as_child(*slot);
        if (word_count(child->words) != 0) break;
        step.node->words.remove_exclusive(alloc, step.word);
        dispose_node(child, alloc);
    }
    --len;
    require(root != nullptr, "root present");
    if (word_count(root->words) == 0) {
        StrNode* emptied = root;
        root = nullptr;
        dispose_node(emptied, alloc);
    }
    return removed;
}

}  // namespace tolvane
