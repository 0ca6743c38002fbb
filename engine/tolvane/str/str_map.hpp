#pragma once
// TolvaneStrMap: a sorted map from byte strings without 0x00 to u64, in
// byte-lexicographic order, as a trie of StrNodes (str_node.hpp).
//
// Fields, in this order:
//   alloc  the map's node allocator, always local: every word-list block and
//          every integer-trie node of every word map
//   root   the node of the first 8 key bytes; null while the map holds no key
//   len    number of keys stored
//
// Invariants:
// - Every stored key is found along exactly one path: its full words from
//   the root through child slots, then its terminal word in the node
//   reached, or one of its full words whose suffix block holds the rest.
// - Keys hold no 0x00 byte; the callers guarantee it, the engine relies on
//   it (order of words, successor search) and does not check it.
// - root is null exactly when len is 0; every node but a fresh root holds at
//   least one word.
// - alloc serves this map alone: its live bytes are exactly the word maps'.
// - Single-threaded: one owner thread, no versions, everything replaced is
//   released at once.
// - Changes are noexcept: running out of memory inside one stops the process
//   rather than leave a half-changed map.

#include <optional>
#include <string>
#include <string_view>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/str/str_node.hpp"

namespace tolvane {

// A found entry: its whole key and the reference to its value slot, valid
// until the map next changes.
struct StrEntry {
    std::string key;
    u64* value;
};

class TolvaneStrMap {
public:
    NodeAlloc alloc;
    StrNode* root = nullptr;
    u64 len = 0;

    TolvaneStrMap() = default;
    ~TolvaneStrMap();
    TolvaneStrMap(const TolvaneStrMap&) = delete;
    TolvaneStrMap& operator=(const TolvaneStrMap&) = delete;

    // The value stored for the key, or none.
    std::optional<u64> get(std::string_view key) const;
    // Stores the value; the previous value when the key was present.
    std::optional<u64> insert(std::string_view key, u64 value) noexcept;
    // Removes the key; the value it held, or none.
    std::optional<u64> remove(std::string_view key) noexcept;

    // Smallest stored key >= key / > key, or none.
    std::optional<StrEntry> next_at_or_after(std::string_view key);
    std::optional<StrEntry> next_after(std::string_view key);

    // Removes every key; the bytes the entries occupied (allocator live
    // bytes plus shell bytes), 0 for a map without a root.
    u64 clear_entries() noexcept;
    // clear_entries, then the allocator gives its free memory back.
    u64 clear() noexcept;

    // Memory figures: the allocator's live / held bytes plus the shell.
    u64 live_bytes() const;
    u64 held_bytes() const;

    // Pushes the key of `block` (the slot of full word w in parent) down into
    // a chain of new nodes, one per full word that `rest` (the bytes of the
    // key being inserted after w) shares with the block's tail, and returns
    // the deepest with the number of chain nodes. The block's key ends up
    // under the deepest node, held whole by one new suffix block or as a
    // terminal word; `block` is released.
    struct Split {
        StrNode* node;
        u64 levels;
    };
    Split split_suffix(StrNode* parent, u64 w, SuffixBlock* block, std::string_view rest);

private:
    void insert_word(StrNode* node, u64 w, u64 slot);
};

namespace strmap {

// Releases the node's word map and the node; slots are not followed.
void dispose_node(StrNode* node, NodeAlloc& alloc);
// Releases the node, every node and suffix block below it, and their word
// maps, without recursion however deep the keys go and without allocating;
// returns their shell bytes (StrNode::shell_bytes of `root` before the call).
u64 dispose_tree(StrNode* root, NodeAlloc& alloc) noexcept;

}  // namespace strmap
}  // namespace tolvane
