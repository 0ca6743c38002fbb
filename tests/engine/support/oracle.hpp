#pragma once
// Oracle harness: replays seeded operation streams on a container under test
// and on a plain standard-library model, and compares every answer.
//
// How to use it:
//   1. Make key streams with KeyStream (one of the KeyPattern shapes, a seed).
//   2. Turn them into operation lists with make_workload / make_grow_drain.
//   3. Write a small adapter ("subject") for the container under test:
//        R    apply(const Op&)          -> the same result type as the model's
//        void verify(const Model&)      -> gtest assertions on the whole
//                                          structure (validator, population)
//      and call replay(model, subject, ops, options).
// SetModel mirrors a key set (result: whether the key was absent on insert /
// present on remove); MapModel mirrors a u64 -> u64 map (result: existed and
// old value). Everything is reproducible from the seed: failures print the
// index of the operation and the operation itself.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace tolvane::test {

// Shapes of key streams. Each one is aimed at a family of node forms.
enum class KeyPattern : uint8_t {
    DenseRuns,     // consecutive runs from random bases: bitmap leaves, full edges
    SparseRandom,  // uniform 64-bit keys: immediates under wide branches
    Clustered,     // few 56-bit prefixes, random low byte: level-1 leaves
    Diverging,     // shared prefixes that part at a random byte: skip levels
    Extremes,      // keys near 0 and near 2^64 - 1
    Ascending,     // increasing keys with small random strides
    Descending,    // decreasing keys with small random strides
    Mixed,         // each key drawn from one of the shapes above
};

inline constexpr KeyPattern kAllPatterns[] = {
    KeyPattern::DenseRuns, KeyPattern::SparseRandom, KeyPattern::Clustered,  KeyPattern::Diverging,
    KeyPattern::Extremes,  KeyPattern::Ascending,    KeyPattern::Descending, KeyPattern::Mixed,
};

const char* pattern_name(KeyPattern pattern);

// An endless, reproducible stream of keys of one shape.
class KeyStream {
  public:
    KeyStream(KeyPattern pattern, uint64_t seed);
    uint64_t next();

  private:
    uint64_t next_of(KeyPattern pattern);
    uint64_t random_bits(unsigned bits);

    KeyPattern pattern_;
    std::mt19937_64 rng_;
    uint64_t run_next_ = 0;           // DenseRuns: next key of the current run
    uint64_t run_left_ = 0;           // DenseRuns: keys left in the current run
    std::vector<uint64_t> clusters_;  // Clustered / Diverging bases
    uint64_t cursor_;                 // Ascending / Descending position
};

struct Op {
    enum class Kind : uint8_t { Insert, Remove };
    Kind kind;
    uint64_t key;
    uint64_t value = 0;  // map subjects only
};

std::string describe(const Op& op);

// Parameters of a random workload.
struct WorkloadShape {
    size_t ops = 1000;
    unsigned insert_percent = 60;  // share of inserts among the operations
    unsigned hit_percent = 80;     // removals (and re-inserts) of present keys
    size_t max_live = SIZE_MAX;    // inserts turn into removals above this size
};

// Random mix of inserts and removals over one key stream; removals mostly
// pick keys that are present, re-inserts sometimes repeat present keys.
std::vector<Op> make_workload(KeyPattern pattern, uint64_t seed, const WorkloadShape& shape);

// Inserts `count` keys of the stream (duplicates included), then removes every
// present key in an order chosen by `drain_order`: 0 random, 1 ascending,
// 2 descending. Drives every node form up through its growth bounds and back
// down through its shrink bounds until the structure is empty.
std::vector<Op> make_grow_drain(KeyPattern pattern, uint64_t seed, size_t count, int drain_order);

// Model of a key set.
struct SetModel {
    std::set<uint64_t> keys;
    bool apply(const Op& op) {
        if (op.kind == Op::Kind::Insert) return keys.insert(op.key).second;
        return keys.erase(op.key) != 0;
    }
    size_t size() const { return keys.size(); }
};

// Model of a u64 -> u64 map whose insert overwrites.
struct MapModel {
    struct Result {
        bool existed = false;
        uint64_t old_value = 0;
        bool operator==(const Result&) const = default;
    };
    std::map<uint64_t, uint64_t> entries;
    Result apply(const Op& op) {
        Result r;
        auto it = entries.find(op.key);
        if (it != entries.end()) {
            r.existed = true;
            r.old_value = it->second;
        }
        if (op.kind == Op::Kind::Insert) {
            entries[op.key] = op.value;
        } else if (it != entries.end()) {
            entries.erase(it);
        }
        return r;
    }
    size_t size() const { return entries.size(); }
};

// Model of a u64 -> u64 map under get-or-insert: a present key keeps its
// value and reports it.
struct KeepModel {
    std::map<uint64_t, uint64_t> entries;
    MapModel::Result apply(const Op& op) {
        MapModel::Result r;
        auto it = entries.find(op.key);
        if (it != entries.end()) r = {true, it->second};
        if (op.kind == Op::Kind::Insert) {
            entries.emplace(op.key, op.value);
        } else if (it != entries.end()) {
            entries.erase(it);
        }
        return r;
    }
    size_t size() const { return entries.size(); }
};

inline std::ostream& operator<<(std::ostream& os, const MapModel::Result& r) {
    return os << "{existed=" << r.existed << ", old=" << r.old_value << "}";
}

struct ReplayOptions {
    // Full verification after every operation while the model holds at most
    // this many keys, and every `verify_stride` operations above it.
    size_t verify_all_below = SIZE_MAX;
    size_t verify_stride = 1;
};

// Replays `ops` on both sides. Stops at the first mismatch or failed
// verification (gtest fatal failure) and names the operation.
template <class Model, class Subject>
void replay(Model& model, Subject& subject, const std::vector<Op>& ops,
            const ReplayOptions& options = {}) {
    for (size_t i = 0; i < ops.size(); ++i) {
        const Op& op = ops[i];
        auto expected = model.apply(op);
        auto actual = subject.apply(op);
        ASSERT_EQ(actual, expected) << "operation " << i << ": " << describe(op);
        if (model.size() <= options.verify_all_below || i % options.verify_stride == 0 ||
            i + 1 == ops.size()) {
            SCOPED_TRACE("after operation " + std::to_string(i) + ": " + describe(op));
            subject.verify(model);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

}  // namespace tolvane::test
