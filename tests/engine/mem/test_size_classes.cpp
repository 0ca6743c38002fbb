#include <gtest/gtest.h>

#include "tolvane/mem/size_classes.hpp"

using namespace tolvane;

// Every requested size maps to a class of exactly that size and alignment, or
// to none, and the boundary sizes fall where the allocator relies on them.
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
    for (std::size_t size : {7u, 17u, 256u, 384u}) EXPECT_EQ(size_class_of(size, 16), NO_SIZE_CLASS);
    EXPECT_EQ(size_class_of(256, 64), 4u);
    EXPECT_EQ(size_class_of(4160, 64), NO_SIZE_CLASS);
    EXPECT_EQ(size_class_of(25, 16), 19u);
    EXPECT_EQ(blocks_per_page(19), 126u);  // rounded to a 32-byte stride
    EXPECT_EQ(blocks_per_page(6), 252u);
    EXPECT_EQ(blocks_per_page(4), 15u);
    EXPECT_EQ(charged_size(25, 16), 32u);
    EXPECT_EQ(charged_size(4160, 64), 4160u);
    EXPECT_FALSE(is_slab_class(5));
    EXPECT_FALSE(is_slab_class(57));
    EXPECT_TRUE(is_slab_class(56));
}
