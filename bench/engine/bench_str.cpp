// The string map engine against std::map and absl::btree_map keyed by
// std::basic_string, side by side on three key sets: random words, URLs with
// long shared prefixes, and decimal strings of integers.
//
// Extra flag, read before Google Benchmark's own:
//   --size=N   keys per set (default 1000000)
// Names are str/<keys>/<n>/<container>/<operation>. Timings are per key or
// per probe. Counters: B/key the bytes the container asked for (the string
// map: allocator live bytes plus shell bytes), B/key_sys what the system
// allocator really spent (mallinfo2 in-use bytes around the build, chunk
// headers and the trie's slab pages included).

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "absl/container/btree_map.h"
#include "bench_args.hpp"
#include "counting_alloc.hpp"
#include "tolvane/str/str_map.hpp"
#include "tolvane/str/str_walk.hpp"

namespace bench {
namespace {

using u64 = std::uint64_t;
using CString = std::basic_string<char, std::char_traits<char>, CountingAllocator<char>>;
using PairAlloc = CountingAllocator<std::pair<const CString, u64>>;

std::size_t g_size = 1000000;

// ---- key sets ----

struct StrKeys {
    std::vector<std::string> shuffled;  // insertion order
    std::vector<std::string> hits;      // stored keys, probe order
    std::vector<std::string> misses;    // keys not stored
};

std::string random_word(std::mt19937_64& rng) {
    std::string w(4 + rng() % 9, 'a');
    for (char& c : w) c = static_cast<char>('a' + rng() % 26);
    return w;
}

std::string url(std::mt19937_64& rng) {
    static const char* const HOSTS[] = {"https://www.example-shop.com/catalog/",
                                        "https://static.example-cdn.net/assets/images/",
                                        "https://docs.example.org/reference/api/v2/"};
    std::string u = HOSTS[rng() % 3];
    u += "section-" + std::to_string(rng() % 40) + "/item-" + std::to_string(rng() % 10000000);
    if (rng() % 2) u += "?ref=" + random_word(rng);
    return u;
}

std::string decimal(std::mt19937_64& rng) { return std::to_string(rng() % 10000000000ull); }

enum class KeyKind { words, urls, decimals };
const char* kind_name(KeyKind k) {
    return k == KeyKind::words ? "words" : k == KeyKind::urls ? "urls" : "decimals";
}

const StrKeys& key_set(KeyKind kind) {
    static std::map<KeyKind, StrKeys> sets;
    auto found = sets.find(kind);
    if (found != sets.end()) return found->second;
    std::mt19937_64 rng(42 + static_cast<int>(kind));
    auto make = [&] {
        return kind == KeyKind::words ? random_word(rng) : kind == KeyKind::urls ? url(rng)
                                                                                 : decimal(rng);
    };
    std::unordered_set<std::string> taken;
    StrKeys ks;
    while (ks.shuffled.size() < g_size) {
        std::string k = make();
        if (taken.insert(k).second) ks.shuffled.push_back(std::move(k));
    }
    while (ks.misses.size() < std::min<std::size_t>(g_size, 1 << 16)) {
        std::string k = make();
        if (!taken.count(k)) ks.misses.push_back(std::move(k));
    }
    ks.hits = ks.shuffled;
    std::shuffle(ks.hits.begin(), ks.hits.end(), rng);
    ks.hits.resize(std::min<std::size_t>(g_size, 1 << 16));
    return sets.emplace(kind, std::move(ks)).first->second;
}

// ---- containers, one adapter each ----

struct OurStrMap {
    static constexpr const char* name = "TolvaneStrMap";
    tolvane::TolvaneStrMap c;
    void insert(const std::string& k, u64 v) { c.insert(k, v); }
    u64 find(const std::string& k) const { return c.get(k).value_or(0); }
    u64 walk() {
        u64 s = 0;
        tolvane::Walk w(c);
        while (const auto e = w.next()) s += *e->value + e->key.size();
        return s;
    }
    double requested() const { return double(c.live_bytes() + sizeof c); }
};

template <class C>
struct Peer {
    C c;
    void insert(const std::string& k, u64 v) { c.insert_or_assign(CString(k.data(), k.size()), v); }
    u64 find(const std::string& k) const {
        const auto it = c.find(std::string_view(k));
        return it == c.end() ? 0 : it->second;
    }
    u64 walk() {
        u64 s = 0;
        for (const auto& [k, v] : c) s += v + k.size();
        return s;
    }
};

struct StdStrMap : Peer<std::map<CString, u64, std::less<>, PairAlloc>> {
    static constexpr const char* name = "std::map";
};
struct AbslStrMap : Peer<absl::btree_map<CString, u64, std::less<>, PairAlloc>> {
    static constexpr const char* name = "absl::btree_map";
};

// In-use heap bytes, every allocation of the process included.
std::int64_t heap_in_use() { return static_cast<std::int64_t>(mallinfo2().uordblks); }

template <class A>
std::unique_ptr<A> build(const StrKeys& ks) {
    auto a = std::make_unique<A>();
    for (std::size_t i = 0; i < ks.shuffled.size(); ++i) a->insert(ks.shuffled[i], i + 1);
    return a;
}

template <class A>
void set_bytes(benchmark::State& state, const A& a, std::int64_t sys, const AllocCounters& before) {
    const double n = double(g_size);
    double requested;
    if constexpr (requires { a.requested(); })
        requested = a.requested();
    else
        requested = double(alloc_counters().requested - before.requested) + double(sizeof a);
    state.counters["B/key"] = requested / n;
    state.counters["B/key_sys"] = double(sys) / n;
}

template <class A>
void bm_insert(benchmark::State& state, KeyKind kind) {
    const StrKeys& ks = key_set(kind);
    for (auto _ : state) {
        const AllocCounters before = alloc_counters();
        const std::int64_t heap_before = heap_in_use();
        auto a = build<A>(ks);
        benchmark::DoNotOptimize(a.get());
        state.PauseTiming();
        set_bytes(state, *a, heap_in_use() - heap_before, before);
        a.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(g_size));
}

template <class A>
void bm_lookup(benchmark::State& state, KeyKind kind, bool hit) {
    const StrKeys& ks = key_set(kind);
    static std::unique_ptr<A> a;
    static KeyKind built_for;
    if (!a || built_for != kind) {
        a.reset();
        a = build<A>(ks);
        built_for = kind;
    }
    const auto& probes = hit ? ks.hits : ks.misses;
    std::size_t i = 0;
    u64 acc = 0;
    for (auto _ : state) acc += a->find(probes[i++ % probes.size()]);
    benchmark::DoNotOptimize(acc);
    state.SetItemsProcessed(int64_t(state.iterations()));
}

template <class A>
void bm_walk(benchmark::State& state, KeyKind kind) {
    const StrKeys& ks = key_set(kind);
    auto a = build<A>(ks);
    for (auto _ : state) benchmark::DoNotOptimize(a->walk());
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(g_size));
}

template <class A>
void register_container(KeyKind kind) {
    const std::string prefix = std::string("str/") + kind_name(kind) + "/" +
                               std::to_string(g_size) + "/" + A::name + "/";
    benchmark::RegisterBenchmark((prefix + "insert").c_str(),
                                 [=](benchmark::State& s) { bm_insert<A>(s, kind); })
        ->Unit(benchmark::kNanosecond)
        ->Iterations(1);
    benchmark::RegisterBenchmark((prefix + "lookup_hit").c_str(),
                                 [=](benchmark::State& s) { bm_lookup<A>(s, kind, true); })
        ->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark((prefix + "lookup_miss").c_str(),
                                 [=](benchmark::State& s) { bm_lookup<A>(s, kind, false); })
        ->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark((prefix + "walk").c_str(),
                                 [=](benchmark::State& s) { bm_walk<A>(s, kind); })
        ->Unit(benchmark::kNanosecond)
        ->Iterations(3);
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--size=", 0) == 0)
            g_size = static_cast<std::size_t>(std::strtod(arg.c_str() + 7, nullptr));
        else
            rest.push_back(argv[i]);
    }
    if (g_size < 2) {
        std::fprintf(stderr, "tolvane_str_bench: bad --size\n");
        return 2;
    }
    for (KeyKind kind : {KeyKind::words, KeyKind::urls, KeyKind::decimals}) {
        register_container<OurStrMap>(kind);
        register_container<StdStrMap>(kind);
        register_container<AbslStrMap>(kind);
    }
    return run_benchmarks(std::move(rest));
}
