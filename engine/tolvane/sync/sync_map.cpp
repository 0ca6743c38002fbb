#include "tolvane/sync/sync_map.hpp"

#include "tolvane/sync/olc_map_writes.hpp"

namespace tolvane::sync {

std::optional<u64> SyncTolvaneMap::insert(u64 key, u64 value) noexcept {
    if (const auto done = olc_insert_phase(*shared_, key, value)) return *done;
    return insert_exclusive(key, value);
}

std::optional<u64> SyncTolvaneMap::remove(u64 key) noexcept {
    if (const auto done = olc_remove_phase(*shared_, key)) return *done;
    return remove_exclusive(key);
}

std::optional<u64> SyncTolvaneMap::insert_exclusive(u64 key, u64 value) noexcept {
    Shared<TolvaneMap>& s = *shared_;
    typename Shared<TolvaneMap>::ExclusiveSection section(s);
    const InsertOutcome o = s.exclusive_mutation([&](TolvaneMap& m) { return m.insert(key, value); });
    if (o.existed) return o.old;
    return std::nullopt;
}

std::optional<u64> SyncTolvaneMap::remove_exclusive(u64 key) noexcept {
    Shared<TolvaneMap>& s = *shared_;
    typename Shared<TolvaneMap>::ExclusiveSection section(s);
    // The condensing threshold must see the true count, not a stale length.
    s.refresh_engine_length();
    const RemoveOutcome o = s.exclusive_mutation([&](TolvaneMap& m) { return m.remove(key); });
    if (o.found) return o.value;
    return std::nullopt;
}

std::optional<std::string> SyncTolvaneMap::validate() noexcept { return shared_->validate(); }

}  // namespace tolvane::sync
