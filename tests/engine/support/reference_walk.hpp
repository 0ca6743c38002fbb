#pragma once
// An independent, deliberately plain reading of a trie for checking the
// lookup, navigation and iteration code: a recursive walk that lists every
// (key, value) below an edge in ascending order, reading skipped prefixes
// byte by byte and leaves key by key. It shares no code with the readers it
// checks. Probe-key helpers pick the keys worth asking about.
//
//   std::vector<KeyValue> all;
//   ASSERT_TRUE(reference_entries<true>(root, 8, all));   // map flavour
//   for (u64 k : probe_keys(keys_of(all), rng, 200)) ...

#include <cstddef>
#include <random>
#include <vector>

#include "tolvane/core/key_value.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::test {

// Appends every entry below `edge` (a slot of `slot_level`) in ascending key
// order; false (and a partial list) once more than `limit` entries were
// found. The set flavour reports value 0.
template <bool Map>
bool reference_entries(const Edge& edge, unsigned slot_level, std::vector<KeyValue>& out,
                       std::size_t limit = 1u << 20);

extern template bool reference_entries<false>(const Edge&, unsigned, std::vector<KeyValue>&,
                                              std::size_t);
extern template bool reference_entries<true>(const Edge&, unsigned, std::vector<KeyValue>&,
                                             std::size_t);

std::vector<u64> keys_of(const std::vector<KeyValue>& entries);

// Keys to probe a sorted key set with: the extremes 0 and 2^64 - 1, every
// key (or a sample of `budget` of them) with its neighbours k - 1 and k + 1,
// the key with one random byte changed, and uniform random keys.
std::vector<u64> probe_keys(const std::vector<u64>& sorted_keys, std::mt19937_64& rng,
                            std::size_t budget);

}  // namespace tolvane::test
