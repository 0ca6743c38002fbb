#pragma once
// Key groups and reader threads of the stress tests in which one reclaiming
// writer changes a tree while optimistic readers look keys up.
//
// Keys fall into three groups: stable keys, inserted once and never removed
// (a reader that may already see one must find it); churn keys, inserted and
// removed over and over beside them, driving leaves and branches through
// their forms (any answer goes); and keys never inserted (never found).
//
//   const KeyGroups keys = make_key_groups(seed, spread_root, 4);
//   ProbeTally tally;
//   std::vector<std::thread> readers = start_readers(keys, collector, ready,
//       writing, tally, seed, [&](Reader& r, unsigned id, u64 k) { ...; });
//   ... the writer publishes stable[0..ready) and finally clears `writing` ...
//   for (std::thread& t : readers) t.join();

#include <atomic>
#include <cstddef>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "tolvane/mem/occ.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::test {

inline constexpr unsigned kStressReaders = 3;
inline constexpr std::size_t kMinProbesPerReader = 2000;

struct KeyGroups {
    std::vector<u64> root_spread;  // stable, one per top byte: keeps a level-8 BranchU
    std::vector<u64> stable;       // shuffled: the writer inserts them in this order
    std::vector<u64> churn;
    std::vector<u64> never;
    std::vector<std::vector<u64>> dense;  // churn keys of whole level-1 ranges, swept in order
};

// `spread_root`: 200 keys with distinct top bytes, for trees whose root slot
// nothing guards. Four dense level-1 ranges of which every
// `dense_stable_every`-th key is stable and the rest churn, so bitmap leaves
// fill up and empty again; then keys of mixed shapes (skip levels, splits,
// every leaf width, wide branches) split 3:5:2 among stable, churn and never.
KeyGroups make_key_groups(u64 seed, bool spread_root, unsigned dense_stable_every);

// What the readers saw that they must not have.
struct ProbeTally {
    std::atomic<u64> missed{0};   // a stable key not found
    std::atomic<u64> phantom{0};  // a never-inserted key found
    std::atomic<u64> foreign{0};  // a value that does not name its key
    std::atomic<u64> corrupt{0};  // a validated state no sound tree has
    std::atomic<u64> first_bad{0};
    void note(std::atomic<u64>& counter, u64 key) {
        if (counter.fetch_add(1) == 0) first_bad.store(key);
    }
};

// Starts the reader threads. Each registers a reader with `collector` and,
// until `writing` is false and it has made kMinProbesPerReader probes, asks
// `look(reader, id, key)` whether a key is present: a stable key published by
// `stable_ready` (stable[0..ready)) or of the root spread, a never-inserted
// key, or a churn key. Misses and phantoms go to `tally`.
template <class Look>
std::vector<std::thread> start_readers(const KeyGroups& keys,
                                       const std::shared_ptr<Collector>& collector,
                                       const std::atomic<std::size_t>& stable_ready,
                                       const std::atomic<bool>& writing, ProbeTally& tally,
                                       u64 seed, Look look) {
    std::vector<std::thread> readers;
    for (unsigned id = 0; id < kStressReaders; ++id) {
        readers.emplace_back([&keys, &collector, &stable_ready, &writing, &tally, seed, look, id] {
            Reader reader = Collector::register_reader(collector);
            std::mt19937_64 rng(seed * 31 + id);
            std::size_t done = 0;
            while (writing.load(std::memory_order_acquire) || done < kMinProbesPerReader) {
                const u64 pick = rng() % 3;
                if (pick == 0) {
                    const std::size_t ready = stable_ready.load(std::memory_order_acquire);
                    const bool spread = !keys.root_spread.empty() && (ready == 0 || rng() % 4 == 0);
                    if (!spread && ready == 0) continue;  // nothing is guaranteed yet
                    const u64 k = spread ? keys.root_spread[rng() % keys.root_spread.size()]
                                         : keys.stable[rng() % ready];
                    if (!look(reader, id, k)) tally.note(tally.missed, k);
                } else if (pick == 1) {
                    const u64 k = keys.never[rng() % keys.never.size()];
                    if (look(reader, id, k)) tally.note(tally.phantom, k);
                } else {
                    // Either answer is right; the walk must still be safe.
                    look(reader, id, keys.churn[rng() % keys.churn.size()]);
                }
                ++done;
            }
        });
    }
    return readers;
}

}  // namespace tolvane::test
