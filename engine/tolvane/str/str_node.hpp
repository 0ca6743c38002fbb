#pragma once
// The string trie's building blocks: nodes, suffix blocks, key words, and
// the searches every string map operation runs on one node's word map.
//
// A key (bytes without 0x00) is cut into big-endian 8-byte words: a full
// word while at least 8 bytes remain, then one terminal word holding the
// last 0 to 7 bytes, zero-filled at the low end (0 when the length is a
// multiple of 8). Because keys hold no zero byte, unsigned order of words is
// byte order of keys, with a key that ends in a node before every key that
// continues it.
//
// StrNode: one plain heap block per 8-byte level; its only content is its
// word map, a MapCore whose keys are words and whose values are word slots.
// Invariants:
// - A terminal word's slot is the value of the key ending there.
// - A full word's slot is a tagged pointer: bit 0 set, the SuffixBlock (bit
//   0 cleared) holding the rest of the single key through that word; bit 0
//   clear, the child StrNode of the next 8 bytes.
// - Every word-map block and trie node comes from the owning map's
//   NodeAlloc; nodes and suffix blocks come from the system heap and are
//   counted by shell_bytes.
// - Only the root may have an empty word map, and only between the moment
//   it is created and its first word.
//
// SuffixBlock: value, tail length t, then the t tail bytes (16 + t bytes,
// alignment 8). It stands for the chain of nodes its key would need and
// exists only while no other key continues through the same full word.

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tolvane/core/key_value.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/int/map_core.hpp"
#include "tolvane/mem/alloc.hpp"

namespace tolvane {

// The rebuilt key of a found entry; grows as words are appended.
using KeyBuffer = std::string;

namespace strmap {
// A word chosen in one node with its slot content (key = word, value = slot).
using Candidate = std::optional<KeyValue>;
}  // namespace strmap

struct StrNode;
// (node, full word) per level an extreme walk went down.
struct WalkStep {
    StrNode* node;
    u64 word;
};

struct StrNode {
    MapCore words;

    // Heap bytes the memory figures count for one node. The block itself is
    // sizeof(StrNode) (48: the word map's root edge is 16-aligned); the
    // figure stays the one callers and stored expectations know.
    static constexpr u64 SHELL_BYTES = 40;

    // A new node with an empty word map.
    static StrNode* create();
    // Frees the node block only; the word map must already be released.
    static void destroy(StrNode* node) noexcept;

    // Heap bytes of the trie below and including `root` outside the node
    // allocator: 40 per node, 16 + t per suffix block. Reads only.
    static u64 shell_bytes(const StrNode* root);

    // ---- ordered navigation (str_nav.cpp) ----
    // Results are value slot references (the u64 holding the entry's value,
    // valid until the map changes), null for no entry. Key buffer contract:
    // on entry `key` holds the 8 bytes of every full word from the root down
    // to the node; an entry found leaves its whole key there; no entry leaves
    // the length the operation's own descent started from (take_past_empty:
    // 8 bytes shorter; extreme_walk and extreme_past_empty: the length at
    // the top of their walk path). Forward = smallest side, else largest.

    // The near-end entry of the candidate word's subtree, or when that holds
    // nothing, the next entry beyond it among the node's later words.
    template <bool Forward>
    static u64* take_from(StrNode* node, const strmap::Candidate& candidate, KeyBuffer& key);
    // The largest entry of the node's subtree.
    static u64* extreme_entry(StrNode* node, KeyBuffer& key);
    // The largest key <= query (strict: < query); `key` comes in empty.
    static u64* prev_at_or_before(StrNode* root, std::string_view query, bool strict,
                                  KeyBuffer& key);
    // The next entry beyond word w's subtree among the node's other words.
    template <bool Forward>
    static u64* take_past_empty(StrNode* node, u64 w, KeyBuffer& key);
    // The next entry beyond an empty node, searched within top's subtree.
    template <bool Forward>
    static u64* extreme_past_empty(StrNode* top, const StrNode* empty, KeyBuffer& key);
    // The extreme entry reached from the candidate, stepping back through
    // `path` when a subtree runs out.
    template <bool Forward>
    static u64* extreme_walk(StrNode* node, std::vector<WalkStep>& path,
                             strmap::Candidate candidate, KeyBuffer& key);
};

struct SuffixBlock {
    u64 value;
    u64 tail_len;

    u8* tail() noexcept { return reinterpret_cast<u8*>(this + 1); }
    const u8* tail() const noexcept { return reinterpret_cast<const u8*>(this + 1); }
    std::string_view tail_view() const noexcept {
        return {reinterpret_cast<const char*>(tail()), static_cast<std::size_t>(tail_len)};
    }
    u64 block_bytes() const noexcept { return 16 + tail_len; }
    // block_bytes, counted as shell bytes: a length past any block that
    // could have been made is fatal.
    u64 shell_bytes() const noexcept;

    // A block holding `value` and a copy of `tail`.
    static SuffixBlock* create(u64 value, std::string_view tail);
    static void destroy(SuffixBlock* block) noexcept;
};

namespace strmap {

inline constexpr u64 LOW_BYTES = 0x0101010101010101ull;
inline constexpr u64 HIGH_BITS = 0x8080808080808080ull;
inline constexpr u64 LAST_WORD = ~u64{0};

// A word holding a zero byte ends its key.
constexpr bool is_terminal(u64 w) noexcept { return ((w - LOW_BYTES) & ~w & HIGH_BITS) != 0; }

// The first min(8, n) bytes at p, big-endian, zero-filled at the low end.
inline u64 load_word(const char* p, std::size_t n) noexcept {
    unsigned char bytes[8] = {};
    std::memcpy(bytes, p, n < 8 ? n : 8);
    u64 w;
    std::memcpy(&w, bytes, 8);
    return __builtin_bswap64(w);
}

// The word of `key` at byte position p (p may lie at or past the end).
inline u64 word_at(std::string_view key, std::size_t p) noexcept {
    return p >= key.size() ? 0 : load_word(key.data() + p, key.size() - p);
}

inline void store_word(char* out, u64 w) noexcept {
    const u64 big = __builtin_bswap64(w);
    std::memcpy(out, &big, 8);
}

// Appends a full word's 8 bytes.
inline void push_word(KeyBuffer& key, u64 w) {
    const std::size_t at = key.size();
    key.resize(at + 8);
    store_word(key.data() + at, w);
}

// Appends a terminal word's bytes up to its first zero byte.
inline void push_terminal(KeyBuffer& key, u64 w) {
    const std::size_t at = key.size();
    key.resize(at + 8);
    store_word(key.data() + at, w);
    const unsigned zeros = w == 0 ? 8 : static_cast<unsigned>(__builtin_ctzll(w)) / 8;
    key.resize(at + 8 - zeros);
}

// Appends a full word's 8 bytes and then a suffix tail.
inline void push_chunk_suffix(KeyBuffer& key, u64 w, std::string_view tail) {
    key.reserve(key.size() + 8 + tail.size());
    push_word(key, w);
    key.append(tail);
}

inline SuffixBlock* as_suffix(u64 slot) noexcept {
    return reinterpret_cast<SuffixBlock*>(static_cast<std::uintptr_t>(slot & ~u64{1}));
}
inline StrNode* as_child(u64 slot) noexcept {
    return reinterpret_cast<StrNode*>(static_cast<std::uintptr_t>(slot));
}
inline u64 suffix_slot(const SuffixBlock* b) noexcept {
    return reinterpret_cast<std::uintptr_t>(b) | 1;
}
inline u64 child_slot(const StrNode* n) noexcept { return reinterpret_cast<std::uintptr_t>(n); }

// ---- searches on one word map ----

// Number of words the map holds.
inline u64 word_count(const MapCore& m) noexcept { return m.size(); }

// The slot of word w, or null.
u64* exact_slot(MapCore& m, u64 w);
const u64* exact_slot(const MapCore& m, u64 w);

// Smallest word >= w / > w; largest word <= w / < w.
Candidate at_or_above(const MapCore& m, u64 w);
Candidate above(const MapCore& m, u64 w);
Candidate at_or_below(const MapCore& m, u64 w);
Candidate below(const MapCore& m, u64 w);

// Forward: the smallest word / the next word above w; backward: the largest
// word / the next word below w.
template <bool Forward>
Candidate extreme_word(const MapCore& m) {
    return Forward ? at_or_above(m, 0) : at_or_below(m, LAST_WORD);
}
template <bool Forward>
Candidate beyond(const MapCore& m, u64 w) {
    return Forward ? above(m, w) : below(m, w);
}

// Gives every block of the word map back to the allocator; the map is left
// empty. Slots are not followed.
void release_words(MapCore& m, NodeAlloc& alloc);

}  // namespace strmap
}  // namespace tolvane
