// The optimistic readers of the concurrent containers, single-threaded:
// point lookups (map and set flavour) and neighbour searches against the
// plain reference walk on randomly shaped trees of every node form, against
// std::map on root leaves of every capacity class, and the retry paths that
// a changed root or node version must take. The exclusive fallback is
// reached through the test switch that fails attempts on demand.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "support/random_tree.hpp"
#include "support/reference_walk.hpp"
#include "support/tree_builder.hpp"
#include "tolvane/int/map.hpp"
#include "tolvane/mem/occ.hpp"
#include "tolvane/sync/olc_get.hpp"
#include "tolvane/sync/olc_nav.hpp"
#include "tolvane/sync/olc_readers.hpp"
#include "tolvane/sync/sync_map.hpp"

namespace tolvane::test {
namespace {

using sync::olc::Answer;
using sync::olc::Probe;

// The four published root words, as the shared block holds them.
struct Published {
    u64 root_version = 0;
    u64 root_kind = ROOT_EMPTY;
    u64 root_word0 = 0;
    u64 root_word1 = 0;

    void trie(const Edge& root) {
        root_kind = ROOT_TREE;
        root_word0 = root.w0;
        root_word1 = root.w1;
    }
};

using Entries = std::vector<KeyValue>;

std::optional<KeyValue> oracle_next(const Entries& all, u64 k) {
    auto it = std::lower_bound(all.begin(), all.end(), k,
                               [](const KeyValue& e, u64 x) { return e.key < x; });
    if (it == all.end()) return std::nullopt;
    return *it;
}

std::optional<KeyValue> oracle_prev(const Entries& all, u64 k) {
    auto it = std::upper_bound(all.begin(), all.end(), k,
                               [](u64 x, const KeyValue& e) { return x < e.key; });
    if (it == all.begin()) return std::nullopt;
    return *(it - 1);
}

std::optional<u64> oracle_get(const Entries& all, u64 k) {
    const auto n = oracle_next(all, k);
    if (n && n->key == k) return n->value;
    return std::nullopt;
}

std::optional<KeyValue> as_optional(const sync::NavResult& r) {
    if (r.tag == sync::NAV_FOUND) return KeyValue{r.key, r.value};
    return std::nullopt;
}

// Every reader, one attempt each, on the published root against `all`.
void check_against(const Published& block, const Entries& all, const std::vector<u64>& probes,
                   bool map) {
    for (const u64 k : probes) {
        SCOPED_TRACE(::testing::Message() << "key " << k);
        const std::optional<u64> want = oracle_get(all, k);
        if (map) {
            const Probe p = sync::olc::probe_root<true>(block, k);
            ASSERT_NE(p.answer, Answer::Retry);
            ASSERT_EQ(p.answer == Answer::Present, want.has_value());
            if (want) {
                EXPECT_EQ(p.value, *want);
            }
            const sync::NavResult next = sync::olc::probe_neighbour<true>(block, k);
            const sync::NavResult prev = sync::olc::probe_neighbour<false>(block, k);
            ASSERT_NE(next.tag, sync::NAV_RETRY);
            ASSERT_NE(prev.tag, sync::NAV_RETRY);
            EXPECT_EQ(as_optional(next), oracle_next(all, k));
            EXPECT_EQ(as_optional(prev), oracle_prev(all, k));
        } else {
            const Probe p = sync::olc::probe_root<false>(block, k);
            ASSERT_NE(p.answer, Answer::Retry);
            EXPECT_EQ(p.answer == Answer::Present, want.has_value());
        }
    }
}

// Randomly shaped trees: every branch and leaf form, skipped prefixes on
// both sides of the key, bitmap group edges, full uncompressed branches.
template <bool Map>
void check_random_shapes(u64 first_seed, u64 seeds) {
    std::size_t checked = 0;
    for (u64 seed = first_seed; seed < first_seed + seeds; ++seed) {
        SCOPED_TRACE(::testing::Message() << "shape seed " << seed);
        NodeAlloc alloc;
        testing::TreeBuilder<Map> builder(alloc);
        testing::RandomTree<Map> gen(builder, seed);
        Edge root = gen.root();
        Entries all;
        if (gen.population <= 200000 && reference_entries<Map>(root, 8, all)) {
            std::mt19937_64 rng(seed);
            Published block;
            block.trie(root);
            ASSERT_NO_FATAL_FAILURE(check_against(block, all, probe_keys(keys_of(all), rng, 300), Map));
            ++checked;
        }
        builder.free(root);
    }
    EXPECT_GE(checked, seeds / 2);
}

TEST(OptimisticReadShapes, MapTreesAgreeWithTheReferenceWalk) { check_random_shapes<true>(1, 120); }

TEST(OptimisticReadShapes, SetTreesAgreeWithTheReferenceWalk) {
    check_random_shapes<false>(1000, 120);
}

// Root leaves at every capacity-class edge, and the empty root, with keys
// 0 and 2^64 - 1 stored and not stored.
TEST(OptimisticReadRootLeaf, EveryCapacityClassAgreesWithStdMap) {
    std::mt19937_64 rng(7);
    for (const u64 n : {0, 1, 2, 3, 16, 17, 24, 25, 31}) {
        for (const bool ends : {false, true}) {
            SCOPED_TRACE(::testing::Message() << n << " entries, ends " << ends);
            TolvaneMap map;
            std::map<u64, u64> model;
            while (model.size() < n) {
                u64 k = rng() >> (rng() % 64);
                if (ends && model.empty()) k = 0;
                if (ends && model.size() == 1) k = ~u64{0};
                const u64 v = rng();
                if (model.emplace(k, v).second) map.insert(k, v);
            }
            ASSERT_EQ(map.core.root_state, n == 0 ? ROOT_EMPTY : ROOT_LEAF);
            Published block;
            block.root_kind = map.core.root_state;
            block.root_word0 = map.core.root.w0;
            block.root_word1 = map.core.root.w1;
            Entries all;
            for (const auto& [k, v] : model) all.push_back({k, v});
            std::vector<u64> probes{0, 1, ~u64{0}, ~u64{0} - 1};
            for (const auto& [k, v] : model) {
                probes.insert(probes.end(), {k - 1, k, k + 1});
            }
            ASSERT_NO_FATAL_FAILURE(check_against(block, all, probes, true));
        }
    }
}

// Neighbours across the group edges of a bitmap branch (digits 31/32,
// 63/64, ...) and across the 0 and 255 ends of an uncompressed root, through
// the concurrent map's own entry points.
TEST(OptimisticReadShapes, BitmapGroupEdgesAndUncompressedEnds) {
    sync::SyncTolvaneMap map;
    std::map<u64, u64> model;
    const auto put = [&](u64 k) {
        map.insert(k, k ^ 0x5A5A);
        model[k] = k ^ 0x5A5A;
    };
    const u64 prefix = 0x1234567890AB0000ull;
    const u8 digits[] = {1, 5, 31, 32, 63, 64, 95, 96, 127, 128, 159, 160, 191, 192, 223, 224, 254};
    for (const u8 d : digits)
        for (const u64 low : {3, 200}) put(prefix | u64{d} << 8 | low);
    for (u64 top = 0; top < 256; ++top)
        if (top < 100 || top > 102) put(top << 56 | 0x77);
    ASSERT_EQ(map.validate(), std::nullopt);
    ASSERT_EQ(map.shared().tree.core.root.tag_byte(), TAG_BRANCH_U);  // the premise

    Entries all;
    for (const auto& [k, v] : model) all.push_back({k, v});
    std::vector<u64> probes{0, 1, ~u64{0}, u64{255} << 56, (u64{101} << 56) + 5};
    for (unsigned d = 0; d < 256; ++d)
        for (const u64 low : {0, 3, 4, 255}) probes.push_back(prefix | u64{d} << 8 | low);
    for (u64 top = 0; top < 256; ++top) probes.insert(probes.end(), {top << 56, (top << 56) | 0xFFFF});
    auto collector = map.shared().collector;
    Reader reader = Collector::register_reader(collector);
    for (const u64 k : probes) {
        SCOPED_TRACE(::testing::Message() << "key " << k);
        EXPECT_EQ(sync::map_next_with(map.shared(), reader, k), oracle_next(all, k));
        EXPECT_EQ(sync::map_prev_with(map.shared(), reader, k), oracle_prev(all, k));
        EXPECT_EQ(sync::map_get_with(map.shared(), reader, k), oracle_get(all, k));
    }
}

// A set root leaf publishes the same two words as the map's (key array,
// then count), with no values behind the keys.
TEST(OptimisticReadRootLeaf, SetRootLeafAnswersMembership) {
    alignas(16) u64 keys[4] = {0, 5, 9, ~u64{0}};
    Published block{0, ROOT_LEAF, reinterpret_cast<u64>(keys), 4};
    const Entries all{{0, 0}, {5, 0}, {9, 0}, {~u64{0}, 0}};
    ASSERT_NO_FATAL_FAILURE(check_against(block, all, {0, 1, 4, 5, 6, 9, 10, ~u64{0} - 1, ~u64{0}}, false));
    block.root_word1 = 0;  // a count of 0 reads as empty
    EXPECT_EQ(sync::olc::probe_root<false>(block, 5).answer, Answer::Absent);
}

// An exclusive writer between its two increments, a root version that moved
// during the attempt, and a branch being changed each make the attempt fail.
TEST(OptimisticReadRetry, ChangedVersionsFailTheAttempt) {
    NodeAlloc alloc;
    testing::TreeBuilder<true> b(alloc);
    const Edge leaf = b.linear_leaf(1, {1, 2, 3}, {10, 20, 30});
    Edge root = b.branch_l3(8, {{0x00, b.skip(b.branch_l3(2, {{0x00, leaf}}), 2, 7, 0)}});
    Published block;
    block.trie(root);
    ASSERT_EQ(sync::olc::probe_root<true>(block, 2).value, 20u);

    BranchL3* top = root.ptr<BranchL3>();
    top->version = 1;  // locked
    EXPECT_EQ(sync::olc::probe_root<true>(block, 2).answer, Answer::Retry);
    EXPECT_EQ(sync::olc::probe_neighbour<true>(block, 0).tag, sync::NAV_RETRY);
    top->version = 0x80000001u;  // obsolete
    EXPECT_EQ(sync::olc::probe_root<true>(block, 2).answer, Answer::Retry);
    EXPECT_EQ(sync::olc::probe_neighbour<false>(block, ~u64{0}).tag, sync::NAV_RETRY);
    top->version = 2;
    EXPECT_EQ(sync::olc::probe_root<true>(block, 2).answer, Answer::Present);

    // An answer read straight under the root is only as good as the root
    // version: an empty root edge reads as absent only while it holds.
    const sync::olc::Guard moved = sync::olc::Guard::of_root(block.root_version, 2);
    const sync::olc::Guard held = sync::olc::Guard::of_root(block.root_version, 0);
    EXPECT_EQ(sync::olc::probe_trie<true>(Edge{}, 2, moved).answer, Answer::Retry);
    EXPECT_EQ(sync::olc::probe_trie<false>(Edge{}, 2, moved).answer, Answer::Retry);
    EXPECT_EQ(sync::olc::probe_trie<true>(Edge{}, 2, held).answer, Answer::Absent);
    b.free(root);
}

// A path of NAV_PATH_CAP entries admits no further branch.
TEST(OptimisticReadRetry, FullNavigationPathFailsTheAttempt) {
    NodeAlloc alloc;
    testing::TreeBuilder<true> b(alloc);
    Edge root = b.branch_l3(8, {{0x00, b.skip(b.linear_leaf(1, {7}, {70}), 1, 7, 0)}});
    u64 root_version = 0;
    const sync::olc::Guard guard = sync::olc::Guard::of_root(root_version, 0);
    sync::NavPath path;
    path.count = sync::NAV_PATH_CAP - 1;
    for (u64 i = 0; i < path.count; ++i) {
        path.words[i] = &root.ptr<BranchL3>()->version;
        path.seen[i] = 0;
    }
    EXPECT_EQ(sync::sync_nav::next_in(root, 0, 8, guard, path).key, 7u);
    EXPECT_EQ(path.count, sync::NAV_PATH_CAP);
    EXPECT_EQ(sync::sync_nav::next_in(root, 0, 8, guard, path).tag, sync::NAV_RETRY);
    b.free(root);
}

// Forced failures: every n-th attempt fails and the next one answers; with
// every attempt failing, the fallback answers after exactly 64 attempts, and
// the reader is idle on every return.
TEST(OptimisticReadFallback, ForcedFailuresReachRetryAndFallback) {
    auto collector = std::make_shared<Collector>();
    Reader reader = Collector::register_reader(collector);
    alignas(16) u64 block_words[4] = {3, 8, 30, 80};  // keys 3, 8; values 30, 80
    Published block{0, ROOT_LEAF, reinterpret_cast<u64>(block_words), 2};
    unsigned fallbacks = 0;
    const auto get_fallback = [&] { ++fallbacks; return std::optional<u64>(99); };
    const auto nav_fallback = [&] { ++fallbacks; return std::optional<KeyValue>(KeyValue{1, 2}); };

    for (const u64 every : {u64{0}, u64{2}, u64{63}}) {
        sync::olc::FORCE_RETRY_EVERY = every;
        for (int round = 0; round < 5; ++round) {
            EXPECT_EQ(sync::olc::get_with(block, reader, 8, get_fallback), 80u);
            EXPECT_EQ(sync::olc::get_with(block, reader, 9, get_fallback), std::nullopt);
            EXPECT_TRUE(sync::olc::contains_with(block, reader, 3, [&] { ++fallbacks; return false; }));
            EXPECT_EQ((sync::olc::neighbour_with<true>(block, reader, 4, nav_fallback)),
                      (KeyValue{8, 80}));
            EXPECT_EQ((sync::olc::neighbour_with<false>(block, reader, 4, nav_fallback)),
                      (KeyValue{3, 30}));
            EXPECT_EQ(reader.epoch_word().load(), Collector::IDLE);
        }
    }
    EXPECT_EQ(fallbacks, 0u);

    sync::olc::FORCE_RETRY_EVERY = 1;
    sync::olc::FORCE_RETRY_COUNT = 0;
    const u64 before = sync::olc::FALLBACKS_TAKEN;
    EXPECT_EQ(sync::olc::get_with(block, reader, 8, get_fallback), 99u);
    EXPECT_EQ(sync::olc::FORCE_RETRY_COUNT, sync::OPTIMISTIC_ATTEMPTS);
    EXPECT_EQ((sync::olc::neighbour_with<false>(block, reader, 4, nav_fallback)), (KeyValue{1, 2}));
    EXPECT_EQ(reader.epoch_word().load(), Collector::IDLE);
    EXPECT_EQ(sync::olc::FALLBACKS_TAKEN - before, 2u);
    EXPECT_EQ(fallbacks, 2u);
    sync::olc::FORCE_RETRY_EVERY = 0;
}

}  // namespace
}  // namespace tolvane::test
