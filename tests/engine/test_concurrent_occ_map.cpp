// One writer changes a map-flavour tree through the reclaiming insert,
// get-or-insert and remove while reader threads look keys up optimistically
// (version words and the tree word checked, attempts repeated, epochs
// announced; support/optimistic_map_reader.hpp).
//
// Every value the writer stores names its key (a tag of the key in the high
// half) and the write that stored it (a generation in the low half). Keys
// fall into three groups: stable keys, inserted once and then only
// overwritten (a reader that may already see one must find it, with a value
// stored for it); churn keys, inserted, get-or-inserted and removed over and
// over, driving leaves and branches through their forms (absent, or a value
// stored for it); and keys never inserted (never found). After the run every
// value a reader saw must be one the writer stored for that key. Replaced
// blocks are retired and recycled as the writer advances the epoch, so a
// reader touching memory after its grace period would trip the sanitizers.
// At the end the tree must equal the one the exclusive mutators build from
// the writer's operations.
//
// Three ways of guarding the root slot: the versioned members bracket it with
// the tree word (root covered); an exclusive section holds the tree word odd
// around each whole operation (covered flag 2, as the concurrent map does);
// or nothing guards it and the root is a BranchU that never changes form,
// under the unversioned members.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "support/map_tree.hpp"
#include "support/occ_map_tree.hpp"
#include "support/optimistic_map_reader.hpp"
#include "support/oracle.hpp"
#include "support/tree_dump.hpp"
#include "tolvane/validate.hpp"
#include "tolvane/version.hpp"

namespace tolvane::test {
namespace {

#if TOLVANE_TSAN
constexpr std::size_t kWriterOps = 100000;
#else
constexpr std::size_t kWriterOps = 200000;
#endif
constexpr unsigned kReaders = 3;
constexpr std::size_t kMinProbesPerReader = 2000;
constexpr std::size_t kKeptObservations = 100000;

enum class RootGuard : u8 { TreeWord, Section, FixedRoot };

u32 key_tag(u64 k) { return static_cast<u32>((k * 0x9E3779B97F4A7C15ull) >> 32) | 1u; }
u64 value_for(u64 k, u64 generation) {
    return (u64{key_tag(k)} << 32) | (generation & 0xFFFFFFFFu);
}

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
        for (u64 top = 0; top < 200; ++top)
            if (const u64 k = (top << 56) | (rng() >> 8); take(k)) u.root_spread.push_back(k);
    }
    // Dense ranges: bitmap leaves fill up to 256 keys and fall back below 21.
    for (unsigned r = 0; r < 4; ++r) {
        const u64 base = 0x5A00000000000000 | ((rng() & 0xFFFF) << 24) | (u64{r} << 8);
        std::vector<u64> sweep;
        for (u64 x = 0; x < 256; ++x) {
            if (!take(base | x)) continue;
            (x % 8 == 0 ? u.stable : sweep).push_back(base | x);
        }
        u.churn.insert(u.churn.end(), sweep.begin(), sweep.end());
        u.dense.push_back(sweep);
    }
    // Mixed shapes: skip levels, splits, every leaf width, wide branches.
    for (KeyPattern pattern :
         {KeyPattern::Diverging, KeyPattern::Clustered, KeyPattern::SparseRandom,
          KeyPattern::DenseRuns, KeyPattern::Extremes}) {
        KeyStream stream(pattern, seed + static_cast<u64>(pattern));
        for (int i = 0; i < 1500; ++i) {
            const u64 k = stream.next();
            if (!take(k)) continue;
            const u64 pick = rng() % 10;
            (pick < 3 ? u.stable : pick < 8 ? u.churn : u.never).push_back(k);
        }
    }
    std::shuffle(u.stable.begin(), u.stable.end(), rng);
    return u;
}

struct Failures {
    std::atomic<u64> missed{0};   // a stable key not found
    std::atomic<u64> phantom{0};  // a never-inserted key found
    std::atomic<u64> foreign{0};  // a value that does not name its key
    std::atomic<u64> corrupt{0};  // a validated state no sound tree has
    std::atomic<u64> first_bad{0};
    void note(std::atomic<u64>& counter, u64 key) {
        if (counter.fetch_add(1) == 0) first_bad.store(key);
    }
};

struct LoggedOp {
    Op op;
    bool keep;
};

void run_stress(RootGuard guarding, u64 seed) {
    const Universe u = make_universe(seed, guarding == RootGuard::FixedRoot);
    OccMapTree tree(guarding == RootGuard::FixedRoot ? OccMode::DeferredUnversioned
                                                     : OccMode::DeferredCovered);
    const u64* tree_word = guarding == RootGuard::FixedRoot ? nullptr : &tree.tree_word;

    std::vector<LoggedOp> log;
    std::unordered_map<u64, u64> model;
    std::set<std::pair<u64, u64>> stored;
    u64 generation = 0, wrong_answers = 0;

    // The concurrent map's exclusive section: the tree word odd around the
    // whole operation, the members' own root brackets off (flag 2).
    auto in_section = [&](auto&& body) {
        if (guarding != RootGuard::Section) return body();
        store_relaxed(tree.tree_word, load_relaxed(tree.tree_word) + 1);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        tree.alloc.set_root_covered(2);
        body();
        tree.alloc.set_root_covered(1);
        store_release(tree.tree_word, load_relaxed(tree.tree_word) + 1);
    };
    auto put = [&](u64 k, bool keep) {
        const u64 v = value_for(k, ++generation);
        tree.keep_existing = keep;
        mutate_map::InsertResult r;
        in_section([&] { r = tree.insert(k, v); });
        const auto it = model.find(k);
        if (r.existed != (it != model.end() ? 1u : 0u) ||
            (it != model.end() && r.old != it->second))
            ++wrong_answers;
        if (it == model.end() || !keep) {
            model[k] = v;
            stored.emplace(k, v);
        }
        log.push_back({{Op::Kind::Insert, k, v}, keep});
    };
    auto erase = [&](u64 k) {
        mutate_map::RemoveResult r;
        in_section([&] { r = tree.remove(k); });
        const auto it = model.find(k);
        if (r.found != (it != model.end()) || (r.found && r.value != it->second)) ++wrong_answers;
        if (it != model.end()) model.erase(it);
        log.push_back({{Op::Kind::Remove, k}, false});
    };

    // Without a guard on the root slot the root must never change form while
    // readers run: a BranchU of 200 children that are never removed.
    for (u64 k : u.root_spread) put(k, false);
    if (guarding == RootGuard::FixedRoot) {
        ASSERT_EQ(tree.root.tag_byte(), TAG_BRANCH_U);
    }

    std::atomic<std::size_t> stable_ready{0};  // stable[0..ready) are in the tree
    std::atomic<bool> writing{true};
    Failures failures;
    std::vector<std::vector<std::pair<u64, u64>>> seen(kReaders);
    std::vector<std::thread> readers;
    for (unsigned r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            Reader reader = Collector::register_reader(tree.collector);
            std::mt19937_64 rng(seed * 31 + r);
            std::size_t done = 0;
            auto look = [&](u64 k) {
                const MapProbe p = optimistic_get(reader, tree.root, tree_word, k);
                if (p.answer == MapProbe::Answer::Corrupt) failures.note(failures.corrupt, k);
                if (p.answer != MapProbe::Answer::Present) return false;
                if (p.value >> 32 != key_tag(k)) failures.note(failures.foreign, k);
                if (seen[r].size() < kKeptObservations) seen[r].emplace_back(k, p.value);
                return true;
            };
            while (writing.load(std::memory_order_acquire) || done < kMinProbesPerReader) {
                const u64 pick = rng() % 3;
                if (pick == 0) {
                    const std::size_t ready = stable_ready.load(std::memory_order_acquire);
                    const bool spread = !u.root_spread.empty() && (ready == 0 || rng() % 4 == 0);
                    if (!spread && ready == 0) continue;  // nothing is guaranteed yet
                    const u64 k = spread ? u.root_spread[rng() % u.root_spread.size()]
                                         : u.stable[rng() % ready];
                    if (!look(k)) failures.note(failures.missed, k);
                } else if (pick == 1) {
                    const u64 k = u.never[rng() % u.never.size()];
                    if (look(k)) failures.note(failures.phantom, k);
                } else {
                    look(u.churn[rng() % u.churn.size()]);
                }
                ++done;
            }
        });
    }

    // The writer: stable keys one by one among churn operations, overwrites
    // of present stable keys, then churn alone; every 32 writes an attempt to
    // advance the epoch.
    std::mt19937_64 rng(seed ^ 0xC0FFEE);
    std::size_t next_stable = 0, writes = 0;
    auto churn_step = [&](u64 k) {
        if (!model.count(k)) {
            put(k, rng() % 4 == 0);
        } else if (rng() % 3 == 0) {
            put(k, rng() % 2 == 0);  // present: overwrite or get-or-insert
        } else {
            erase(k);
        }
    };
    while (writes < kWriterOps || next_stable < u.stable.size()) {
        const u64 pick = rng() % 64;
        if (next_stable < u.stable.size() && pick < 8) {
            put(u.stable[next_stable], false);
            stable_ready.store(++next_stable, std::memory_order_release);
        } else if (next_stable > 0 && pick < 12) {
            put(u.stable[rng() % next_stable], rng() % 2 == 0);
        } else if (pick == 12) {
            // Sweep one dense range completely in or out.
            const std::vector<u64>& sweep = u.dense[rng() % u.dense.size()];
            const bool fill = rng() % 2 == 0;
            for (u64 k : sweep) {
                if (model.count(k) == (fill ? 1u : 0u)) continue;
                if (fill)
                    put(k, false);
                else
                    erase(k);
                ++writes;
            }
        } else {
            churn_step(u.churn[rng() % u.churn.size()]);
        }
        if (++writes % 32 == 0) tree.collector->try_advance();
    }
    writing.store(false, std::memory_order_release);
    for (std::thread& t : readers) t.join();

    EXPECT_EQ(wrong_answers, 0u) << "the writer's own results disagree with its model";
    EXPECT_EQ(failures.corrupt.load(), 0u)
        << "a reader validated a broken state, key 0x" << std::hex << failures.first_bad.load();
    EXPECT_EQ(failures.missed.load(), 0u)
        << "a stable key was missed, first 0x" << std::hex << failures.first_bad.load();
    EXPECT_EQ(failures.phantom.load(), 0u)
        << "a key never inserted was found, first 0x" << std::hex << failures.first_bad.load();
    EXPECT_EQ(failures.foreign.load(), 0u)
        << "a value of another key was returned, first 0x" << std::hex << failures.first_bad.load();
    u64 unstored = 0, observations = 0;
    for (const auto& list : seen) {
        observations += list.size();
        for (const auto& kv : list) unstored += stored.count(kv) == 0;
    }
    EXPECT_EQ(unstored, 0u) << "a reader returned a value never stored for its key";
    EXPECT_GT(observations, 0u);

    // The final tree is the one the exclusive mutators build.
    ValidateStats stats{};
    const validate::Validation v =
        validate::tolvane_validate_and_stats<true>(tree.root, 8, stats, 0);
    ASSERT_TRUE(v.ok()) << v.error;
    EXPECT_EQ(v.population, model.size());
    MapTree exclusive;
    exclusive.check_path = false;
    for (const LoggedOp& entry : log) {
        exclusive.keep_existing = entry.keep;
        exclusive.apply(entry.op);
    }
    exclusive.path.flush_and_reset();
    EXPECT_EQ(dump_tree<true>(tree.root, 8), dump_tree<true>(exclusive.root, 8));
    if (guarding != RootGuard::FixedRoot) {
        EXPECT_EQ(tree.tree_word % 2, 0u);
    }
}

TEST(ConcurrentOccMap, ReadersSeeOnlyStoredValuesUnderTheTreeWord) {
    run_stress(RootGuard::TreeWord, 301);
}

TEST(ConcurrentOccMap, ReadersSeeOnlyStoredValuesInExclusiveSections) {
    run_stress(RootGuard::Section, 302);
}

TEST(ConcurrentOccMap, ReadersSeeOnlyStoredValuesBelowAFixedRootUnversioned) {
    run_stress(RootGuard::FixedRoot, 303);
}

}  // namespace
}  // namespace tolvane::test
