#pragma once
// Random sound trees for tests, built with TreeBuilder: every node form,
// skipped prefixes, and sizes anywhere inside each form's bounds. The
// generator keeps the key count it built and the statistics the structural
// validator must report for it; the byte counters are taken from the
// allocator's live bytes around each node it builds, not from a formula.
//
//   NodeAlloc alloc;
//   TreeBuilder<false> b(alloc);
//   RandomTree<false> gen(b, seed);
//   Edge root = gen.root();           // a level-8 tree (or empty)
//   ... gen.population, gen.expected ...

#include <random>
#include <set>
#include <vector>

#include "support/tree_builder.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane::testing {

template <bool Map>
class RandomTree {
  public:
    RandomTree(TreeBuilder<Map>& b, u64 seed) : b_(b), rng_(seed) {}

    u64 population = 0;
    ValidateStats expected{};

    Edge root() {
        population = 0;
        expected = ValidateStats{};
        if (pick(0, 15) == 0) {
            count_edge(validate::STAT_EMPTY, 8);
            return Edge{};
        }
        return make(8, 3, population);
    }

  private:
    u64 pick(u64 lo, u64 hi) { return std::uniform_int_distribution<u64>(lo, hi)(rng_); }

    // n distinct values below 256^bytes, ascending.
    std::vector<u64> distinct(u64 n, unsigned bytes) {
        const u64 mask = low_bytes_mask(bytes);
        std::set<u64> s;
        while (s.size() < n) s.insert(pick(0, mask));
        return {s.begin(), s.end()};
    }
    std::vector<u64> values(std::size_t n) {
        std::vector<u64> v(n);
        for (auto& x : v) x = rng_();
        return v;
    }

    void count_edge(std::size_t kind, u8 slot) {
        ++expected[kind];
        ++expected[validate::stat_edges_at(slot)];
    }
    u64 live() const { return b_.alloc().live_bytes(); }

    Edge make(u8 slot, int budget, u64& pop) {
        if (slot == 8 || (slot >= 2 && budget > 0 && pick(0, 2) == 0))
            return branch(slot, budget, pop);
        const unsigned choices = (!Map && slot <= 2) ? 4 : 3;
        switch (pick(0, choices - 1)) {
            case 0:
                return immediate(slot, pop);
            case 1:
                return linear_leaf(slot, pop);
            case 2:
                return bitmap_leaf(slot, pop);
            default:
                return full_edge(slot, pop);
        }
    }

    Edge immediate(u8 slot, u64& pop) {
        const u64 n = pick(1, Map ? 7 / slot : 15 / slot);
        const std::vector<u64> keys = distinct(n, slot);
        const u64 before = live();
        Edge e;
        if constexpr (Map)
            e = b_.immediate(slot, keys, values(n));
        else
            e = b_.immediate(slot, keys);
        expected[validate::STAT_VALUE_ARRAY_BYTES] += live() - before;
        count_edge(validate::STAT_IMMEDIATE, slot);
        ++expected[validate::stat_leaves_of(n)];
        pop = n;
        return e;
    }

    Edge linear_leaf(u8 slot, u64& pop) {
        const u8 w = static_cast<u8>(pick(1, slot));
        const u64 n = pick(1, w == 1 ? 25 : 32);
        const std::vector<u64> keys = distinct(n, w);
        const u64 before = live();
        Edge e;
        if constexpr (Map)
            e = b_.linear_leaf(w, keys, values(n));
        else
            e = b_.linear_leaf(w, keys);
        expected[validate::STAT_LINEAR_LEAF_BYTES] += live() - before;
        count_edge(validate::STAT_LINEAR_LEAF, slot);
        ++expected[validate::stat_leaf_nodes_at(slot)];
        ++expected[validate::stat_leaves_of(n)];
        pop = n;
        return w < slot ? b_.skip(e, w, slot, rng_()) : e;
    }

    Edge bitmap_leaf(u8 slot, u64& pop) {
        const u64 n = pick(21, 256);
        const std::vector<u64> keys = distinct(n, 1);
        const u64 before = live();
        Edge e;
        if constexpr (Map)
            e = b_.bitmap_leaf(keys, values(n));
        else
            e = b_.bitmap_leaf(keys);
        expected[validate::STAT_BITMAP_LEAF_BYTES] += live() - before;
        count_edge(validate::STAT_BITMAP_LEAF, slot);
        ++expected[validate::stat_leaf_nodes_at(slot)];
        ++expected[validate::stat_leaves_of(n)];
        pop = n;
        return slot > 1 ? b_.skip(e, 1, slot, rng_()) : e;
    }

    Edge full_edge(u8 slot, u64& pop) {
        count_edge(validate::STAT_FULL, slot);
        pop = u64{1} << (8 * slot);
        return TreeBuilder<Map>::full_edge(slot);
    }

    Edge branch(u8 slot, int budget, u64& pop) {
        const u8 level = slot == 8 ? 8 : static_cast<u8>(pick(2, slot));
        // 0: BranchL3, 1: BranchL7, 2: BranchB, 3: BranchU (never skips).
        const unsigned form = static_cast<unsigned>(pick(0, level == slot ? 3 : 2));
        static constexpr u64 lo[] = {1, 3, 7, 161};
        static constexpr u64 hi[] = {3, 7, 192, 256};
        const u64 count = pick(lo[form], hi[form]);
        const std::vector<u64> digits = distinct(count, 1);
        const int child_budget = form >= 2 ? 0 : budget - 1;

        Children children;
        pop = 0;
        for (u64 d : digits) {
            u64 p = 0;
            children.emplace_back(static_cast<u8>(d),
                                  make(static_cast<u8>(level - 1), child_budget, p));
            pop += p;
        }
        const u64 before = live();
        Edge e;
        static constexpr std::size_t kinds[] = {validate::STAT_BRANCH_L3, validate::STAT_BRANCH_L7,
                                                validate::STAT_BRANCH_B, validate::STAT_BRANCH_U};
        switch (form) {
            case 0:
                e = b_.branch_l3(level, children);
                break;
            case 1:
                e = b_.branch_l7(level, children);
                break;
            case 2:
                e = b_.branch_b(level, children);
                break;
            default:
                e = b_.branch_u(level, children);
                break;
        }
        expected[validate::STAT_BRANCH_L3_BYTES + form] += live() - before;
        count_edge(kinds[form], slot);
        ++expected[validate::stat_branches_at(slot)];
        return level < slot ? b_.skip(e, level, slot, rng_()) : e;
    }

    TreeBuilder<Map>& b_;
    std::mt19937_64 rng_;
};

}  // namespace tolvane::testing
