#include "tolvane/read/cursor.hpp"

namespace tolvane {

void RawCursor::reset() noexcept { *this = RawCursor{}; }

void RawCursor::seek(const MapIter& positioned) {
    iter = positioned;
    const auto first = iter.next();
    found = first.has_value();
    entry = first.value_or(KeyValue{});
}

void RawCursor::seek_tree(const Edge& root, u64 start) {
    seek(MapIter::from_tree_range(root, start));
}

std::optional<KeyValue> RawCursor::advance() {
    if (!found) return std::nullopt;
    const KeyValue current = entry;
    const auto following = iter.next();
    found = following.has_value();
    entry = following.value_or(KeyValue{});
    return current;
}

}  // namespace tolvane
