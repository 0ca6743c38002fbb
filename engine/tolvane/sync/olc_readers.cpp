#include "tolvane/sync/olc_readers.hpp"

#include "tolvane/sync/olc_get.hpp"
#include "tolvane/sync/olc_nav.hpp"

namespace tolvane::sync {
namespace {

// The exclusive fallback: the section's entry and exit flush the insert
// path around the engine's own query.
template <class T, class Query>
auto in_section(Shared<T>& shared, Query&& query) {
    typename Shared<T>::ExclusiveSection section(shared);
    return query(shared.tree);
}

}  // namespace

std::optional<u64> map_get_with(Shared<TolvaneMap>& shared, Reader& reader, u64 key) {
    return olc::get_with(shared, reader, key, [&] {
        return in_section(shared, [key](const TolvaneMap& m) { return m.get(key); });
    });
}

std::optional<KeyValue> map_next_with(Shared<TolvaneMap>& shared, Reader& reader, u64 key) {
    return olc::neighbour_with<true>(shared, reader, key, [&] {
        return in_section(shared, [key](const TolvaneMap& m) { return m.next_at_or_after(key); });
    });
}

std::optional<KeyValue> map_prev_with(Shared<TolvaneMap>& shared, Reader& reader, u64 key) {
    return olc::neighbour_with<false>(shared, reader, key, [&] {
        return in_section(shared, [key](const TolvaneMap& m) { return m.prev_at_or_before(key); });
    });
}

bool SetReader::contains(u64 key) {
    Shared<TolvaneSet>& shared = set_.shared();
    return olc::contains_with(shared, reader_, key, [&] {
        return in_section(shared, [key](const TolvaneSet& s) { return s.contains(key); });
    });
}

}  // namespace tolvane::sync
