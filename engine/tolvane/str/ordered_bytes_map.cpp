#include "tolvane/str/ordered_bytes_map.hpp"

#include "tolvane/core/fatal.hpp"
#include "tolvane/str/escape.hpp"

namespace tolvane {

namespace {

// A key as the inner map stores it: the caller's bytes when nothing needs
// escaping, else escaped on the stack (up to 32 input bytes) or the heap.
class EscapedKey {
public:
    explicit EscapedKey(std::string_view key) {
        if (!domain::needs_escape(key)) {
            view_ = key;
        } else if (key.size() <= 32) {
            view_ = {stack_, domain::escape_into(key, stack_)};
        } else {
            heap_ = domain::escape_encode(key);
            view_ = heap_;
        }
    }
    EscapedKey(const EscapedKey&) = delete;
    EscapedKey& operator=(const EscapedKey&) = delete;
    std::string_view view() const noexcept { return view_; }

private:
    char stack_[64] = {};
    std::string heap_;
    std::string_view view_;
};

[[noreturn]] void undecodable(const domain::EscapeDecodeError& error) {
    const std::string message = "valid escaped key in trie: " + error.debug_text();
    fatal(message.c_str());
}

std::optional<StrEntry> decoded(std::optional<StrEntry> found) {
    if (found)
        if (const auto error = domain::escape_decode_in_place(found->key)) undecodable(*error);
    return found;
}

std::optional<StrEntry> predecessor(TolvaneStrMap& map, std::string_view key, bool strict) {
    if (!map.root) return std::nullopt;
    const EscapedKey escaped(key);
    KeyBuffer found;
    found.reserve(escaped.view().size() + 8);
    u64* slot = StrNode::prev_at_or_before(map.root, escaped.view(), strict, found);
    if (!slot) return std::nullopt;
    return decoded(StrEntry{std::move(found), slot});
}

}  // namespace

std::optional<u64> TolvaneOrderedBytesMap::get(std::string_view key) const {
    return map.get(EscapedKey(key).view());
}

std::optional<u64> TolvaneOrderedBytesMap::insert(std::string_view key, u64 value) {
    return map.insert(EscapedKey(key).view(), value);
}

std::optional<u64> TolvaneOrderedBytesMap::remove(std::string_view key) {
    return map.remove(EscapedKey(key).view());
}

std::optional<StrEntry> TolvaneOrderedBytesMap::first() {
    return decoded(map.next_at_or_after({}));
}

std::optional<StrEntry> TolvaneOrderedBytesMap::last() {
    if (!map.root) return std::nullopt;
    KeyBuffer found;
    u64* slot = StrNode::extreme_entry(map.root, found);
    if (!slot) return std::nullopt;
    return decoded(StrEntry{std::move(found), slot});
}

std::optional<StrEntry> TolvaneOrderedBytesMap::next_at_or_after(std::string_view key) {
    return decoded(map.next_at_or_after(EscapedKey(key).view()));
}

std::optional<StrEntry> TolvaneOrderedBytesMap::next_after(std::string_view key) {
    return decoded(map.next_after(EscapedKey(key).view()));
}

std::optional<StrEntry> TolvaneOrderedBytesMap::prev_at_or_before(std::string_view key) {
    return predecessor(map, key, false);
}

std::optional<StrEntry> TolvaneOrderedBytesMap::prev_before(std::string_view key) {
    return predecessor(map, key, true);
}

std::optional<std::pair<std::string, u64>> OrderedBytesCursor::next_owned() {
    const auto e = walk.next();
    if (!e) return std::nullopt;
    if (hint > 0) --hint;
    std::string key;
    if (const auto error = domain::escape_decode(e->key, key)) undecodable(*error);
    return std::pair{std::move(key), *e->value};
}

}  // namespace tolvane
