// TolvaneStrMap disposal, clearing and memory figures.

#include <cstdint>

#include "tolvane/str/str_map.hpp"

namespace tolvane {

namespace strmap {

namespace {

// The disposal stack runs through the nodes waiting on it: a waiting node
// links to the next through its word map's len, which disposal never reads
// (a word map is walked and released through its root state and root words
// alone). So disposing of a tree of any size or depth allocates nothing.
void push_waiting(StrNode*& top, StrNode* node) noexcept {
    node->words.len = reinterpret_cast<std::uintptr_t>(top);
    top = node;
}

StrNode* pop_waiting(StrNode*& top) noexcept {
    StrNode* node = top;
    top = reinterpret_cast<StrNode*>(static_cast<std::uintptr_t>(node->words.len));
    return node;
}

}  // namespace

void dispose_node(StrNode* node, NodeAlloc& alloc) {
    release_words(node->words, alloc);
    StrNode::destroy(node);
}

u64 dispose_tree(StrNode* root, NodeAlloc& alloc) noexcept {
    // A node's word map goes as soon as its entries are scanned; the stack
    // holds the children found and not yet visited.
    u64 shell = 0;
    StrNode* waiting = nullptr;
    push_waiting(waiting, root);
    while (waiting) {
        StrNode* node = pop_waiting(waiting);
        MapIter it = node->words.iter_fwd_raw();
        while (const auto e = it.next()) {
            if (is_terminal(e->key)) continue;
            if (e->value & 1) {
                SuffixBlock* block = as_suffix(e->value);
                shell += block->shell_bytes();
                SuffixBlock::destroy(block);
            } else {
                push_waiting(waiting, as_child(e->value));
            }
        }
        shell += StrNode::SHELL_BYTES;
        dispose_node(node, alloc);
    }
    return shell;
}

}  // namespace strmap

TolvaneStrMap::~TolvaneStrMap() { clear_entries(); }

u64 TolvaneStrMap::clear_entries() noexcept {
    StrNode* detached = root;
    root = nullptr;
    u64 released = 0;
    if (detached) {
        // The shell bytes are counted while the tree goes, so that clearing
        // needs no walk of its own (nor the stack such a walk would need).
        released = alloc.live_bytes();
        released += strmap::dispose_tree(detached, alloc);
    }
    len = 0;
    return released;
}

u64 TolvaneStrMap::clear() noexcept {
    const u64 released = clear_entries();
    alloc.release_free();
    return released;
}

u64 TolvaneStrMap::live_bytes() const {
    return alloc.live_bytes() + (root ? StrNode::shell_bytes(root) : 0);
}

u64 TolvaneStrMap::held_bytes() const {
    return alloc.bytes_held() + (root ? StrNode::shell_bytes(root) : 0);
}

}  // namespace tolvane
