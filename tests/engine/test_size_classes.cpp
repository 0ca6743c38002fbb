#include <gtest/gtest.h>

#include "tolvane/size_classes.hpp"

using namespace tolvane;

// Every requested size maps to a class of exactly that size and alignment, or
// to none; the class sizes of one alignment never repeat.
TEST(SizeClasses, LookupIsExact) {
    unsigned classed16 = 0;
    for (std::size_t size = 0; size <= 4200; ++size) {
        for (std::size_t align : {16u, 64u}) {
            const unsigned c = size_class_of(size, align);
            if (c == NO_SIZE_CLASS) continue;
            ASSERT_LT(c, NUM_SIZE_CLASSES);
            EXPECT_EQ(SIZE_CLASSES[c].size, size);
            EXPECT_EQ(SIZE_CLASSES[c].align, align);
            if (align == 16) ++classed16;
        }
    }
    EXPECT_EQ(classed16, 56u);
    EXPECT_EQ(size_class_of(64, 32), NO_SIZE_CLASS);
}

TEST(SizeClasses, BoundaryExamples) {
    EXPECT_EQ(size_class_of(7, 16), NO_SIZE_CLASS);
    EXPECT_EQ(size_class_of(17, 16), NO_SIZE_CLASS);
    EXPECT_EQ(size_class_of(384, 16), NO_SIZE_CLASS);
    EXPECT_EQ(size_class_of(25, 16), 19u);
    EXPECT_EQ(rounded_size(19), 32u);
    EXPECT_EQ(size_class_of(256, 16), NO_SIZE_CLASS);
    EXPECT_EQ(size_class_of(256, 64), 4u);
    EXPECT_EQ(size_class_of(4160, 64), NO_SIZE_CLASS);
    EXPECT_EQ(charged_size(4160, 64), 4160u);
    EXPECT_EQ(charged_size(25, 16), 32u);
    EXPECT_EQ(rounded_size(0), 64u);
    EXPECT_EQ(rounded_size(61), 384u);
    EXPECT_FALSE(is_slab_class(5));
    for (unsigned c = 57; c <= 61; ++c) EXPECT_FALSE(is_slab_class(c)) << c;
    EXPECT_TRUE(is_slab_class(4));
    EXPECT_TRUE(is_slab_class(56));
}

TEST(SizeClasses, BlocksPerPage) {
    EXPECT_EQ(blocks_per_page(1), 63u);
    EXPECT_EQ(blocks_per_page(3), 31u);
    EXPECT_EQ(blocks_per_page(4), 15u);
    EXPECT_EQ(blocks_per_page(6), 252u);
    EXPECT_EQ(blocks_per_page(19), 126u);
}
