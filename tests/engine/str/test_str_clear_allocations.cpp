// Clearing and dropping a string map ask nothing of the heap, so that they
// still work when memory has run out, whatever the shape of the tree: word
// lists and word tries, child nodes, suffix blocks and chains thousands of
// nodes deep. Clearing still reports the bytes the entries held.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "mem/allocation_probe.hpp"
#include "tolvane/str/ordered_bytes_map.hpp"
#include "tolvane/str/str_map.hpp"
#include "tolvane/str/str_validate.hpp"

namespace tolvane {
namespace {

using test::AllocationProbe;

// Short keys ending in the root; pairs of 9-byte keys that share their first
// word (a child node each, under a root word trie); long single keys (suffix
// blocks); one chain 500 nodes deep.
void fill(TolvaneStrMap& map, unsigned groups) {
    u64 value = 1;
    for (unsigned i = 0; i < groups; ++i) {
        const std::string word = std::to_string(10000000 + i);  // 8 bytes
        map.insert(word.substr(0, 5), value++);
        map.insert(word + "a", value++);
        map.insert(word + "b", value++);
        map.insert("L" + word + std::string(30, 'x'), value++);
    }
    const std::string deep(4000, 'd');
    map.insert(deep + "1", value++);
    map.insert(deep + "2", value++);
}

TEST(StrClearAllocations, ClearAllocatesNothingAndCountsWhatWent) {
    for (unsigned groups : {0u, 1u, 40u, 3000u}) {
        TolvaneStrMap map;
        if (groups) fill(map, groups);
        const u64 held = map.live_bytes();  // allocator live bytes + shell bytes
        {
            AllocationProbe probe;
            EXPECT_EQ(map.clear(), held) << groups;
            EXPECT_EQ(probe.allocations(), 0u) << groups;
        }
        EXPECT_EQ(map.len, 0u);
        EXPECT_EQ(map.root, nullptr);
        EXPECT_EQ(map.alloc.live_bytes(), 0u);
        EXPECT_EQ(map.alloc.bytes_held(), 0u);

        fill(map, groups + 1);  // usable again
        EXPECT_EQ(strmap::validate(map), "");
        EXPECT_EQ(map.get("10000000a"), 2u);
    }
}

TEST(StrClearAllocations, ClearEntriesAllocatesNothing) {
    TolvaneStrMap map;
    fill(map, 500);
    const u64 held = map.live_bytes();
    AllocationProbe probe;
    EXPECT_EQ(map.clear_entries(), held);
    EXPECT_EQ(probe.allocations(), 0u);
}

TEST(StrClearAllocations, DropAllocatesNothing) {
    auto map = std::make_unique<TolvaneStrMap>();
    fill(*map, 3000);
    AllocationProbe probe;
    map.reset();
    EXPECT_EQ(probe.allocations(), 0u);
}

TEST(StrClearAllocations, OrderedBytesMapDropAllocatesNothing) {
    auto map = std::make_unique<TolvaneOrderedBytesMap>();
    for (unsigned i = 0; i < 3000; ++i) {
        const std::string k = std::string(1, '\0') + std::to_string(i) + std::string(12, '\0');
        map->insert(k, i);
        map->insert(k + "z", i);
    }
    AllocationProbe probe;
    map.reset();
    EXPECT_EQ(probe.allocations(), 0u);
}

}  // namespace
}  // namespace tolvane
