// Exclusive set insert and remove against std::set on seeded key streams.

#include <gtest/gtest.h>

#include "support/oracle.hpp"
#include "support/set_tree.hpp"

namespace tolvane::test {
namespace {

TEST(MutateOracle, Smoke) {
    for (KeyPattern p : kAllPatterns) {
        SCOPED_TRACE(pattern_name(p));
        SetTree tree;
        SetModel model;
        replay(model, tree, make_grow_drain(p, 1, 3000, 0));
        if (HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace tolvane::test
