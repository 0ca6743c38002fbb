#pragma once
// Walk: the forward cursor over a TolvaneStrMap, every entry once in
// ascending byte-lexicographic key order, as (view of its key, reference to
// its value slot). Depth-first: one frame per node on the path from the
// root to the current entry.
//
// Invariants:
// - Between calls `key` holds the bytes of the words of all frames below
//   the top (8 per full word), then the bytes of the top frame's entry.
// - The frame indices of the cursors in use strictly increase. A cursor in
//   use whose frame is on the stack belongs to that frame, whose `advanced`
//   flag is set and whose word map is an integer trie; its lookahead holds
//   the word after the frame's word (empty when that is the node's last).
//   Cursors whose frames left the stack are the last ones in use and are
//   dropped (by count) before anything else looks at the pool.
// - The pool never holds more cursors than were in use at one time; in the
//   steady state an entry costs no allocation.
// - The map does not change while the walk exists.

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "tolvane/read/cursor.hpp"
#include "tolvane/str/str_map.hpp"

namespace tolvane {

struct StrFrame {
    StrNode* node;
    u64 word;         // the node's word the walk is on
    u64 key_len;      // length of the key before this word's bytes
    u8 advanced;      // 1 once a sibling step moved the frame past its first word
};

struct WalkEntry {
    std::string_view key;  // valid until the next call
    u64* value;
};

class Walk {
public:
    explicit Walk(TolvaneStrMap& map) noexcept : map_(&map) {}

    // The next entry, or none once every entry has been yielded (and on
    // every later call).
    std::optional<WalkEntry> next();

private:
    // What a descent ends in: a value slot, or (null) an empty child node,
    // after which the walk goes on past the word that led to it.
    u64* descend_from(StrNode* node, u64 w, u64 s, u8 advanced);
    u64* descend_rest(StrNode* node, u64 w, u64 s);
    strmap::Candidate sibling(const StrFrame& frame);

    std::vector<StrFrame> frames_;
    std::vector<std::pair<u64, RawCursor>> cursors_;
    KeyBuffer key_;
    TolvaneStrMap* map_;
    u64 active_cursors_ = 0;
    bool done_ = false;
    bool started_ = false;
};

}  // namespace tolvane
