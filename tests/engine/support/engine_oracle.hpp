#pragma once
// Checks of the integer engines' ordered queries and listings against a
// sorted model: every neighbour, rank, select and range-count answer is
// compared with lower_bound / upper_bound / distance on the model.
//
//   std::vector<u64> probes = probe_keys(model_keys, rng, 16);
//   expect_set_queries(set, model, probes);   // gtest failures name the probe

#include <map>
#include <random>
#include <set>
#include <vector>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/int/map.hpp"
#include "tolvane/int/set.hpp"

namespace tolvane::test {

// Probe keys: 0, 2^64 - 1, some model keys with their neighbours (k - 1,
// k + 1) and `random_count` uniform keys. At most `from_model` model keys
// are used, spread over the whole set.
std::vector<u64> probe_keys(const std::vector<u64>& sorted_keys, std::mt19937_64& rng,
                            std::size_t random_count, std::size_t from_model = 24);

// Neighbours, last, count_below, by_count (every rank for small sets, a
// sample otherwise, and the first rank past the end), count_range over probe
// pairs, contains / get, validate_defensive and size.
void expect_set_queries(TolvaneSet& s, const std::set<u64>& model, const std::vector<u64>& probes);
void expect_map_queries(TolvaneMap& m, const std::map<u64, u64>& model,
                        const std::vector<u64>& probes);

// keys() / items() / values() equal the model, and range(start, end,
// inclusive) equals the model's slice for every pair of probes, with and
// without an upper bound.
void expect_set_listings(const TolvaneSet& s, const std::set<u64>& model,
                         const std::vector<u64>& probes);
void expect_map_listings(const TolvaneMap& m, const std::map<u64, u64>& model,
                         const std::vector<u64>& probes);

// Allocator states the engines dispatch on: local (exclusive mutators),
// deferred to a fresh collector (unversioned reclaiming mutators), and
// deferred with the root covered by `tree_word` (versioned ones).
enum class AllocMode { Local, Deferred, Covered };
const char* mode_name(AllocMode mode);
void set_mode(NodeAlloc& alloc, AllocMode mode, u64* tree_word);

// Keys sharing one 56-bit prefix, low bytes in a seeded random order.
std::vector<u64> shuffled_block(u64 prefix, std::mt19937_64& rng, unsigned count = 256);

}  // namespace tolvane::test
