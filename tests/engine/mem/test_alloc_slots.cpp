// Process-wide allocation slots: claiming, sharing once all 64 are taken,
// giving back at thread exit, and the stripe a slot selects.

#include <gtest/gtest.h>

#include <bit>
#include <memory>
#include <thread>
#include <vector>

#include "support/slot_thread.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/mem/occ.hpp"

using namespace tolvane;

namespace {

constexpr std::uint64_t ALL = ~std::uint64_t{0};

std::uint64_t mask() { return occ::ALLOC_SLOTS_MASK.load(); }

}  // namespace

TEST(AllocSlots, SharedSlotOnceAllAreTakenAndFreedSlotReused) {
    std::vector<std::unique_ptr<test::SlotThread>> holders;
    std::uint64_t seen = 0;
    while (mask() != ALL) {
        ASSERT_LT(holders.size(), 64u);
        holders.push_back(std::make_unique<test::SlotThread>());
        const std::uint64_t slot = holders.back()->slot();
        ASSERT_LT(slot, 64u);
        EXPECT_FALSE(seen & (std::uint64_t{1} << slot)) << "slot " << slot << " handed out twice";
        seen |= std::uint64_t{1} << slot;
        EXPECT_TRUE(mask() & (std::uint64_t{1} << slot));
    }
    EXPECT_EQ(occ::STRIPE_BOUND.load(), 16u);

    const std::uint64_t counter = occ::OVERFLOW_COUNTER.load();
    {
        test::SlotThread shared;
        EXPECT_EQ(shared.slot(), counter % 64);
        EXPECT_EQ(occ::OVERFLOW_COUNTER.load(), counter + 1);
    }
    EXPECT_EQ(mask(), ALL) << "a shared slot was given back";

    ASSERT_GE(holders.size(), 2u);
    const std::uint64_t freed = holders[holders.size() / 2]->slot();
    holders.erase(holders.begin() + static_cast<long>(holders.size() / 2));
    EXPECT_EQ(mask(), ALL & ~(std::uint64_t{1} << freed));
    test::SlotThread next;
    EXPECT_EQ(next.slot(), freed);
    EXPECT_EQ(mask(), ALL);
}

TEST(AllocSlots, SlotSeventeenUsesStripeOne) {
    // Park threads on the lowest slots until one gets 17.
    std::vector<std::unique_ptr<test::SlotThread>> holders;
    test::SlotThread* t17 = nullptr;
    test::SlotThread* t1 = nullptr;
    if (mask() & (std::uint64_t{1} << 17)) GTEST_SKIP() << "slot 17 in use";
    while (!t17) {
        holders.push_back(std::make_unique<test::SlotThread>());
        const std::uint64_t slot = holders.back()->slot();
        if (slot == 1) t1 = holders.back().get();
        if (slot == 17) t17 = holders.back().get();
        if (slot > 17) GTEST_SKIP() << "slot 17 held elsewhere";
    }
    auto c = std::make_shared<Collector>();
    NodeAlloc a;
    a.defer_to(c);
    void* node = nullptr;
    t17->run([&] {
        node = a.allocate(128);
        a.release(node, 128, 64);
    });
    c->try_advance();
    c->try_advance();
    ASSERT_NE(occ::current_stripe(), 1u);
    EXPECT_EQ(c->pop_freelist(3), nullptr);
    for (auto& h : holders) {
        if (h->slot() % 16 == 1) continue;
        void* got = nullptr;
        h->run([&] { got = c->pop_freelist(3); });
        EXPECT_EQ(got, nullptr) << "slot " << h->slot() << " got a stripe-1 block";
    }
    if (t1) {
        void* got = nullptr;
        t1->run([&] { got = a.allocate(128); });
        EXPECT_EQ(got, node) << "slot 1 shares stripe 1 with slot 17";
        t1->run([&] { a.release(got, 128, 64); });
    }
}

namespace {
// Claims a slot from a thread-exit destructor that runs after the slot
// registration's own destructor.
struct LateClaimer {
    bool armed = false;
    ~LateClaimer() {
        if (armed) occ::claim_writer_slot();
    }
};
thread_local LateClaimer late_claimer;
}  // namespace

TEST(AllocSlotsDeathTest, ClaimAfterRegistrationDestroyedIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            std::thread t([] {
                late_claimer.armed = true;  // constructed before the registration
                occ::claim_writer_slot();
            });
            t.join();
        },
        "allocation slot claimed after the thread's slot registration was destroyed");
}
