// One writer changes a map-flavour tree through the reclaiming insert,
// get-or-insert and remove while reader threads look keys up optimistically
// (version words and the tree word checked, attempts repeated, epochs
// announced; support/optimistic_map_reader.hpp).
//
// Every value the writer stores names its key (a tag of the key in the high
// half) and the write that stored it (a generation in the low half). Keys
// are stable (inserted once, then only overwritten), churned (inserted,
// get-or-inserted and removed over and over) or never inserted
// (support/stress_keys.hpp); a stable key must be found with a value stored
// for it, a churn key may be absent. After the run every value a reader saw
// must be one the writer stored for that key. Replaced blocks are retired and
// recycled as the writer advances the epoch, so a reader touching memory
// after its grace period would trip the sanitizers.
// At the end the tree must equal the one the exclusive mutators build from
// the writer's operations.
//
// Three ways of guarding the root slot: the versioned members bracket it with
// the tree word (root covered); an exclusive section holds the tree word odd
// around each whole operation (covered flag 2, as the concurrent map does);
// or nothing guards it and the root is a BranchU that never changes form,
// under the unversioned members.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "support/map_tree.hpp"
#include "support/reclaiming_map_tree.hpp"
#include "support/optimistic_map_reader.hpp"
#include "support/oracle.hpp"
#include "support/stress_keys.hpp"
#include "support/tree_dump.hpp"
#include "tolvane/check/validate.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::test {
namespace {

#if TOLVANE_TSAN
constexpr std::size_t kWriterOps = 100000;
#else
constexpr std::size_t kWriterOps = 200000;
#endif
constexpr std::size_t kKeptObservations = 100000;

enum class RootGuard : u8 { TreeWord, Section, FixedRoot };

u32 key_tag(u64 k) { return static_cast<u32>((k * 0x9E3779B97F4A7C15ull) >> 32) | 1u; }
u64 value_for(u64 k, u64 generation) {
    return (u64{key_tag(k)} << 32) | (generation & 0xFFFFFFFFu);
}

struct LoggedOp {
    Op op;
    bool keep;
};

void run_stress(RootGuard guarding, u64 seed) {
    const KeyGroups u = make_key_groups(seed, guarding == RootGuard::FixedRoot, 8);
    ReclaimingMapTree tree(guarding == RootGuard::FixedRoot ? ReclaimingMode::DeferredUnversioned
                                                     : ReclaimingMode::DeferredCovered);
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
    ProbeTally failures;
    std::vector<std::vector<std::pair<u64, u64>>> seen(kStressReaders);
    std::vector<std::thread> readers =
        start_readers(u, tree.collector, stable_ready, writing, failures, seed,
                      [&tree, tree_word, &failures, &seen](Reader& reader, unsigned id, u64 k) {
                          const MapProbe p = optimistic_get(reader, tree.root, tree_word, k);
                          if (p.answer == MapProbe::Answer::Corrupt)
                              failures.note(failures.corrupt, k);
                          if (p.answer != MapProbe::Answer::Present) return false;
                          if (p.value >> 32 != key_tag(k)) failures.note(failures.foreign, k);
                          if (seen[id].size() < kKeptObservations)
                              seen[id].emplace_back(k, p.value);
                          return true;
                      });

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

TEST(ConcurrentReclaimingMap, ReadersSeeOnlyStoredValuesUnderTheTreeWord) {
    run_stress(RootGuard::TreeWord, 301);
}

TEST(ConcurrentReclaimingMap, ReadersSeeOnlyStoredValuesInExclusiveSections) {
    run_stress(RootGuard::Section, 302);
}

TEST(ConcurrentReclaimingMap, ReadersSeeOnlyStoredValuesBelowAFixedRootUnversioned) {
    run_stress(RootGuard::FixedRoot, 303);
}

}  // namespace
}  // namespace tolvane::test
