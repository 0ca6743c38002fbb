// Clearing and dropping a byte map ask nothing of the heap, so that they
// still work when memory has run out: buckets of one entry and of many
// (forced collisions), empty keys and keys with NUL bytes.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "mem/allocation_probe.hpp"
#include "tolvane/bytes/bytes_map.hpp"

namespace tolvane {
namespace {

using test::AllocationProbe;

// A few hundred hashes in all, so that buckets hold dozens of entries.
struct FewHashes {
    static u64 hash(SipKey, std::string_view k) noexcept {
        if (k.size() < 2) return k.size();
        return k.size() << 16 | static_cast<u8>(k[k.size() - 2]) << 8 | static_cast<u8>(k.back());
    }
};

template <class Map>
void fill(Map& m, unsigned n) {
    m.insert("", 1);
    for (unsigned i = 0; i < n; ++i) m.insert(std::string(1, '\0') + std::to_string(i), i);
}

template <class Map>
class BytesClearAllocations : public ::testing::Test {};
using Maps = ::testing::Types<TolvaneBytesMap, BasicBytesMap<FewHashes>>;
TYPED_TEST_SUITE(BytesClearAllocations, Maps);

TYPED_TEST(BytesClearAllocations, ClearAllocatesNothing) {
    for (unsigned n : {0u, 5u, 20000u}) {
        TypeParam m(SipKey{1, 2});
        fill(m, n);
        {
            AllocationProbe probe;
            m.clear_entries();
            EXPECT_EQ(probe.allocations(), 0u) << n;
        }
        EXPECT_EQ(m.len, 0u);
        EXPECT_EQ(m.mem_used(), 0u);
        EXPECT_FALSE(m.get(""));
        fill(m, n / 2);  // usable again
        EXPECT_EQ(m.get(""), 1u);
        EXPECT_FALSE(m.validate());
    }
}

TYPED_TEST(BytesClearAllocations, DropAllocatesNothing) {
    auto m = std::make_unique<TypeParam>(SipKey{3, 4});
    fill(*m, 20000);
    AllocationProbe probe;
    m.reset();
    EXPECT_EQ(probe.allocations(), 0u);
}

}  // namespace
}  // namespace tolvane
