// One writer changes a set-flavour tree through the reclaiming insert and
// remove while reader threads look keys up optimistically (version words
// checked, attempts repeated, epochs announced; support/optimistic_reader.hpp).
//
// Keys are stable, churned or never inserted (support/stress_keys.hpp).
// Replaced blocks are retired to the collector and
// recycled as the writer advances its epoch, so a reader that touched memory
// after its grace period would trip the sanitizers. At the end the tree must
// equal the one the exclusive mutators build from the writer's operations.

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "support/reclaiming_set_tree.hpp"
#include "support/optimistic_reader.hpp"
#include "support/oracle.hpp"
#include "support/set_tree.hpp"
#include "support/stress_keys.hpp"
#include "support/tree_dump.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane::test {
namespace {

#if TOLVANE_TSAN
constexpr std::size_t kWriterOps = 100000;
#else
constexpr std::size_t kWriterOps = 300000;
#endif

void run_stress(ReclaimingMode mode, u64 seed) {
    const bool covered = mode == ReclaimingMode::DeferredCovered;
    const KeyGroups u = make_key_groups(seed, !covered, 4);
    ReclaimingSetTree tree(mode);
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
    ProbeTally failures;
    const u64* tree_word = covered ? &tree.tree_word : nullptr;
    std::vector<std::thread> readers =
        start_readers(u, tree.collector, stable_ready, writing, failures, seed,
                      [&tree, tree_word](Reader& reader, unsigned, u64 k) {
                          return optimistic_contains(reader, tree.root, tree_word, k);
                      });

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

TEST(ConcurrentReclaimingSet, ReadersNeverSeeAFalseAnswerUnversioned) {
    run_stress(ReclaimingMode::DeferredUnversioned, 101);
}

TEST(ConcurrentReclaimingSet, ReadersNeverSeeAFalseAnswerUnderTheTreeWord) {
    run_stress(ReclaimingMode::DeferredCovered, 202);
}

}  // namespace
}  // namespace tolvane::test
