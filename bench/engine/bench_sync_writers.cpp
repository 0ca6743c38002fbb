// Concurrent containers against mutex-guarded peers, side by side in one run:
// write and membership throughput at 1, 2, 4 and 8 threads, with the
// single-threaded engine set as the one-thread reference.
//
// Each container is prefilled with half of a random key set; every thread
// then owns a disjoint slice of the other half and alternates a pass that
// inserts its slice with a pass that removes it, so the container stays
// between n/2 and n keys. Timings are wall-clock per operation over all
// threads (items_per_second is the total throughput). `contains` rows probe
// the prefilled keys, each thread its own slice, while nothing writes. B/key
// is the bytes held after the prefill per prefilled key.
//
// Flags, read before Google Benchmark's own:
//   --sizes=N[,N...]   key set sizes (default 1000000)

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bench_args.hpp"
#include "containers.hpp"
#include "key_sets.hpp"
#include "sync_subjects.hpp"
#include "tolvane/sync/olc_readers.hpp"
#include "tolvane/sync/sync_set.hpp"

namespace bench {
namespace {

struct SyncSetExclusive {
    static constexpr const char* name = "SyncTolvaneSet(exclusive)";
    tolvane::sync::SyncTolvaneSet s;
    void insert(u64 k) { s.insert_exclusive(k); }
    bool erase(u64 k) { return s.remove_exclusive(k); }
    double bytes() { return double(s.mem_held()); }
};

struct SyncSet {
    static constexpr const char* name = "SyncTolvaneSet";
    tolvane::sync::SyncTolvaneSet s;
    void insert(u64 k) { s.insert(k); }
    bool erase(u64 k) { return s.remove(k); }
    double bytes() { return double(s.mem_held()); }
    // One reader per thread, registered once.
    auto prober() {
        return [r = std::make_shared<tolvane::sync::SetReader>(
                    s, tolvane::Collector::register_reader(s.shared().collector))](u64 k) {
            return r->contains(k);
        };
    }
};

// The single-threaded engine set: the one-thread reference.
struct PlainSet {
    static constexpr const char* name = "TolvaneSet";
    static constexpr bool single_thread = true;
    tolvane::TolvaneSet s;
    void insert(u64 k) { s.insert_deferred(k); }
    bool erase(u64 k) { return s.remove_deferred(k); }
    double bytes() { return double(s.alloc.bytes_held()); }
    auto prober() {
        return [this](u64 k) { return s.contains(k); };
    }
};

// A peer behind one mutex; its bytes come from the counting allocator.
template <class Peer, const char* Name>
struct Locked {
    static constexpr const char* name = Name;
    std::mutex lock;
    Peer p;
    double counted = 0;
    void insert(u64 k) {
        std::lock_guard g(lock);
        p.insert(k);
    }
    bool erase(u64 k) {
        std::lock_guard g(lock);
        return p.erase(k);
    }
    double bytes() { return counted; }
    auto prober() {
        return [this](u64 k) {
            std::lock_guard g(lock);
            return p.find(k) != 0;
        };
    }
};
constexpr char kStdMap[] = "mutex+std::map";
constexpr char kAbslMap[] = "mutex+absl::btree_map";
constexpr char kAbslSet[] = "mutex+absl::btree_set";

template <class A>
struct Run {
    std::unique_ptr<A> a;
    double bytes_per_key = 0;
};
template <class A>
Run<A>& run() {
    static Run<A> r;
    return r;
}

enum class Op { writes, contains };

template <class A>
void bm(benchmark::State& state, std::size_t n, Op op) {
    Run<A>& r = run<A>();
    if (state.thread_index() == 0) {
        const KeySet& ks = key_set(KeyShape::random, n);
        CountedScope scope;
        r.a = std::make_unique<A>();
        for (std::size_t i = 0; i < n / 2; ++i) r.a->insert(ks.shuffled[i]);
        if constexpr (requires { r.a->counted; }) r.a->counted = scope.taken(sizeof(A)).spent;
        r.bytes_per_key = r.a->bytes() / double(n / 2);
    }
    // Slices are set up after the start barrier, once thread 0 has built:
    // writers own slices of the second half, probes of the first.
    const std::vector<u64>* keys = nullptr;
    std::size_t begin = 0, end = 0, i = 0;
    bool inserting = true;
    u64 changed = 0;
    if (op == Op::writes) {
        for (auto _ : state) {
            if (!keys) {
                keys = &key_set(KeyShape::random, n).shuffled;
                const std::size_t half = n / 2, per = (n - half) / state.threads();
                begin = half + per * state.thread_index();
                end = begin + per;
                i = begin;
            }
            const u64 k = (*keys)[i];
            if (inserting)
                r.a->insert(k);
            else
                changed += r.a->erase(k);
            if (++i == end) {
                i = begin;
                inserting = !inserting;
            }
        }
    } else if constexpr (requires { r.a->prober(); }) {
        std::optional<decltype(r.a->prober())> probe;
        for (auto _ : state) {
            if (!keys) {
                keys = &key_set(KeyShape::random, n).shuffled;
                const std::size_t per = n / 2 / state.threads();
                begin = per * state.thread_index();
                end = begin + per;
                i = begin;
                probe.emplace(r.a->prober());
            }
            changed += (*probe)((*keys)[i]);
            if (++i == end) i = begin;
        }
        probe.reset();
    }
    benchmark::DoNotOptimize(changed);
    state.SetItemsProcessed(int64_t(state.iterations()));
    if (state.thread_index() == 0) {
        state.counters["B/key"] = r.bytes_per_key;
        r.a.reset();
    }
}

template <class A>
void register_op(const char* family, std::size_t n, Op op) {
    const std::string name = std::string(family) + "/random/" + std::to_string(n) + "/" + A::name +
                             (op == Op::writes ? "/writes" : "/contains");
    auto* b = benchmark::RegisterBenchmark(name.c_str(), [n, op](benchmark::State& s) { bm<A>(s, n, op); })
                  ->Unit(benchmark::kNanosecond)
                  ->UseRealTime();
    if constexpr (requires { A::single_thread; })
        b->Threads(1);
    else
        b->ThreadRange(1, 8);
}

template <class A>
void register_writes(const char* family, std::size_t n) {
    register_op<A>(family, n, Op::writes);
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    std::vector<std::size_t> sizes = {1000000};
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--sizes=", 0) == 0) {
            sizes.clear();
            for (const auto& s : split(arg.substr(8)))
                sizes.push_back(parse_size("tolvane_sync_writers_bench", s));
        } else {
            rest.push_back(argv[i]);
        }
    }
    for (std::size_t n : sizes) {
        register_writes<SyncMapExclusive>("sync_map", n);
        register_writes<SyncMap>("sync_map", n);
        register_writes<Locked<StdMap, kStdMap>>("sync_map", n);
        register_writes<Locked<AbslMap, kAbslMap>>("sync_map", n);
        register_writes<SyncSetExclusive>("sync_set", n);
        register_writes<SyncSet>("sync_set", n);
        register_writes<Locked<AbslSet, kAbslSet>>("sync_set", n);
        register_writes<PlainSet>("sync_set", n);
        register_op<SyncSet>("sync_set", n, Op::contains);
        register_op<Locked<AbslSet, kAbslSet>>("sync_set", n, Op::contains);
        register_op<PlainSet>("sync_set", n, Op::contains);
    }
    return run_benchmarks(std::move(rest));
}
