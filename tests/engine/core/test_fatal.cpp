#include <gtest/gtest.h>

#include "tolvane/core/fatal.hpp"

TEST(FatalDeathTest, WritesMessageAndLocationThenAborts) {
    EXPECT_DEATH(tolvane::fatal("valid edge tag"), "valid edge tag\n  at .*test_fatal.cpp");
}

TEST(FatalDeathTest, RequireStopsOnlyWhenBroken) {
    tolvane::require(true, "never printed");
    EXPECT_DEATH(tolvane::require(false, "immediate capacity"), "immediate capacity");
}
