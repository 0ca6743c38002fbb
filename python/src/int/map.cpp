// The Python class TolvaneMap: a sparse, ordered map from unsigned 64-bit
// integers to unsigned 64-bit integers, owning one engine map by value and
// bound to the thread that created it. Every method is the frame's call
// sequence around one engine operation; what it shares with TolvaneSet lives
// in int_container.hpp, what is the map's own lives here.

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "frame/buffer.hpp"
#include "frame/key_order.hpp"
#include "frame/python_call.hpp"
#include "int/classes.hpp"
#include "int/int_container.hpp"
#include "tolvane/int/ascending.hpp"
#include "tolvane/int/map.hpp"

namespace tolvane::py {
namespace {

using Engine = tolvane::TolvaneMap;

// Reads the dict's own entries in its order; overrides in a subclass are not
// consulted. Key and value are held for the whole step: converting the key
// may run Python code that removes the entry and would free a borrowed value.
bool insert_from_dict(Engine& map, PyObject* dict) {
    Ref hold = Ref::borrow(dict);
    const Py_ssize_t size = PyDict_Size(dict);
    Py_ssize_t expected = size;
    Py_ssize_t position = 0;
    for (;;) {
        if (PyDict_Size(dict) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
        if (expected < 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return false;
        }
        PyObject* raw_key;
        PyObject* raw_value;
        if (!PyDict_Next(dict, &position, &raw_key, &raw_value)) return true;
        --expected;
        Ref key_ref = Ref::borrow(raw_key);
        Ref value_ref = Ref::borrow(raw_value);
        std::uint64_t key, value;
        if (!to_u64(key_ref.get(), key) || !to_u64(value_ref.get(), value)) return false;
        map.insert(key, value);
    }
}

// Every item must be a (key, value) tuple; mappings other than dict are
// iterated like any iterable and so yield their keys.
bool insert_from_iterable(Engine& map, PyObject* items) {
    Ref iterator(PyObject_GetIter(items));
    if (!iterator) return false;
    while (Ref item{next_item(iterator.get())}) {
        std::uint64_t key, value;
        if (!to_u64_pair(item.get(), key, value)) return false;
        map.insert(key, value);
    }
    return !PyErr_Occurred();
}

bool is_dict(PyObject* obj) { return PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_DICT_SUBCLASS; }

struct MapClass {
    using Native = Engine;
    static constexpr bool thread_bound = true;
    static constexpr const char* name = "TolvaneMap";
    static constexpr const char* type_path = "_tolvane::map::TolvaneMap";
    static constexpr const char* constructor_parameter = "items";
    static ClassSpec spec;
    // The engine's destructor gives back every node, then drops its allocator.
    static void release(Native& map) { std::destroy_at(&map); }

    static bool has_key(const Native& map, std::uint64_t key) { return map.contains_key(key); }
    static void insert_item(Native& map, const KeyValue& entry) {
        map.insert(entry.key, entry.value);
    }
    // A dict is read entry by entry; anything else must yield (key, value) pairs.
    static bool insert_from(Native& map, PyObject* source) {
        return is_dict(source) ? insert_from_dict(map, source) : insert_from_iterable(map, source);
    }
    static PyObject* key_iterator(const Native& map) { return new_map_key_iter(map.keys()); }
};
using Shared = IntContainer<MapClass>;
using Obj = Shared::Obj;

constexpr Borrow S = Borrow::Shared;
constexpr Borrow X = Borrow::Exclusive;

bool set_key_error(std::uint64_t key) {
    Ref text(PyUnicode_FromFormat("Key %llu not found in TolvaneMap",
                                  static_cast<unsigned long long>(key)));
    if (text) PyErr_SetObject(PyExc_KeyError, text.get());
    return false;
}

// ---- method bodies: lookups --------------------------------------------------

PyObject* get(Obj& o, Args& a) {
    std::uint64_t key;
    std::optional<std::uint64_t> fallback;
    if (!key_and_default(a, key, fallback)) return nullptr;
    if (auto value = o.native.get(key)) return u64_result(*value);
    return optional_u64_result(fallback);
}

PyObject* get_batch(Obj& o, Args& a) {
    std::vector<std::uint64_t> keys;
    if (!a.u64_sequence(0, keys)) return nullptr;
    std::vector<std::optional<std::uint64_t>> answers;
    answers.reserve(keys.size());
    for (std::uint64_t key : keys) answers.push_back(o.native.get(key));
    return list_of(answers, optional_u64_result);
}

// ---- mutations --------------------------------------------------------------

PyObject* insert(Obj& o, Args& a) {
    std::uint64_t key, value;
    if (!a.u64(0, key) || !a.u64(1, value)) return nullptr;
    const auto result = o.native.insert(key, value);
    return result.existed ? u64_result(result.old) : none_result();
}

PyObject* remove(Obj& o, Args& a) {
    std::uint64_t key;
    if (!a.u64(0, key)) return nullptr;
    const auto result = o.native.remove(key);
    return result.found ? u64_result(result.value) : none_result();
}

PyObject* pop(Obj& o, Args& a) {
    std::uint64_t key;
    std::optional<std::uint64_t> fallback;
    if (!key_and_default(a, key, fallback)) return nullptr;
    const auto result = o.native.remove(key);
    if (result.found) return u64_result(result.value);
    if (fallback) return u64_result(*fallback);
    set_key_error(key);
    return nullptr;
}

// ---- validation and listings --------------------------------------------------

PyObject* validate_explain(Obj& o) {
    const auto report = o.native.validate_defensive();
    if (!report) return none_result();
    return PyUnicode_FromStringAndSize(report->data(), static_cast<Py_ssize_t>(report->size()));
}

PyObject* keys(Obj& o) { return u64_list_result(o.native.keys()); }

PyObject* values(Obj& o) { return u64_list_result(o.native.values()); }

// ---- bulk input -------------------------------------------------------------

PyObject* insert_many(Obj& o, Args& a) {
    auto keys = buffer::WordInput::of(a[0], "keys");
    if (!keys) return nullptr;
    // Iterating the values runs Python code, which could resize a bytearray
    // whose keys are read where they lie.
    if (!buffer::is_packed(a[1])) keys->keep_copy();
    auto values = buffer::WordInput::of(a[1], "values");
    if (!values) return nullptr;
    const std::size_t count = keys->count();
    if (!buffer::same_count(count, values->count())) return nullptr;
    // Both inputs are whole before anything is inserted: they go in key
    // order, a repeated key's values in the order given.
    auto pairs = key_order::sorted_pairs(keys->data(), values->data(), count);
    keys.reset();
    values.reset();
    pairs.consume([&](const KeyValue* run, std::size_t n) {
        tolvane::insert_ascending(o.native, run, n);
    });
    return u64_result(count);
}

// ---- item slots -------------------------------------------------------------

PyObject* item(PyObject* self, PyObject* operand) {
    return call_plain<MapClass, S>(self, [&](Obj& o) -> PyObject* {
        std::uint64_t key;
        if (!slot_u64(operand, "key", key)) return nullptr;
        if (auto value = o.native.get(key)) return u64_result(*value);
        set_key_error(key);
        return nullptr;
    });
}

int assign_item(PyObject* self, PyObject* operand, PyObject* assigned) {
    return with_object<MapClass, X>(self, -1, [&](Obj& o) {
        std::uint64_t key, value;
        if (!slot_u64(operand, "key", key)) return -1;
        if (assigned == nullptr) {
            if (o.native.remove(key).found) return 0;
            set_key_error(key);
            return -1;
        }
        if (!slot_u64(assigned, "val", value)) return -1;
        o.native.insert(key, value);
        return 0;
    });
}

// ---- class definition -------------------------------------------------------

const SharedDocs kSharedDocs{
    .clear = "Removes all entries from the map.",
    .mem_used = "Heap bytes used by the map allocations.",
    .mem_held =
        "Heap bytes the map holds from the system allocator: `mem_used()`\n"
        "plus freed blocks kept for reuse and unused slab space.",
    .shrink_to_fit =
        "Returns the freed blocks the map retains to the system allocator\n"
        "and returns the bytes released. Nothing moves and `mem_used()` is\n"
        "unchanged; `clear()` also returns them.",
    .first = "Smallest entry `(key, value)` in the map.",
    .last = "Largest entry `(key, value)` in the map.",
    .next = "Smallest entry with key `> key` (or `>= key` if `inclusive=True`).",
    .next_at_or_after = "Smallest entry with key `>= key`.",
    .next_after = "Smallest entry with key `> key`.",
    .prev = "Largest entry with key `< key` (or `<= key` if `inclusive=True`).",
    .prev_at_or_before = "Largest entry with key `<= key`.",
    .prev_before = "Largest entry with key `< key`.",
    .by_count = "The entry `(key, value)` with `index` keys below it (0-based select).",
    .range = "Returns a list of `(key, value)` pairs in the range `[start, end]` (inclusive).",
    .to_list = "Returns a list of all `(key, value)` pairs in ascending order.",
};

constexpr Signature kContainsKey = signature("TolvaneMap", "contains_key", {"key"}, 1);
constexpr Signature kGet = signature("TolvaneMap", "get", {"key", "default"}, 1);
constexpr Signature kGetBatch = signature("TolvaneMap", "get_batch", {"keys"}, 1);
constexpr Signature kInsert = signature("TolvaneMap", "insert", {"key", "val"}, 2);
constexpr Signature kRemove = signature("TolvaneMap", "remove", {"key"}, 1);
constexpr Signature kPop = signature("TolvaneMap", "pop", {"key", "default"}, 1);
constexpr Signature kInsertMany = signature("TolvaneMap", "insert_many", {"keys", "values"}, 2);

PyMethodDef* methods() {
    // Made once and never freed: the class object points into it for good.
    static auto& t = *new MethodTable<MapClass>;
    t.noargs<S, Shared::is_empty>("is_empty",
                                  "True when no entries are in the map.\nTrue when empty.")
        .keywords<S, Shared::kContains, Shared::contains>(
            "Returns True if key is present in the map.")
        .keywords<S, kContainsKey, Shared::contains>("Returns True if key is present in the map.")
        .keywords<S, kGet, get>("Look up `key`, returning `default` (or None) if absent.")
        .keywords<S, kGetBatch, get_batch>(
            "Looks up a batch of keys, returning a list of values (or None for absent keys).")
        .keywords<X, kInsert, insert>("Inserts `key -> val`; returns the previous value, if any.")
        .keywords<X, kRemove, remove>("Removes `key`; returns its value or None if missing.")
        .keywords<X, kPop, pop>("Removes `key` and returns its value. If `key` is absent, returns "
                                "`default`\nif given, otherwise raises `KeyError`.");
    Shared::add_query_rows(t, kSharedDocs);
    t.noargs<S, validate_explain>("validate_explain",
                                  "Validates internal structural invariants, returning None if "
                                  "valid or an error explanation string.");
    Shared::add_listing_rows(t, kSharedDocs);
    t.noargs<S, keys>("keys", "Returns a list of all keys in ascending order.")
        .noargs<S, values>("values", "Returns a list of all values in key-ascending order.")
        .noargs<S, Shared::to_list>("items",
                                    "Returns a list of `(key, value)` pairs in ascending order.")
        .keywords<X, Shared::kUpdate, Shared::update>(
            "Updates the map from another mapping or iterable of `(key, value)` pairs.")
        .keywords<X, kInsertMany, insert_many>(
            "Bulk insertion from two buffers (keys and values). Zero-copy if C-contiguous "
            "buffers.");
    return t.finish();
}

ClassSpec MapClass::spec{
    TOLVANE_CLASS_NAME("TolvaneMap"),
    "TolvaneMap(items=None)\n--\n\nA sparse, dynamic 64-bit unsigned integer map", sizeof(Obj),
    Shared::slots(methods(), {{Py_mp_subscript, reinterpret_cast<void*>(item)},
                              {Py_mp_ass_subscript, reinterpret_cast<void*>(assign_item)}})};

}  // namespace

ClassSpec& map_class() { return MapClass::spec; }

std::optional<std::vector<KeyValue>> borrowed_map_items(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, class_object_or_die(MapClass::spec))) return std::nullopt;
    Obj& source = *instance<MapClass>(obj);
    if (!on_owner_thread(source)) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (!source.borrow.try_shared()) return std::nullopt;
    BorrowRelease hold(source.borrow);
    return source.native.items();
}

}  // namespace tolvane::py
