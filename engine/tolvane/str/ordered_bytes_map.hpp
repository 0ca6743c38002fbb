#pragma once
// TolvaneOrderedBytesMap: a sorted map from arbitrary byte strings (0x00
// and the empty key included) to u64, as one TolvaneStrMap of escaped keys
// (escape.hpp). The string map does all storing, finding and ordering; this
// layer escapes keys on the way in and decodes found keys on the way out.
//
// Invariants: every key in the inner map was stored escaped, so it decodes;
// a key that does not is a corrupted trie and stops the process. The entry
// count is the inner map's.

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "tolvane/str/str_map.hpp"
#include "tolvane/str/str_walk.hpp"

namespace tolvane {

class TolvaneOrderedBytesMap {
public:
    TolvaneStrMap map;

    std::optional<u64> get(std::string_view key) const;
    std::optional<u64> insert(std::string_view key, u64 value);
    std::optional<u64> remove(std::string_view key);

    // Entries as (decoded key, reference to the value slot), valid until the
    // map next changes.
    std::optional<StrEntry> first();
    std::optional<StrEntry> last();
    std::optional<StrEntry> next_at_or_after(std::string_view key);
    std::optional<StrEntry> next_after(std::string_view key);
    std::optional<StrEntry> prev_at_or_before(std::string_view key);
    std::optional<StrEntry> prev_before(std::string_view key);
};

// A forward walk over an ordered byte map with a remaining-count hint. The
// map must not change while the cursor exists.
class OrderedBytesCursor {
public:
    explicit OrderedBytesCursor(TolvaneOrderedBytesMap& bytes_map) noexcept
        : walk(bytes_map.map), hint(bytes_map.map.len) {}

    // The next entry in ascending key order, its key decoded into a new
    // string; none once every entry has been yielded.
    std::optional<std::pair<std::string, u64>> next_owned();

    Walk walk;
    u64 hint;  // entries not yet delivered, as a lower bound
};

}  // namespace tolvane
