// Concurrent writers on one map: insert and remove throughput of the
// concurrent map (optimistic writes with the exclusive fallback) against the
// same map with every write in its exclusive section, a std::mutex-guarded
// absl::btree_map, and, for one writer, the single-threaded engine map.
//
// Each thread writes its share of one key set: on disjoint ranges thread t
// takes the t-th contiguous slice of the sorted keys, interleaved it takes
// every T-th key, so neighbouring keys (and their leaves) are shared. Every
// iteration starts from a fresh container (inserts) or a full one
// (removals, filled untimed) and times the threads from the moment all are
// started until the last has finished.
//
//   tolvane_olc_writes_bench [--sizes=N] [Google Benchmark flags]
// Names: olc_writes/<ranges>/<n>/<container>/<op>/threads:<T>; items/s is keys per
// second of wall time over all threads, Mkeys/cpu_s per second of processor
// time, B/key what the container holds once full.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_args.hpp"
#include "containers.hpp"
#include "key_sets.hpp"
#include "sync_subjects.hpp"

namespace bench {
namespace {

struct LockedBtree {
    static constexpr const char* name = "mutex_absl::btree_map";
    std::mutex lock;
    AbslMap c;
    void insert(u64 k) {
        std::lock_guard g(lock);
        c.insert(k);
    }
    void erase(u64 k) {
        std::lock_guard g(lock);
        c.erase(k);
    }
    double bytes() { return 0; }  // taken from the counting allocator instead
};

// One writer only: the engine map without any sharing machinery.
struct Engine {
    static constexpr const char* name = "TolvaneMap";
    OurMap c;
    void insert(u64 k) { c.insert(k); }
    void erase(u64 k) { c.erase(k); }
    double bytes() { return c.footprint().requested; }
};

enum class Ranges { disjoint, interleaved };
enum class Op { insert, remove };

std::vector<std::vector<u64>> shares(const KeySet& ks, Ranges ranges, unsigned threads) {
    std::vector<std::vector<u64>> out(threads);
    const std::size_t n = ks.sorted.size();
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned t = ranges == Ranges::disjoint ? unsigned(i * threads / n) : unsigned(i % threads);
        out[t].push_back(ks.sorted[i]);
    }
    // Each thread writes its keys in random order.
    SplitMix rng{0x5EED};
    for (auto& keys : out)
        for (std::size_t i = keys.size(); i > 1; --i) std::swap(keys[i - 1], keys[rng() % i]);
    return out;
}

double process_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Timed {
    double wall = 0;  // from the moment all threads are ready until the last is done
    double cpu = 0;   // processor time of the whole process meanwhile
};

// Starts one thread per share and times it.
template <class C>
Timed run_threads(C& c, const std::vector<std::vector<u64>>& work, Op op) {
    std::atomic<unsigned> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (const auto& keys : work) {
        threads.emplace_back([&c, &keys, &ready, &go, op] {
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            if (op == Op::insert)
                for (u64 k : keys) c.insert(k);
            else
                for (u64 k : keys) c.erase(k);
        });
    }
    while (ready.load() < work.size()) std::this_thread::yield();
    const double cpu0 = process_cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    go.store(true);
    for (std::thread& t : threads) t.join();
    Timed out;
    out.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    out.cpu = process_cpu_seconds() - cpu0;
    return out;
}

template <class C>
void bm_writes(benchmark::State& state, std::size_t n, Ranges ranges, Op op, unsigned threads) {
    const KeySet& ks = key_set(KeyShape::random, n);
    const auto work = shares(ks, ranges, threads);
    double bytes = 0;
    double cpu = 0;
    for (auto _ : state) {
        auto c = std::make_unique<C>();
        const AllocCounters before = alloc_counters();
        if (op == Op::remove)
            for (u64 k : ks.shuffled) c->insert(k);
        const Timed t = run_threads(*c, work, op);
        state.SetIterationTime(t.wall);
        cpu += t.cpu;
        if (op == Op::insert) {
            bytes = c->bytes();
            if (bytes == 0) bytes = double(alloc_counters().requested - before.requested);
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(n));
    // Keys per second of processor time over all threads: on a machine whose
    // cores are busy with other work this shows whether writers get in each
    // other's way, which wall-clock throughput alone cannot.
    state.counters["Mkeys/cpu_s"] = double(state.iterations()) * double(n) / cpu / 1e6;
    if (op == Op::insert) state.counters["B/key"] = bytes / double(n);
}

template <class C>
void register_container(std::size_t n, Ranges ranges, Op op, unsigned threads) {
    const std::string name = std::string("olc_writes/") +
                             (ranges == Ranges::disjoint ? "disjoint" : "interleaved") + "/" +
                             std::to_string(n) + "/" + C::name + "/" +
                             (op == Op::insert ? "insert" : "remove") + "/threads:" +
                             std::to_string(threads);
    benchmark::RegisterBenchmark(name.c_str(),
                                 [=](benchmark::State& s) { bm_writes<C>(s, n, ranges, op, threads); })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
}

void register_all(std::size_t n) {
    for (Op op : {Op::insert, Op::remove}) {
        register_container<Engine>(n, Ranges::disjoint, op, 1);
        for (Ranges ranges : {Ranges::disjoint, Ranges::interleaved}) {
            for (unsigned threads : {1u, 2u, 4u, 8u}) {
                register_container<SyncMap>(n, ranges, op, threads);
                register_container<SyncMapExclusive>(n, ranges, op, threads);
                register_container<LockedBtree>(n, ranges, op, threads);
            }
        }
    }
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    std::size_t n = 1000000;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--sizes=", 0) == 0)
            n = static_cast<std::size_t>(std::strtod(arg.c_str() + 8, nullptr));
        else
            rest.push_back(argv[i]);
    }
    if (n < 2) {
        std::fprintf(stderr, "tolvane_olc_writes_bench: bad --sizes\n");
        return 2;
    }
    bench::register_all(n);
    return bench::run_benchmarks(std::move(rest));
}
