// Engine containers against std::set / std::map / std::unordered_map and the
// abseil btrees, on random, dense and clustered key sets; rank and select
// also against libstdc++'s order-statistics tree, the one peer that has them.
//
// Extra flags, read before Google Benchmark's own:
//   --sizes=N[,N...]      key counts (default 10000,1000000; 1e7 style allowed)
//   --shapes=S[,S...]     random, dense, clustered (default all three)
// Benchmark names are family/shape/n/container/operation, which is what
// report.py groups by. Every timing is per key or per probe.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_args.hpp"
#include "containers.hpp"
#include "key_sets.hpp"

namespace bench {

// bench_blob.cpp: the blob map against std::unordered_map<u64, std::string>.
void register_blob_benchmarks(const std::vector<std::size_t>& sizes);

namespace {

// The one container kept alive for the read-only benchmarks of a group; the
// previous one is dropped before the next is built to bound peak memory.
struct Cached {
    std::string id;
    std::shared_ptr<void> object;
    Footprint footprint;
};
Cached& cache() {
    static Cached c;
    return c;
}
void drop_cache() { cache() = Cached{}; }

template <class A>
std::unique_ptr<A> build(const std::vector<u64>& order) {
    auto a = std::make_unique<A>();
    for (u64 k : order) a->insert(k);
    return a;
}

// Taken outside the timed region: the trie's bytes_held walks its pages.
template <class A>
Footprint footprint_of(const A& a, const CountedScope& scope) {
    if constexpr (A::counts_itself)
        return a.footprint();
    else
        return scope.taken(sizeof(A));
}

template <class A>
A& cached(const KeySet& ks, Footprint* fp = nullptr) {
    const std::string id =
        std::string(A::name) + "/" + shape_name(ks.shape) + "/" + std::to_string(ks.n);
    Cached& c = cache();
    if (c.id != id) {
        drop_cache();
        CountedScope scope;
        std::shared_ptr<A> a = build<A>(ks.shuffled);
        c.id = id;
        c.footprint = footprint_of(*a, scope);
        c.object = std::move(a);
    }
    if (fp) *fp = c.footprint;
    return *static_cast<A*>(c.object.get());
}

void set_footprint(benchmark::State& state, const Footprint& fp, std::size_t n) {
    state.counters["B/key"] = fp.requested / double(n);
    state.counters["B/key_sys"] = fp.spent / double(n);
    state.counters["B/key_live"] = fp.live / double(n);
}

template <class A>
void bm_insert(benchmark::State& state, KeyShape shape, std::size_t n, bool sorted) {
    const KeySet& ks = key_set(shape, n);
    drop_cache();
    Footprint fp;
    for (auto _ : state) {
        CountedScope scope;
        auto a = build<A>(sorted ? ks.sorted : ks.shuffled);
        benchmark::DoNotOptimize(a.get());
        state.PauseTiming();
        fp = footprint_of(*a, scope);
        a.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(n));
    set_footprint(state, fp, n);
}

template <class A>
void bm_erase(benchmark::State& state, KeyShape shape, std::size_t n) {
    const KeySet& ks = key_set(shape, n);
    drop_cache();
    for (auto _ : state) {
        state.PauseTiming();
        auto a = build<A>(ks.shuffled);
        state.ResumeTiming();
        u64 erased = 0;
        for (u64 k : ks.erase_order) erased += a->erase(k);
        benchmark::DoNotOptimize(erased);
        state.PauseTiming();
        a.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(n));
}

enum class Probe { hit, miss, next, prev, rank, select };

template <class A>
void bm_probe(benchmark::State& state, KeyShape shape, std::size_t n, Probe probe) {
    const KeySet& ks = key_set(shape, n);
    Footprint fp;
    A& a = cached<A>(ks, &fp);
    const std::vector<u64>& keys = probe == Probe::hit    ? ks.hits
                                   : probe == Probe::miss ? ks.misses
                                   : probe == Probe::select ? ks.ranks
                                                          : ks.points;
    const std::size_t mask = ks.probe_mask;
    std::size_t i = 0;
    u64 acc = 0;
    for (auto _ : state) {
        const u64 k = keys[i++ & mask];
        switch (probe) {
            case Probe::hit:
            case Probe::miss: acc += a.find(k); break;
            case Probe::next: acc += a.next_after(k); break;
            case Probe::prev: acc += a.prev_before(k); break;
            case Probe::rank: acc += a.rank(k); break;
            case Probe::select: acc += a.select(k); break;
        }
    }
    benchmark::DoNotOptimize(acc);
    state.SetItemsProcessed(int64_t(state.iterations()));
    set_footprint(state, fp, n);
}

template <class A>
void bm_iterate(benchmark::State& state, KeyShape shape, std::size_t n) {
    const KeySet& ks = key_set(shape, n);
    A& a = cached<A>(ks);
    for (auto _ : state) benchmark::DoNotOptimize(a.sum());
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(n));
}

template <class A>
void register_container(const char* family, KeyShape shape, std::size_t n) {
    const std::string prefix = std::string(family) + "/" + shape_name(shape) + "/" +
                               std::to_string(n) + "/" + A::name + "/";
    auto reg = [&](const char* op, auto fn) {
        return benchmark::RegisterBenchmark((prefix + op).c_str(), fn)->Unit(
            benchmark::kNanosecond);
    };
    // Whole-container builds: keep the repetition count low for large n.
    reg("insert", [=](benchmark::State& s) { bm_insert<A>(s, shape, n, false); });
    reg("insert_sorted", [=](benchmark::State& s) { bm_insert<A>(s, shape, n, true); });
    reg("lookup_hit", [=](benchmark::State& s) { bm_probe<A>(s, shape, n, Probe::hit); });
    reg("lookup_miss", [=](benchmark::State& s) { bm_probe<A>(s, shape, n, Probe::miss); });
    if constexpr (A::ordered) {
        reg("next", [=](benchmark::State& s) { bm_probe<A>(s, shape, n, Probe::next); });
        reg("prev", [=](benchmark::State& s) { bm_probe<A>(s, shape, n, Probe::prev); });
        reg("iterate", [=](benchmark::State& s) { bm_iterate<A>(s, shape, n); });
    }
    if constexpr (A::ranked) {
        reg("rank", [=](benchmark::State& s) { bm_probe<A>(s, shape, n, Probe::rank); });
        reg("select", [=](benchmark::State& s) { bm_probe<A>(s, shape, n, Probe::select); });
    }
    reg("erase", [=](benchmark::State& s) { bm_erase<A>(s, shape, n); });
}

// A peer timed on rank and select only (its other operations are the red-black
// tree's that std::set already stands for).
template <class A>
void register_ranked_peer(const char* family, KeyShape shape, std::size_t n) {
    const std::string prefix = std::string(family) + "/" + shape_name(shape) + "/" +
                               std::to_string(n) + "/" + A::name + "/";
    benchmark::RegisterBenchmark((prefix + "rank").c_str(), [=](benchmark::State& s) {
        bm_probe<A>(s, shape, n, Probe::rank);
    })->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark((prefix + "select").c_str(), [=](benchmark::State& s) {
        bm_probe<A>(s, shape, n, Probe::select);
    })->Unit(benchmark::kNanosecond);
}

void register_all(const std::vector<std::size_t>& sizes, const std::vector<KeyShape>& shapes) {
    register_blob_benchmarks(sizes);
    for (std::size_t n : sizes) {
        for (KeyShape shape : shapes) {
            register_container<OurSet>("set", shape, n);
            register_container<AbslSet>("set", shape, n);
            register_container<StdSet>("set", shape, n);
            register_ranked_peer<OrderSet>("set", shape, n);
            register_container<OurMap>("map", shape, n);
            register_container<AbslMap>("map", shape, n);
            register_container<StdMap>("map", shape, n);
            register_ranked_peer<OrderMap>("map", shape, n);
            register_container<StdUnorderedMap>("map", shape, n);
        }
    }
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    constexpr const char* kProgram = "tolvane_bench";
    std::vector<std::size_t> sizes = {10000, 1000000};
    std::vector<KeyShape> shapes = {KeyShape::random, KeyShape::dense, KeyShape::clustered};
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--sizes=", 0) == 0) {
            sizes.clear();
            for (const auto& s : split(arg.substr(8))) sizes.push_back(parse_size(kProgram, s));
        } else if (arg.rfind("--shapes=", 0) == 0) {
            shapes.clear();
            for (const auto& s : split(arg.substr(9))) shapes.push_back(parse_shape(kProgram, s));
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (sizes.empty() || shapes.empty()) usage(kProgram, "empty --sizes or --shapes");
    register_all(sizes, shapes);
    return run_benchmarks(std::move(rest));
}
