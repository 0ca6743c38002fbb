// TolvaneStrMap disposal, clearing and memory figures.

#include <vector>

#include "tolvane/str/str_map.hpp"

namespace tolvane {

namespace strmap {

void dispose_node(StrNode* node, NodeAlloc& alloc) {
    release_words(node->words, alloc);
    StrNode::destroy(node);
}

void dispose_tree(StrNode* root, NodeAlloc& alloc) {
    // A node's word map goes as soon as its entries are scanned; the stack
    // holds the children found and not yet visited.
    std::vector<StrNode*> stack{root};
    while (!stack.empty()) {
        StrNode* node = stack.back();
        stack.pop_back();
        MapIter it = node->words.iter_fwd_raw();
        while (const auto e = it.next()) {
            if (is_terminal(e->key)) continue;
            if (e->value & 1)
                SuffixBlock::destroy(as_suffix(e->value));
            else
                stack.push_back(as_child(e->value));
        }
        dispose_node(node, alloc);
    }
}

}  // namespace strmap

TolvaneStrMap::~TolvaneStrMap() { clear_entries(); }

u64 TolvaneStrMap::clear_entries() noexcept {
    StrNode* detached = root;
    root = nullptr;
    u64 released = 0;
    if (detached) {
        released = alloc.live_bytes() + StrNode::shell_bytes(detached);
        strmap::dispose_tree(detached, alloc);
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
