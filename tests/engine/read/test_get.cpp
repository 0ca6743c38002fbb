// Point lookup on edges no sound tree holds: invalid tags read as absent, a
// full edge in the map flavour stops the process. Every sound form against
// an oracle: test_read_oracle.cpp.

#include <gtest/gtest.h>

#include "support/hand_trees.hpp"
#include "tolvane/read/get.hpp"

namespace tolvane::test {
namespace {

TEST(LocateSlot, InvalidTagsAreAbsent) {
    for (const u8 tag : {u8{13}, u8{15}, u8{31}, u8{0x3F}, u8{0x80}, u8{0xFF}}) {
        Edge e;
        e.w0 = 0x1234;
        e.set_tag(tag);
        EXPECT_EQ(get::locate_slot(&e, 0x1234, 1), nullptr) << int(tag);
        EXPECT_FALSE(get::contains(&e, 0x1234, 1)) << int(tag);
    }
}

TEST(LocateSlotDeathTest, FullEdgeInTheMapFlavourIsFatal) {
    const Edge full = testing::TreeBuilder<true>::full_edge(1);
    EXPECT_DEATH(
        get::locate_slot(&full, 7, 1),
        "internal error: entered unreachable code: full-tolvane edges are set-flavor only");
}

}  // namespace
}  // namespace tolvane::test
