#pragma once
// SyncTolvaneMap: the engine of the thread-safe u64 -> u64 map, one owning
// pointer to its Shared<TolvaneMap> block. Every member may be called from
// any thread at once; destruction needs every other user gone.

#include <optional>
#include <string>

#include "tolvane/sync/shared.hpp"

namespace tolvane::sync {

class SyncTolvaneMap {
  public:
    SyncTolvaneMap() : shared_(new Shared<TolvaneMap>) {}
    ~SyncTolvaneMap() { delete shared_; }
    SyncTolvaneMap(const SyncTolvaneMap&) = delete;
    SyncTolvaneMap& operator=(const SyncTolvaneMap&) = delete;

    Shared<TolvaneMap>& shared() const noexcept { return *shared_; }

    u64 len() noexcept { return shared_->len(); }
    void clear() noexcept { shared_->clear(); }
    u64 mem_held() noexcept { return shared_->mem_held(); }
    i64 mem_used() noexcept { return shared_->mem_used(); }

    // Stores the value; the previous value of a present key.
    std::optional<u64> insert(u64 key, u64 value) noexcept;
    // Removes the key; its value when it was present.
    std::optional<u64> remove(u64 key) noexcept;

    // The exclusive halves of insert and remove.
    std::optional<u64> insert_exclusive(u64 key, u64 value) noexcept;
    std::optional<u64> remove_exclusive(u64 key) noexcept;

    // Inside the exclusive section after a refold: the engine's own check,
    // plus the published root and the counters against the engine. None
    // when sound, else the broken invariant.
    std::optional<std::string> validate() noexcept;

  private:
    Shared<TolvaneMap>* shared_;
};

}  // namespace tolvane::sync
