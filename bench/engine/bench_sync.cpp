// Optimistic reads of the concurrent map beside their peers, in one run:
// the single-threaded engine lookup (TolvaneMap::get, and the same plain
// lookup on the concurrent map's own tree), SyncTolvaneMap's
// lock-free lookup from 1, 2, 4 and 8 reader threads, the same threads over
// absl::btree_map behind a std::shared_mutex, and the optimistic readers
// again while one writer thread inserts and removes other keys; neighbour
// searches the same way.
//
// Extra flags, read before Google Benchmark's own:
//   --size=N            keys per set (default 1000000)
//   --shapes=S[,S...]   random, dense, clustered (default random,clustered)
// Names are sync/<shape>/<n>/<container>/<operation>; multi-threaded rows
// carry Google Benchmark's /threads:T suffix and report total probes per
// second of wall time. Counter B/key: bytes the container's nodes take per
// key (the map's allocator live bytes; the btree's counted allocations).

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "absl/container/btree_map.h"
#include "bench_args.hpp"
#include "counting_alloc.hpp"
#include "key_sets.hpp"
#include "tolvane/int/map.hpp"
#include "tolvane/sync/olc_readers.hpp"
#include "tolvane/sync/sync_map.hpp"

namespace bench {
namespace {

std::size_t g_size = 1000000;

using PairAlloc = CountingAllocator<std::pair<const u64, u64>>;
using Btree = absl::btree_map<u64, u64, std::less<u64>, PairAlloc>;

u64 value_of(u64 k) { return k * 0x9E3779B97F4A7C15ull; }

// The containers of one key set, built once and shared by every row of it.
struct Subjects {
    const KeySet* keys = nullptr;
    tolvane::TolvaneMap plain;
    tolvane::sync::SyncTolvaneMap shared;
    Btree btree;
    std::shared_mutex btree_lock;
    double btree_bytes = 0;
    double shared_bytes = 0;
};

Subjects& subjects(KeyShape shape) {
    static std::unique_ptr<Subjects> current;
    static KeyShape built{};
    if (!current || built != shape) {
        current.reset();
        current = std::make_unique<Subjects>();
        built = shape;
        const KeySet& ks = key_set(shape, g_size);
        current->keys = &ks;
        for (u64 k : ks.shuffled) {
            current->plain.insert(k, value_of(k));
            current->shared.insert(k, value_of(k));
        }
        current->shared_bytes = double(current->shared.mem_used());
        const std::int64_t before = alloc_counters().requested;
        for (u64 k : ks.shuffled) current->btree.emplace(k, value_of(k));
        current->btree_bytes = double(alloc_counters().requested - before);
    }
    return *current;
}

enum class Op { get, next };

// One writer beside the readers of the *_beside_writer rows: inserts and
// removes absent keys without pause until told to stop.
struct Writer {
    std::atomic<bool> stop{false};
    std::thread thread;
    std::atomic<u64> writes{0};
};
std::unique_ptr<Writer> g_writer;

void start_writer(Subjects& s) {
    g_writer = std::make_unique<Writer>();
    g_writer->thread = std::thread([&s, w = g_writer.get()] {
        const std::vector<u64>& churn = s.keys->misses;
        std::size_t i = 0;
        while (!w->stop.load(std::memory_order_relaxed)) {
            const u64 k = churn[i++ & s.keys->probe_mask];
            s.shared.insert(k, value_of(k));
            s.shared.remove(k);
            w->writes.fetch_add(2, std::memory_order_relaxed);
        }
    });
}

template <KeyShape Shape>
void start_writer_for(const benchmark::State&) {
    start_writer(subjects(Shape));
}

void stop_writer() {
    g_writer->stop.store(true);
    g_writer->thread.join();
    g_writer.reset();
}

void finish(benchmark::State& state, double bytes, std::size_t n) {
    state.SetItemsProcessed(int64_t(state.iterations()));
    // Every thread reports the same figure: average it, do not sum it.
    state.counters["B/key"] = benchmark::Counter(bytes / double(n), benchmark::Counter::kAvgThreads);
}

// Times value_at(k), the value found for the probe k (or 0), over the probes
// of `op`, starting at probe `first`.
template <class ValueAt>
void time_probes(benchmark::State& state, const KeySet& ks, Op op, std::size_t first, ValueAt&& value_at) {
    const std::vector<u64>& probes = op == Op::get ? ks.hits : ks.points;
    std::size_t i = first;
    u64 acc = 0;
    for (auto _ : state) acc += value_at(probes[i++ & ks.probe_mask]);
    benchmark::DoNotOptimize(acc);
}

// Reader threads start at different probes.
std::size_t first_probe(const benchmark::State& state) { return std::size_t(state.thread_index()) * 7919; }

// The single-threaded engine lookup on `tree`.
void time_engine(benchmark::State& state, const KeySet& ks, const tolvane::TolvaneMap& tree, Op op) {
    time_probes(state, ks, op, 0, [&](u64 k) -> u64 {
        if (op == Op::get) return tree.get(k).value_or(0);
        const auto e = tree.next_at_or_after(k);
        return e ? e->value : 0;
    });
}

void bm_plain(benchmark::State& state, KeyShape shape, Op op) {
    Subjects& s = subjects(shape);
    time_engine(state, *s.keys, s.plain, op);
    finish(state, double(s.plain.alloc.live_bytes()), s.keys->n);
}

// The plain engine lookup on the concurrent map's own tree (single thread, no
// writer): separates the node layout of a tree built through the collector
// from the cost of the optimistic protocol.
void bm_plain_on_shared_tree(benchmark::State& state, KeyShape shape, Op op) {
    Subjects& s = subjects(shape);
    time_engine(state, *s.keys, s.shared.shared().tree, op);
    finish(state, s.shared_bytes, s.keys->n);
}

void bm_optimistic(benchmark::State& state, KeyShape shape, Op op) {
    Subjects& s = subjects(shape);
    tolvane::sync::Shared<tolvane::TolvaneMap>& block = s.shared.shared();
    tolvane::Reader reader = tolvane::Collector::register_reader(block.collector);
    time_probes(state, *s.keys, op, first_probe(state), [&](u64 k) -> u64 {
        if (op == Op::get) return tolvane::sync::map_get_with(block, reader, k).value_or(0);
        const auto e = tolvane::sync::map_next_with(block, reader, k);
        return e ? e->value : 0;
    });
    finish(state, s.shared_bytes, s.keys->n);
}

void bm_locked_btree(benchmark::State& state, KeyShape shape, Op op) {
    Subjects& s = subjects(shape);
    time_probes(state, *s.keys, op, first_probe(state), [&](u64 k) -> u64 {
        std::shared_lock lock(s.btree_lock);
        auto it = op == Op::get ? s.btree.find(k) : s.btree.lower_bound(k);
        return it != s.btree.end() ? it->second : 0;
    });
    finish(state, s.btree_bytes, s.keys->n);
}

void register_shape(KeyShape shape) {
    const std::string prefix =
        std::string("sync/") + shape_name(shape) + "/" + std::to_string(g_size) + "/";
    for (Op op : {Op::get, Op::next}) {
        const std::string name = op == Op::get ? "get" : "next";
        benchmark::RegisterBenchmark((prefix + "TolvaneMap/" + name).c_str(),
                                     [=](benchmark::State& st) { bm_plain(st, shape, op); })
            ->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark(
            (prefix + "SyncTolvaneMap/plain_" + name).c_str(),
            [=](benchmark::State& st) { bm_plain_on_shared_tree(st, shape, op); })
            ->Unit(benchmark::kNanosecond);
        auto threaded = [&](const std::string& row, auto fn) {
            return benchmark::RegisterBenchmark((prefix + row).c_str(), fn)
                ->ThreadRange(1, 8)
                ->UseRealTime()
                ->Unit(benchmark::kNanosecond);
        };
        threaded("SyncTolvaneMap/" + name,
                 [=](benchmark::State& st) { bm_optimistic(st, shape, op); });
        threaded("shared_mutex+absl::btree_map/" + name,
                 [=](benchmark::State& st) { bm_locked_btree(st, shape, op); });
        threaded("SyncTolvaneMap/" + name + "_beside_writer",
                 [=](benchmark::State& st) { bm_optimistic(st, shape, op); })
            ->Setup(shape == KeyShape::random  ? start_writer_for<KeyShape::random>
                    : shape == KeyShape::dense ? start_writer_for<KeyShape::dense>
                                               : start_writer_for<KeyShape::clustered>)
            ->Teardown([](const benchmark::State&) { stop_writer(); });
    }
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    constexpr const char* kProgram = "tolvane_sync_bench";
    std::vector<KeyShape> shapes = {KeyShape::random, KeyShape::clustered};
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--size=", 0) == 0) {
            g_size = parse_size(kProgram, arg.substr(7));
        } else if (arg.rfind("--shapes=", 0) == 0) {
            shapes.clear();
            for (const auto& s : split(arg.substr(9))) shapes.push_back(parse_shape(kProgram, s));
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (shapes.empty()) usage(kProgram, "empty --shapes");
    for (KeyShape shape : shapes) register_shape(shape);
    return run_benchmarks(std::move(rest));
}
