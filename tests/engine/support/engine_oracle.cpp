#include "support/engine_oracle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <optional>
#include <type_traits>

#include "tolvane/mem/occ.hpp"

namespace tolvane::test {

namespace {

constexpr u64 MAX = ~u64{0};

std::optional<std::size_t> index_if(bool ok, std::size_t i) {
    return ok ? std::optional<std::size_t>(i) : std::nullopt;
}

// Answers of the model for one probe, as indices into the sorted keys.
struct Expected {
    std::optional<std::size_t> at_or_after, after, at_or_before, before;
    u64 below;
};

Expected expected_for(const std::vector<u64>& v, u64 k) {
    const auto lb = static_cast<std::size_t>(std::lower_bound(v.begin(), v.end(), k) - v.begin());
    const auto ub = static_cast<std::size_t>(std::upper_bound(v.begin(), v.end(), k) - v.begin());
    Expected e;
    e.at_or_after = index_if(lb < v.size(), lb);
    e.after = index_if(ub < v.size(), ub);
    e.at_or_before = index_if(ub > 0, ub - 1);
    e.before = index_if(lb > 0, lb - 1);
    e.below = lb;
    return e;
}

std::vector<u64> ranks_to_check(std::size_t n) {
    std::vector<u64> r;
    if (n <= 64) {
        r.resize(n);
        std::iota(r.begin(), r.end(), u64{0});
    } else {
        for (std::size_t i = 0; i < 64; ++i) r.push_back(i * (n - 1) / 63);
    }
    r.push_back(n);
    r.push_back(n + 1);
    return r;
}

u64 model_count_range(const std::vector<u64>& v, u64 a, u64 b) {
    if (a > b) return 0;
    return static_cast<u64>(std::upper_bound(v.begin(), v.end(), b) -
                            std::lower_bound(v.begin(), v.end(), a));
}

template <class Container>
std::vector<u64> sorted_keys(const Container& model) {
    std::vector<u64> v;
    v.reserve(model.size());
    for (const auto& item : model) {
        if constexpr (std::is_same_v<Container, std::set<u64>>)
            v.push_back(item);
        else
            v.push_back(item.first);
    }
    return v;
}

// Pairs of probes used as range bounds: a bounded sample of all pairs.
std::vector<std::pair<u64, u64>> probe_pairs(const std::vector<u64>& probes) {
    std::vector<std::pair<u64, u64>> pairs;
    const std::size_t step = probes.size() > 24 ? probes.size() / 24 : 1;
    for (std::size_t i = 0; i < probes.size(); i += step)
        for (std::size_t j = 0; j < probes.size(); j += step)
            pairs.emplace_back(probes[i], probes[j]);
    return pairs;
}

// One body for both flavours: the model's answer at a sorted index is the
// key in the set flavour and the entry in the map flavour.
template <class Container, class Model>
void expect_queries(Container& c, const Model& model, const std::vector<u64>& probes) {
    constexpr bool kMap = std::is_same_v<Container, TolvaneMap>;
    const std::vector<u64> v = sorted_keys(model);
    ASSERT_EQ(c.size(), v.size());
    auto at = [&](std::optional<std::size_t> i) -> decltype(c.last()) {
        if (!i) return std::nullopt;
        if constexpr (kMap)
            return KeyValue{v[*i], model.at(v[*i])};
        else
            return v[*i];
    };
    for (const u64 k : probes) {
        SCOPED_TRACE("probe " + std::to_string(k));
        const Expected e = expected_for(v, k);
        if constexpr (kMap) {
            const auto found = model.find(k);
            EXPECT_EQ(c.contains_key(k), found != model.end());
            EXPECT_EQ(c.get(k),
                      found != model.end() ? std::optional<u64>(found->second) : std::nullopt);
        } else {
            EXPECT_EQ(c.contains(k), model.count(k) == 1);
        }
        EXPECT_EQ(c.next_at_or_after(k), at(e.at_or_after));
        EXPECT_EQ(c.next_after(k), k == MAX ? std::nullopt : at(e.after));
        EXPECT_EQ(c.prev_at_or_before(k), at(e.at_or_before));
        EXPECT_EQ(c.prev_before(k), k == 0 ? std::nullopt : at(e.before));
        EXPECT_EQ(c.count_below(k), e.below);
    }
    EXPECT_EQ(c.last(), v.empty() ? std::nullopt : at(v.size() - 1));
    for (const u64 r : ranks_to_check(v.size()))
        EXPECT_EQ(c.by_count(r), r < v.size() ? at(r) : std::nullopt) << "rank " << r;
    for (const auto& [a, b] : probe_pairs(probes))
        EXPECT_EQ(c.count_range(a, b), model_count_range(v, a, b)) << "range " << a << ".." << b;
    EXPECT_EQ(c.validate_defensive(), std::nullopt);
}

}  // namespace

std::vector<u64> probe_keys(const std::vector<u64>& sorted_keys, std::mt19937_64& rng,
                            std::size_t random_count, std::size_t from_model) {
    std::vector<u64> probes{0, 1, MAX, MAX - 1};
    const std::size_t n = sorted_keys.size();
    const std::size_t take = std::min(n, from_model);
    for (std::size_t i = 0; i < take; ++i) {
        const u64 k = sorted_keys[take == n ? i : i * (n - 1) / (take - 1 ? take - 1 : 1)];
        probes.push_back(k);
        probes.push_back(k - 1);
        probes.push_back(k + 1);
    }
    for (std::size_t i = 0; i < random_count; ++i) probes.push_back(rng());
    return probes;
}

void expect_set_queries(TolvaneSet& s, const std::set<u64>& model, const std::vector<u64>& probes) {
    expect_queries(s, model, probes);
}

void expect_map_queries(TolvaneMap& m, const std::map<u64, u64>& model,
                        const std::vector<u64>& probes) {
    expect_queries(m, model, probes);
}

void expect_set_listings(const TolvaneSet& s, const std::set<u64>& model,
                         const std::vector<u64>& probes) {
    const std::vector<u64> v = sorted_keys(model);
    ASSERT_EQ(s.keys(), v);
    for (const auto& [a, b] : probe_pairs(probes)) {
        const auto from = std::lower_bound(v.begin(), v.end(), a);
        const std::vector<u64> unbounded(from, v.end());
        EXPECT_EQ(s.range(a, std::nullopt, true), unbounded) << "from " << a;
        for (const bool inclusive : {true, false}) {
            std::vector<u64> want;
            for (auto it = from; it != v.end() && (inclusive ? *it <= b : *it < b); ++it)
                want.push_back(*it);
            EXPECT_EQ(s.range(a, b, inclusive), want)
                << a << ".." << b << " inclusive " << inclusive;
        }
    }
}

void expect_map_listings(const TolvaneMap& m, const std::map<u64, u64>& model,
                         const std::vector<u64>& probes) {
    std::vector<KeyValue> all;
    std::vector<u64> keys, values;
    for (const auto& [k, val] : model) {
        all.push_back({k, val});
        keys.push_back(k);
        values.push_back(val);
    }
    ASSERT_EQ(m.items(), all);
    ASSERT_EQ(m.keys(), keys);
    ASSERT_EQ(m.values(), values);
    for (const auto& [a, b] : probe_pairs(probes)) {
        std::vector<KeyValue> unbounded, closed, open;
        for (auto it = model.lower_bound(a); it != model.end(); ++it) {
            unbounded.push_back({it->first, it->second});
            if (it->first <= b) closed.push_back({it->first, it->second});
            if (it->first < b) open.push_back({it->first, it->second});
        }
        EXPECT_EQ(m.range(a, std::nullopt, false), unbounded) << "from " << a;
        EXPECT_EQ(m.range(a, b, true), closed) << a << ".." << b;
        EXPECT_EQ(m.range(a, b, false), open) << a << ".." << b << " open";
    }
}

const char* mode_name(AllocMode mode) {
    switch (mode) {
        case AllocMode::Local:
            return "local";
        case AllocMode::Deferred:
            return "deferred";
        case AllocMode::Covered:
            return "covered";
    }
    return "?";
}

void set_mode(NodeAlloc& alloc, AllocMode mode, u64* tree_word) {
    if (mode == AllocMode::Local) return;
    alloc.defer_to(std::make_shared<Collector>());
    if (mode == AllocMode::Covered) {
        alloc.bind_tree_word(tree_word);
        alloc.cover_root();
    }
}

std::vector<u64> shuffled_block(u64 prefix, std::mt19937_64& rng, unsigned count) {
    std::vector<u64> keys(256);
    for (unsigned b = 0; b < 256; ++b) keys[b] = (prefix << 8) | b;
    std::shuffle(keys.begin(), keys.end(), rng);
    keys.resize(count);
    return keys;
}

}  // namespace tolvane::test
