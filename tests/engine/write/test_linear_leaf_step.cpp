// The linear-leaf step that both flavours share, driven at every key width
// and every place a key can land: inner positions, appends past the last key,
// prepends, the last key and an inner key repeated, each capacity class
// grown through in place and into a fresh block, and the full leaf rebuilt.
// Set and map, exclusive and reclaiming (local and deferred, versioned and
// not), each against its model with the validator after every insert.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/map_tree.hpp"
#include "support/oracle.hpp"
#include "support/reclaiming_map_tree.hpp"
#include "support/reclaiming_set_tree.hpp"
#include "support/set_tree.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::test {
namespace {

// Inserts whose leaves hold w-byte keys: two groups that part in byte w, one
// key of the second first, so that the first split of the 7-byte leaf they
// share leaves a branch of level w + 1 over leaves of width w.
std::vector<Op> leaf_ops(unsigned w, u64 seed) {
    std::mt19937_64 rng(seed);
    const u64 low = low_bytes_mask(w);
    std::vector<Op> ops;
    const auto add = [&](u64 key) { ops.push_back({Op::Kind::Insert, key, rng()}); };
    const auto base = [&](u64 group) { return (u64{0x5C} << 56 | group << (8 * w)) & ~low; };
    add(base(0x12) | low / 2);
    for (u64 group : {u64{0x11}, u64{0x12}}) {
        std::vector<u64> inner;
        for (int i = 0; i < 12; ++i) inner.push_back(base(group) | (low / 4 + (rng() & low) / 4));
        for (u64 k : inner) add(k);
        add(*std::max_element(inner.begin(), inner.end()));  // the leaf's last key
        add(inner[rng() % inner.size()]);                     // an inner key
        const u64 hi = base(group) | (low - 40), lo = base(group) | 40;
        for (u64 i = 0; i < 34; ++i) add(hi + i);  // appends, on through the full leaf
        add(hi + 33);
        for (u64 i = 0; i < 34; ++i) add(lo - i);  // prepends
        add(lo - 10);
    }
    return ops;
}

TEST(LinearLeafStep, ExclusiveSetAndMapAtEveryWidth) {
    for (unsigned w = 1; w <= 7; ++w) {
        SCOPED_TRACE("width " + std::to_string(w));
        const std::vector<Op> ops = leaf_ops(w, 100 + w);
        SetTree set;
        SetModel set_model;
        replay(set_model, set, ops);
        MapTree map;
        MapModel map_model;
        replay(map_model, map, ops);
        MapTree keep;
        keep.keep_existing = true;
        KeepModel keep_model;
        for (const Op& op : ops) ASSERT_EQ(keep.apply(op), keep_model.apply(op)) << describe(op);
        for (const auto& [k, v] : keep_model.entries) ASSERT_EQ(*keep.find(k), v);
    }
}

TEST(LinearLeafStep, ReclaimingSetAndMapAtEveryWidth) {
    for (ReclaimingMode mode : kAllReclaimingModes) {
        for (unsigned w = 1; w <= 7; ++w) {
            SCOPED_TRACE(std::string(reclaiming_mode_name(mode)) + " width " + std::to_string(w));
            ReclaimingSetTree set(mode);
            ReclaimingMapTree map(mode);
            SetModel set_model;
            MapModel map_model;
            for (const Op& op : leaf_ops(w, 200 + w)) {
                ASSERT_EQ(set.apply(op), set_model.apply(op)) << describe(op);
                const MapModel::Result expected = map_model.apply(op);
                const mutate_map::InsertResult r = map.insert(op.key, op.value);
                ASSERT_EQ(r.existed != 0, expected.existed) << describe(op);
                if (expected.existed) {
                    ASSERT_EQ(r.old, expected.old_value) << describe(op);
                }
                ASSERT_EQ(*r.slot, op.value) << describe(op);
                ASSERT_EQ(validated_population<false>(set.root), set_model.size());
                ASSERT_EQ(validated_population<true>(map.root), map_model.size());
                if (set.deferred()) set.collector->try_advance();
                if (map.deferred()) map.collector->try_advance();
            }
            for (const auto& [k, v] : map_model.entries) ASSERT_EQ(*map.find(k), v);
        }
    }
}

}  // namespace
}  // namespace tolvane::test
