// Readers on other threads against one writer that uses the publication and
// bracket primitives: a reader never sees a torn edge, and a reader that finds
// the same even version word before and after its reads saw one whole state.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/mem/occ.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane {
namespace {

constexpr u64 WRITES = 100000;
constexpr int READERS = 3;

// Word 1 of the i-th published edge: a tag and i in the decode area.
Edge numbered(u64 i) {
    Edge e;
    e.w0 = i;
    e.w1 = (i & low_bytes_mask(7)) | (u64{TAG_BRANCH_L3} << 56);
    return e;
}

template <class Reader>
void run_readers(std::atomic<bool>& done, Reader read_once) {
    std::vector<std::thread> readers;
    for (int r = 0; r < READERS; ++r)
        readers.emplace_back([&] {
            while (!done.load(std::memory_order_acquire)) read_once();
            read_once();
        });
    for (auto& t : readers) t.join();
}

// A reader that has loaded word 0 of edge i must see word 1 of edge i or a
// later one, never an earlier one.
TEST(ConcurrentPublication, ReaderNeverSeesAStaleTagForANewPointer) {
    Edge slot = numbered(0);
    std::atomic<bool> done{false};
    std::atomic<u64> torn{0};
    std::thread writer([&] {
        for (u64 i = 1; i <= WRITES; ++i) mutate::publish_edge(slot, numbered(i));
        done.store(true, std::memory_order_release);
    });
    run_readers(done, [&] {
        const Edge e = mutate::read_edge(slot);
        if ((e.w1 & low_bytes_mask(7)) < e.w0 || (e.w1 >> 56) != TAG_BRANCH_L3)
            torn.fetch_add(1, std::memory_order_relaxed);
    });
    writer.join();
    EXPECT_EQ(torn.load(), 0u);
    EXPECT_EQ(mutate::read_edge(slot), numbered(WRITES));
}

// Optimistic read of a node's three child edges under its version word: the
// writer rewrites all three inside one bracket, so a validated read sees
// three equal edges.
TEST(ConcurrentPublication, NodeBracketGivesValidatedReadersWholeStates) {
    auto* node = new BranchL3{};
    std::atomic<bool> done{false};
    std::atomic<u64> mixed{0}, validated{0};
    std::thread writer([&] {
        for (u64 i = 1; i <= WRITES; ++i) {
            mutate::node_version_begin(node->version);
            for (Edge& child : node->children) mutate::publish_edge(child, numbered(i));
            mutate::node_version_end(node->version);
        }
        done.store(true, std::memory_order_release);
    });
    run_readers(done, [&] {
        const u32 before = load_acquire(node->version);
        if (version_locked(before)) return;
        Edge seen[3];
        for (int c = 0; c < 3; ++c) seen[c] = mutate::read_edge(node->children[c]);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (load_relaxed(node->version) != before) return;
        validated.fetch_add(1, std::memory_order_relaxed);
        if (!(seen[0] == seen[1] && seen[1] == seen[2]))
            mixed.fetch_add(1, std::memory_order_relaxed);
    });
    writer.join();
    EXPECT_EQ(mixed.load(), 0u);
    EXPECT_GT(validated.load(), 0u);
    EXPECT_EQ(node->version, 2 * WRITES);
    delete node;
}

// The same through the tree word of a covered root slot: a reader that sees
// an even tree word before and after reading the root edge and a second slot
// saw both from one change.
TEST(ConcurrentPublication, TreeWordBracketsTheRootSlot) {
    u64 tree_word = 0;
    NodeAlloc alloc;
    alloc.defer_to(std::make_shared<Collector>());
    alloc.bind_tree_word(&tree_word);
    alloc.cover_root();
    Edge root = numbered(0), shadow = numbered(0);
    std::atomic<bool> done{false};
    std::atomic<u64> mixed{0};
    std::thread writer([&] {
        for (u64 i = 1; i <= WRITES; ++i) {
            mutate::slot_version_begin(alloc, 0, nullptr);
            mutate::publish_edge(root, numbered(i));
            mutate::publish_edge(shadow, numbered(i));
            mutate::slot_version_end(alloc, 0, nullptr);
        }
        done.store(true, std::memory_order_release);
    });
    run_readers(done, [&] {
        const u64 before = load_acquire(tree_word);
        if (before & 1) return;
        const Edge a = mutate::read_edge(root);
        const Edge b = mutate::read_edge(shadow);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (load_relaxed(tree_word) != before) return;
        if (!(a == b) || a.w0 != before / 2) mixed.fetch_add(1, std::memory_order_relaxed);
    });
    writer.join();
    EXPECT_EQ(mixed.load(), 0u);
    EXPECT_EQ(tree_word, 2 * WRITES);
}

}  // namespace
}  // namespace tolvane
