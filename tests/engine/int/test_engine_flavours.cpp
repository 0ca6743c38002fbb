// The engine TolvaneSet and TolvaneMap against their models, through one body
// per check: seeded streams of every key shape in each allocator mode, the
// root-leaf / tree boundaries in both directions (31 keys are a root leaf on
// the way up and a tree on the way down), the tree word around condensing,
// clearing, and rank queries between hot-leaf inserts. Flavour-only
// behaviour (the hot-leaf forms, get-or-insert, pop, validation reports)
// lives in test_set_engine.cpp / test_map_engine.cpp.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <type_traits>

#include "support/engine_oracle.hpp"
#include "support/oracle.hpp"
#include "support/tree_bytes.hpp"
#include "tolvane/int/map.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/int/set.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane::test {
namespace {

static_assert(!std::is_copy_constructible_v<TolvaneSet> &&
                  !std::is_move_constructible_v<TolvaneSet> &&
                  !std::is_move_assignable_v<TolvaneSet> &&
                  !std::is_copy_constructible_v<TolvaneMap> &&
                  !std::is_move_constructible_v<TolvaneMap> &&
                  !std::is_move_assignable_v<TolvaneMap>,
              "a moved container would carry insert-path entries into another object's root");

struct SetFlavour {
    using Container = TolvaneSet;
    using Model = SetModel;
    static constexpr bool kMap = false;

    static TolvaneSet& core(TolvaneSet& s) { return s; }
    static u64 root_leaf_charge(u64 n) { return (capacity_class(n) * 8 + 15) / 16 * 16; }
    static bool apply(TolvaneSet& s, const Op& op) {
        return op.kind == Op::Kind::Insert ? s.insert_deferred(op.key) : s.remove_deferred(op.key);
    }
    static std::vector<u64> keys_of(const Model& m) { return {m.keys.begin(), m.keys.end()}; }
    static void expect_queries(TolvaneSet& s, const Model& m, const std::vector<u64>& probes) {
        expect_set_queries(s, m.keys, probes);
    }
    static void expect_listings(TolvaneSet& s, const Model& m, const std::vector<u64>& probes) {
        expect_set_listings(s, m.keys, probes);
    }
    // Entries with the value a flavour keeps for `value`.
    static std::vector<KeyValue> entries(const TolvaneSet& s) {
        std::vector<KeyValue> out;
        for (u64 k : s.keys()) out.push_back({k, 0});
        return out;
    }
    static u64 kept(u64) { return 0; }
    static u64 key_of(u64 key) { return key; }
    // pop takes the smallest key, through the tree and the root leaf.
    static void after_stream(TolvaneSet& s, Model& m) {
        for (u64 i = 0; i < 40 && !m.keys.empty(); ++i) {
            ASSERT_EQ(s.pop(), *m.keys.begin());
            m.keys.erase(m.keys.begin());
            ASSERT_EQ(s.size(), m.size());
        }
    }
};

struct MapFlavour {
    using Container = TolvaneMap;
    using Model = MapModel;
    static constexpr bool kMap = true;

    static MapCore& core(TolvaneMap& m) { return m.core; }
    static u64 root_leaf_charge(u64 n) { return capacity_class(n) * 16; }
    static MapModel::Result apply(TolvaneMap& m, const Op& op) {
        if (op.kind == Op::Kind::Insert) {
            const InsertOutcome r = m.insert(op.key, op.value);
            return {r.existed, r.existed ? r.old : 0};
        }
        const RemoveOutcome r = m.remove(op.key);
        return {r.found, r.found ? r.value : 0};
    }
    static std::vector<u64> keys_of(const Model& m) {
        std::vector<u64> out;
        for (const auto& kv : m.entries) out.push_back(kv.first);
        return out;
    }
    static void expect_queries(TolvaneMap& m, const Model& model, const std::vector<u64>& probes) {
        expect_map_queries(m, model.entries, probes);
    }
    static void expect_listings(TolvaneMap& m, const Model& model, const std::vector<u64>& probes) {
        expect_map_listings(m, model.entries, probes);
    }
    static std::vector<KeyValue> entries(const TolvaneMap& m) { return m.items(); }
    static u64 kept(u64 value) { return value; }
    static u64 key_of(const KeyValue& kv) { return kv.key; }
    static void after_stream(TolvaneMap&, Model&) {}
};

// Replays operations and checks, after each verified one, the population,
// the defensive validation, the root state and that every byte the
// allocator has out belongs to the root.
template <class F>
struct Subject {
    typename F::Container& c;
    auto apply(const Op& op) { return F::apply(c, op); }
    void verify(const typename F::Model& model) {
        const u64 n = model.size();
        ASSERT_EQ(c.size(), n);
        ASSERT_EQ(c.validate_defensive(), std::nullopt);
        auto& core = F::core(c);
        const u64 want = n == 0    ? ROOT_EMPTY
                         : n <= 30 ? ROOT_LEAF
                         : n >= 32 ? ROOT_TREE
                                   : core.root_state;
        ASSERT_EQ(core.root_state, want);
        const u64 held = core.root_state == ROOT_TREE   ? tree_bytes<F::kMap>(core.root)
                         : core.root_state == ROOT_LEAF ? F::root_leaf_charge(core.leaf_count())
                                                        : 0;
        ASSERT_EQ(c.alloc.live_bytes(), held);
    }
};

Op insert_op(u64 key, u64 value) {
    return {Op::Kind::Insert, key, value};
}
Op remove_op(u64 key) { return {Op::Kind::Remove, key}; }

template <class P>
class EngineFlavours : public ::testing::Test {
  protected:
    using F = typename P::first_type;
    AllocMode mode() const { return P::second_type::value; }
    u64 tree_word = 0;
    void prepare(typename F::Container& c) { set_mode(c.alloc, mode(), &tree_word); }
};

template <AllocMode M>
using Mode = std::integral_constant<AllocMode, M>;
using Params = ::testing::Types<
    std::pair<SetFlavour, Mode<AllocMode::Local>>, std::pair<SetFlavour, Mode<AllocMode::Deferred>>,
    std::pair<SetFlavour, Mode<AllocMode::Covered>>, std::pair<MapFlavour, Mode<AllocMode::Local>>,
    std::pair<MapFlavour, Mode<AllocMode::Deferred>>,
    std::pair<MapFlavour, Mode<AllocMode::Covered>>>;

struct ParamNames {
    template <class P>
    static std::string GetName(int) {
        return std::string(P::first_type::kMap ? "Map" : "Set") + mode_name(P::second_type::value);
    }
};
TYPED_TEST_SUITE(EngineFlavours, Params, ParamNames);

TYPED_TEST(EngineFlavours, SeededStreamsMatchTheModel) {
    using F = typename TestFixture::F;
    for (const KeyPattern pattern : kAllPatterns) {
        for (const u64 seed : {11u, 12u}) {
            SCOPED_TRACE(std::string(pattern_name(pattern)) + " seed " + std::to_string(seed));
            typename F::Container c;
            this->prepare(c);
            typename F::Model model;
            Subject<F> subject{c};
            const auto ops = make_workload(
                pattern, seed,
                {.ops = 2500, .insert_percent = 60, .hit_percent = 80, .max_live = 400});
            // Validation every 16 operations lets fast-path counts pile up
            // in between.
            replay(model, subject, ops, {.verify_all_below = 0, .verify_stride = 16});
            if (this->HasFatalFailure()) return;
            std::mt19937_64 rng(seed);
            const auto probes = probe_keys(F::keys_of(model), rng, 16);
            F::expect_queries(c, model, probes);
            F::expect_listings(c, model, probes);
            F::after_stream(c, model);
            if (this->HasFatalFailure()) return;
            c.clear_entries();
            EXPECT_EQ(c.size(), 0u);
            EXPECT_EQ(c.alloc.live_bytes(), 0u);
            EXPECT_EQ(c.alloc.live_nodes(), 0u);
        }
    }
}

TYPED_TEST(EngineFlavours, GrowAndDrainThroughEveryBoundary) {
    using F = typename TestFixture::F;
    for (const KeyPattern pattern : kAllPatterns) {
        for (const int order : {0, 1, 2}) {
            SCOPED_TRACE(std::string(pattern_name(pattern)) + " drain " + std::to_string(order));
            typename F::Container c;
            this->prepare(c);
            typename F::Model model;
            Subject<F> subject{c};
            replay(model, subject, make_grow_drain(pattern, 40 + order, 500, order));
            if (this->HasFatalFailure()) return;
            EXPECT_EQ(F::core(c).root_state, ROOT_EMPTY);
            EXPECT_EQ(c.alloc.live_bytes(), 0u);
        }
    }
}

// Every query after every insert and every remove while the container
// crosses 31/32 upwards and 31/30 downwards.
TYPED_TEST(EngineFlavours, QueriesAcrossTheRootLeafBoundary) {
    using F = typename TestFixture::F;
    std::mt19937_64 rng(7);
    for (const KeyPattern pattern :
         {KeyPattern::SparseRandom, KeyPattern::Clustered, KeyPattern::Extremes}) {
        SCOPED_TRACE(pattern_name(pattern));
        typename F::Container c;
        this->prepare(c);
        typename F::Model model;
        KeyStream stream(pattern, 99);
        while (model.size() < 40) {
            const Op op = insert_op(stream.next(), rng());
            ASSERT_EQ(F::apply(c, op), model.apply(op)) << describe(op);
            F::expect_queries(c, model, probe_keys(F::keys_of(model), rng, 4, 40));
            if (this->HasFailure()) return;
        }
        std::vector<u64> order = F::keys_of(model);
        std::shuffle(order.begin(), order.end(), rng);
        for (const u64 k : order) {
            ASSERT_EQ(F::apply(c, remove_op(k)), model.apply(remove_op(k))) << k;
            const std::vector<u64> sorted = F::keys_of(model);
            F::expect_queries(c, model, probe_keys(sorted, rng, 4, 40));
            F::expect_listings(c, model, probe_keys(sorted, rng, 2, 6));
            if (this->HasFailure()) return;
        }
    }
}

TYPED_TEST(EngineFlavours, ThirtySecondKeyMakesATreeAndThirtiethCondenses) {
    using F = typename TestFixture::F;
    typename F::Container c;
    this->prepare(c);
    auto& core = F::core(c);
    typename F::Model model;
    auto put = [&](u64 k, u64 v) {
        const Op op = insert_op(k, v);
        ASSERT_EQ(F::apply(c, op), model.apply(op)) << k;
    };
    const u64 before = this->tree_word;
    for (u64 k = 0; k < 31; ++k) put(k * 1000, k);
    put(~u64{0}, 99);
    EXPECT_EQ(core.root_state, ROOT_TREE);
    EXPECT_EQ(core.len, 32u);
    EXPECT_TRUE(c.path.empty());
    // The tree was built privately: the tree word saw no change.
    EXPECT_EQ(this->tree_word, before);
    EXPECT_EQ(c.validate_defensive(), std::nullopt);
    // Present keys: refused by the set, overwritten by the map.
    for (u64 k = 0; k < 31; ++k) put(k * 1000, k + 500);
    put(~u64{0}, 98);
    EXPECT_EQ(c.size(), 32u);

    const u64 mark = this->tree_word;
    ASSERT_EQ(F::apply(c, remove_op(5000)), model.apply(remove_op(5000)));
    EXPECT_EQ(core.root_state, ROOT_TREE);
    EXPECT_EQ(core.len, 31u);
    // What the tree remove itself bumps for a key of this shape.
    const u64 plain = this->tree_word - mark;
    EXPECT_EQ(plain % 2, 0u);
    ASSERT_EQ(F::apply(c, remove_op(7000)), model.apply(remove_op(7000)));
    ASSERT_EQ(core.root_state, ROOT_LEAF);
    ASSERT_EQ(core.leaf_count(), 30u);
    // A covered root is bumped once more before and after the condensing.
    EXPECT_EQ(this->tree_word - mark, 2 * plain + (this->mode() == AllocMode::Covered ? 2 : 0));
    std::vector<KeyValue> want;
    for (u64 k = 0; k < 31; ++k)
        if (k != 5 && k != 7) want.push_back({k * 1000, F::kept(k + 500)});
    want.push_back({~u64{0}, F::kept(98)});  // the condensing walk stops after the largest key
    EXPECT_EQ(F::entries(c), want);
    EXPECT_EQ(c.alloc.live_bytes(), F::root_leaf_charge(30));

    // Removing the last key of a tree empties the container.
    typename F::Container t;
    this->prepare(t);
    typename F::Model t_model;
    for (u64 k = 0; k < 64; ++k) {
        const Op op = k < 32 ? insert_op(k << 40, k) : remove_op((k - 32) << 40);
        ASSERT_EQ(F::apply(t, op), t_model.apply(op)) << describe(op);
    }
    EXPECT_EQ(F::core(t).root_state, ROOT_EMPTY);
    EXPECT_EQ(t.alloc.live_bytes(), 0u);
}

TYPED_TEST(EngineFlavours, ClearEntriesGivesEveryByteBack) {
    using F = typename TestFixture::F;
    // Every root-leaf size (each capacity class frees a block of its own
    // size), the first trees, and a large tree.
    std::vector<u64> sizes;
    for (u64 n = 0; n <= 33; ++n) sizes.push_back(n);
    sizes.push_back(3000);
    for (const u64 n : sizes) {
        SCOPED_TRACE(n);
        typename F::Container c;
        this->prepare(c);
        KeyStream stream(KeyPattern::Mixed, n);
        for (u64 i = 0; i < n; ++i) F::apply(c, insert_op(stream.next(), i));
        c.clear_entries();
        EXPECT_EQ(c.size(), 0u);
        EXPECT_EQ(F::core(c).root_state, ROOT_EMPTY);
        EXPECT_EQ(c.alloc.live_bytes(), 0u);
        EXPECT_TRUE(c.keys().empty());
        c.clear_entries();
        F::apply(c, insert_op(9, 4));
        EXPECT_EQ(F::core(c).root_state, ROOT_LEAF);
        EXPECT_EQ(F::entries(c), (std::vector<KeyValue>{{9, F::kept(4)}}));
        EXPECT_EQ(c.alloc.live_bytes(), F::root_leaf_charge(1));
    }
}

// Rank queries settle the pending counts but keep the hot leaf: the next
// consecutive key still takes the fast path (local mode: nothing else fills
// the path).
template <class F>
void rank_queries_between_fast_path_inserts() {
    typename F::Container c;
    typename F::Model model;
    const u64 base = 0x0000777700000000ull;
    u64 fast_after_query = 0;
    for (u64 i = 0; i < 5000; ++i) {
        const bool hot_before = c.path.len != 0;
        const Op op = insert_op(base + i, i * 3);
        ASSERT_EQ(F::apply(c, op), model.apply(op));
        if (hot_before && c.path.pending > 0 && i % 97 == 1) ++fast_after_query;
        if (i % 97 == 0) {
            EXPECT_EQ(c.count_below(base + i), i);
            EXPECT_EQ(c.count_below(base + 1000), std::min<u64>(i + 1, 1000));
            EXPECT_EQ(F::entries(c)[i / 2], (KeyValue{base + i / 2, F::kept(i / 2 * 3)}));
            const auto nth = c.by_count(i / 2);
            ASSERT_TRUE(nth.has_value());
            EXPECT_EQ(F::key_of(*nth), base + i / 2);
            EXPECT_EQ(c.count_range(base + 3, base + i), i >= 3 ? i - 2 : 0);
            EXPECT_EQ(c.path.pending, 0);
        }
    }
    EXPECT_GT(fast_after_query, 20u);
    std::mt19937_64 rng(8);
    F::expect_queries(c, model, probe_keys(F::keys_of(model), rng, 8, 64));
    c.clear_path();
    EXPECT_TRUE(c.path.empty());
    EXPECT_EQ(c.validate_defensive(), std::nullopt);
}

TEST(EngineHotLeaf, SetRankQueriesStayExactBetweenFastPathInserts) {
    rank_queries_between_fast_path_inserts<SetFlavour>();
}
TEST(EngineHotLeaf, MapRankQueriesStayExactBetweenFastPathInserts) {
    rank_queries_between_fast_path_inserts<MapFlavour>();
}

}  // namespace
}  // namespace tolvane::test
