#include "support/twin_checks.hpp"

#include <gtest/gtest.h>

#include "tolvane/check/validate.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::test {
namespace {

constexpr u32 kMarked = NODE_VERSION_OBSOLETE | NODE_VERSION_LOCKED;

u64 releases(const NodeAlloc& alloc) { return alloc.total_allocs() - alloc.live_nodes(); }

}  // namespace

std::string path_shape(const KeyTrace& trace) {
    std::string out;
    for (const TraceStep& s : trace.steps)
        out += kind_name(s.tag) + "@" + std::to_string(s.slot_level) + "/" +
               std::to_string(s.node_level) + "#" + std::to_string(s.size) + " ";
    return out;
}

std::set<const void*> stable_branches(const Edge& root, const std::string& what) {
    std::set<const void*> nodes;
    for (const BranchRef& b : branch_nodes(root)) {
        nodes.insert(b.node);
        EXPECT_EQ(*b.version & kMarked, 0u)
            << "live branch with version " << std::hex << *b.version << " after " << what;
    }
    return nodes;
}

u64 replaced_branches_marked(const std::vector<BranchRef>& before,
                             const std::set<const void*>& after, const std::string& what) {
    u64 replaced = 0;
    for (const BranchRef& b : before) {
        if (after.count(b.node)) continue;
        ++replaced;
        EXPECT_EQ(*b.version & kMarked, kMarked) << "replaced branch not marked after " << what;
    }
    return replaced;
}

template <bool Map>
void expect_twins_equal(const Edge& reclaiming_root, const NodeAlloc& reclaiming_alloc,
                        const Edge& ex_root, const NodeAlloc& ex_alloc, std::size_t model_size) {
    ValidateStats stats{};
    const validate::Validation v =
        validate::tolvane_validate_and_stats<Map>(reclaiming_root, 8, stats, 0);
    ASSERT_TRUE(v.ok()) << v.error;
    if (model_size != 0) {
        EXPECT_EQ(v.population, model_size);
    }
    ASSERT_EQ(dump_tree<Map>(reclaiming_root, 8), dump_tree<Map>(ex_root, 8));
    EXPECT_EQ(reclaiming_alloc.live_bytes(), ex_alloc.live_bytes());
    EXPECT_EQ(reclaiming_alloc.live_nodes(), ex_alloc.live_nodes());
    EXPECT_EQ(releases(reclaiming_alloc), releases(ex_alloc)) << "blocks released differ";
    if (model_size == 0) {
        EXPECT_TRUE(reclaiming_root.is_empty());
        EXPECT_EQ(reclaiming_alloc.live_bytes(), 0u);
    }
}

template void expect_twins_equal<false>(const Edge&, const NodeAlloc&, const Edge&,
                                        const NodeAlloc&, std::size_t);
template void expect_twins_equal<true>(const Edge&, const NodeAlloc&, const Edge&, const NodeAlloc&,
                                       std::size_t);

}  // namespace tolvane::test
