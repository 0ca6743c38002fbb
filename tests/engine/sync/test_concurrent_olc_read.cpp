// Optimistic lookups, membership tests and neighbour searches while writer
// threads churn keys in the same leaves.
//
// Keys come in three kinds: stable keys, present from before the readers
// start and only ever overwritten; churn keys, interleaved with them (same
// leaves, same branches) and inserted and removed over and over; and never
// keys, never stored. Every value names its key in its high half. A reader
// must find every stable key with a value stored for it, never find a never
// key, and a neighbour search must answer a stored key (stable or churn)
// with one of its values, lying between the probe and the nearest stable key
// on the wanted side. Some readers force every attempt to fail now and then,
// so exclusive fallbacks race with the writers too. Each writer owns its own
// churn keys and keeps their model; after the run the map must hold exactly
// the models' contents and pass the structural check.
//
// Two sizes: a large map (a trie of every form) and a small one whose churn
// crosses the root-leaf / trie boundary over and over.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "tolvane/sync/olc_read.hpp"
#include "tolvane/sync/olc_readers.hpp"
#include "tolvane/sync/sync_map.hpp"
#include "tolvane/sync/sync_set.hpp"

namespace tolvane::sync {
namespace {

#if TOLVANE_TSAN
constexpr unsigned kWriterOps = 20000;
#else
constexpr unsigned kWriterOps = 100000;
#endif
constexpr unsigned kWriters = 2;
constexpr unsigned kReaders = 3;

u64 key_tag(u64 k) { return ((k * 0x9E3779B97F4A7C15ull) >> 32) | 1u; }
u64 value_for(u64 k, u64 generation) { return key_tag(k) << 32 | (generation & 0xFFFFFFFFu); }
bool names(u64 value, u64 k) { return value >> 32 == key_tag(k); }

// Kind of a key: stable and churn keys interleave under shared prefixes.
enum class Kind : u8 { Stable, Churn, Never };

struct Universe {
    std::vector<u64> stable;  // sorted
    std::vector<u64> churn;
    std::map<u64, Kind> kind;

    Kind of(u64 k) const {
        auto it = kind.find(k);
        return it == kind.end() ? Kind::Never : it->second;
    }
};

// `clusters` groups of `per_cluster` consecutive slots under random prefixes;
// in each cluster slot i is stable when i % 4 == 0, churn when i % 4 is 1 or
// 2, and never stored when 3.
Universe make_universe(u64 seed, unsigned clusters, unsigned per_cluster) {
    std::mt19937_64 rng(seed);
    Universe u;
    for (unsigned c = 0; c < clusters; ++c) {
        const u64 base = (rng() & 0xFFFFFFFFFFFF0000ull) >> (8 * (rng() % 4));
        const unsigned step = 1 + static_cast<unsigned>(rng() % 3);
        for (unsigned i = 0; i < per_cluster; ++i) {
            const u64 k = base + u64{i} * step;
            if (u.kind.count(k)) continue;
            const Kind kind = i % 4 == 0 ? Kind::Stable : i % 4 == 3 ? Kind::Never : Kind::Churn;
            u.kind[k] = kind;
            if (kind == Kind::Stable) u.stable.push_back(k);
            if (kind == Kind::Churn) u.churn.push_back(k);
        }
    }
    std::sort(u.stable.begin(), u.stable.end());
    return u;
}

struct Failures {
    std::atomic<u64> count{0};
    void note() { count.fetch_add(1, std::memory_order_relaxed); }
};

// One reader's checks of one probe key.
void check_probe(Shared<TolvaneMap>& shared, Reader& reader, const Universe& u, u64 k,
                 Failures& bad) {
    const Kind kind = u.of(k);
    const std::optional<u64> got = map_get_with(shared, reader, k);
    if (kind == Kind::Stable && !got) bad.note();
    if (kind == Kind::Never && got) bad.note();
    if (got && !names(*got, k)) bad.note();

    // The nearest stable keys on each side bound the neighbours.
    auto above = std::lower_bound(u.stable.begin(), u.stable.end(), k);
    const std::optional<KeyValue> next = map_next_with(shared, reader, k);
    if (above != u.stable.end() && (!next || next->key > *above)) bad.note();
    if (next && (next->key < k || u.of(next->key) == Kind::Never || !names(next->value, next->key)))
        bad.note();
    auto below = std::upper_bound(u.stable.begin(), u.stable.end(), k);
    const std::optional<KeyValue> prev = map_prev_with(shared, reader, k);
    if (below != u.stable.begin() && (!prev || prev->key < *(below - 1))) bad.note();
    if (prev && (prev->key > k || u.of(prev->key) == Kind::Never || !names(prev->value, prev->key)))
        bad.note();
    if (reader.epoch_word().load() != Collector::IDLE) bad.note();
}

void run_map(u64 seed, unsigned clusters, unsigned per_cluster) {
    const Universe u = make_universe(seed, clusters, per_cluster);
    SyncTolvaneMap map;
    Shared<TolvaneMap>& shared = map.shared();
    for (const u64 k : u.stable) map.insert(k, value_for(k, 0));

    std::atomic<bool> writing{true};
    std::atomic<unsigned> writers_left{kWriters};
    Failures bad;
    std::vector<std::map<u64, u64>> models(kWriters);
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            std::mt19937_64 rng(seed * 31 + w);
            std::map<u64, u64>& model = models[w];
            for (unsigned op = 1; op <= kWriterOps; ++op) {
                const u64 r = rng();
                if (r % 8 == 0) {
                    // Stable keys are only overwritten, by writer 0.
                    if (w == 0) {
                        const u64 k = u.stable[(r >> 8) % u.stable.size()];
                        map.insert(k, value_for(k, op));
                    }
                    continue;
                }
                // Writer w owns the churn keys with index w modulo kWriters.
                std::size_t i = (r >> 8) % u.churn.size();
                i -= i % kWriters;
                if (i + w >= u.churn.size()) continue;
                const u64 k = u.churn[i + w];
                if (r % 8 < 5) {
                    const std::optional<u64> old = map.insert(k, value_for(k, op));
                    if (old.has_value() != model.count(k)) bad.note();
                    model[k] = value_for(k, op);
                } else {
                    const std::optional<u64> old = map.remove(k);
                    if (old.has_value() != model.count(k) || (old && *old != model[k])) bad.note();
                    model.erase(k);
                }
            }
            if (writers_left.fetch_sub(1) == 1) writing.store(false);
        });
    }
    for (unsigned r = 0; r < kReaders; ++r) {
        threads.emplace_back([&, r] {
            Reader reader = Collector::register_reader(shared.collector);
            std::mt19937_64 rng(seed * 77 + r);
            std::vector<u64> all;
            for (const auto& [k, kind] : u.kind) all.push_back(k);
            for (u64 probes = 0; writing.load() || probes < 500; ++probes) {
                u64 k = all[rng() % all.size()];
                if (rng() % 4 == 0) k += rng() % 2 ? 1 : -1;  // between stored keys
                if (rng() % 64 == 0) k = rng() % 2 ? 0 : ~u64{0};
                // Reader 0 sends one probe in 50 through the exclusive fallback.
                olc::FORCE_RETRY_EVERY = r == 0 && probes % 50 == 0 ? 1 : 0;
                check_probe(shared, reader, u, k, bad);
            }
            olc::FORCE_RETRY_EVERY = 0;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(bad.count.load(), 0u);

    // The map holds the stable keys and exactly the models' churn keys.
    std::map<u64, u64> want;
    for (const auto& model : models) want.insert(model.begin(), model.end());
    Reader reader = Collector::register_reader(shared.collector);
    for (const u64 k : u.stable) {
        const std::optional<u64> v = map_get_with(shared, reader, k);
        ASSERT_TRUE(v && names(*v, k)) << k;
        want[k] = *v;
    }
    std::vector<KeyValue> walked;
    for (std::optional<KeyValue> e = map_next_with(shared, reader, 0); e;
         e = e->key == ~u64{0} ? std::nullopt : map_next_with(shared, reader, e->key + 1))
        walked.push_back(*e);
    std::vector<KeyValue> expected;
    for (const auto& [k, v] : want) expected.push_back({k, v});
    EXPECT_EQ(walked, expected);
    EXPECT_EQ(map.len(), want.size());
    EXPECT_EQ(map.validate(), std::nullopt);
}

TEST(ConcurrentOptimisticRead, LargeMapUnderChurn) { run_map(1, 60, 96); }

TEST(ConcurrentOptimisticRead, SmallMapCrossesTheRootLeafBoundary) { run_map(2, 1, 56); }

// Membership through a reader registered per call, beside writers.
TEST(ConcurrentOptimisticRead, SetMembershipUnderChurn) {
    const Universe u = make_universe(3, 30, 64);
    SyncTolvaneSet set;
    for (const u64 k : u.stable) set.insert(k);
    std::atomic<bool> writing{true};
    Failures bad;
    std::thread writer([&] {
        std::mt19937_64 rng(9);
        for (unsigned op = 0; op < kWriterOps; ++op) {
            const u64 k = u.churn[rng() % u.churn.size()];
            if (rng() % 2)
                set.insert(k);
            else
                set.remove(k);
        }
        writing.store(false);
    });
    std::vector<std::thread> readers;
    for (unsigned r = 0; r < 2; ++r) {
        readers.emplace_back([&, r] {
            std::mt19937_64 rng(r);
            std::vector<u64> all;
            for (const auto& [k, kind] : u.kind) all.push_back(k);
            for (u64 probes = 0; writing.load() || probes < 500; ++probes) {
                const u64 k = all[rng() % all.size()];
                olc::FORCE_RETRY_EVERY = r == 0 && probes % 50 == 0 ? 1 : 0;
                SetReader reader(set, Collector::register_reader(set.shared().collector));
                const bool in = reader.contains(k);
                if (u.of(k) == Kind::Stable && !in) bad.note();
                if (u.of(k) == Kind::Never && in) bad.note();
            }
            olc::FORCE_RETRY_EVERY = 0;
        });
    }
    writer.join();
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(bad.count.load(), 0u);
    EXPECT_EQ(set.validate(), std::nullopt);
}

}  // namespace
}  // namespace tolvane::sync
