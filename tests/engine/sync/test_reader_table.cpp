// The per-thread reader table of the concurrent maps: one reader per thread
// and map, reused by every later read; dropped maps' entries kept (with their
// collectors) until a miss in a table of more than 63 entries sweeps them or
// the thread exits; reads after the table's own destruction at thread exit.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "tolvane/sync/olc_readers.hpp"
#include "tolvane/sync/reader_table.hpp"

namespace tolvane::sync {
namespace {

using MapHandle = std::shared_ptr<SyncTolvaneMap>;

std::optional<u64> get(const MapHandle& map, u64 key) {
    return with_map_reader(map, [key](Shared<TolvaneMap>& s, Reader& r) {
        return map_get_with(s, r, key);
    });
}

Reader* reader_of(const MapHandle& map) {
    return with_map_reader(map, [](Shared<TolvaneMap>&, Reader& r) { return &r; });
}

// Runs `body` on a thread of its own, so each case starts with a fresh table.
template <class Body>
void on_fresh_thread(Body&& body) {
    std::thread t(std::forward<Body>(body));
    t.join();
}

TEST(ReaderTable, OneReaderPerThreadAndMap) {
    on_fresh_thread([] {
        EXPECT_EQ(map_readers_entries(), 0u);
        auto a = std::make_shared<SyncTolvaneMap>();
        auto b = std::make_shared<SyncTolvaneMap>();
        a->insert(5, 50);
        EXPECT_EQ(get(a, 5), 50u);
        EXPECT_EQ(get(a, 6), std::nullopt);
        Reader* first = reader_of(a);
        EXPECT_EQ(reader_of(a), first);
        EXPECT_EQ(&reader_of(a)->collector(), a->shared().collector.get());
        EXPECT_EQ(map_readers_entries(), 1u);
        EXPECT_NE(reader_of(b), first);
        EXPECT_EQ(map_readers_entries(), 2u);
        EXPECT_EQ(first->epoch_word().load(), Collector::IDLE);
    });
}

// A dropped map's entry keeps its collector until a sweep: 63 dead entries
// survive the miss that makes 64, and the next miss erases them all.
TEST(ReaderTable, SweepAbove63EntriesErasesDroppedMaps) {
    on_fresh_thread([] {
        std::weak_ptr<Collector> first_collector;
        for (int i = 0; i < 63; ++i) {
            auto m = std::make_shared<SyncTolvaneMap>();
            if (i == 0) first_collector = m->shared().collector;
            get(m, 1);
        }
        EXPECT_EQ(map_readers_entries(), 63u);
        EXPECT_FALSE(first_collector.expired());
        auto live = std::make_shared<SyncTolvaneMap>();
        get(live, 1);
        EXPECT_EQ(map_readers_entries(), 64u);
        get(live, 2);  // a hit never sweeps
        EXPECT_EQ(map_readers_entries(), 64u);
        auto other = std::make_shared<SyncTolvaneMap>();
        get(other, 1);
        EXPECT_EQ(map_readers_entries(), 2u);
        EXPECT_TRUE(first_collector.expired());
    });
}

TEST(ReaderTable, LiveMapsAreNeverSwept) {
    on_fresh_thread([] {
        std::vector<std::shared_ptr<SyncTolvaneMap>> maps;
        for (int i = 0; i < 70; ++i) {
            maps.push_back(std::make_shared<SyncTolvaneMap>());
            get(maps.back(), 1);
        }
        EXPECT_EQ(map_readers_entries(), 70u);
    });
}

// Thread exit unregisters the thread's readers and lets go of dropped maps'
// collectors; a read made by thread-exit code after that uses a reader of
// its own.
TEST(ReaderTable, ThreadExitReleasesEveryEntry) {
    auto kept = std::make_shared<SyncTolvaneMap>();
    kept->insert(3, 30);
    std::weak_ptr<Collector> dropped_collector;
    std::optional<u64> late_read;
    struct LateReader {
        const MapHandle* map;
        std::optional<u64>* out;
        ~LateReader() { *out = get(*map, 3); }
    };
    on_fresh_thread([&] {
        // Made before the table, so destroyed after it.
        thread_local LateReader late{&kept, &late_read};
        auto m = std::make_shared<SyncTolvaneMap>();
        dropped_collector = m->shared().collector;
        get(m, 1);
        get(kept, 3);
        m.reset();
        EXPECT_FALSE(dropped_collector.expired());
    });
    EXPECT_TRUE(dropped_collector.expired());
    EXPECT_EQ(late_read, 30u);
}

}  // namespace
}  // namespace tolvane::sync
