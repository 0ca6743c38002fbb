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
#include "frame/dict_items.hpp"
#include "frame/method_table.hpp"
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

struct BytesMapClass {
    using Native = Engine;
    static constexpr bool thread_bound = true;
    static constexpr const char* type_path = "_tolvane::bytesmap::TolvaneBytesMap";
    static ClassSpec spec;
    // Disposes every bucket and key copy, then the trie and its allocator.
    static void release(Native& map) { std::destroy_at(&map); }
};
using Obj = Instance<BytesMapClass>;

constexpr Borrow S = Borrow::Shared;
constexpr Borrow X = Borrow::Exclusive;

bool set_key_error() {
    PyErr_SetString(PyExc_KeyError, "Key not found in TolvaneBytesMap");
    return false;
}

// The optional u64 parameter `i`: absent when left out or None.
bool optional_u64(Args& a, int i, std::optional<std::uint64_t>& out) {
    if (!a.present(i)) return true;
    std::uint64_t value;
    if (!a.u64(i, value)) return false;
    out = value;
    return true;
}

// ---- method bodies ------------------------------------------------------------

PyObject* is_empty(Obj& o) { return bool_result(o.native.len == 0); }

PyObject* contains(Obj& o, Args& a) {
    auto key = buffer::extract_bytes_key(a[0]);
    if (!key) return nullptr;
    return bool_result(o.native.get(key->view()).has_value());
}

// `default` is converted before the key is read, so a bad default fails
// even for a present key.
PyObject* get(Obj& o, Args& a) {
    std::optional<std::uint64_t> fallback;
    if (!optional_u64(a, 1, fallback)) return nullptr;
    auto key = buffer::extract_bytes_key(a[0]);
    if (!key) return nullptr;
    if (auto value = o.native.get(key->view())) return u64_result(*value);
    return optional_u64_result(fallback);
}

PyObject* insert(Obj& o, Args& a) {
    std::uint64_t value;
    if (!a.u64(1, value)) return nullptr;
    auto key = buffer::extract_bytes_key(a[0]);
    if (!key) return nullptr;
    return optional_u64_result(o.native.insert(key->view(), value));
}

PyObject* remove(Obj& o, Args& a) {
    auto key = buffer::extract_bytes_key(a[0]);
    if (!key) return nullptr;
    return optional_u64_result(o.native.remove_impl(key->view()));
}

PyObject* pop(Obj& o, Args& a) {
    std::optional<std::uint64_t> fallback;
    if (!optional_u64(a, 1, fallback)) return nullptr;
    auto key = buffer::extract_bytes_key(a[0]);
    if (!key) return nullptr;
    if (auto value = o.native.remove_impl(key->view())) return u64_result(*value);
    if (fallback) return u64_result(*fallback);
    set_key_error();
    return nullptr;
}

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
        Ref args(value ? PyTuple_Pack(2, key.get(), value.get()) : nullptr);
        Ref result(args ? PyObject_Call(callback, args.get(), nullptr) : nullptr);
        if (!result) pending = take_raised_exception();
    });
    if (pending) {
        raise_exception(std::move(pending));
        return nullptr;
    }
    return none_result();
}

// ---- update ---------------------------------------------------------------------

// A dict is read entry by entry (key, then value); anything else must yield
// (key, value) tuples (value, then key). Errors carry no note.
bool update_from(Engine& map, PyObject* other) {
    std::optional<buffer::KeyBytes> key;
    std::uint64_t value = 0;
    if (PyDict_Check(other)) {
        return for_each_dict_item(
            other,
            [&](PyObject* k, PyObject* v) {
                key.reset();
                auto extracted = buffer::extract_bytes_key(k);
                if (!extracted) return false;
                key.emplace(std::move(*extracted));
                return to_u64(v, value);
            },
            [&] { map.insert(key->view(), value); });
    }
    Ref iterator(PyObject_GetIter(other));
    if (!iterator) return false;
    while (Ref item{PyIter_Next(iterator.get())}) {
        PyObject* key_object;
        if (!to_object_u64_pair(item.get(), key_object, value)) return false;
        auto extracted = buffer::extract_bytes_key(key_object);
        if (!extracted) return false;
        map.insert(extracted->view(), value);
    }
    return !PyErr_Occurred();
}

PyObject* update(Obj& o, Args& a) { return update_from(o.native, a[0]) ? none_result() : nullptr; }

// ---- slots ----------------------------------------------------------------------

PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature kNew{"TolvaneBytesMap", "__new__", {}, 0, 0};
    return raising_memory_error(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        Args parsed(kNew);
        if (!parsed.parse_tuple_dict(args, kwargs)) return nullptr;
        return allocate<BytesMapClass>().release();
    });
}

PyObject* empty_property(PyObject* self, void*) { return noargs_entry<BytesMapClass, S, is_empty>(self, nullptr); }

Py_ssize_t length(PyObject* self) {
    return with_object<BytesMapClass, S>(self, Py_ssize_t{-1},
                                         [](Obj& o) { return length_result(o.native.len); });
}

int truth(PyObject* self) {
    return with_object<BytesMapClass, S>(self, -1, [](Obj& o) { return o.native.len != 0 ? 1 : 0; });
}

int contains_slot(PyObject* self, PyObject* operand) {
    return with_object<BytesMapClass, S>(self, -1, [&](Obj& o) {
        auto key = buffer::extract_bytes_key(operand);
        if (!key) return -1;
        return o.native.get(key->view()) ? 1 : 0;
    });
}

PyObject* item(PyObject* self, PyObject* operand) {
    return call_plain<BytesMapClass, S>(self, [&](Obj& o) -> PyObject* {
        auto key = buffer::extract_bytes_key(operand);
        if (!key) return nullptr;
        if (auto value = o.native.get(key->view())) return u64_result(*value);
        set_key_error();
        return nullptr;
    });
}

int assign_item(PyObject* self, PyObject* operand, PyObject* assigned) {
    return with_object<BytesMapClass, X>(self, -1, [&](Obj& o) {
        std::uint64_t value = 0;
        if (assigned != nullptr && !slot_u64(assigned, "val", value)) return -1;
        auto key = buffer::extract_bytes_key(operand);
        if (!key) return -1;
        if (assigned != nullptr) {
            o.native.insert(key->view(), value);
            return 0;
        }
        if (o.native.remove_impl(key->view())) return 0;
        set_key_error();
        return -1;
    });
}

PyObject* iterate(PyObject* self) { return call_plain<BytesMapClass, S>(self, keys); }

PyObject* representation(PyObject* self) {
    return call_plain<BytesMapClass, S>(self, [](Obj& o) {
        return PyUnicode_FromFormat("TolvaneBytesMap(len=%llu)",
                                    static_cast<unsigned long long>(o.native.len));
    });
}

// ---- class definition -------------------------------------------------------------

constexpr Signature kContains = signature("TolvaneBytesMap", "contains", {"key"}, 1);
constexpr Signature kContainsKey = signature("TolvaneBytesMap", "contains_key", {"key"}, 1);
constexpr Signature kGet = signature("TolvaneBytesMap", "get", {"key", "default"}, 1);
constexpr Signature kInsert = signature("TolvaneBytesMap", "insert", {"key", "val"}, 2);
constexpr Signature kRemove = signature("TolvaneBytesMap", "remove", {"key"}, 1);
constexpr Signature kPop = signature("TolvaneBytesMap", "pop", {"key", "default"}, 1);
constexpr Signature kForEach = signature("TolvaneBytesMap", "for_each", {"callback"}, 1);
constexpr Signature kUpdate = signature("TolvaneBytesMap", "update", {"other"}, 1);

PyMethodDef* methods() {
    // Made once and never freed: the class object points into it for good.
    static auto& t = *new MethodTable<BytesMapClass>;
    t.noargs<S, is_empty>("is_empty", "True when no entries are in the map.\nTrue when empty.")
        .keywords<S, kContains, contains>("($self, key)", "Returns True if key exists in the map.")
        .keywords<S, kContainsKey, contains>("($self, key)",
                                             "Returns True if key exists in the map.")
        .keywords<S, kGet, get>("($self, key, default=None)",
                                "Look up `key`, returning `default` (or None) if absent.")
        .keywords<X, kInsert, insert>("($self, key, val)",
                                      "Inserts `key -> val`; returns previous value, if any.")
        .keywords<X, kRemove, remove>("($self, key)",
                                      "Removes `key`; returns its value or None if missing.")
        .keywords<X, kPop, pop>("($self, key, default=None)",
                                "Removes `key` and returns its value. If `key` is absent, returns "
                                "`default`\nif given, otherwise raises `KeyError`.")
        .noargs<X, clear>("clear", "Removes all entries and releases memory.")
        .noargs<S, mem_used>("mem_used", "Heap bytes used by the hash trie and buckets.")
        .noargs<S, keys>("keys", "Returns an iterator of all byte keys.")
        .noargs<S, values>("values", "Returns an iterator of all values.")
        .keywords<S, kForEach, for_each>(
            "($self, callback)", "Iterates over all (key, value) pairs with a Python callback.")
        .noargs<S, items>("items", "Returns an iterator of `(key, value)` pairs.")
        .keywords<X, kUpdate, update>(
            "($self, other)",
            "Updates the map from another mapping or iterable of `(key, value)` pairs.");
    return t.finish();
}

PyGetSetDef properties[] = {
    {"empty", empty_property, nullptr, "Property returning True if empty.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&construct)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate<BytesMapClass>)},
    {Py_tp_methods, methods()},
    {Py_tp_getset, properties},
    {Py_mp_length, reinterpret_cast<void*>(&length)},
    {Py_nb_bool, reinterpret_cast<void*>(&truth)},
    {Py_sq_contains, reinterpret_cast<void*>(&contains_slot)},
    {Py_mp_subscript, reinterpret_cast<void*>(&item)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(&assign_item)},
    {Py_tp_iter, reinterpret_cast<void*>(&iterate)},
    {Py_tp_repr, reinterpret_cast<void*>(&representation)},
    {0, nullptr},
};

ClassSpec BytesMapClass::spec{
    TOLVANE_CLASS_NAME("TolvaneBytesMap"),
    "TolvaneBytesMap()\n--\n\nA sparse, dynamic, unordered map from arbitrary byte keys (including "
    "NUL bytes) to 64-bit unsigned integers.",
    sizeof(Obj), slots};

}  // namespace

ClassSpec& bytes_map_class() { return BytesMapClass::spec; }
ClassSpec& bytes_map_key_iter_class() { return KeyIter::spec; }
ClassSpec& bytes_map_value_iter_class() { return ValueIter::spec; }
ClassSpec& bytes_map_item_iter_class() { return ItemIter::spec; }

}  // namespace tolvane::py
