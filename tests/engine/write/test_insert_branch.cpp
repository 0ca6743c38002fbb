// The insert's branch step, shared by both flavours and every write mode:
// the version words a reclaiming insert leaves on the branches it passes, on
// random streams against an oracle, and the brackets around a child opened in
// place, which the two reclaiming modes place differently.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>

#include "support/reclaiming_map_tree.hpp"
#include "support/reclaiming_set_tree.hpp"
#include "support/set_tree.hpp"
#include "tolvane/check/validate.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/read/get.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::test {
namespace {

// The first branch below `e` whose version word is odd or obsolete, as text;
// empty when every word is even and live.
std::string unsettled_word(const Edge& e, unsigned level = 8) {
    const auto check = [](u32 word, const char* kind) -> std::string {
        if (version_locked(word) || version_obsolete(word))
            return std::string(kind) + " word " + std::to_string(word);
        return {};
    };
    std::string found;
    const auto below = [&](const Edge& child, unsigned child_level) {
        if (found.empty()) found = unsettled_word(child, child_level);
    };
    switch (e.tag_byte()) {
        case TAG_BRANCH_L3: {
            const auto* n = e.ptr<BranchL3>();
            if (auto s = check(n->version, "BranchL3"); !s.empty()) return s;
            for (unsigned i = 0; i < n->count; ++i) below(n->children[i], n->level - 1u);
            return found;
        }
        case TAG_BRANCH_L7: {
            const auto* n = e.ptr<BranchL7>();
            if (auto s = check(n->version, "BranchL7"); !s.empty()) return s;
            for (unsigned i = 0; i < n->count; ++i) below(n->children[i], n->level - 1u);
            return found;
        }
        case TAG_BRANCH_B: {
            const auto* n = e.ptr<BranchB>();
            if (auto s = check(n->version, "BranchB"); !s.empty()) return s;
            for (unsigned g = 0; g < 8; ++g)
                for (unsigned i = 0; i < n->group_counts[g]; ++i)
                    below(n->subarrays[g][i], n->level - 1u);
            return found;
        }
        case TAG_BRANCH_U: {
            const auto* n = e.ptr<BranchU>();
            if (auto s = check(n->version, "BranchU"); !s.empty()) return s;
            for (const Edge& child : n->children) below(child, level - 1);
            return found;
        }
        default:
            return {};
    }
}

// Keys that make every branch form and every skip wrap: a few top bytes,
// clusters under shared prefixes that part at different bytes, and runs that
// fill single digits of a level.
u64 stream_key(std::mt19937_64& rng) {
    switch (rng() % 4) {
        case 0:
            return (rng() % 220) << 56;  // up to a BranchU at the root
        case 1:
            return ((rng() % 3) << 56) | ((rng() % 200) << 32) | (rng() % 40);
        case 2:
            return (u64{7} << 56) | ((rng() % 9) << 40) | ((rng() % 250) << 16);
        default:
            return rng();
    }
}

// The stream reached every branch form.
template <bool Map>
void expect_every_branch_form(const Edge& root, InsertPath& path) {
    ValidateStats stats{};
    ASSERT_TRUE(validate_flushed<Map>(root, path, &stats).ok());
    EXPECT_GT(stats.branch_l3, 0u);
    EXPECT_GT(stats.branch_l7, 0u);
    EXPECT_GT(stats.branch_b, 0u);
    EXPECT_GT(stats.branch_u, 0u);
}

class InsertBranchModes : public ::testing::TestWithParam<ReclaimingMode> {};

TEST_P(InsertBranchModes, SetStreamLeavesEveryBranchWordEvenAndMatchesTheOracle) {
    ReclaimingSetTree t(GetParam());
    std::set<u64> oracle;
    std::mt19937_64 rng(11);
    for (unsigned op = 0; op < 6000; ++op) {
        const u64 key = stream_key(rng);
        if (rng() % 5 == 0) {
            ASSERT_EQ(t.remove(key), oracle.erase(key) == 1) << key;
        } else {
            ASSERT_EQ(t.insert(key), oracle.insert(key).second) << key;
        }
        if (op % 50 == 0) {
            ASSERT_EQ(unsettled_word(t.root), "") << "after op " << op;
            ASSERT_EQ(validated_population<false>(t.root), oracle.size());
        }
    }
    EXPECT_EQ(unsettled_word(t.root), "");
    EXPECT_EQ(validated_population<false>(t.root), oracle.size());
    expect_every_branch_form<false>(t.root, t.path);
    for (u64 key : oracle) ASSERT_TRUE(trace_key(t.root, key).present) << key;
}

TEST_P(InsertBranchModes, MapStreamLeavesEveryBranchWordEvenAndMatchesTheOracle) {
    ReclaimingMapTree t(GetParam());
    std::map<u64, u64> oracle;
    std::mt19937_64 rng(12);
    for (unsigned op = 0; op < 6000; ++op) {
        const u64 key = stream_key(rng);
        const u64 value = rng();
        if (rng() % 5 == 0) {
            const auto r = t.remove(key);
            const auto it = oracle.find(key);
            ASSERT_EQ(r.found, it != oracle.end()) << key;
            if (r.found) {
                EXPECT_EQ(r.value, it->second);
                oracle.erase(it);
            }
        } else {
            const auto r = t.insert(key, value);
            const bool had = oracle.count(key) == 1;
            ASSERT_EQ(r.existed, had ? 1u : 0u) << key;
            if (had) {
                EXPECT_EQ(r.old, oracle[key]);
            }
            EXPECT_EQ(*r.slot, value);
            oracle[key] = value;
        }
        if (op % 50 == 0) {
            ASSERT_EQ(unsettled_word(t.root), "") << "after op " << op;
            ASSERT_EQ(validated_population<true>(t.root), oracle.size());
        }
    }
    EXPECT_EQ(unsettled_word(t.root), "");
    EXPECT_EQ(validated_population<true>(t.root), oracle.size());
    expect_every_branch_form<true>(t.root, t.path);
    for (const auto& [key, value] : oracle) {
        const u64* slot = get::locate_slot(&t.root, key, 8);
        ASSERT_NE(slot, nullptr) << key;
        EXPECT_EQ(*slot, value) << key;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, InsertBranchModes, ::testing::ValuesIn(kAllReclaimingModes),
                         [](const auto& info) { return reclaiming_mode_name(info.param); });

// A new top byte opened in place in the root branch: the versioned mode
// brackets the opening and, separately, the child's new immediate, both with
// the branch's word (+4). The unversioned mode holds a linear branch's
// opening bracket through the descent (+2), but closes a BranchB's and opens
// another around the descent (+4).
template <class Tree, class Insert>
void expect_open_child_brackets(ReclaimingMode mode, Insert insert) {
    SCOPED_TRACE(reclaiming_mode_name(mode));
    const bool versioned = mode == ReclaimingMode::DeferredCovered;
    Tree t(mode);
    insert(t, u64{1} << 56);
    ASSERT_EQ(t.root.tag_byte(), TAG_BRANCH_L3);
    const u32 linear = t.root.template ptr<BranchL3>()->version;
    insert(t, u64{2} << 56);
    EXPECT_EQ(t.root.template ptr<BranchL3>()->version, linear + (versioned ? 4u : 2u));

    for (u64 d = 3; d <= 10; ++d) insert(t, d << 56);
    ASSERT_EQ(t.root.tag_byte(), TAG_BRANCH_B);
    const u32 bitmap = t.root.template ptr<BranchB>()->version;
    insert(t, u64{200} << 56);
    EXPECT_EQ(t.root.template ptr<BranchB>()->version, bitmap + 4u);

    // A key below an existing child: the versioned mode brackets the child's
    // rewritten immediate with the branch's word, the unversioned mode the
    // descent into it.
    const u32 before = t.root.template ptr<BranchB>()->version;
    insert(t, (u64{200} << 56) | 1);
    EXPECT_EQ(t.root.template ptr<BranchB>()->version, before + 2u);
}

TEST(InsertBranchBrackets, ChildOpenedInPlaceByModeAndFlavour) {
    for (ReclaimingMode mode :
         {ReclaimingMode::DeferredCovered, ReclaimingMode::DeferredUnversioned}) {
        expect_open_child_brackets<ReclaimingSetTree>(
            mode, [](ReclaimingSetTree& t, u64 k) { EXPECT_TRUE(t.insert(k)); });
        expect_open_child_brackets<ReclaimingMapTree>(mode, [](ReclaimingMapTree& t, u64 k) {
            EXPECT_EQ(t.insert(k, k + 1).existed, 0u);
        });
    }
}

}  // namespace
}  // namespace tolvane::test
