// The blob map against std::unordered_map<u64, std::string> (both counted):
// building n entries, reading payloads by key, and the blob map's
// compaction after every entry was replaced once. Payload lengths are drawn
// uniformly from three classes: 0-7 bytes (inline in the slot), 8-64 and
// 65-4096 bytes (arena records for random bytes).
//
// Names are blob/payload/<class>/<n>/<container>/<op>; report.py leaves
// them to docs/benchmarks.md's hand-kept blob table. Counters: B/entry (what
// each container holds from the allocator, per entry) and payload/entry.

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "containers.hpp"
#include "tolvane/blob/blob_map.hpp"

namespace bench {
namespace {

using tolvane::u32;
using tolvane::u8;

struct PayloadClass {
    const char* name;
    u64 min, max;
};
constexpr PayloadClass kClasses[] = {{"0-7", 0, 7}, {"8-64", 8, 64}, {"65-4096", 65, 4096}};

// Keys and payloads of one run: payload i is a window of a random pool, so
// n payloads cost one pool plus their lengths.
struct Workload {
    std::vector<u64> keys;
    std::vector<u32> lengths;
    std::vector<u32> starts;
    std::string pool;
    double payload_bytes = 0;

    Workload(const PayloadClass& c, std::size_t n, u64 seed) {
        std::mt19937_64 rng(seed);
        pool.resize(8192);
        for (char& b : pool) b = static_cast<char>(rng());
        for (std::size_t i = 0; i < n; ++i) {
            keys.push_back(rng());
            lengths.push_back(static_cast<u32>(c.min + rng() % (c.max - c.min + 1)));
            starts.push_back(static_cast<u32>(rng() % 4096));
            payload_bytes += lengths.back();
        }
    }
    std::string_view payload(std::size_t i) const { return {pool.data() + starts[i], lengths[i]}; }
};

using CountedString = std::basic_string<char, std::char_traits<char>, CountingAllocator<char>>;
using PeerMap = std::unordered_map<u64, CountedString, std::hash<u64>, std::equal_to<u64>,
                                   CountingAllocator<std::pair<const u64, CountedString>>>;

struct OurBlobs {
    static constexpr const char* name = "TolvaneBlobMap";
    tolvane::blob::TolvaneBlobMap m{std::nullopt, u64{1} << 36};
    void put(u64 k, std::string_view p) { m.insert(k, p, 0); }
    u64 read(u64 k) const {
        const auto v = m.get(k);
        return v ? v->payload().size() + (v->payload().empty() ? 0 : u8(v->payload()[0])) : 0;
    }
    double bytes() const { return double(m.arena.allocated_bytes + m.trie.alloc.bytes_held()); }
};

struct PeerBlobs {
    static constexpr const char* name = "std::unordered_map";
    PeerMap m;
    void put(u64 k, std::string_view p) { m.insert_or_assign(k, CountedString(p)); }
    u64 read(u64 k) const {
        const auto it = m.find(k);
        return it == m.end() ? 0 : it->second.size() + (it->second.empty() ? 0 : u8(it->second[0]));
    }
};

const Workload& workload(const PayloadClass& c, std::size_t n) {
    static std::unique_ptr<Workload> cached;
    static std::string id;
    const std::string want = std::string(c.name) + "/" + std::to_string(n);
    if (id != want) {
        cached.reset();
        cached = std::make_unique<Workload>(c, n, 77);
        id = want;
    }
    return *cached;
}

template <class C>
std::unique_ptr<C> build(const Workload& w, double& bytes) {
    CountedScope scope;
    auto c = std::make_unique<C>();
    for (std::size_t i = 0; i < w.keys.size(); ++i) c->put(w.keys[i], w.payload(i));
    if constexpr (std::is_same_v<C, OurBlobs>)
        bytes = c->bytes();
    else
        bytes = scope.taken(sizeof(C)).spent;
    return c;
}

void set_counters(benchmark::State& state, const Workload& w, double bytes) {
    const double n = double(w.keys.size());
    state.counters["B/entry"] = bytes / n;
    state.counters["payload/entry"] = w.payload_bytes / n;
}

template <class C>
void bm_insert(benchmark::State& state, const PayloadClass& c, std::size_t n) {
    const Workload& w = workload(c, n);
    double bytes = 0;
    for (auto _ : state) {
        auto built = build<C>(w, bytes);
        state.PauseTiming();
        built.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(n));
    set_counters(state, w, bytes);
}

template <class C>
void bm_get(benchmark::State& state, const PayloadClass& c, std::size_t n) {
    const Workload& w = workload(c, n);
    double bytes = 0;
    const auto built = build<C>(w, bytes);
    std::mt19937_64 rng(5);
    std::vector<u64> probes(1 << 16);
    for (u64& p : probes) p = w.keys[rng() % n];
    std::size_t i = 0;
    u64 acc = 0;
    for (auto _ : state) acc += built->read(probes[i++ & (probes.size() - 1)]);
    benchmark::DoNotOptimize(acc);
    state.SetItemsProcessed(int64_t(state.iterations()));
    set_counters(state, w, bytes);
}

// Every entry replaced once, so half the arena is dead; the timed step is
// one compaction, counted per entry.
void bm_compact(benchmark::State& state, const PayloadClass& c, std::size_t n) {
    const Workload& w = workload(c, n);
    double bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto built = build<OurBlobs>(w, bytes);
        for (std::size_t i = 0; i < n; ++i) built->put(w.keys[i], w.payload(n - 1 - i));
        state.ResumeTiming();
        benchmark::DoNotOptimize(built->m.compact().ok());
        state.PauseTiming();
        bytes = built->bytes();
        built.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(n));
    set_counters(state, w, bytes);
}

template <class C>
void register_container(const PayloadClass& c, std::size_t n) {
    const std::string prefix = std::string("blob/payload/") + c.name + "/" + std::to_string(n) +
                               "/" + C::name + "/";
    benchmark::RegisterBenchmark((prefix + "insert").c_str(),
                                 [&c, n](benchmark::State& s) { bm_insert<C>(s, c, n); })
        ->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark((prefix + "get").c_str(),
                                 [&c, n](benchmark::State& s) { bm_get<C>(s, c, n); })
        ->Unit(benchmark::kNanosecond);
}

}  // namespace

void register_blob_benchmarks(const std::vector<std::size_t>& sizes) {
    for (std::size_t n : sizes) {
        for (const PayloadClass& c : kClasses) {
            register_container<OurBlobs>(c, n);
            register_container<PeerBlobs>(c, n);
            benchmark::RegisterBenchmark(
                (std::string("blob/payload/") + c.name + "/" + std::to_string(n) +
                 "/TolvaneBlobMap/compact")
                    .c_str(),
                [&c, n](benchmark::State& s) { bm_compact(s, c, n); })
                ->Unit(benchmark::kNanosecond);
        }
    }
}

}  // namespace bench
