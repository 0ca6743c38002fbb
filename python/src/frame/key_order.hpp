#pragma once
// Bulk input put in key order before it is inserted. A trie built in key
// order fills each leaf once through the insert path's hot leaf, instead of
// leaving behind the blocks of every capacity class a leaf grows through, so
// the same entries end in fewer bytes and fewer node allocations.
//
// Both sorts make the one copy of the input that a bulk method needs anyway:
// the first pass deals the words straight from the caller's storage into
// runs by their highest differing bits, so that each run is then finished
// while it sits in the cache. An input already in order is copied as it is.

#include <cstddef>
#include <cstdint>

#include "frame/page_array.hpp"
#include "tolvane/core/key_value.hpp"

namespace tolvane::py::key_order {

// The `count` native-order words at `words` (any alignment), ascending.
// Equal keys are interchangeable, so the order among them is not kept.
PageArray<std::uint64_t> sorted_keys(const char* words, std::size_t count);

// The pairs (keys[i], values[i]) of `count` native-order words each,
// ascending by key and in input order among equal keys, so that the last
// value given for a repeated key is still inserted last.
PageArray<KeyValue> sorted_pairs(const char* keys, const char* values, std::size_t count);

}  // namespace tolvane::py::key_order
