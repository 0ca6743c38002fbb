#pragma once
// Bulk input put in key order before it is inserted. A trie built in key
// order fills each leaf once through the insert path's hot leaf, instead of
// leaving behind the blocks of every capacity class a leaf grows through, so
// the same entries end in fewer bytes and fewer node allocations. Both sorts
// work on the one copy of the input that bulk methods make anyway and return
// at once when it is already in order.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tolvane/core/key_value.hpp"

namespace tolvane::py::key_order {

// Ascending, in place (no scratch buffer): a most-significant-byte-first
// radix sort from the highest byte in which the keys differ. Equal keys
// are interchangeable, so the order among them is not kept.
void sort_keys(std::vector<std::uint64_t>& keys);

// Ascending by key, keeping the input order among equal keys, so that the
// last value given for a repeated key is still inserted last: a
// least-significant-byte-first radix sort over the bytes in which the keys
// differ, through one scratch array of the same size.
void sort_pairs_stable(std::vector<KeyValue>& pairs);

}  // namespace tolvane::py::key_order
