// The Python class TolvaneBytesMap: an unordered map from arbitrary byte
// strings to unsigned 64-bit integers, owning one engine byte map by value
// and bound to the thread that created it. Keys are str (as UTF-8), bytes
// (read in place) or bytearray (copied); its order is the engine's hash
// order, so there are no ordered queries. Its iterators yield snapshots.

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "bytes/classes.hpp"
#include "frame/buffer.hpp"
#include "frame/keyed_map.hpp"
#include "frame/method_table.hpp"
#include "frame/python_call.hpp"
#include "frame/raised.hpp"
#include "frame/snapshot_iter.hpp"
#include "tolvane/bytes/bytes_map.hpp"

namespace tolvane::py {
namespace {

using Engine = tolvane::TolvaneBytesMap;
using Item = std::pair<BytesKeyCopy, std::uint64_t>;

constexpr IterClassInfo kIterators[] = {
    {TOLVANE_CLASS_NAME("TolvaneBytesMapKeyIter"), "_tolvane::bytesmap::TolvaneBytesMapKeyIter",
     "Key iterator for [`TolvaneBytesMap`]."},
    {TOLVANE_CLASS_NAME("TolvaneBytesMapValueIter"),
     "_tolvane::bytesmap::TolvaneBytesMapValueIter", "Value iterator for [`TolvaneBytesMap`]."},
    {TOLVANE_CLASS_NAME("TolvaneBytesMapItemIter"), "_tolvane::bytesmap::TolvaneBytesMapItemIter",
     "Item iterator for [`TolvaneBytesMap`]."},
};
using KeyIter = SnapshotIter<kIterators[0], BytesKeyCopy>;
using ValueIter = SnapshotIter<kIterators[1], std::uint64_t>;
using ItemIter = SnapshotIter<kIterators[2], Item>;

// Release disposes every bucket and key copy, then the trie and its allocator.
struct BytesMapClass : KeyedEngine<Engine> {
    static constexpr const char* name = "TolvaneBytesMap";
    static constexpr const char* missing = "Key not found in TolvaneBytesMap";
    static constexpr const char* type_path = "_tolvane::bytesmap::TolvaneBytesMap";
    static ClassSpec spec;

    static std::optional<buffer::KeyBytes> key(PyObject* obj) { return buffer::extract_bytes_key(obj); }
    static std::uint64_t size(const Native& map) { return map.len; }
    static std::optional<std::uint64_t> erase(Native& map, std::string_view k) {
        return map.remove_impl(k);
    }
};
using Shared = KeyedMap<BytesMapClass>;
using Obj = Shared::Obj;

constexpr Borrow S = Borrow::Shared;
constexpr Borrow X = Borrow::Exclusive;

// ---- method bodies ------------------------------------------------------------

PyObject* clear(Obj& o) {
    o.native.clear_entries();
    o.native.map.alloc.release_free();
    return none_result();
}

PyObject* mem_used(Obj& o) { return u64_result(o.native.mem_used()); }

// ---- snapshots and the live walk ------------------------------------------------

PyObject* keys(Obj& o) {
    std::vector<BytesKeyCopy> snapshot;
    snapshot.reserve(o.native.len);
    o.native.for_each([&](std::string_view k, std::uint64_t) { snapshot.push_back({std::string(k)}); });
    return KeyIter::create(std::move(snapshot));
}

PyObject* values(Obj& o) {
    std::vector<std::uint64_t> snapshot;
    snapshot.reserve(o.native.len);
    o.native.for_each([&](std::string_view, std::uint64_t v) { snapshot.push_back(v); });
    return ValueIter::create(std::move(snapshot));
}

PyObject* items(Obj& o) {
    std::vector<Item> snapshot;
    snapshot.reserve(o.native.len);
    o.native.for_each([&](std::string_view k, std::uint64_t v) {
        snapshot.emplace_back(BytesKeyCopy{std::string(k)}, v);
    });
    return ItemIter::create(std::move(snapshot));
}

// The map is walked live under the shared borrow, so the callback can read
// it but any change it tries meets "Already borrowed". After the first
// failing call no further call is made; the walk itself runs to its end.
PyObject* for_each(Obj& o, Args& a) {
    PyObject* callback = a[0];
    Ref pending;
    o.native.for_each([&](std::string_view k, std::uint64_t v) {
        if (pending) return;
        Ref key(PyBytes_FromStringAndSize(k.data(), static_cast<Py_ssize_t>(k.size())));
        Ref value(key ? u64_result(v) : nullptr);
        Ref result(value ? call_python(callback, key.get(), value.get()) : nullptr);
        if (!result) pending = take_raised_exception();
    });
    if (pending) {
        raise_exception(std::move(pending));
        return nullptr;
    }
    return none_result();
}

// ---- iteration slot ------------------------------------------------------------

PyObject* iterate(PyObject* self) { return call_plain<BytesMapClass, S>(self, keys); }

// ---- class definition -------------------------------------------------------------

constexpr Signature kForEach = signature("TolvaneBytesMap", "for_each", {"callback"}, 1);

PyMethodDef* methods() {
    // Made once and never freed: the class object points into it for good.
    static auto& t = *new MethodTable<BytesMapClass>;
    t.noargs<S, Shared::is_empty>("is_empty",
                                  "True when no entries are in the map.\nTrue when empty.")
        .keywords<S, Shared::kContains, Shared::contains>("Returns True if key exists in the map.")
        .keywords<S, Shared::kContainsKey, Shared::contains>(
            "Returns True if key exists in the map.")
        .keywords<S, Shared::kGet, Shared::get>(
            "Look up `key`, returning `default` (or None) if absent.")
        .keywords<X, Shared::kInsert, Shared::insert>(
            "Inserts `key -> val`; returns previous value, if any.")
        .keywords<X, Shared::kRemove, Shared::remove>(
            "Removes `key`; returns its value or None if missing.")
        .keywords<X, Shared::kPop, Shared::pop>(
            "Removes `key` and returns its value. If `key` is absent, returns `default`\nif given, "
            "otherwise raises `KeyError`.")
        .noargs<X, clear>("clear", "Removes all entries and releases memory.")
        .noargs<S, mem_used>("mem_used", "Heap bytes used by the hash trie and buckets.")
        .noargs<S, keys>("keys", "Returns an iterator of all byte keys.")
        .noargs<S, values>("values", "Returns an iterator of all values.")
        .keywords<S, kForEach, for_each>(
            "Iterates over all (key, value) pairs with a Python callback.")
        .noargs<S, items>("items", "Returns an iterator of `(key, value)` pairs.")
        .keywords<X, Shared::kUpdate, Shared::update>(
            "Updates the map from another mapping or iterable of `(key, value)` pairs.");
    return t.finish();
}

ClassSpec BytesMapClass::spec{
    TOLVANE_CLASS_NAME("TolvaneBytesMap"),
    "TolvaneBytesMap()\n--\n\nA sparse, dynamic, unordered map from arbitrary byte keys (including "
    "NUL bytes) to 64-bit unsigned integers.",
    sizeof(Obj), Shared::slots(methods(), iterate)};

}  // namespace

ClassSpec& bytes_map_class() { return BytesMapClass::spec; }
ClassSpec& bytes_map_key_iter_class() { return KeyIter::spec; }
ClassSpec& bytes_map_value_iter_class() { return ValueIter::spec; }
ClassSpec& bytes_map_item_iter_class() { return ItemIter::spec; }

}  // namespace tolvane::py
