#pragma once
// The optimistic reads of the concurrent containers as their callers use
// them: a lookup, a membership test and the two neighbour searches, each
// given a reader registered on the container's collector. They take no lock
// in the common case; after OPTIMISTIC_ATTEMPTS failed attempts they answer
// inside the exclusive section with the engine's plain query (a read: the
// root version is not touched). The reader is idle on entry and on return.

#include <optional>

#include "tolvane/core/key_value.hpp"
#include "tolvane/mem/occ.hpp"
#include "tolvane/sync/sync_map.hpp"
#include "tolvane/sync/sync_set.hpp"

namespace tolvane::sync {

// The value stored under `key`, or none.
std::optional<u64> map_get_with(Shared<TolvaneMap>& shared, Reader& reader, u64 key);

// The entry with the smallest key at or after `key` / the largest at or before it.
std::optional<KeyValue> map_next_with(Shared<TolvaneMap>& shared, Reader& reader, u64 key);
std::optional<KeyValue> map_prev_with(Shared<TolvaneMap>& shared, Reader& reader, u64 key);

// A membership test of one set through a reader registered for the call.
class SetReader {
  public:
    SetReader(SyncTolvaneSet& set, Reader reader) : set_(set), reader_(std::move(reader)) {}

    bool contains(u64 key);

  private:
    SyncTolvaneSet& set_;
    Reader reader_;
};

}  // namespace tolvane::sync
