#pragma once
// The optimistic phase of the concurrent map's insert and removal: up to
// OPTIMISTIC_ATTEMPTS attempts inside a writer slot, a new or removed key
// counted in the slot's shard and marked dirty. None means the write belongs
// to the exclusive section (an attempt said so, the fallback flag was seen,
// or the attempts ran out); the caller then runs it there.

#include <optional>

#include "tolvane/int/map.hpp"
#include "tolvane/sync/shared.hpp"

namespace tolvane::sync {

// Some(previous value or none) when the insert is done.
std::optional<std::optional<u64>> olc_insert_phase(Shared<TolvaneMap>& s, u64 key, u64 value);

// Some(removed value or none) when the removal is done.
std::optional<std::optional<u64>> olc_remove_phase(Shared<TolvaneMap>& s, u64 key);

}  // namespace tolvane::sync
