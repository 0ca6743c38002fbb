// One writer changes a set-flavour tree through the reclaiming insert and
// remove while reader threads look keys up optimistically (version words
// checked, attempts repeated, epochs announced; support/optimistic_reader.hpp).
//
// Keys fall into three groups: stable keys, inserted once and never removed
// (a reader that may already see them must always find them); churn keys,
// inserted and removed over and over next to the others, driving leaves and
// branches through their forms (any answer goes); and keys never inserted (no
// reader may ever find one). Replaced blocks are retired to the collector and
// recycled as the writer advances its epoch, so a reader that touched memory
// after its grace period would trip the sanitizers. At the end the tree must
// equal the one the exclusive mutators build from the writer's operations.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "support/occ_set_tree.hpp"
#include "support/optimistic_reader.hpp"
#include "support/oracle.hpp"
#include "support/set_tree.hpp"
#include "support/tree_dump.hpp"
#include "tolvane/validate.hpp"

namespace tolvane::test {
namespace {

#if TOLVANE_TSAN
constexpr std::size_t kWriterOps = 100000;
#else
constexpr std::size_t kWriterOps = 300000;
#endif
constexpr unsigned kReaders = 3;
constexpr std::size_t kMinProbesPerReader = 2000;

struct Universe {
    std::vector<u64> root_spread;  // stable, one per top byte: keeps a level-8 BranchU
    std::vector<u64> stable;
    std::vector<u64> churn;
    std::vector<u64> never;
    std::vector<std::vector<u64>> dense;  // churn keys of whole level-1 ranges, swept in order
};

Universe make_universe(u64 seed, bool spread_root) {
    Universe u;
    std::mt19937_64 rng(seed);
    std::unordered_set<u64> taken;
    auto take = [&](u64 k) { return taken.insert(k).second; };

    if (spread_root) {
        for (u64 top = 0; top < 200; ++top) {
            const u64 k = (top << 56) | (rng() >> 8);
            if (take(k)) u.root_spread.push_back(k);
        }
    }
    // Dense ranges: a quarter stable, the rest churned in sweeps, so bitmap
    // leaves fill up into full edges and expand again.
    for (unsigned r = 0; r < 4; ++r) {
        const u64 base = 0x5A00000000000000 | ((rng() & 0xFFFF) << 24) | (u64{r} << 8);
        std::vector<u64> sweep;
        for (u64 x = 0; x < 256; ++x) {
            if (!take(base | x)) continue;
            if (x % 4 == 0) {
                u.stable.push_back(base | x);
            } else {
                u.churn.push_back(base | x);
                sweep.push_back(base | x);
            }
        }
        u.dense.push_back(sweep);
    }
    // Mixed shapes: skip levels, splits, every leaf width, wide branches.
    const KeyPattern patterns[] = {KeyPattern::Diverging, KeyPattern::Clustered,
                                   KeyPattern::SparseRandom, KeyPattern::DenseRuns,
                                   KeyPattern::Extremes};
    for (KeyPattern pattern : patterns) {
        KeyStream stream(pattern, seed + static_cast<u64>(pattern));
        for (int i = 0; i < 1500; ++i) {
            const u64 k = stream.next();
            if (!take(k)) continue;
            const u64 pick = rng() % 10;
            if (pick < 3)
                u.stable.push_back(k);
            else if (pick < 8)
                u.churn.push_back(k);
            else
                u.never.push_back(k);
        }
    }
    std::shuffle(u.stable.begin(), u.stable.end(), rng);
    return u;
}

struct Failures {
    std::atomic<u64> missed{0};   // a stable key not found
    std::atomic<u64> phantom{0};  // a never-inserted key found
    std::atomic<u64> first_bad{0};
    void note(std::atomic<u64>& counter, u64 key) {
        if (counter.fetch_add(1) == 0) first_bad.store(key);
    }
};

void run_stress(OccMode mode, u64 seed) {
    const bool covered = mode == OccMode::DeferredCovered;
    const Universe u = make_universe(seed, !covered);
    OccSetTree tree(mode);
    std::vector<Op> log;
    log.reserve(kWriterOps + u.root_spread.size() + u.stable.size());

    // Without a tree word nothing guards the root slot, so the root must not
    // change form while readers run: a BranchU with 200 children never does.
    for (u64 k : u.root_spread) {
        ASSERT_TRUE(tree.insert(k));
        log.push_back({Op::Kind::Insert, k});
    }
    if (!covered) {
        ASSERT_EQ(tree.root.tag_byte(), TAG_BRANCH_U);
    }

    std::atomic<std::size_t> stable_ready{0};  // stable[0..ready) are in the tree
    std::atomic<bool> writing{true};
    Failures failures;
    const u64* tree_word = covered ? &tree.tree_word : nullptr;

    std::vector<std::thread> readers;
    for (unsigned r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            Reader reader = Collector::register_reader(tree.collector);
            std::mt19937_64 rng(seed * 31 + r);
            u64 done = 0;
            while (writing.load(std::memory_order_acquire) || done < kMinProbesPerReader) {
                const u64 pick = rng() % 3;
                if (pick == 0) {
                    const std::size_t ready = stable_ready.load(std::memory_order_acquire);
                    u64 k;
                    if (ready && (u.root_spread.empty() || rng() % 4))
                        k = u.stable[rng() % ready];
                    else if (!u.root_spread.empty())
                        k = u.root_spread[rng() % u.root_spread.size()];
                    else
                        continue;  // nothing is guaranteed yet
                    if (!optimistic_contains(reader, tree.root, tree_word, k))
                        failures.note(failures.missed, k);
                } else if (pick == 1) {
                    const u64 k = u.never[rng() % u.never.size()];
                    if (optimistic_contains(reader, tree.root, tree_word, k))
                        failures.note(failures.phantom, k);
                } else {
                    // Either answer is right; the walk must still be safe.
                    optimistic_contains(reader, tree.root, tree_word,
                                        u.churn[rng() % u.churn.size()]);
                }
                ++done;
            }
        });
    }

    // The writer: stable keys one by one among churn operations, then churn
    // alone; every 32 writes an attempt to advance the epoch.
    std::mt19937_64 rng(seed ^ 0xC0FFEE);
    std::vector<char> present(u.churn.size(), 0);
    std::unordered_map<u64, std::size_t> churn_index;
    for (std::size_t i = 0; i < u.churn.size(); ++i) churn_index[u.churn[i]] = i;
    u64 wrong_answers = 0;
    std::size_t next_stable = 0, writes = 0;
    auto toggle = [&](u64 k) {
        char& in = present[churn_index[k]];
        const bool ok = in ? tree.remove(k) : tree.insert(k);
        log.push_back({in ? Op::Kind::Remove : Op::Kind::Insert, k});
        if (!ok) ++wrong_answers;
        in = !in;
    };
    while (writes < kWriterOps || next_stable < u.stable.size()) {
        if (next_stable < u.stable.size() && rng() % 8 == 0) {
            const u64 k = u.stable[next_stable];
            if (!tree.insert(k)) ++wrong_answers;
            log.push_back({Op::Kind::Insert, k});
            stable_ready.store(++next_stable, std::memory_order_release);
        } else if (rng() % 64 == 0) {
            // Sweep one dense range up (or down) completely.
            const std::vector<u64>& sweep = u.dense[rng() % u.dense.size()];
            const char want = static_cast<char>(rng() % 2);
            for (u64 k : sweep) {
                if (present[churn_index[k]] == want) continue;
                toggle(k);
                ++writes;
            }
        } else {
            toggle(u.churn[rng() % u.churn.size()]);
        }
        if (++writes % 32 == 0) tree.collector->try_advance();
    }
    writing.store(false, std::memory_order_release);
    for (std::thread& t : readers) t.join();

    EXPECT_EQ(wrong_answers, 0u) << "the writer's own results disagree with its model";
    EXPECT_EQ(failures.missed.load(), 0u)
        << "a stable key was missed, first 0x" << std::hex << failures.first_bad.load();
    EXPECT_EQ(failures.phantom.load(), 0u)
        << "a key never inserted was found, first 0x" << std::hex << failures.first_bad.load();

    // The final tree is the one the exclusive mutators build.
    ValidateStats stats{};
    const validate::Validation v =
        validate::tolvane_validate_and_stats<false>(tree.root, 8, stats, 0);
    ASSERT_TRUE(v.ok()) << v.error;
    SetTree exclusive;
    exclusive.check_path = false;
    for (const Op& op : log) exclusive.apply(op);
    exclusive.path.flush_and_reset();
    EXPECT_EQ(v.population, exclusive.population);
    EXPECT_EQ(dump_tree<false>(tree.root, 8), dump_tree<false>(exclusive.root, 8));
}

TEST(ConcurrentOccSet, ReadersNeverSeeAFalseAnswerUnversioned) {
    run_stress(OccMode::DeferredUnversioned, 101);
}

TEST(ConcurrentOccSet, ReadersNeverSeeAFalseAnswerUnderTheTreeWord) {
    run_stress(OccMode::DeferredCovered, 202);
}

}  // namespace
}  // namespace tolvane::test
