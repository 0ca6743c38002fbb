// The Python class TolvaneOrderedBytesMap: a sorted map from arbitrary byte
// strings (any byte, the empty key included) to unsigned 64-bit integers,
// owning one engine ordered byte map by value and bound to the thread that
// created it. Keys always come back as bytes; its iterators yield snapshots
// taken by one in-order walk.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "frame/keyed_map.hpp"
#include "frame/method_table.hpp"
#include "frame/snapshot_iter.hpp"
#include "str/classes.hpp"
#include "tolvane/str/ordered_bytes_map.hpp"

namespace tolvane::py {
namespace {

using Engine = tolvane::TolvaneOrderedBytesMap;
using Item = std::pair<BytesKeyCopy, std::uint64_t>;

constexpr IterClassInfo kIterators[] = {
    {TOLVANE_CLASS_NAME("TolvaneOrderedBytesMapKeyIter"),
     "_tolvane::ordered_bytesmap::TolvaneOrderedBytesMapKeyIter",
     "Key iterator for [`TolvaneOrderedBytesMap`]."},
    {TOLVANE_CLASS_NAME("TolvaneOrderedBytesMapValueIter"),
     "_tolvane::ordered_bytesmap::TolvaneOrderedBytesMapValueIter",
     "Value iterator for [`TolvaneOrderedBytesMap`]."},
    {TOLVANE_CLASS_NAME("TolvaneOrderedBytesMapItemIter"),
     "_tolvane::ordered_bytesmap::TolvaneOrderedBytesMapItemIter",
     "Item iterator for [`TolvaneOrderedBytesMap`]."},
};
using KeyIter = SnapshotIter<kIterators[0], BytesKeyCopy>;
using ValueIter = SnapshotIter<kIterators[1], std::uint64_t>;
using ItemIter = SnapshotIter<kIterators[2], Item>;

// Release frees every node, word map and suffix block, then the allocator.
struct OrderedBytesMapClass : KeyedEngine<Engine> {
    static constexpr const char* name = "TolvaneOrderedBytesMap";
    static constexpr const char* missing = "Key not found in TolvaneOrderedBytesMap";
    static constexpr const char* type_path = "_tolvane::ordered_bytesmap::TolvaneOrderedBytesMap";
    static ClassSpec spec;

    static std::optional<buffer::KeyBytes> key(PyObject* obj) { return buffer::extract_bytes_key(obj); }
    static std::uint64_t size(const Native& map) { return map.map.len; }
    static std::optional<std::uint64_t> erase(Native& map, std::string_view k) { return map.remove(k); }
};
using Shared = KeyedMap<OrderedBytesMapClass>;
using Obj = Shared::Obj;

constexpr Borrow S = Borrow::Shared;
constexpr Borrow X = Borrow::Exclusive;

// (bytes key, value), or None.
PyObject* entry_result(const std::optional<StrEntry>& found) {
    if (!found) return none_result();
    Ref k(PyBytes_FromStringAndSize(found->key.data(), static_cast<Py_ssize_t>(found->key.size())));
    if (!k) return nullptr;
    Ref v(u64_result(*found->value));
    if (!v) return nullptr;
    return PyTuple_Pack(2, k.get(), v.get());
}

// ---- slots of values ------------------------------------------------------------

PyObject* slot(Obj& o, Args& a) {
    auto key = buffer::extract_bytes_key(a[0]);
    if (!key) return nullptr;
    return optional_u64_result(o.native.get(key->view()));
}

PyObject* ins_slot(Obj& o, Args& a) {
    auto key = buffer::extract_bytes_key(a[0]);
    if (!key) return nullptr;
    if (auto value = o.native.get(key->view())) return u64_result(*value);
    o.native.insert(key->view(), 0);
    return u64_result(0);
}

// ---- memory -------------------------------------------------------------------

PyObject* clear(Obj& o) {
    o.native.map.clear();
    return none_result();
}
PyObject* mem_used(Obj& o) { return u64_result(o.native.map.live_bytes()); }
PyObject* mem_held(Obj& o) { return u64_result(o.native.map.held_bytes()); }
PyObject* shrink_to_fit(Obj& o) { return u64_result(o.native.map.alloc.release_free()); }

// ---- neighbours -----------------------------------------------------------------

PyObject* first(Obj& o) { return entry_result(o.native.first()); }
PyObject* last(Obj& o) { return entry_result(o.native.last()); }

template <std::optional<StrEntry> (Engine::*Find)(std::string_view)>
PyObject* neighbour(Obj& o, Args& a) {
    auto key = buffer::extract_bytes_key(a[0]);
    if (!key) return nullptr;
    return entry_result((o.native.*Find)(key->view()));
}

// ---- snapshots ------------------------------------------------------------------

// `take(key, value)` for every entry in ascending key order, keys decoded.
template <class Take>
void walk_entries(Engine& map, Take&& take) {
    OrderedBytesCursor cursor(map);
    while (auto entry = cursor.next_owned()) take(std::move(entry->first), entry->second);
}

PyObject* keys(Obj& o) {
    std::vector<BytesKeyCopy> snapshot;
    snapshot.reserve(o.native.map.len);
    walk_entries(o.native, [&](std::string&& k, std::uint64_t) { snapshot.push_back({std::move(k)}); });
    return KeyIter::create(std::move(snapshot));
}

PyObject* values(Obj& o) {
    std::vector<std::uint64_t> snapshot;
    snapshot.reserve(o.native.map.len);
    walk_entries(o.native, [&](std::string&&, std::uint64_t v) { snapshot.push_back(v); });
    return ValueIter::create(std::move(snapshot));
}

PyObject* items(Obj& o) {
    std::vector<Item> snapshot;
    snapshot.reserve(o.native.map.len);
    walk_entries(o.native, [&](std::string&& k, std::uint64_t v) {
        snapshot.emplace_back(BytesKeyCopy{std::move(k)}, v);
    });
    return ItemIter::create(std::move(snapshot));
}

PyObject* iterate(PyObject* self) { return call_plain<OrderedBytesMapClass, S>(self, keys); }

// ---- class definition -------------------------------------------------------------

constexpr const char* kName = "TolvaneOrderedBytesMap";
constexpr Signature kSlot = signature(kName, "slot", {"key"}, 1);
constexpr Signature kInsSlot = signature(kName, "ins_slot", {"key"}, 1);
constexpr Signature kNextAtOrAfter = signature(kName, "next_at_or_after", {"key"}, 1);
constexpr Signature kNextAfter = signature(kName, "next_after", {"key"}, 1);
constexpr Signature kPrevAtOrBefore = signature(kName, "prev_at_or_before", {"key"}, 1);
constexpr Signature kPrevBefore = signature(kName, "prev_before", {"key"}, 1);

PyMethodDef* methods() {
    // Made once and never freed: the class object points into it for good.
    static auto& t = *new MethodTable<OrderedBytesMapClass>;
    t.noargs<S, Shared::is_empty>("is_empty", "True when no entries are in the map.")
        .keywords<S, Shared::kContains, Shared::contains>("Returns True if key exists in the map.")
        .keywords<S, Shared::kGet, Shared::get>(
            "Look up `key`, returning `default` (or None) if absent.")
        .keywords<X, Shared::kInsert, Shared::insert>(
            "Inserts `key -> val`; returns the previous value, if any.")
        .keywords<X, Shared::kRemove, Shared::remove>(
            "Removes `key`; returns its value or None if missing.")
        .keywords<S, kSlot, slot>(
            "Value stored for `key`, or None when absent.\n\nPython has no writable value pointer, "
            "so this reads the slot's value; store through `map[key] = val`.")
        .keywords<X, kInsSlot, ins_slot>(
            "Inserts `key` with value 0 if absent (an existing value is kept) and returns its "
            "value.\n\nPython has no writable value pointer; store through `map[key] = val`.")
        .noargs<X, clear>("clear", "Removes all entries and releases memory.")
        .noargs<S, mem_used>("mem_used", "Heap bytes used by the live structure.")
        .noargs<S, mem_held>("mem_held",
                             "Heap bytes held by the map: live structure plus retained free "
                             "capacity.")
        .noargs<X, shrink_to_fit>("shrink_to_fit",
                                  "Releases retained free capacity; returns the bytes released.")
        .noargs<S, first>("first",
                          "Smallest entry `(key, value)` in byte-lexicographic order, or None when "
                          "empty.")
        .noargs<S, last>("last",
                         "Largest entry `(key, value)` in byte-lexicographic order, or None when "
                         "empty.")
        .keywords<S, kNextAtOrAfter, neighbour<&Engine::next_at_or_after>>(
            "Smallest entry with key `>= key`, or None.")
        .keywords<S, kNextAfter, neighbour<&Engine::next_after>>(
            "Smallest entry with key `> key`, or None.")
        .keywords<S, kPrevAtOrBefore, neighbour<&Engine::prev_at_or_before>>(
            "Largest entry with key `<= key`, or None.")
        .keywords<S, kPrevBefore, neighbour<&Engine::prev_before>>(
            "Largest entry with key `< key`, or None.")
        .noargs<S, keys>("keys", "Returns an iterator of all byte keys in ascending order.")
        .noargs<S, values>("values", "Returns an iterator of all values in ascending key order.")
        .noargs<S, items>("items",
                          "Returns an iterator of `(key, value)` pairs in ascending key order.");
    return t.finish();
}

ClassSpec OrderedBytesMapClass::spec{
    TOLVANE_CLASS_NAME("TolvaneOrderedBytesMap"),
    "TolvaneOrderedBytesMap()\n--\n\nAn ordered map from arbitrary byte-string keys to 64-bit "
    "unsigned integers.\n\nKeys compare as unsigned bytes in lexicographic order, so a key sorts "
    "before any longer key it\nprefixes. Keys may be empty and may contain any byte, including "
    "`0x00` and `0xFF`. Unlike\n`TolvaneBytesMap` (unordered), this map supports ordered "
    "navigation.",
    sizeof(Obj), Shared::slots(methods(), iterate)};

}  // namespace

ClassSpec& ordered_bytes_map_class() { return OrderedBytesMapClass::spec; }
ClassSpec& ordered_bytes_map_key_iter_class() { return KeyIter::spec; }
ClassSpec& ordered_bytes_map_value_iter_class() { return ValueIter::spec; }
ClassSpec& ordered_bytes_map_item_iter_class() { return ItemIter::spec; }

}  // namespace tolvane::py
