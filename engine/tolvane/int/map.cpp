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
#include "tolvane/read/nav.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/check/validate.hpp"
#include "tolvane/int/root_leaf_block.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane {

namespace {

using mutate_map::InsertResult;

bool same_class(u64 a, u64 b) noexcept {
    return capacity_class(static_cast<std::size_t>(a)) ==
           capacity_class(static_cast<std::size_t>(b));
}

u64 load_state(const MapCore& core) noexcept { return load_acquire(core.root_state); }
void publish_state(MapCore& core, u64 state) noexcept { store_release(core.root_state, state); }

void set_leaf(MapCore& core, u64* block, u64 n) noexcept {
    core.root.w0 = reinterpret_cast<std::uintptr_t>(block);
    core.root.w1 = n;
}

// Root-leaf insert shared by MapCore and TolvaneMap. Returns false, with
// nothing changed, when the key is new and the leaf already holds 31
// entries: the caller builds the tree.
template <bool KeepExisting>
bool leaf_put(MapCore& core, NodeAlloc& alloc, u64 key, u64 value, InsertResult& out) {
    if (load_state(core) == ROOT_EMPTY) {
        u64* block = root_leaf::new_block<2>(alloc, 1);
        block[0] = key;
        block[1] = value;
        set_leaf(core, block, 1);
        publish_state(core, ROOT_LEAF);
        out = {0, 0, block + 1};
        return true;
    }
    const u64 n = core.leaf_count();
    u64* keys = core.leaf_keys();
    u64* values = core.leaf_values();
    const map_detail::LeafSlot s = map_detail::insert_slot(keys, n, key);
    if (s.found) {
        out = {1, values[s.index], values + s.index};
        if (!KeepExisting) store_relaxed(values[s.index], value);
        return true;
    }
    if (n >= ROOT_LEAF_MAX) return false;
    const u64 p = s.index;
    u64* block = root_leaf::open_gap<2>(alloc, keys, n, p);
    u64* block_values = block + root_leaf::capacity_of(n + 1);
    store_relaxed(block[p], key);
    store_relaxed(block_values[p], value);
    if (block == keys)
        core.root.w1 = n + 1;
    else
        set_leaf(core, block, n + 1);
    out = {0, 0, block_values + p};
    publish_state(core, ROOT_LEAF);
    return true;
}

// Root-leaf removal shared by MapCore and TolvaneMap.
RemoveOutcome leaf_take(MapCore& core, NodeAlloc& alloc, u64 key) {
    const u64 n = core.leaf_count();
    u64* keys = core.leaf_keys();
    u64* values = core.leaf_values();
    if (n == 0) return {};
    u64 i = 0;
    if (n == 1) {
        if (keys[0] != key) return {};
    } else {
        const map_detail::LeafSlot s = map_detail::leaf_search(keys, n, key);
        if (!s.found) return {};
        i = s.index;
    }
    const RemoveOutcome removed{true, values[i]};
    if (n == 1) {
        alloc.release(keys, map_root_leaf_bytes(1), 16);
        publish_state(core, ROOT_EMPTY);
        return removed;
    }
    u64* block = root_leaf::close_gap<2>(alloc, keys, n, i);
    if (block == keys)
        core.root.w1 = n - 1;
    else
        set_leaf(core, block, n - 1);
    publish_state(core, ROOT_LEAF);
    return removed;
}

KeyValue leaf_kv(const MapCore& core, u64 i) {
    return {core.leaf_keys()[i], core.leaf_values()[i]};
}

// Tree changes of a MapCore, each with a fresh insert path. Exclusive: the
// exclusive mutators, for a core only its owner's thread reads and whose
// allocator stays local; otherwise the unversioned reclaiming members.
template <bool Exclusive>
void core_tree_insert(InsertResult& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 value) {
    InsertPath fresh;
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
    if (load_state(core) == ROOT_TREE) {
        core_tree_insert<Exclusive>(out, alloc, core.root, key, value);
        if (!out.existed) ++core.len;
        return {out.existed != 0, out.old};
    }
    if (leaf_put<false>(core, alloc, key, value, out)) return {out.existed != 0, out.old};

    // The 32nd key: every entry goes into a private edge, which then
    // replaces the root leaf.
    const u64 n = core.leaf_count();
    const u64* keys = core.leaf_keys();
    const u64* values = core.leaf_values();
    Edge built;
    for (u64 i = 0; i < n; ++i) core_tree_insert<Exclusive>(out, alloc, built, keys[i], values[i]);
    core_tree_insert<Exclusive>(out, alloc, built, key, value);
    alloc.release(core.root.ptr<void>(), map_root_leaf_bytes(n), 16);
    core.len = n + 1;
    core.root.w0 = built.w0;
    core.root.w1 = built.w1;
    publish_state(core, ROOT_TREE);
    return {};
}

template <bool Exclusive>
RemoveOutcome core_remove(MapCore& core, NodeAlloc& alloc, u64 key) {
    const u64 state = load_state(core);
    if (state == ROOT_EMPTY) return {};
    if (state == ROOT_LEAF) return leaf_take(core, alloc, key);
    const mutate_map::RemoveResult r = core_tree_remove<Exclusive>(alloc, core.root, key);
    const RemoveOutcome removed{r.found, r.value};
    if (!removed.found) return removed;
    --core.len;
    if (core.len == 0) {
        publish_state(core, ROOT_EMPTY);
    } else if (core.len <= forms::ROOT_LEAF_CONDENSE_AT) {
        // Readers that load the state see either the tree or the complete
        // root leaf; the tree is freed only after the leaf is published.
        Edge snapshot = mutate::read_edge(core.root);
        u64* block = root_leaf::gather<true>(alloc, snapshot, core.len);
        set_leaf(core, block, core.len);
        publish_state(core, ROOT_LEAF);
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
    return leaf_kv(*this, i);
}

MapIter MapCore::iter_fwd_raw() const {
    if (root_state == ROOT_LEAF)
        return MapIter::over_root_leaf(leaf_keys(), leaf_values(), static_cast<u32>(leaf_count()),
                                       0);
    if (root_state == ROOT_TREE) return MapIter::from_tree(root);
    return MapIter{};
}

MapIter MapCore::range_fwd_raw(u64 start) const {
    if (root_state == ROOT_LEAF && leaf_count() != 0) {
        const u64 n = leaf_count();
        const u64 position = map_detail::lower_bound(leaf_keys(), n, start);
        return MapIter::over_root_leaf(leaf_keys(), leaf_values(), static_cast<u32>(n),
                                       static_cast<u32>(position));
    }
    if (root_state == ROOT_TREE) return MapIter::from_tree_range(root, start);
    return MapIter{};
}

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
    InsertResult out;
    if (core.root_state != ROOT_TREE) {
        if (leaf_put<KeepExisting>(core, alloc, key, value, out)) return out;
        return convert_to_tree<KeepExisting>(key, value);
    }
    if (path.len != 0 && (key >> 8) == path.prefix && put_hot<KeepExisting>(key, value, out))
        return out;
    clear_path();
    tree_insert<KeepExisting>(out, core.root, key, value, path, nullptr);
    if (!out.existed) ++core.len;
    return out;
}

// The hot-leaf fast path. False when it declines; the caller then takes the
// full insert.
template <bool KeepExisting>
bool TolvaneMap::put_hot(u64 key, u64 value, InsertResult& out) {
    if (path.hot_bitmap != nullptr) {
        auto* leaf = static_cast<LeafBitmapL*>(path.hot_bitmap);
        const unsigned g = static_cast<unsigned>(key >> 5) & 7;
        const u32 bit = u32{1} << (key & 31);
        const u32 group = leaf->bitmap[g];
        const unsigned i = popcount32(group & (bit - 1));
        u64* values = leaf->value_subarrays[g];
        if (group & bit) {
            out = {1, values[i], values + i};
            if (!KeepExisting) values[i] = value;
            return true;
        }
        const unsigned c = popcount32(group);
        if (c == 0) {
            values = static_cast<u64*>(alloc.allocate_zeroed(value_array_bytes(1)));
        } else if (same_class(c, c + 1)) {
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
        out = {0, 0, values + i};
        return true;
    }
    if (path.hot_linear != nullptr) {
        const u64 n = path.hot_count;
        u8* block = path.hot_linear;
        auto* values = reinterpret_cast<u64*>(block);
        u8* keys = block + map_leaf_key_offset(n);
        const u8 d = static_cast<u8>(key);
        const u8 last = keys[n - 1];
        if (d == last) {
            out = {1, values[n - 1], values + n - 1};
            if (!KeepExisting) values[n - 1] = value;
            return true;
        }
        if (d > last && n >= 3 && n <= 23 && same_class(n, n + 1)) {
            keys[n] = d;
            values[n] = value;
            path.edges[0]->set_byte(8, static_cast<u8>(n));
            path.hot_count = static_cast<u16>(n + 1);
            ++path.pending;
            ++core.len;
            out = {0, 0, values + n};
            return true;
        }
    }
    return false;
}

// The 32nd key: the 31 root-leaf entries and the new one go into a private
// edge, which then replaces the root leaf.
template <bool KeepExisting>
InsertResult TolvaneMap::convert_to_tree(u64 key, u64 value) {
    const u64 n = core.leaf_count();
    const u64* keys = core.leaf_keys();
    const u64* values = core.leaf_values();
    Edge built;
    u32 private_word = 0;
    InsertResult out;
    for (u64 i = 0; i < n; ++i) {
        InsertPath scratch;
        tree_insert<false>(out, built, keys[i], values[i], scratch, &private_word);
    }
    tree_insert<KeepExisting>(out, built, key, value, path, &private_word);
    // The path names `built`, a local edge about to be copied into the root:
    // forget it, or a later flush would write into a dead frame. Nothing is
    // pending on a path that was just filled.
    path.reset();
    alloc.release(core.root.ptr<void>(), map_root_leaf_bytes(n), 16);
    core.len = n + 1;
    core.root = built;
    core.root_state = ROOT_TREE;
    // The value word lies inside a node, never in the moved edge, but find
    // it again rather than rely on that.
    out.slot = get::locate_slot(&core.root, key, 8);
    require(out.slot != nullptr, "just-ensured key");
    return {0, 0, out.slot};
}

InsertOutcome TolvaneMap::insert(u64 key, u64 value) noexcept {
    const InsertResult r = put<false>(key, value);
    return {r.existed != 0, r.old};
}

u64* TolvaneMap::ensure_slot(u64 key, u64 initial) noexcept { return put<true>(key, initial).slot; }

RemoveOutcome TolvaneMap::remove(u64 key) noexcept {
    clear_path();
    if (core.root_state == ROOT_EMPTY) return {};
    if (core.root_state == ROOT_LEAF) return leaf_take(core, alloc, key);
    const mutate_map::RemoveResult r = mutate::map_remove(alloc, core.root, key);
    const RemoveOutcome removed{r.found, r.value};
    if (!removed.found) return removed;
    --core.len;
    if (core.len > forms::ROOT_LEAF_CONDENSE_AT) return removed;
    // The tree word (when the root is covered) is odd across the change of
    // the root state.
    mutate::slot_version_begin(alloc, 0, nullptr);
    if (core.len == 0)
        core.root_state = ROOT_EMPTY;
    else
        condense();
    mutate::slot_version_end(alloc, 0, nullptr);
    return removed;
}

void TolvaneMap::condense() {
    if (core.root_state != ROOT_TREE)
        fatal("internal error: entered unreachable code: condense outside tree state");
    u64* block = root_leaf::gather<true>(alloc, core.root, core.len);
    clear_path();
    mutate::free_tree<true>(alloc, core.root);
    set_leaf(core, block, core.len);
    core.root_state = ROOT_LEAF;
}

void TolvaneMap::clear_entries() noexcept {
    clear_path();
    if (core.root_state == ROOT_TREE) {
        mutate::free_tree<true>(alloc, core.root);
    } else if (core.root_state == ROOT_LEAF) {
        alloc.release(core.root.ptr<void>(), map_root_leaf_bytes(core.leaf_count()), 16);
    }
    core.root_state = ROOT_EMPTY;
}

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

bool TolvaneMap::contains_key(u64 key) const {
    if (core.root_state == ROOT_LEAF)
        return map_detail::leaf_find(core.leaf_keys(), core.leaf_count(), key).has_value();
    if (core.root_state == ROOT_TREE) return get::locate_slot(&core.root, key, 8) != nullptr;
    return false;
}

std::optional<KeyValue> TolvaneMap::next_at_or_after(u64 k) const {
    if (core.root_state == ROOT_LEAF && core.leaf_count() != 0) {
        const u64 i = map_detail::lower_bound(core.leaf_keys(), core.leaf_count(), k);
        if (i == core.leaf_count()) return std::nullopt;
        return leaf_kv(core, i);
    }
    if (core.root_state == ROOT_TREE) return nav::next<true>(core.root, k, 8);
    return std::nullopt;
}

std::optional<KeyValue> TolvaneMap::next_after(u64 k) const {
    if (k == ~u64{0}) return std::nullopt;
    return next_at_or_after(k + 1);
}

std::optional<KeyValue> TolvaneMap::prev_at_or_before(u64 k) const {
    if (core.root_state == ROOT_LEAF && core.leaf_count() != 0) {
        const u64 i = map_detail::upper_bound(core.leaf_keys(), core.leaf_count(), k);
        if (i == 0) return std::nullopt;
        return leaf_kv(core, i - 1);
    }
    if (core.root_state == ROOT_TREE) return nav::prev<true>(core.root, k, 8);
    return std::nullopt;
}

std::optional<KeyValue> TolvaneMap::prev_before(u64 k) const {
    if (k == 0) return std::nullopt;
    return prev_at_or_before(k - 1);
}

std::optional<KeyValue> TolvaneMap::last() const { return prev_at_or_before(~u64{0}); }

u64 TolvaneMap::count_below(u64 k) {
    settle();
    if (core.root_state == ROOT_LEAF && core.leaf_count() != 0)
        return map_detail::lower_bound(core.leaf_keys(), core.leaf_count(), k);
    if (core.root_state == ROOT_TREE) return nav::count_below<true>(core.root, k, 8, size());
    return 0;
}

u64 TolvaneMap::count_range(u64 start, u64 end) {
    settle();
    if (start > end) return 0;
    const u64 below_end = count_below(end);
    const u64 present = contains_key(end) ? 1 : 0;
    return below_end + present - count_below(start);
}

std::optional<KeyValue> TolvaneMap::by_count(u64 r) {
    settle();
    if (r >= size()) return std::nullopt;
    if (core.root_state == ROOT_LEAF) return leaf_kv(core, r);
    return nav::by_count<true>(core.root, r, 8, size());
}

std::optional<std::string> TolvaneMap::validate_defensive() {
    settle();
    if (core.root_state == ROOT_LEAF) {
        const u64 n = core.leaf_count();
        if (n == 0 || n > ROOT_LEAF_MAX)
            return "root leaf pop " + std::to_string(n) + " out of range";
        const u64* keys = core.leaf_keys();
        for (u64 j = 1; j < n; ++j)
            if (keys[j - 1] >= keys[j]) return std::string("root leaf keys unsorted");
        return std::nullopt;
    }
    if (core.root_state != ROOT_TREE) return std::nullopt;
    if (core.root.tag_byte() == TAG_EMPTY) return std::string("tree root with null top");
    ValidateStats stats{};
    const validate::Validation v =
        validate::tolvane_validate_and_stats<true>(core.root, 8, stats, 0);
    if (!v.ok()) return v.error;
    if (v.population != core.len)
        return "total population " + std::to_string(core.len) + " disagrees with tree " +
               std::to_string(v.population);
    return std::nullopt;
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
