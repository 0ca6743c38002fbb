#include <gtest/gtest.h>

#include <cstdint>

#include "tolvane/core/fatal.hpp"
#include "tolvane/core/heap.hpp"

TEST(FatalDeathTest, WritesMessageAndLocationThenAborts) {
    EXPECT_DEATH(tolvane::fatal("valid edge tag"), "valid edge tag\n  at .*test_fatal.cpp");
}

TEST(FatalDeathTest, RequireStopsOnlyWhenBroken) {
    tolvane::require(true, "never printed");
    EXPECT_DEATH(tolvane::require(false, "immediate capacity"), "immediate capacity");
}

TEST(FatalDeathTest, HeapArrayBytesStopsBeyondSignedByteCount) {
    EXPECT_EQ(tolvane::heap_array_bytes(3, 24), 72u);
    EXPECT_EQ(tolvane::heap_array_bytes(INT64_MAX / 24, 24), static_cast<std::size_t>(INT64_MAX / 24 * 24));
    EXPECT_DEATH(tolvane::heap_array_bytes(INT64_MAX / 24 + 1, 24), "capacity overflow");
}
