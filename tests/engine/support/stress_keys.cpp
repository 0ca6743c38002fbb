#include "support/stress_keys.hpp"

#include <algorithm>
#include <unordered_set>

#include "support/oracle.hpp"

namespace tolvane::test {

KeyGroups make_key_groups(u64 seed, bool spread_root, unsigned dense_stable_every) {
    KeyGroups u;
    std::mt19937_64 rng(seed);
    std::unordered_set<u64> taken;
    auto take = [&](u64 k) { return taken.insert(k).second; };
    if (spread_root) {
        for (u64 top = 0; top < 200; ++top)
            if (const u64 k = (top << 56) | (rng() >> 8); take(k)) u.root_spread.push_back(k);
    }
    for (unsigned r = 0; r < 4; ++r) {
        const u64 base = 0x5A00000000000000 | ((rng() & 0xFFFF) << 24) | (u64{r} << 8);
        std::vector<u64> sweep;
        for (u64 x = 0; x < 256; ++x) {
            if (!take(base | x)) continue;
            (x % dense_stable_every == 0 ? u.stable : sweep).push_back(base | x);
        }
        u.churn.insert(u.churn.end(), sweep.begin(), sweep.end());
        u.dense.push_back(sweep);
    }
    for (KeyPattern pattern :
         {KeyPattern::Diverging, KeyPattern::Clustered, KeyPattern::SparseRandom,
          KeyPattern::DenseRuns, KeyPattern::Extremes}) {
        KeyStream stream(pattern, seed + static_cast<u64>(pattern));
        for (int i = 0; i < 1500; ++i) {
            const u64 k = stream.next();
            if (!take(k)) continue;
            const u64 pick = rng() % 10;
            (pick < 3 ? u.stable : pick < 8 ? u.churn : u.never).push_back(k);
        }
    }
    std::shuffle(u.stable.begin(), u.stable.end(), rng);
    return u;
}

}  // namespace tolvane::test
