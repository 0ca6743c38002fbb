#include "support/oracle.hpp"

#include <algorithm>
#include <cstdio>

namespace tolvane::test {

const char* pattern_name(KeyPattern pattern) {
    switch (pattern) {
        case KeyPattern::DenseRuns:
            return "DenseRuns";
        case KeyPattern::SparseRandom:
            return "SparseRandom";
        case KeyPattern::Clustered:
            return "Clustered";
        case KeyPattern::Diverging:
            return "Diverging";
        case KeyPattern::Extremes:
            return "Extremes";
        case KeyPattern::Ascending:
            return "Ascending";
        case KeyPattern::Descending:
            return "Descending";
        case KeyPattern::Mixed:
            return "Mixed";
    }
    return "?";
}

std::string describe(const Op& op) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "%s 0x%016llx",
                  op.kind == Op::Kind::Insert ? "insert" : "remove",
                  static_cast<unsigned long long>(op.key));
    return buf;
}

KeyStream::KeyStream(KeyPattern pattern, uint64_t seed)
    : pattern_(pattern), rng_(seed * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(pattern)) {
    // A handful of bases keeps clustered and diverging keys colliding often
    // enough to fill leaves and branches instead of scattering.
    const unsigned bases = 2 + static_cast<unsigned>(rng_() % 4);
    for (unsigned i = 0; i < bases; ++i) clusters_.push_back(rng_());
    cursor_ = pattern == KeyPattern::Descending ? UINT64_MAX - (rng_() & 0xFFFF) : rng_() & 0xFFFF;
}

uint64_t KeyStream::random_bits(unsigned bits) {
    if (bits == 0) return 0;
    if (bits >= 64) return rng_();
    return rng_() & ((uint64_t{1} << bits) - 1);
}

uint64_t KeyStream::next() { return next_of(pattern_); }

uint64_t KeyStream::next_of(KeyPattern pattern) {
    switch (pattern) {
        case KeyPattern::DenseRuns: {
            if (run_left_ == 0) {
                // Runs of up to ~700 keys starting near a 256-aligned base (or
                // anywhere) produce full level-1 ranges and partial ones.
                uint64_t base = clusters_[rng_() % clusters_.size()] & ~uint64_t{0xFFFF};
                base += random_bits(16);
                if (rng_() % 2) base &= ~uint64_t{0xFF};
                run_next_ = base;
                run_left_ = 1 + random_bits(rng_() % 2 ? 9 : 6) + (rng_() % 4 == 0 ? 256 : 0);
            }
            --run_left_;
            return run_next_++;
        }
        case KeyPattern::SparseRandom:
            return rng_();
        case KeyPattern::Clustered: {
            uint64_t base = clusters_[rng_() % clusters_.size()] & ~uint64_t{0xFF};
            return base | random_bits(8);
        }
        case KeyPattern::Diverging: {
            // Keep the bytes above a random level of a base and randomise the
            // rest: neighbours share long prefixes that part at any byte.
            uint64_t base = clusters_[rng_() % clusters_.size()];
            unsigned free_bytes = 1 + static_cast<unsigned>(rng_() % 7);
            uint64_t low = random_bits(8 * free_bytes);
            // Mostly small values in the free bytes so that several keys meet
            // in the same subtree before they diverge.
            if (rng_() % 3 != 0) low &= (uint64_t{1} << (8 * (free_bytes - 1) + 4)) - 1;
            uint64_t mask = (uint64_t{1} << (8 * free_bytes)) - 1;
            return (base & ~mask) | low;
        }
        case KeyPattern::Extremes: {
            unsigned magnitude = static_cast<unsigned>(rng_() % 40);
            uint64_t offset = random_bits(magnitude);
            return rng_() % 2 ? offset : UINT64_MAX - offset;
        }
        case KeyPattern::Ascending: {
            uint64_t key = cursor_;
            cursor_ += 1 + random_bits(static_cast<unsigned>(rng_() % 12));
            return key;
        }
        case KeyPattern::Descending: {
            uint64_t key = cursor_;
            cursor_ -= 1 + random_bits(static_cast<unsigned>(rng_() % 12));
            return key;
        }
        case KeyPattern::Mixed: {
            static constexpr KeyPattern kinds[] = {KeyPattern::DenseRuns, KeyPattern::SparseRandom,
                                                   KeyPattern::Clustered, KeyPattern::Diverging,
                                                   KeyPattern::Extremes};
            return next_of(kinds[rng_() % 5]);
        }
    }
    return 0;
}

namespace {

// Present keys with O(1) random pick, insert and erase.
class LiveKeys {
  public:
    bool contains(uint64_t key) const { return index_.count(key) != 0; }
    size_t size() const { return keys_.size(); }
    void add(uint64_t key) {
        if (index_.emplace(key, keys_.size()).second) keys_.push_back(key);
    }
    void erase(uint64_t key) {
        auto it = index_.find(key);
        if (it == index_.end()) return;
        size_t slot = it->second;
        index_.erase(it);
        if (slot + 1 != keys_.size()) {
            keys_[slot] = keys_.back();
            index_[keys_[slot]] = slot;
        }
        keys_.pop_back();
    }
    uint64_t pick(std::mt19937_64& rng) const { return keys_[rng() % keys_.size()]; }
    const std::vector<uint64_t>& all() const { return keys_; }

  private:
    std::vector<uint64_t> keys_;
    std::unordered_map<uint64_t, size_t> index_;
};

}  // namespace

std::vector<Op> make_workload(KeyPattern pattern, uint64_t seed, const WorkloadShape& shape) {
    KeyStream stream(pattern, seed);
    std::mt19937_64 rng(seed ^ 0xA5A5A5A5DEADBEEFull);
    LiveKeys live;
    std::vector<Op> ops;
    ops.reserve(shape.ops);
    for (size_t i = 0; i < shape.ops; ++i) {
        bool insert = rng() % 100 < shape.insert_percent;
        if (live.size() >= shape.max_live) insert = false;
        bool hit = live.size() != 0 && rng() % 100 < shape.hit_percent;
        Op op{insert ? Op::Kind::Insert : Op::Kind::Remove, 0, rng()};
        if (insert) {
            // A few inserts repeat a present key: the answer must be "present".
            op.key = (hit && rng() % 8 == 0) ? live.pick(rng) : stream.next();
            live.add(op.key);
        } else {
            op.key = hit ? live.pick(rng) : stream.next();
            live.erase(op.key);
        }
        ops.push_back(op);
    }
    return ops;
}

std::vector<Op> make_grow_drain(KeyPattern pattern, uint64_t seed, size_t count, int drain_order) {
    KeyStream stream(pattern, seed);
    std::mt19937_64 rng(seed ^ 0x5EEDF00Dull);
    LiveKeys live;
    std::vector<Op> ops;
    for (size_t i = 0; i < count; ++i) {
        uint64_t key = stream.next();
        live.add(key);
        ops.push_back({Op::Kind::Insert, key, rng()});
    }
    std::vector<uint64_t> order = live.all();
    if (drain_order == 0) {
        std::shuffle(order.begin(), order.end(), rng);
    } else {
        std::sort(order.begin(), order.end());
        if (drain_order == 2) std::reverse(order.begin(), order.end());
    }
    for (uint64_t key : order) {
        ops.push_back({Op::Kind::Remove, key, 0});
        // An absent key now and then: the answer must be "absent".
        if (rng() % 16 == 0) ops.push_back({Op::Kind::Remove, key, 0});
    }
    return ops;
}

}  // namespace tolvane::test
