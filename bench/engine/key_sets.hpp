#pragma once
// Key sets the benchmarks run on, generated from a fixed seed so every run and
// every container sees the same keys and the same probes.
//
//   random     n distinct uniformly random u64
//   dense      0 .. n-1
//   clustered  runs of 256 consecutive keys starting at random bases
//
// Probe arrays have a power-of-two length so a benchmark loop can wrap its
// index with a mask.

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using u64 = std::uint64_t;

enum class KeyShape { random, dense, clustered };

const char* shape_name(KeyShape shape);

struct KeySet {
    KeyShape shape;
    std::size_t n = 0;
    std::vector<u64> sorted;     // every key, ascending
    std::vector<u64> shuffled;   // the same keys in random order (insert order)
    std::vector<u64> erase_order;  // another random order
    std::vector<u64> hits;       // random sample of present keys
    std::vector<u64> misses;     // absent keys near the present ones
    std::vector<u64> points;     // random points between the smallest and largest key
    std::vector<u64> ranks;      // random ranks below n
    std::size_t probe_mask = 0;  // probe arrays hold probe_mask + 1 entries
};

// Built once per (shape, n); the previous set is dropped first so only one is
// alive at a time.
const KeySet& key_set(KeyShape shape, std::size_t n);

struct SplitMix {
    u64 state;
    u64 operator()() {
        u64 z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

}  // namespace bench
