#pragma once
// One adapter per benchmarked container, all with the same member names so a
// benchmark body is written once as a template:
//
//   insert(k)        add k (maps store value_of(k))
//   find(k)          value of k for a map, 1 for a set, 0 when absent
//   erase(k)         true when k was present
//   sum()            in-order walk, summing keys (and values)
//   next_after(k)    smallest key > k, or 0       (ordered containers)
//   prev_before(k)   largest key < k, or 0        (ordered containers)
//   rank(k), select(r)                            (containers that keep counts)
//   footprint()      bytes the container holds, both as requested and as
//                    spent at the system allocator
//
// The trie containers count their own bytes (the allocator's bytes_held, which
// covers slab pages and blocks from the system); the peers allocate through
// the counting allocator.

#include <functional>
#include <map>
#include <set>
#include <unordered_map>

#include <ext/pb_ds/assoc_container.hpp>
#include <ext/pb_ds/tree_policy.hpp>

#include "absl/container/btree_map.h"
#include "absl/container/btree_set.h"
#include "counting_alloc.hpp"
#include "tolvane/int/map.hpp"
#include "tolvane/int/set.hpp"

namespace bench {

using u64 = std::uint64_t;

inline u64 value_of(u64 k) { return k * 0x9E3779B97F4A7C15ull + 1; }

// For the trie: requested = spent = bytes held from the system (slab pages
// and free blocks included), live = bytes in blocks handed out. For the
// peers live equals requested.
struct Footprint {
    double requested = 0;
    double spent = 0;
    double live = 0;
};

// Footprint of the counted peers: counter difference around the build.
class CountedScope {
public:
    CountedScope() : start_(alloc_counters()) {}
    Footprint taken(std::size_t object_bytes) const {
        const auto& now = alloc_counters();
        const double requested = double(now.requested - start_.requested) + double(object_bytes);
        return {requested, double(now.spent - start_.spent) + double(object_bytes), requested};
    }

private:
    AllocCounters start_;
};

struct OurSet {
    static constexpr const char* name = "TolvaneSet";
    static constexpr bool ordered = true, ranked = true, counts_itself = true;
    tolvane::TolvaneSet c;

    void insert(u64 k) { c.insert_deferred(k); }
    u64 find(u64 k) const { return c.contains(k); }
    bool erase(u64 k) { return c.remove_deferred(k); }
    u64 sum() const {
        u64 s = 0;
        auto it = c.iter_fwd_raw();
        while (auto k = it.next()) s += *k;
        return s;
    }
    u64 next_after(u64 k) const { return c.next_after(k).value_or(0); }
    u64 prev_before(u64 k) const { return c.prev_before(k).value_or(0); }
    u64 rank(u64 k) { return c.count_below(k); }
    u64 select(u64 r) { return c.by_count(r).value_or(0); }
    Footprint footprint() const {
        const double b = double(c.alloc.bytes_held() + sizeof c);
        return {b, b, double(c.alloc.live_bytes() + sizeof c)};
    }
};

struct OurMap {
    static constexpr const char* name = "TolvaneMap";
    static constexpr bool ordered = true, ranked = true, counts_itself = true;
    tolvane::TolvaneMap c;

    void insert(u64 k) { c.insert(k, value_of(k)); }
    u64 find(u64 k) const { return c.get(k).value_or(0); }
    bool erase(u64 k) { return c.remove(k).found; }
    u64 sum() const {
        u64 s = 0;
        auto it = c.iter_fwd_raw();
        while (auto e = it.next()) s += e->key ^ e->value;
        return s;
    }
    u64 next_after(u64 k) const {
        auto e = c.next_after(k);
        return e ? e->key : 0;
    }
    u64 prev_before(u64 k) const {
        auto e = c.prev_before(k);
        return e ? e->key : 0;
    }
    u64 rank(u64 k) { return c.count_below(k); }
    u64 select(u64 r) {
        auto e = c.by_count(r);
        return e ? e->key : 0;
    }
    Footprint footprint() const {
        const double b = double(c.alloc.bytes_held() + sizeof c);
        return {b, b, double(c.alloc.live_bytes() + sizeof c)};
    }
};

// Shared body of the ordered peers (std::set / std::map / abseil btrees).
template <class C, bool IsMap>
struct OrderedPeer {
    static constexpr bool ordered = true, ranked = false, counts_itself = false;
    C c;

    void insert(u64 k) {
        if constexpr (IsMap)
            c.insert_or_assign(k, value_of(k));
        else
            c.insert(k);
    }
    u64 find(u64 k) const {
        auto it = c.find(k);
        if (it == c.end()) return 0;
        if constexpr (IsMap)
            return it->second;
        else
            return 1;
    }
    bool erase(u64 k) { return c.erase(k) != 0; }
    u64 sum() const {
        u64 s = 0;
        for (const auto& e : c) {
            if constexpr (IsMap)
                s += e.first ^ e.second;
            else
                s += e;
        }
        return s;
    }
    static u64 key_of(typename C::const_iterator it) {
        if constexpr (IsMap)
            return it->first;
        else
            return *it;
    }
    u64 next_after(u64 k) const {
        auto it = c.upper_bound(k);
        return it == c.end() ? 0 : key_of(it);
    }
    u64 prev_before(u64 k) const {
        auto it = c.lower_bound(k);
        return it == c.begin() ? 0 : key_of(std::prev(it));
    }
    u64 rank(u64) { return 0; }
    u64 select(u64) { return 0; }
};

using PairAlloc = CountingAllocator<std::pair<const u64, u64>>;

struct StdSet : OrderedPeer<std::set<u64, std::less<u64>, CountingAllocator<u64>>, false> {
    static constexpr const char* name = "std::set";
};
struct AbslSet : OrderedPeer<absl::btree_set<u64, std::less<u64>, CountingAllocator<u64>>, false> {
    static constexpr const char* name = "absl::btree_set";
};
struct StdMap : OrderedPeer<std::map<u64, u64, std::less<u64>, PairAlloc>, true> {
    static constexpr const char* name = "std::map";
};
struct AbslMap : OrderedPeer<absl::btree_map<u64, u64, std::less<u64>, PairAlloc>, true> {
    static constexpr const char* name = "absl::btree_map";
};

// libstdc++'s red-black tree that keeps subtree sizes: the one peer that
// answers rank (order_of_key) and select (find_by_order).
template <class Mapped>
using OrderTree = __gnu_pbds::tree<u64, Mapped, std::less<u64>, __gnu_pbds::rb_tree_tag,
                                   __gnu_pbds::tree_order_statistics_node_update,
                                   CountingAllocator<char>>;

struct OrderSet : OrderedPeer<OrderTree<__gnu_pbds::null_type>, false> {
    static constexpr const char* name = "pb_ds::tree_set";
    static constexpr bool ranked = true;
    u64 rank(u64 k) { return c.order_of_key(k); }
    u64 select(u64 r) { return *c.find_by_order(r); }
};
struct OrderMap : OrderedPeer<OrderTree<u64>, true> {
    static constexpr const char* name = "pb_ds::tree_map";
    static constexpr bool ranked = true;
    void insert(u64 k) { c[k] = value_of(k); }
    u64 rank(u64 k) { return c.order_of_key(k); }
    u64 select(u64 r) { return c.find_by_order(r)->first; }
};

struct StdUnorderedMap {
    static constexpr const char* name = "std::unordered_map";
    static constexpr bool ordered = false, ranked = false, counts_itself = false;
    std::unordered_map<u64, u64, std::hash<u64>, std::equal_to<u64>, PairAlloc> c;

    void insert(u64 k) { c.insert_or_assign(k, value_of(k)); }
    u64 find(u64 k) const {
        auto it = c.find(k);
        return it == c.end() ? 0 : it->second;
    }
    bool erase(u64 k) { return c.erase(k) != 0; }
    u64 sum() const { return 0; }
    u64 next_after(u64) const { return 0; }
    u64 prev_before(u64) const { return 0; }
    u64 rank(u64) { return 0; }
    u64 select(u64) { return 0; }
};

}  // namespace bench
