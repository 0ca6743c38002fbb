// Chain checks of the optimistic map insert and removal under many threads.
// Every thread writes the same keys, so the per-key histories must chain:
// inserting distinct values, the previous values returned plus the final
// value are exactly the values written plus one "none"; removing, exactly
// one removal of each key gets its value. The structural check must be clean
// after the threads join, and most writes must have finished optimistically.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/on_threads.hpp"
#include "support/tree_bytes.hpp"
#include "tolvane/sync/olc_attempt.hpp"
#include "tolvane/sync/olc_map_writes.hpp"
#include "tolvane/sync/sync_map.hpp"

namespace tolvane::sync {
namespace {

#if TOLVANE_TSAN
constexpr unsigned kThreads = 6;
constexpr unsigned kKeys = 2500;
#else
constexpr unsigned kThreads = 8;
constexpr unsigned kKeys = 6000;
#endif
constexpr unsigned kRounds = 2;
constexpr u64 kNone = ~u64{0};

// Keys that reach every leaf form and make branches gain children while
// other threads write beside them: dense level-1 runs, clusters that fill
// and split wide leaves, and keys spread over the top byte.
std::vector<u64> chain_keys() {
    std::vector<u64> keys;
    std::mt19937_64 rng(7);
    for (unsigned i = 0; keys.size() < kKeys; ++i) {
        switch (i % 3) {
            case 0: keys.push_back(0x2000000000000000ull | (i % 2048)); break;
            case 1: keys.push_back(0x3000000000000000ull | ((rng() % 64) << 24) | (i % 97)); break;
            default: keys.push_back((rng() % 200 + 40) << 56 | (rng() & 0xFFFF)); break;
        }
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

// The map's insert and removal, counting how often the optimistic phase
// finished the write.
struct Writer {
    SyncTolvaneMap& m;
    u64 optimistic = 0;

    std::optional<u64> insert(u64 k, u64 v) {
        if (const auto done = olc_insert_phase(m.shared(), k, v)) {
            ++optimistic;
            return *done;
        }
        return m.insert_exclusive(k, v);
    }
    std::optional<u64> remove(u64 k) {
        if (const auto done = olc_remove_phase(m.shared(), k)) {
            ++optimistic;
            return *done;
        }
        return m.remove_exclusive(k);
    }
};

// Some writes fail their first verification after the lock (a retry that
// gives its private blocks back), a few fail every attempt and end in the
// exclusive section.
u32 forced_failures(unsigned j) { return j % 11 == 0 ? 70 : j % 3 == 0 ? 1 : 0; }

// Every block the allocator has out belongs to the tree: no private block of
// a failed attempt was lost and none was given back twice.
void expect_no_stray_blocks(SyncTolvaneMap& m) {
    EXPECT_EQ(m.shared().tree.alloc.live_bytes(), test::tree_bytes<true>(m.shared().tree.core.root));
}

void prefill_trie(SyncTolvaneMap& m) {
    for (u64 i = 0; i < 40; ++i) m.insert(0x1000000000000000ull | i, i);
}

TEST(ConcurrentOlcMap, InsertHistoriesChainPerKey) {
    SyncTolvaneMap m;
    prefill_trie(m);
    const std::vector<u64> keys = chain_keys();
    // seen[t][j]: what thread t's inserts of key j returned, in order.
    std::vector<std::vector<std::vector<u64>>> seen(kThreads, std::vector<std::vector<u64>>(keys.size()));
    std::atomic<u64> optimistic{0};
    test::on_threads(kThreads, [&](unsigned t) {
        Writer w{m};
        std::mt19937_64 rng(t + 1);
        std::vector<unsigned> order(keys.size());
        for (unsigned j = 0; j < order.size(); ++j) order[j] = j;
        for (unsigned round = 0; round < kRounds; ++round) {
            std::shuffle(order.begin(), order.end(), rng);
            for (const unsigned j : order) {
                const u64 value = (u64{t} << 48) | (u64{round} << 32) | j;
                OLC_FORCED_FAILURES = forced_failures(j);
                seen[t][j].push_back(w.insert(keys[j], value).value_or(kNone));
            }
            OLC_FORCED_FAILURES = 0;
        }
        optimistic += w.optimistic;
    });

    for (unsigned j = 0; j < keys.size(); ++j) {
        std::vector<u64> returned;
        std::vector<u64> written{kNone};
        for (unsigned t = 0; t < kThreads; ++t) {
            returned.insert(returned.end(), seen[t][j].begin(), seen[t][j].end());
            for (unsigned round = 0; round < kRounds; ++round)
                written.push_back((u64{t} << 48) | (u64{round} << 32) | j);
        }
        const std::optional<u64> final_value = m.shared().tree.get(keys[j]);
        ASSERT_TRUE(final_value) << keys[j];
        returned.push_back(*final_value);
        std::sort(returned.begin(), returned.end());
        std::sort(written.begin(), written.end());
        ASSERT_EQ(returned, written) << "key " << keys[j];
    }
    const std::optional<std::string> broken = m.validate();
    ASSERT_FALSE(broken) << *broken;
    EXPECT_EQ(m.len(), keys.size() + 40);
    expect_no_stray_blocks(m);
    EXPECT_GT(optimistic.load(), u64{kThreads} * kRounds * keys.size() / 2);
}

TEST(ConcurrentOlcMap, EachKeyIsRemovedOnce) {
    SyncTolvaneMap m;
    prefill_trie(m);
    const std::vector<u64> keys = chain_keys();
    for (unsigned j = 0; j < keys.size(); ++j) m.insert(keys[j], j);
    std::vector<std::vector<u64>> got(kThreads, std::vector<u64>(keys.size(), kNone));
    std::atomic<u64> optimistic{0};
    test::on_threads(kThreads, [&](unsigned t) {
        Writer w{m};
        std::mt19937_64 rng(100 + t);
        std::vector<unsigned> order(keys.size());
        for (unsigned j = 0; j < order.size(); ++j) order[j] = j;
        std::shuffle(order.begin(), order.end(), rng);
        for (const unsigned j : order) {
            OLC_FORCED_FAILURES = forced_failures(j);
            got[t][j] = w.remove(keys[j]).value_or(kNone);
        }
        OLC_FORCED_FAILURES = 0;
        optimistic += w.optimistic;
    });

    for (unsigned j = 0; j < keys.size(); ++j) {
        unsigned winners = 0;
        for (unsigned t = 0; t < kThreads; ++t) {
            if (got[t][j] == kNone) continue;
            ++winners;
            EXPECT_EQ(got[t][j], j) << keys[j];
        }
        ASSERT_EQ(winners, 1u) << "key " << keys[j];
        ASSERT_FALSE(m.shared().tree.get(keys[j])) << keys[j];
    }
    const std::optional<std::string> broken = m.validate();
    ASSERT_FALSE(broken) << *broken;
    EXPECT_EQ(m.len(), 40u);
    expect_no_stray_blocks(m);
    EXPECT_GT(optimistic.load(), u64{kThreads} * keys.size() / 2);
}

}  // namespace
}  // namespace tolvane::sync
