#pragma once
// Ascending input into a TolvaneSet or TolvaneMap. Keys that arrive in order
// and land in a slot that is still empty are exactly the keys that slot will
// ever get from this input, up to the first key past its range; when they
// fit one leaf, that leaf is laid out once at its final size instead of
// growing through every form and capacity class one key at a time. Every
// other key takes the container's ordinary insert. The container ends with
// the same entries, count, node forms and population fields as inserting
// the keys one by one; only the allocation figures differ.

#include <cstddef>

#include "tolvane/core/key_value.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/int/map.hpp"
#include "tolvane/int/set.hpp"

namespace tolvane {

// Inserts keys[0, n), ascending with repeats allowed; returns how many were
// absent before. Keys out of order are still inserted correctly, only
// without the shortcut.
u64 insert_ascending(TolvaneSet& set, const u64* keys, std::size_t n) noexcept;

// Inserts pairs[0, n), ascending by key; a repeated key ends with the value
// given last, as with one insert after the other. Returns how many keys were
// absent before.
u64 insert_ascending(TolvaneMap& map, const KeyValue* pairs, std::size_t n) noexcept;

}  // namespace tolvane
