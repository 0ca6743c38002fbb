// The shared root-leaf bodies through both root records, against std::map:
// random puts and takes over 0..31 entries with the word layout, the block
// bytes and the in-place shifts checked after each; a full leaf declining a
// new key; the conversion into a tree and the condensing back; and the
// hot-leaf window declining keys of another prefix.

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "tolvane/check/validate.hpp"
#include "tolvane/int/hot_window.hpp"
#include "tolvane/int/root_leaf.hpp"

namespace tolvane::test {
namespace {

// Owns the fields a record names and the allocator behind them.
struct SetRoot {
    using Record = root_leaf::SetRootRecord<SetRoot>;
    u64 root_state = ROOT_EMPTY;
    Edge root;
    u64 len = 0;
    Record record() { return {*this}; }
    // The words as the set lays them out: (count, pointer).
    u64 count_word() const { return root.w0; }
    u64 pointer_word() const { return root.w1; }
};

struct MapRoot {
    using Record = root_leaf::MapRootRecord;
    MapCore core;
    Record record() { return {core}; }
    u64 count_word() const { return core.root.w1; }
    u64 pointer_word() const { return core.root.w0; }
};

template <class Root>
class RootLeafBodies : public ::testing::Test {
  protected:
    static constexpr bool kMap = Root::Record::kMap;
    NodeAlloc alloc;
    Root root;
    std::map<u64, u64> model;

    ~RootLeafBodies() override {
        root_leaf::clear(root.record(), alloc);
        EXPECT_EQ(alloc.live_bytes(), 0u);
    }

    // The root leaf holds exactly the model, in the flavour's word order,
    // in one block of its capacity class.
    void expect_leaf() {
        auto r = root.record();
        if (model.empty()) {
            ASSERT_EQ(r.load_state(), ROOT_EMPTY);
            ASSERT_EQ(alloc.live_bytes(), 0u);
            return;
        }
        ASSERT_EQ(r.load_state(), ROOT_LEAF);
        ASSERT_EQ(root.count_word(), model.size());
        ASSERT_EQ(root.pointer_word(), reinterpret_cast<std::uintptr_t>(r.block()));
        // The allocator charges whole 16-byte units.
        const u64 bytes = root_leaf::block_bytes<kMap ? 2 : 1>(model.size());
        ASSERT_EQ(alloc.live_bytes(), (bytes + 15) / 16 * 16);
        u64 i = 0;
        for (const auto& [k, v] : model) {
            ASSERT_EQ(r.block()[i], k);
            if (kMap) {
                ASSERT_EQ(*root_leaf::value_word(r.block(), model.size(), i), v);
            }
            ++i;
        }
    }
};

using Roots = ::testing::Types<SetRoot, MapRoot>;
TYPED_TEST_SUITE(RootLeafBodies, Roots);

TYPED_TEST(RootLeafBodies, RandomPutsAndTakesMatchTheModel) {
    constexpr bool kMap = TestFixture::kMap;
    std::mt19937_64 rng(7);
    u64 declined = 0;
    for (int step = 0; step < 6000; ++step) {
        // Phases of mostly puts (up against the 31-entry limit) and mostly
        // takes (down through the small capacity classes).
        const bool putting = (step / 400) % 2 == 0;
        const u64 key = rng() % 48;
        const u64 value = rng();
        const u64 n = this->model.size();
        const u64* before = n ? this->root.record().block() : nullptr;
        if (rng() % 8 < (putting ? 7u : 2u) || n == 0) {
            const PutPlace at = root_leaf::put(this->root.record(), this->alloc, key, value);
            const bool present = this->model.count(key) != 0;
            if (!present && n == forms::ROOT_LEAF_MAX) {
                ASSERT_EQ(at.outcome, PutPlace::Declined);
                ++declined;
            } else if (present) {
                ASSERT_EQ(at.outcome, PutPlace::Present);
                if (kMap) {
                    ASSERT_EQ(*at.value, this->model[key]);
                }
            } else {
                ASSERT_EQ(at.outcome, PutPlace::Added);
                if (kMap) {
                    ASSERT_EQ(*at.value, value);
                }
                this->model[key] = value;
            }
            if (!kMap) {
                ASSERT_EQ(at.value, nullptr);
            }
        } else {
            const RemoveOutcome out = root_leaf::take(this->root.record(), this->alloc, key);
            const auto it = this->model.find(key);
            ASSERT_EQ(out.found, it != this->model.end());
            if (out.found) {
                if (kMap) {
                    ASSERT_EQ(out.value, it->second);
                }
                this->model.erase(it);
            }
        }
        ASSERT_NO_FATAL_FAILURE(this->expect_leaf());
        // Within one capacity class the words shift in place.
        const u64 m = this->model.size();
        if (n != 0 && m != 0) {
            if (capacity_class(n) == capacity_class(m)) {
                ASSERT_EQ(this->root.record().block(), before);
            } else {
                ASSERT_NE(this->root.record().block(), before);
            }
        }
    }
    EXPECT_GT(declined, 0u);
}

TYPED_TEST(RootLeafBodies, ConvertsToATreeAndCondensesBack) {
    constexpr bool kMap = TestFixture::kMap;
    for (u64 k = 0; k < forms::ROOT_LEAF_MAX; ++k) {
        root_leaf::put(this->root.record(), this->alloc, k * 1000, k + 1);
        this->model[k * 1000] = k + 1;
    }
    InsertPath path;
    u64 inserted = 0;
    root_leaf::convert_to_tree(this->root.record(), this->alloc, 500, 77, path,
                               [&](Edge& edge, u64 key, u64 value, InsertPath& p) {
                                   ++inserted;
                                   if constexpr (kMap) {
                                       mutate_map::InsertResult out;
                                       mutate::map_insert<false>(out, this->alloc, edge, key, value, p);
                                   } else {
                                       mutate::set_insert(this->alloc, edge, key, p);
                                   }
                               });
    this->model[500] = 77;
    auto r = this->root.record();
    ASSERT_EQ(inserted, 32u);
    ASSERT_EQ(r.load_state(), ROOT_TREE);
    ASSERT_EQ(r.len(), 32u);
    ValidateStats stats{};
    const validate::Validation v = validate::tolvane_validate_and_stats<kMap>(r.root(), 8, stats, 0);
    ASSERT_TRUE(v.ok()) << v.error;
    ASSERT_EQ(v.population, 32u);

    // Two removals: 31 stay a tree, 30 become a root leaf in key order.
    for (u64 key : {u64{500}, u64{0}}) {
        if constexpr (kMap)
            ASSERT_TRUE(mutate::map_remove(this->alloc, r.root(), key).found);
        else
            ASSERT_TRUE(mutate::set_remove(this->alloc, r.root(), key));
        this->model.erase(key);
        root_leaf::shrink_after_tree_remove(this->root.record(), this->alloc);
        ASSERT_EQ(r.load_state(), this->model.size() == 31 ? ROOT_TREE : ROOT_LEAF);
    }
    this->expect_leaf();
}

TEST(HotWindow, DeclinesKeysOutsideTheHotPrefixAndAnEmptyPath) {
    u8 keys[4] = {1, 2, 3, 0};
    Edge edge;
    InsertPath path;
    u64 len = 3;
    const auto bitmap_put = [] { return PutPlace{PutPlace::Added}; };
    // An empty path takes nothing, whatever its prefix field says.
    path.prefix = 0;
    EXPECT_EQ(hot_window::put<false>(path, len, 4, 0, bitmap_put).outcome, PutPlace::Declined);
    path.len = 1;
    path.edges[0] = &edge;
    path.hot_linear = keys;
    path.hot_count = 3;
    EXPECT_EQ(hot_window::put<false>(path, len, 0x104, 0, bitmap_put).outcome, PutPlace::Declined);
    EXPECT_EQ(hot_window::put<false>(path, len, 3, 0, bitmap_put).outcome, PutPlace::Present);
    EXPECT_EQ(hot_window::put<false>(path, len, 2, 0, bitmap_put).outcome, PutPlace::Declined);
    EXPECT_EQ(len, 3u);
    // 3 -> 4 keys stays in capacity class 4: appended in place.
    EXPECT_EQ(hot_window::put<false>(path, len, 9, 0, bitmap_put).outcome, PutPlace::Added);
    EXPECT_EQ(keys[3], 9);
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(path.pending, 1);
    EXPECT_EQ(path.hot_count, 4);
    EXPECT_EQ(edge.byte(8), 3);
    // 4 -> 5 keys crosses a class: declined, nothing written.
    EXPECT_EQ(hot_window::put<false>(path, len, 10, 0, bitmap_put).outcome, PutPlace::Declined);
    EXPECT_EQ(path.hot_count, 4);
    // A bitmap hot leaf goes to the flavour's own put.
    path.hot_bitmap = keys;
    EXPECT_EQ(hot_window::put<false>(path, len, 2, 0, bitmap_put).outcome, PutPlace::Added);
}

// For every key count a linear hot leaf may be met with: the append goes in
// exactly while the count is 3 to 23 and the next count keeps the block's
// capacity class, and a declined append writes nothing.
TEST(HotWindow, AppendsToALinearLeafOnlyWithinItsCapacityClass) {
    for (u16 n = 1; n <= 40; ++n) {
        u8 keys[48] = {};
        for (u16 i = 0; i < n; ++i) keys[i] = static_cast<u8>(i);
        Edge edge;
        InsertPath path;
        path.len = 1;
        path.prefix = 0;
        path.edges[0] = &edge;
        path.hot_linear = keys;
        path.hot_count = n;
        u64 len = n;
        const bool fits = n >= 3 && n <= 23 &&
                          capacity_class(n) == capacity_class(std::size_t{n} + 1);
        const PutPlace at = hot_window::put<false>(path, len, 200, 0, [] { return PutPlace{}; });
        EXPECT_EQ(at.outcome, fits ? PutPlace::Added : PutPlace::Declined) << n << " keys";
        EXPECT_EQ(len, fits ? n + 1u : n) << n << " keys";
        EXPECT_EQ(path.hot_count, fits ? n + 1 : n) << n << " keys";
        EXPECT_EQ(keys[n], fits ? 200 : 0) << n << " keys";
    }
}

}  // namespace
}  // namespace tolvane::test
