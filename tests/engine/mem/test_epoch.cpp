// Epoch collector, single-threaded except where a second stripe is needed:
// when blocks come back, where they go, and what holds an advance back.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "support/slot_thread.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/mem/occ.hpp"

using namespace tolvane;

namespace {

std::shared_ptr<Collector> new_collector() { return std::make_shared<Collector>(); }

void* system_block(std::size_t size, std::size_t align) {
    return align == 64 ? alloc::system_block(size, 64) : alloc::system_zeroed(size);
}

}  // namespace

TEST(Epoch, RetiredBlockComesBackOnTheSecondAdvance) {
    auto c = new_collector();
    void* b = system_block(64, 64);
    c->retire(b, 64, 64);
    EXPECT_EQ(c->retired_bytes(), 64u);
    c->try_advance();
    EXPECT_EQ(c->epoch(), 1u);
    EXPECT_EQ(c->pop_freelist(1), nullptr);
    c->try_advance();
    EXPECT_EQ(c->epoch(), 2u);
    EXPECT_EQ(c->retired_bytes(), 0u);
    EXPECT_EQ(c->free_list_bytes(), 64u);
    EXPECT_EQ(c->pop_freelist(3), nullptr);  // other class
    EXPECT_EQ(c->pop_freelist(1), b);
    EXPECT_EQ(c->pop_freelist(1), nullptr);
    std::free(b);
}

TEST(Epoch, AnnouncedReaderHoldsBackTheNextAdvance) {
    auto c = new_collector();
    Reader r = Collector::register_reader(c);
    EXPECT_EQ(r.epoch_word().load(), Collector::IDLE);
    r.announce();
    EXPECT_EQ(r.epoch_word().load(), 0u);
    void* b = system_block(128, 64);
    c->retire(b, 128, 64);  // retired in epoch 0
    c->try_advance();       // reader announced 0: 0 -> 1 may go
    EXPECT_EQ(c->epoch(), 1u);
    for (int i = 0; i < 3; ++i) c->try_advance();
    EXPECT_EQ(c->epoch(), 1u) << "advanced past a reader still in epoch 0";
    EXPECT_EQ(c->pop_freelist(3), nullptr);
    r.announce();
    EXPECT_EQ(r.epoch_word().load(), 1u);
    c->try_advance();
    EXPECT_EQ(c->epoch(), 2u);
    EXPECT_EQ(c->pop_freelist(3), b);
    c->try_advance();
    EXPECT_EQ(c->epoch(), 2u) << "reader in epoch 1 let the epoch reach 3";
    r.go_idle();
    c->try_advance();
    EXPECT_EQ(c->epoch(), 3u);
    std::free(b);
}

TEST(Epoch, DroppedReaderLeavesTheRegistry) {
    auto c = new_collector();
    Reader keep = Collector::register_reader(c);
    {
        Reader stale = Collector::register_reader(c);
        stale.announce();
        c->try_advance();
        c->try_advance();
        EXPECT_EQ(c->epoch(), 1u);
        Reader moved = std::move(stale);  // still one registration
        c->try_advance();
        EXPECT_EQ(c->epoch(), 1u);
    }
    c->try_advance();
    EXPECT_EQ(c->epoch(), 2u);
    // The remaining reader still counts after the other one left.
    keep.announce();
    c->try_advance();
    c->try_advance();
    EXPECT_EQ(c->epoch(), 3u);
    keep = Collector::register_reader(c);  // assignment drops the old registration
    c->try_advance();
    EXPECT_EQ(c->epoch(), 4u);
}

TEST(Epoch, ReaderKeepsCollectorAlive) {
    Reader r = [] {
        auto c = new_collector();
        return Collector::register_reader(c);
    }();
    r.announce();  // a use after free here if the reader did not hold it
    EXPECT_EQ(r.collector().epoch(), 0u);
}

TEST(Epoch, ClasslessBlocksGoBackToTheSystem) {
    auto c = new_collector();
    // The leak check at exit fails if any of these stays anywhere.
    c->retire(system_block(4160, 64), 4160, 64);
    c->retire(system_block(384, 16), 384, 16);
    c->retire(system_block(7, 16), 7, 16);
    c->retire(system_block(256, 16), 256, 16);
    void* leaf = system_block(25, 16);
    c->retire(leaf, 25, 16);
    EXPECT_EQ(c->retired_bytes(), 4160u + 384 + 7 + 256 + 25);
    c->try_advance();
    c->try_advance();
    EXPECT_EQ(c->retired_bytes(), 0u);
    EXPECT_EQ(c->free_list_bytes(), 25u);
    EXPECT_EQ(c->pop_freelist(19), leaf);
    std::free(leaf);
}

TEST(Epoch, PopClearsTheClassSizeOnly) {
    auto c = new_collector();
    void* b = system_block(32, 16);  // a 25-byte block's whole 32-byte stride
    std::memset(b, 0xAB, 32);
    c->recycle_unpublished(b, 25, 16);
    auto* p = static_cast<unsigned char*>(c->pop_freelist(19));
    ASSERT_EQ(p, b);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(p[i], 0) << i;
    for (int i = 25; i < 32; ++i) EXPECT_EQ(p[i], 0xAB) << i;
    std::free(b);
}

TEST(Epoch, ReleaseAndDrainGiveEverythingBack) {
    auto c = new_collector();
    c->recycle_unpublished(system_block(64, 64), 64, 64);
    c->recycle_unpublished(system_block(300, 16), 300, 16);
    c->recycle_unpublished(system_block(4160, 64), 4160, 64);  // straight to the system
    EXPECT_EQ(c->free_list_bytes(), 364u);
    EXPECT_EQ(c->release_free_lists(), 364u);
    EXPECT_EQ(c->free_list_bytes(), 0u);
    EXPECT_EQ(c->pop_freelist(1), nullptr);

    c->retire(system_block(64, 64), 64, 64);
    c->try_advance();
    c->retire(system_block(128, 64), 128, 64);
    c->try_advance();  // the 64-byte block is now on a free list
    c->retire(system_block(50, 16), 50, 16);
    EXPECT_EQ(c->free_list_bytes(), 64u);
    EXPECT_EQ(c->retired_bytes(), 178u);
    c->drain();
    EXPECT_EQ(c->free_list_bytes(), 0u);
    EXPECT_EQ(c->retired_bytes(), 0u);
    c->try_advance();
    c->try_advance();
    EXPECT_EQ(c->free_list_bytes(), 0u) << "drained blocks came back";
}

TEST(Epoch, RecyclesIntoTheRetiringThreadsStripe) {
    auto c = new_collector();
    const unsigned main_stripe = occ::current_stripe();
    test::SlotThread other;
    const unsigned other_stripe = static_cast<unsigned>(other.slot() % occ::NUM_STRIPES);
    ASSERT_NE(main_stripe, other_stripe);
    void* b = system_block(128, 64);
    other.run([&] { c->retire(b, 128, 64); });
    c->try_advance();
    c->try_advance();
    EXPECT_EQ(c->pop_freelist(3), nullptr) << "block recycled into another stripe";
    void* got = nullptr;
    other.run([&] { got = c->pop_freelist(3); });
    EXPECT_EQ(got, b);
    std::free(b);
}

TEST(EpochDeathTest, ClassIndexOutOfRangeIsFatal) {
    auto c = new_collector();
    EXPECT_DEATH(c->pop_freelist(62), "size class index");
}
