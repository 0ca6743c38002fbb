#include "tolvane/sync/sync_set.hpp"

namespace tolvane::sync {

bool SyncTolvaneSet::insert(u64 key) noexcept { return insert_exclusive(key); }

bool SyncTolvaneSet::remove(u64 key) noexcept { return remove_exclusive(key); }

bool SyncTolvaneSet::insert_exclusive(u64 key) noexcept {
    Shared<TolvaneSet>& s = *shared_;
    typename Shared<TolvaneSet>::ExclusiveSection section(s);
    return s.exclusive_mutation([&](TolvaneSet& t) { return t.insert_deferred(key); });
}

bool SyncTolvaneSet::remove_exclusive(u64 key) noexcept {
    Shared<TolvaneSet>& s = *shared_;
    typename Shared<TolvaneSet>::ExclusiveSection section(s);
    // The condensing threshold must see the true count, not a stale length.
    s.refresh_engine_length();
    return s.exclusive_mutation([&](TolvaneSet& t) { return t.remove_deferred(key); });
}

std::optional<std::string> SyncTolvaneSet::validate() noexcept { return shared_->validate(); }

}  // namespace tolvane::sync
