// MapCore and the engine TolvaneMap: root leaf, tree dispatch by allocator
// mode, the hot-leaf fast path, ordered queries and listings.

#include "tolvane/int/map.hpp"

#include <atomic>
#include <bit>
#include <cstring>

#include "tolvane/read/get.hpp"
#include "tolvane/write/mutate_free.hpp"
#include "tolvane/write/mutate_map_insert.hpp"
#include "tolvane/write/mutate_map_reclaiming_insert.hpp"
#include "tolvane/write/mutate_map_reclaiming_remove.hpp"
#include "tolvane/write/mutate_map_remove.hpp"
#include "tolvane/write/mode.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/int/hot_window.hpp"
#include "tolvane/int/root_leaf.hpp"
#include "tolvane/int/root_leaf_query.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane {

namespace {

using mutate_map::InsertResult;

root_leaf::MapRootRecord record(MapCore& core) noexcept { return {core}; }

// What a put that reached a leaf directly reports; a present key's value is
// overwritten unless KeepExisting.
template <bool KeepExisting>
InsertResult reported(const PutPlace& at, u64 value) {
    if (at.outcome == PutPlace::Added) return {0, 0, at.value};
    const InsertResult out{1, *at.value, at.value};
    if (!KeepExisting) store_relaxed(*at.value, value);
    return out;
}

// Tree changes of a MapCore, each with a fresh insert path. Exclusive: the
// exclusive mutators, for a core only its owner's thread reads and whose
// allocator stays local; otherwise the unversioned reclaiming members.
template <bool Exclusive>
void core_tree_insert(InsertResult& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 value,
                      InsertPath& fresh) {
    if constexpr (Exclusive)
        mutate_map::map_insert_with_path_flat<false>(out, alloc, edge, key, value, 8, fresh);
    else
        mutate_map::map_insert_with_path_occ<false, true, true>(out, alloc, edge, key, value, 8,
                                                                fresh);
}

template <bool Exclusive>
mutate_map::RemoveResult core_tree_remove(NodeAlloc& alloc, Edge& edge, u64 key) {
    if constexpr (Exclusive)
        return mutate_map::map_remove(alloc, edge, key, 8);
    else
        return mutate_map::map_remove_occ<true>(alloc, edge, key, 8);
}

template <bool Exclusive>
InsertOutcome core_insert(MapCore& core, NodeAlloc& alloc, u64 key, u64 value) {
    InsertResult out;
    if (record(core).load_state() == ROOT_TREE) {
        InsertPath fresh;
        core_tree_insert<Exclusive>(out, alloc, core.root, key, value, fresh);
        if (!out.existed) ++core.len;
        return {out.existed != 0, out.old};
    }
    const PutPlace at = root_leaf::put(record(core), alloc, key, value);
    if (at.outcome != PutPlace::Declined) {
        out = reported<false>(at, value);
        return {out.existed != 0, out.old};
    }
    InsertPath fresh;
    root_leaf::convert_to_tree(record(core), alloc, key, value, fresh,
                               [&](Edge& edge, u64 k, u64 v, InsertPath& p) {
                                   core_tree_insert<Exclusive>(out, alloc, edge, k, v, p);
                               });
    return {};
}

template <bool Exclusive>
RemoveOutcome core_remove(MapCore& core, NodeAlloc& alloc, u64 key) {
    root_leaf::MapRootRecord rec = record(core);
    const u64 state = rec.load_state();
    if (state == ROOT_EMPTY) return {};
    if (state == ROOT_LEAF) return root_leaf::take(rec, alloc, key);
    const mutate_map::RemoveResult r = core_tree_remove<Exclusive>(alloc, core.root, key);
    const RemoveOutcome removed{r.found, r.value};
    if (!removed.found) return removed;
    --core.len;
    if (core.len == 0) {
        rec.publish(ROOT_EMPTY);
    } else if (core.len <= forms::ROOT_LEAF_CONDENSE_AT) {
        // Unlike the engines' condensing, the leaf is gathered from a
        // snapshot and published before the tree is freed: readers that
        // load the state see either the tree or the complete root leaf.
        Edge snapshot = mutate::read_edge(core.root);
        rec.set_leaf(root_leaf::gather<true>(alloc, snapshot, core.len), core.len);
        rec.publish(ROOT_LEAF);
        mutate::free_subtree<!Exclusive, true>(alloc, snapshot);
    }
    return removed;
}

}  // namespace

// ===========================================================================
// MapCore

InsertOutcome MapCore::insert_covered_at(NodeAlloc& alloc, u64 key, u64 value) {
    return core_insert<false>(*this, alloc, key, value);
}

RemoveOutcome MapCore::remove_covered_at(NodeAlloc& alloc, u64 key) {
    return core_remove<false>(*this, alloc, key);
}

InsertOutcome MapCore::insert_exclusive(NodeAlloc& alloc, u64 key, u64 value) {
    return core_insert<true>(*this, alloc, key, value);
}

RemoveOutcome MapCore::remove_exclusive(NodeAlloc& alloc, u64 key) {
    return core_remove<true>(*this, alloc, key);
}

KeyValue MapCore::leaf_entry(u64 i) const {
    if (root_state != ROOT_LEAF)
        fatal("internal error: entered unreachable code: leaf_entry outside root-leaf state");
    require(i < leaf_count(), "index out of bounds: leaf_entry index at or beyond the entry count");
    return root_leaf::leaf_entry_at<true>(*this, i);
}

MapIter MapCore::iter_fwd_raw() const { return root_leaf::iter_fwd<true>(*this); }

MapIter MapCore::range_fwd_raw(u64 start) const { return root_leaf::range_fwd<true>(*this, start); }

// ===========================================================================
// TolvaneMap: changes

TolvaneMap::~TolvaneMap() { clear_entries(); }

void TolvaneMap::clear_path() { path.flush_and_reset(); }

// `private_word` non-null: the tree behind `edge` is still private (being
// built from a root leaf), so the versioned insert bumps that word instead
// of the tree word.
template <bool KeepExisting>
void TolvaneMap::tree_insert(InsertResult& out, Edge& edge, u64 key, u64 value, InsertPath& p,
                             u32* private_word) {
    mutate::map_insert<KeepExisting>(out, alloc, edge, key, value, p,
                                     private_word ? mutate::SlotHolder::branch(*private_word)
                                                  : mutate::SlotHolder::root());
}

template <bool KeepExisting>
InsertResult TolvaneMap::put(u64 key, u64 value) {
    if (core.root_state != ROOT_TREE) {
        const PutPlace at = root_leaf::put(record(core), alloc, key, value);
        if (at.outcome != PutPlace::Declined) return reported<KeepExisting>(at, value);
        return convert_to_tree(key, value);
    }
    const PutPlace hot =
        hot_window::put<true>(path, core.len, key, value, [&] { return put_hot(key, value); });
    if (hot.outcome != PutPlace::Declined) return reported<KeepExisting>(hot, value);
    InsertResult out;
    clear_path();
    tree_insert<KeepExisting>(out, core.root, key, value, path, nullptr);
    if (!out.existed) ++core.len;
    return out;
}

// A key with the hot bitmap leaf's prefix: its group's value subarray
// takes the value, growing into the next capacity class when full.
PutPlace TolvaneMap::put_hot(u64 key, u64 value) {
    auto* leaf = static_cast<LeafBitmapL*>(path.hot_bitmap);
    const unsigned g = static_cast<unsigned>(key >> 5) & 7;
    const u32 bit = u32{1} << (key & 31);
    const u32 group = leaf->bitmap[g];
    const unsigned i = popcount32(group & (bit - 1));
    u64* values = leaf->value_subarrays[g];
    if (group & bit) return {PutPlace::Present, values + i};
    const unsigned c = popcount32(group);
    if (c == 0) {
        values = static_cast<u64*>(alloc.allocate_zeroed(value_array_bytes(1)));
    } else if (hot_window::same_capacity(c, c + 1)) {
        std::memmove(values + i + 1, values + i, (c - i) * 8);
    } else {
        auto* fresh = static_cast<u64*>(alloc.allocate_zeroed(value_array_bytes(c + 1)));
        std::memcpy(fresh, values, i * 8);
        std::memcpy(fresh + i + 1, values + i, (c - i) * 8);
        alloc.release(values, value_array_bytes(c), LEAF_ALIGN);
        values = fresh;
    }
    leaf->value_subarrays[g] = values;
    values[i] = value;
    leaf->bitmap[g] = group | bit;
    ++path.pending;
    ++core.len;
    path.edges[0]->set_byte(8, static_cast<u8>(path.hot_count));
    ++path.hot_count;
    return {PutPlace::Added, values + i};
}

InsertResult TolvaneMap::convert_to_tree(u64 key, u64 value) {
    u32 private_word = 0;
    root_leaf::convert_to_tree(record(core), alloc, key, value, path,
                               [&](Edge& edge, u64 k, u64 v, InsertPath& p) {
                                   InsertResult ignored;
                                   tree_insert<false>(ignored, edge, k, v, p, &private_word);
                               });
    // The path names the private edge the tree was built under, whose words
    // now sit in the root: forget it, or a later flush would write into a
    // dead frame. Nothing is pending on a path that was just filled.
    path.reset();
    // The value word lies inside a node, never in the moved edge, but find
    // it again rather than rely on that.
    u64* slot = get::locate_slot(&core.root, key, 8);
    require(slot != nullptr, "just-ensured key");
    return {0, 0, slot};
}

InsertOutcome TolvaneMap::insert(u64 key, u64 value) noexcept {
    const InsertResult r = put<false>(key, value);
    return {r.existed != 0, r.old};
}

u64* TolvaneMap::ensure_slot(u64 key, u64 initial) noexcept { return put<true>(key, initial).slot; }

RemoveOutcome TolvaneMap::remove(u64 key) noexcept {
    clear_path();
    if (core.root_state == ROOT_EMPTY) return {};
    if (core.root_state == ROOT_LEAF) return root_leaf::take(record(core), alloc, key);
    const mutate_map::RemoveResult r = mutate::map_remove(alloc, core.root, key);
    const RemoveOutcome removed{r.found, r.value};
    if (!removed.found) return removed;
    root_leaf::shrink_after_tree_remove(record(core), alloc);
    return removed;
}

void TolvaneMap::clear_entries() noexcept {
    clear_path();
    root_leaf::clear(record(core), alloc);
}

DetachedRoot TolvaneMap::detach_entries() noexcept {
    clear_path();
    return root_leaf::detach(record(core));
}

void TolvaneMap::free_detached(DetachedRoot& d) noexcept { tolvane::free_detached<true>(alloc, d); }

// ===========================================================================
// TolvaneMap: lookups and ordered queries

std::optional<u64> TolvaneMap::get(u64 key) const {
    if (core.root_state == ROOT_LEAF) {
        if (const std::optional<u64> i =
                map_detail::leaf_find(core.leaf_keys(), core.leaf_count(), key))
            return core.leaf_values()[*i];
        return std::nullopt;
    }
    if (core.root_state == ROOT_TREE) {
        if (const u64* slot = get::locate_slot(&core.root, key, 8)) return *slot;
    }
    return std::nullopt;
}

bool TolvaneMap::contains_key(u64 key) const { return root_leaf::contains<true>(core, key); }

std::optional<KeyValue> TolvaneMap::next_at_or_after(u64 k) const {
    return root_leaf::next_at_or_after<true>(core, k);
}

std::optional<KeyValue> TolvaneMap::next_after(u64 k) const {
    return root_leaf::next_after<true>(core, k);
}

std::optional<KeyValue> TolvaneMap::prev_at_or_before(u64 k) const {
    return root_leaf::prev_at_or_before<true>(core, k);
}

std::optional<KeyValue> TolvaneMap::prev_before(u64 k) const {
    return root_leaf::prev_before<true>(core, k);
}

std::optional<KeyValue> TolvaneMap::last() const { return root_leaf::last<true>(core); }

u64 TolvaneMap::count_below(u64 k) {
    settle();
    return root_leaf::count_below<true>(core, k);
}

u64 TolvaneMap::count_range(u64 start, u64 end) {
    settle();
    return root_leaf::count_range<true>(core, start, end);
}

std::optional<KeyValue> TolvaneMap::by_count(u64 r) {
    settle();
    return root_leaf::by_count<true>(core, r);
}

std::optional<std::string> TolvaneMap::validate_defensive() {
    settle();
    return root_leaf::check(record(core));
}

// ===========================================================================
// TolvaneMap: listings

std::vector<KeyValue> TolvaneMap::items() const {
    MapIter it = iter_fwd_raw();
    return collect_entries(it);
}

std::vector<u64> TolvaneMap::keys() const {
    std::vector<u64> out;
    out.reserve(static_cast<std::size_t>(size()));
    MapIter it = iter_fwd_raw();
    while (const std::optional<u64> k = next_key(it)) out.push_back(*k);
    return out;
}

std::vector<u64> TolvaneMap::values() const {
    std::vector<u64> out;
    out.reserve(static_cast<std::size_t>(size()));
    MapIter it = iter_fwd_raw();
    while (const std::optional<u64> v = next_value(it)) out.push_back(*v);
    return out;
}

std::vector<KeyValue> TolvaneMap::range(u64 start, std::optional<u64> end, bool inclusive) const {
    MapIter it = range_fwd_raw(start);
    return collect_entries_until(it, end, inclusive);
}

// ===========================================================================
// Consumers of the map flavour

namespace {
template <class T>
void append(std::vector<T>& out, const T& item) {
    if (out.size() == out.capacity()) out.reserve(out.capacity() < 4 ? 4 : out.capacity() * 2);
    out.push_back(item);
}
}  // namespace

void extend_entries(std::vector<KeyValue>& out, MapIter& it) {
    while (const std::optional<KeyValue> e = it.next()) append(out, *e);
}

std::vector<KeyValue> collect_entries(MapIter& it) {
    std::vector<KeyValue> out;
    const std::optional<KeyValue> first = it.next();
    if (!first) return out;
    out.reserve(4);
    out.push_back(*first);
    extend_entries(out, it);
    return out;
}

std::optional<u64> next_key(MapIter& it) {
    if (const std::optional<KeyValue> e = it.next()) return e->key;
    it.leaf.kind = LeafCursor::NONE;
    return std::nullopt;
}

std::optional<u64> next_value(MapIter& it) {
    if (const std::optional<KeyValue> e = it.next()) return e->value;
    it.leaf.kind = LeafCursor::NONE;
    return std::nullopt;
}

std::optional<KeyValue> find_at_or_after(MapIter& it, bool& started, u64 start) {
    while (const std::optional<KeyValue> e = it.next()) {
        if (started || e->key >= start) {
            started = true;
            return e;
        }
    }
    it.leaf.kind = LeafCursor::NONE;
    return std::nullopt;
}

std::vector<KeyValue> collect_entries_until(MapIter& it, std::optional<u64> end, bool inclusive) {
    std::vector<KeyValue> out;
    while (const std::optional<KeyValue> e = it.next()) {
        if (end && (inclusive ? e->key > *end : e->key >= *end)) break;
        append(out, *e);
    }
    return out;
}

template InsertResult TolvaneMap::put<false>(u64, u64);
template InsertResult TolvaneMap::put<true>(u64, u64);

}  // namespace tolvane
