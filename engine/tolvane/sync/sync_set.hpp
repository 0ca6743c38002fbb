#pragma once
// SyncTolvaneSet: the engine of the thread-safe u64 set, one owning pointer
// to its Shared<TolvaneSet> block. Every member may be called from any
// thread at once; destruction needs every other user gone.

#include <optional>
#include <string>

#include "tolvane/sync/shared.hpp"

namespace tolvane::sync {

class SyncTolvaneSet {
  public:
    SyncTolvaneSet() : shared_(new Shared<TolvaneSet>) {}
    ~SyncTolvaneSet() { delete shared_; }
    SyncTolvaneSet(const SyncTolvaneSet&) = delete;
    SyncTolvaneSet& operator=(const SyncTolvaneSet&) = delete;

    Shared<TolvaneSet>& shared() const noexcept { return *shared_; }

    u64 len() noexcept { return shared_->len(); }
    void clear() noexcept { shared_->clear(); }
    u64 mem_held() noexcept { return shared_->mem_held(); }

    // True when the key was added.
    bool insert(u64 key) noexcept;
    // True when the key was present and removed.
    bool remove(u64 key) noexcept;

    // The exclusive halves of insert and remove.
    bool insert_exclusive(u64 key) noexcept;
    bool remove_exclusive(u64 key) noexcept;

    // As SyncTolvaneMap::validate.
    std::optional<std::string> validate() noexcept;

  private:
    Shared<TolvaneSet>* shared_;
};

}  // namespace tolvane::sync
