#include "key_sets.hpp"

#include <algorithm>
#include <memory>

namespace bench {

const char* shape_name(KeyShape shape) {
    switch (shape) {
        case KeyShape::random: return "random";
        case KeyShape::dense: return "dense";
        case KeyShape::clustered: return "clustered";
    }
    return "?";
}

namespace {

constexpr u64 SEED = 0x7017A9E5EEDull;
constexpr u64 RUN = 256;

void shuffle(std::vector<u64>& v, SplitMix& rng) {
    for (std::size_t i = v.size(); i > 1; --i) std::swap(v[i - 1], v[rng() % i]);
}

bool present(const std::vector<u64>& sorted, u64 k) {
    return std::binary_search(sorted.begin(), sorted.end(), k);
}

std::vector<u64> distinct_random(std::size_t n, SplitMix& rng) {
    std::vector<u64> keys;
    keys.reserve(n);
    while (keys.size() < n) {
        while (keys.size() < n) keys.push_back(rng());
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    }
    return keys;
}

std::vector<u64> clustered_keys(std::size_t n, SplitMix& rng) {
    // Bases keep clear of the top so a run never wraps; runs that happen to
    // overlap are merged by the dedup and topped up with further runs.
    std::vector<u64> keys;
    keys.reserve(n + RUN);
    while (keys.size() < n) {
        while (keys.size() < n) {
            const u64 base = rng() % (~u64{0} - RUN);
            for (u64 j = 0; j < RUN && keys.size() < n; ++j) keys.push_back(base + j);
        }
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    }
    return keys;
}

u64 miss_near(const KeySet& ks, SplitMix& rng) {
    for (;;) {
        u64 k = 0;
        switch (ks.shape) {
            case KeyShape::random: k = rng(); break;
            case KeyShape::dense: k = ks.n + rng() % ks.n; break;
            case KeyShape::clustered:
                // Just past a run: same upper bytes as keys that exist.
                k = ks.sorted[rng() % ks.n] + RUN + rng() % RUN;
                break;
        }
        if (!present(ks.sorted, k)) return k;
    }
}

std::unique_ptr<KeySet> build(KeyShape shape, std::size_t n) {
    auto ks = std::make_unique<KeySet>();
    ks->shape = shape;
    ks->n = n;
    SplitMix rng{SEED ^ (static_cast<u64>(shape) << 56) ^ n};
    switch (shape) {
        case KeyShape::random: ks->sorted = distinct_random(n, rng); break;
        case KeyShape::dense:
            ks->sorted.resize(n);
            for (std::size_t i = 0; i < n; ++i) ks->sorted[i] = i;
            break;
        case KeyShape::clustered: ks->sorted = clustered_keys(n, rng); break;
    }
    ks->shuffled = ks->sorted;
    shuffle(ks->shuffled, rng);
    ks->erase_order = ks->sorted;
    shuffle(ks->erase_order, rng);

    std::size_t probes = 1;
    while (probes < n && probes < (std::size_t{1} << 20)) probes <<= 1;
    ks->probe_mask = probes - 1;
    const u64 lo = ks->sorted.front(), span = ks->sorted.back() - lo;
    for (std::size_t i = 0; i < probes; ++i) {
        ks->hits.push_back(ks->sorted[rng() % n]);
        ks->misses.push_back(miss_near(*ks, rng));
        ks->points.push_back(span == ~u64{0} ? rng() : lo + rng() % (span + 1));
        ks->ranks.push_back(rng() % n);
    }
    return ks;
}

}  // namespace

const KeySet& key_set(KeyShape shape, std::size_t n) {
    static std::unique_ptr<KeySet> current;
    if (!current || current->shape != shape || current->n != n) {
        current.reset();
        current = build(shape, n);
    }
    return *current;
}

}  // namespace bench
