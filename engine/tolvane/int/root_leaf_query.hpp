#pragma once
// The ordered queries of the integer set and map, one body for both: each
// asks the root leaf by a halving search over its sorted keys, a tree by the
// trie's own walk (nav, get, the raw iterator), and an empty root nothing.
//
// The flavours share the root's shape and differ only in what an entry is:
//   Map = false   the owner is a TolvaneSet; an entry is its key (u64)
//   Map = true    the owner is a MapCore; an entry is a KeyValue, whose
//                 value sits in the root leaf's value array
// An owner offers root_state, root, size(), leaf_count(), leaf_keys() and,
// for the map, leaf_values(). Every read is plain: callers that share the
// owner with writers hold it exclusively first.
// Rank and select read populations from the edges, so the owner settles any
// pending population delta before calling them.

#include <optional>
#include <type_traits>

#include "tolvane/core/key_value.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/int/map_core.hpp"
#include "tolvane/read/get.hpp"
#include "tolvane/read/iter.hpp"
#include "tolvane/read/nav.hpp"

namespace tolvane::root_leaf {

template <bool Map>
using Entry = std::conditional_t<Map, KeyValue, u64>;

// Entry i of the owner's root leaf.
template <bool Map, class Owner>
Entry<Map> leaf_entry_at(const Owner& o, u64 i) noexcept {
    if constexpr (Map)
        return KeyValue{o.leaf_keys()[i], o.leaf_values()[i]};
    else
        return o.leaf_keys()[i];
}

// The root leaf's value array; the set has none.
template <bool Map, class Owner>
const u64* values_of(const Owner& o) noexcept {
    if constexpr (Map)
        return o.leaf_values();
    else
        return nullptr;
}

template <bool Map, class Owner>
bool contains(const Owner& o, u64 key) {
    if (o.root_state == ROOT_LEAF)
        return map_detail::leaf_find(o.leaf_keys(), o.leaf_count(), key).has_value();
    if (o.root_state == ROOT_TREE) {
        if constexpr (Map)
            return get::locate_slot(&o.root, key, 8) != nullptr;
        else
            return get::contains(&o.root, key, 8);
    }
    return false;
}

template <bool Map, class Owner>
std::optional<Entry<Map>> next_at_or_after(const Owner& o, u64 k) {
    if (o.root_state == ROOT_LEAF && o.leaf_count() != 0) {
        const u64 i = map_detail::lower_bound(o.leaf_keys(), o.leaf_count(), k);
        if (i == o.leaf_count()) return std::nullopt;
        return leaf_entry_at<Map>(o, i);
    }
    // The tree's answer is returned as it comes (the map) or unwrapped on
    // the spot (the set): a shared conversion step costs both an extra copy.
    if (o.root_state == ROOT_TREE) {
        if constexpr (Map)
            return nav::next<true>(o.root, k, 8);
        else if (const std::optional<KeyValue> e = nav::next<false>(o.root, k, 8))
            return e->key;
    }
    return std::nullopt;
}

template <bool Map, class Owner>
std::optional<Entry<Map>> prev_at_or_before(const Owner& o, u64 k) {
    if (o.root_state == ROOT_LEAF && o.leaf_count() != 0) {
        const u64 i = map_detail::upper_bound(o.leaf_keys(), o.leaf_count(), k);
        if (i == 0) return std::nullopt;
        return leaf_entry_at<Map>(o, i - 1);
    }
    if (o.root_state == ROOT_TREE) {
        if constexpr (Map)
            return nav::prev<true>(o.root, k, 8);
        else if (const std::optional<KeyValue> e = nav::prev<false>(o.root, k, 8))
            return e->key;
    }
    return std::nullopt;
}

template <bool Map, class Owner>
std::optional<Entry<Map>> next_after(const Owner& o, u64 k) {
    if (k == ~u64{0}) return std::nullopt;
    return next_at_or_after<Map>(o, k + 1);
}

template <bool Map, class Owner>
std::optional<Entry<Map>> prev_before(const Owner& o, u64 k) {
    if (k == 0) return std::nullopt;
    return prev_at_or_before<Map>(o, k - 1);
}

template <bool Map, class Owner>
std::optional<Entry<Map>> last(const Owner& o) {
    return prev_at_or_before<Map>(o, ~u64{0});
}

// Rank: the number of keys below k.
template <bool Map, class Owner>
u64 count_below(const Owner& o, u64 k) {
    if (o.root_state == ROOT_LEAF && o.leaf_count() != 0)
        return map_detail::lower_bound(o.leaf_keys(), o.leaf_count(), k);
    if (o.root_state == ROOT_TREE) return nav::count_below<Map>(o.root, k, 8, o.size());
    return 0;
}

// Keys in [start, end]; 0 when start > end.
template <bool Map, class Owner>
u64 count_range(const Owner& o, u64 start, u64 end) {
    if (start > end) return 0;
    const u64 below_end = count_below<Map>(o, end);
    const u64 present = contains<Map>(o, end) ? 1 : 0;
    return below_end + present - count_below<Map>(o, start);
}

// Select: the entry with r keys below it.
template <bool Map, class Owner>
std::optional<Entry<Map>> by_count(const Owner& o, u64 r) {
    if (r >= o.size()) return std::nullopt;
    if (o.root_state == ROOT_LEAF) return leaf_entry_at<Map>(o, r);
    if constexpr (Map)
        return nav::by_count<true>(o.root, r, 8, o.size());
    else
        return nav::by_count<false>(o.root, r, 8, o.size()).key;
}

// Positioned at the smallest entry.
template <bool Map, class Owner>
RawIter<Map> iter_fwd(const Owner& o) {
    if (o.root_state == ROOT_LEAF)
        return RawIter<Map>::over_root_leaf(o.leaf_keys(), values_of<Map>(o),
                                            static_cast<u32>(o.leaf_count()), 0);
    if (o.root_state == ROOT_TREE) return RawIter<Map>::from_tree(o.root);
    return RawIter<Map>{};
}

// Positioned at the first entry whose key is at least `start`.
template <bool Map, class Owner>
RawIter<Map> range_fwd(const Owner& o, u64 start) {
    if (o.root_state == ROOT_LEAF && o.leaf_count() != 0) {
        const u64 n = o.leaf_count();
        const u64 position = map_detail::lower_bound(o.leaf_keys(), n, start);
        return RawIter<Map>::over_root_leaf(o.leaf_keys(), values_of<Map>(o), static_cast<u32>(n),
                                            static_cast<u32>(position));
    }
    if (o.root_state == ROOT_TREE) return RawIter<Map>::from_tree_range(o.root, start);
    return RawIter<Map>{};
}

}  // namespace tolvane::root_leaf
