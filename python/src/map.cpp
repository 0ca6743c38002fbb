// The Python class TolvaneMap: a sparse, ordered map from unsigned 64-bit
// integers to unsigned 64-bit integers, owning one engine map by value and
// bound to the thread that created it. Every method is the frame's call
// sequence around one engine operation.

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "buffer.hpp"
#include "classes.hpp"
#include "method.hpp"
#include "tolvane/listing.hpp"
#include "tolvane/map.hpp"

namespace tolvane::py {
namespace {

using Engine = tolvane::TolvaneMap;
using Entry = tolvane::KeyValue;

PyObject* entry_result(const std::optional<Entry>& entry) {
    if (!entry) Py_RETURN_NONE;
    return pair_result(entry->key, entry->value);
}

PyObject* entries_result(const std::vector<Entry>& entries) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        PyObject* item = pair_result(entries[i].key, entries[i].value);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

struct MapClass {
    using Native = Engine;
    static constexpr bool thread_bound = true;
    static constexpr const char* type_path = "_tolvane::map::TolvaneMap";
    static ClassSpec spec;
    // The engine's destructor gives back every node, then drops its allocator.
    static void release(Native& map) { std::destroy_at(&map); }
};
using Obj = Instance<MapClass>;

constexpr Borrow S = Borrow::Shared;
constexpr Borrow X = Borrow::Exclusive;

PyObject* none() { Py_RETURN_NONE; }

bool set_key_error(std::uint64_t key) {
    Ref text(PyUnicode_FromFormat("Key %llu not found in TolvaneMap",
                                  static_cast<unsigned long long>(key)));
    if (text) PyErr_SetObject(PyExc_KeyError, text.get());
    return false;
}

// ---- filling from Python input (constructor, update) ----------------------

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
    while (Ref item{PyIter_Next(iterator.get())}) {
        std::uint64_t key, value;
        if (!to_u64_pair(item.get(), key, value)) return false;
        map.insert(key, value);
    }
    return !PyErr_Occurred();
}

bool is_dict(PyObject* obj) { return PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_DICT_SUBCLASS; }

// ---- construction and deallocation -----------------------------------------

constexpr Signature kNew = signature("TolvaneMap", "__new__", {"items"}, 0);

PyObject* map_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    Args parsed(kNew);
    if (!parsed.parse_tuple_dict(args, kwargs)) return nullptr;
    // The map is built inside its object, which no Python code can reach
    // before it is returned; a failure drops the object and its entries.
    Ref self = allocate<MapClass>();
    if (!self) return nullptr;
    Engine& map = instance<MapClass>(self.get())->native;
    if (parsed.present(0)) {
        PyObject* items = parsed[0];
        if (!(is_dict(items) ? insert_from_dict(map, items) : insert_from_iterable(map, items)))
            return nullptr;
    }
    return self.release();
}

// ---- lookups ----------------------------------------------------------------

PyObject* is_empty(PyObject* self, PyObject*) {
    return call_plain<MapClass, S>(self, [](Obj& o) { return bool_result(o.native.size() == 0); });
}

PyObject* empty_property(PyObject* self, void*) { return is_empty(self, nullptr); }

constexpr Signature kContains = signature("TolvaneMap", "contains", {"key"}, 1);
constexpr Signature kContainsKey = signature("TolvaneMap", "contains_key", {"key"}, 1);

template <const Signature& Sig>
PyObject* contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MapClass, S>(self, Sig, args, nargs, kwnames, [](Obj& o, Args& a) {
        std::uint64_t key;
        if (!a.u64(0, key)) return static_cast<PyObject*>(nullptr);
        return bool_result(o.native.contains_key(key));
    });
}

constexpr Signature kGet = signature("TolvaneMap", "get", {"key", "default"}, 1);

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MapClass, S>(self, kGet, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t key, fallback = 0;
        if (!a.u64(0, key)) return nullptr;
        const bool has_default = a.present(1);
        if (has_default && !a.u64(1, fallback)) return nullptr;
        if (auto value = o.native.get(key)) return u64_result(*value);
        return has_default ? u64_result(fallback) : none();
    });
}

constexpr Signature kGetBatch = signature("TolvaneMap", "get_batch", {"keys"}, 1);

PyObject* get_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MapClass, S>(self, kGetBatch, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::vector<std::uint64_t> keys;
        if (!a.u64_sequence(0, keys)) return nullptr;
        std::vector<std::optional<std::uint64_t>> answers;
        answers.reserve(keys.size());
        for (std::uint64_t key : keys) answers.push_back(o.native.get(key));
        Ref list(PyList_New(static_cast<Py_ssize_t>(answers.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < answers.size(); ++i) {
            PyObject* item = optional_u64_result(answers[i]);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

// ---- mutations --------------------------------------------------------------

constexpr Signature kInsert = signature("TolvaneMap", "insert", {"key", "val"}, 2);

PyObject* insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MapClass, X>(self, kInsert, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t key, value;
        if (!a.u64(0, key) || !a.u64(1, value)) return nullptr;
        const auto result = o.native.insert(key, value);
        return result.existed ? u64_result(result.old) : none();
    });
}

constexpr Signature kRemove = signature("TolvaneMap", "remove", {"key"}, 1);

PyObject* remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MapClass, X>(self, kRemove, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t key;
        if (!a.u64(0, key)) return nullptr;
        const auto result = o.native.remove(key);
        return result.found ? u64_result(result.value) : none();
    });
}

constexpr Signature kPop = signature("TolvaneMap", "pop", {"key", "default"}, 1);

PyObject* pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MapClass, X>(self, kPop, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t key, fallback = 0;
        if (!a.u64(0, key)) return nullptr;
        const bool has_default = a.present(1);
        if (has_default && !a.u64(1, fallback)) return nullptr;
        const auto result = o.native.remove(key);
        if (result.found) return u64_result(result.value);
        if (has_default) return u64_result(fallback);
        set_key_error(key);
        return nullptr;
    });
}

PyObject* clear(PyObject* self, PyObject*) {
    return call_plain<MapClass, X>(self, [](Obj& o) {
        o.native.clear_entries();
        o.native.alloc.release_free();
        return none();
    });
}

// ---- memory statistics -----------------------------------------------------

PyObject* mem_used(PyObject* self, PyObject*) {
    return call_plain<MapClass, S>(self,
                                   [](Obj& o) { return u64_result(o.native.alloc.live_bytes()); });
}

PyObject* mem_held(PyObject* self, PyObject*) {
    return call_plain<MapClass, S>(self,
                                   [](Obj& o) { return u64_result(o.native.alloc.bytes_held()); });
}

PyObject* shrink_to_fit(PyObject* self, PyObject*) {
    return call_plain<MapClass, X>(self,
                                   [](Obj& o) { return u64_result(o.native.alloc.release_free()); });
}

PyObject* total_node_allocs(PyObject* self, PyObject*) {
    return call_plain<MapClass, S>(
        self, [](Obj& o) { return u64_result(o.native.alloc.total_allocs()); });
}

// ---- neighbours, rank and select -------------------------------------------

PyObject* first(PyObject* self, PyObject*) {
    return call_plain<MapClass, S>(
        self, [](Obj& o) { return entry_result(o.native.next_at_or_after(0)); });
}

PyObject* last(PyObject* self, PyObject*) {
    return call_plain<MapClass, S>(self,
                                   [](Obj& o) { return entry_result(o.native.last()); });
}

// A query of one key answering an optional entry.
template <const Signature& Sig, std::optional<Entry> (Engine::*Query)(std::uint64_t) const>
PyObject* neighbour(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MapClass, S>(self, Sig, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t key;
        if (!a.u64(0, key)) return nullptr;
        return entry_result((o.native.*Query)(key));
    });
}

constexpr Signature kNextAtOrAfter = signature("TolvaneMap", "next_at_or_after", {"key"}, 1);
constexpr Signature kNextAfter = signature("TolvaneMap", "next_after", {"key"}, 1);
constexpr Signature kPrevAtOrBefore = signature("TolvaneMap", "prev_at_or_before", {"key"}, 1);
constexpr Signature kPrevBefore = signature("TolvaneMap", "prev_before", {"key"}, 1);
constexpr Signature kNext = signature("TolvaneMap", "next", {"key", "inclusive"}, 1);
constexpr Signature kPrev = signature("TolvaneMap", "prev", {"key", "inclusive"}, 1);

// next/prev: `inclusive` picks the at-or form; it is converted only when given.
template <const Signature& Sig, std::optional<Entry> (Engine::*Inclusive)(std::uint64_t) const,
          std::optional<Entry> (Engine::*Exclusive)(std::uint64_t) const>
PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MapClass, S>(self, Sig, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t key;
        bool inclusive = false;
        if (!a.u64(0, key)) return nullptr;
        if (a.given(1) && !a.boolean(1, inclusive)) return nullptr;
        return entry_result(inclusive ? (o.native.*Inclusive)(key)
                                              : (o.native.*Exclusive)(key));
    });
}

constexpr Signature kCountBelow = signature("TolvaneMap", "count_below", {"key"}, 1);

PyObject* count_below(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MapClass, S>(self, kCountBelow, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t key;
        if (!a.u64(0, key)) return nullptr;
        return u64_result(o.native.count_below(key));
    });
}

constexpr Signature kByCount = signature("TolvaneMap", "by_count", {"index"}, 1);

PyObject* by_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MapClass, S>(self, kByCount, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t index;
        if (!a.u64(0, index)) return nullptr;
        return entry_result(o.native.by_count(index));
    });
}

constexpr Signature kCountRange = signature("TolvaneMap", "count_range", {"start", "end"}, 2);

PyObject* count_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MapClass, S>(self, kCountRange, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t start, end;
        if (!a.u64(0, start) || !a.u64(1, end)) return nullptr;
        return u64_result(o.native.count_range(start, end));
    });
}

PyObject* validate(PyObject* self, PyObject*) {
    return call_plain<MapClass, S>(
        self, [](Obj& o) { return bool_result(!o.native.validate_defensive().has_value()); });
}

PyObject* validate_explain(PyObject* self, PyObject*) {
    return call_plain<MapClass, S>(self, [](Obj& o) -> PyObject* {
        const auto report = o.native.validate_defensive();
        if (!report) return none();
        return PyUnicode_FromStringAndSize(report->data(), static_cast<Py_ssize_t>(report->size()));
    });
}

// ---- listings ---------------------------------------------------------------

std::vector<std::uint64_t> all_keys(const Engine& map) {
    auto it = map.iter_fwd_raw();
    std::vector<std::uint64_t> keys;
    while (auto key = next_key(it)) keys.push_back(*key);
    return keys;
}

constexpr Signature kRange =
    signature("TolvaneMap", "range", {"start", "end", "inclusive"}, 0);

PyObject* range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MapClass, S>(self, kRange, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t start = 0, end = 0;
        bool inclusive = true;
        if (a.present(0) && !a.u64(0, start)) return nullptr;
        const bool bounded = a.present(1);
        if (bounded && !a.u64(1, end)) return nullptr;
        if (a.given(2) && !a.boolean(2, inclusive)) return nullptr;

        std::vector<Entry> taken;
        auto it = o.native.iter_fwd_raw();
        bool started = false;
        while (auto entry = find_at_or_after(it, started, start)) {
            if (bounded && (inclusive ? entry->key > end : entry->key >= end)) break;
            taken.push_back(*entry);
        }
        return entries_result(taken);
    });
}

PyObject* to_list(PyObject* self, PyObject*) {
    return call_plain<MapClass, S>(
        self, [](Obj& o) {
            auto it = o.native.iter_fwd_raw();
            return entries_result(collect_entries(it));
        });
}

PyObject* keys(PyObject* self, PyObject*) {
    return call_plain<MapClass, S>(self, [](Obj& o) { return u64_list_result(all_keys(o.native)); });
}

PyObject* values(PyObject* self, PyObject*) {
    return call_plain<MapClass, S>(self, [](Obj& o) {
        auto it = o.native.iter_fwd_raw();
        std::vector<std::uint64_t> values;
        while (auto value = next_value(it)) values.push_back(*value);
        return u64_list_result(values);
    });
}

// ---- bulk input -------------------------------------------------------------

constexpr Signature kUpdate = signature("TolvaneMap", "update", {"other"}, 1);

// Another TolvaneMap is read straight from its engine while holding a shared
// borrow of it; when that borrow cannot be had (it is being mutated, or it is
// this map), it is iterated like any other object, which then reports the
// conflict.
PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MapClass, X>(self, kUpdate, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        PyObject* other = a[0];
        if (PyObject_TypeCheck(other, class_object_or_die(MapClass::spec))) {
            Obj& source = *instance<MapClass>(other);
            if (!on_owner_thread(source)) return nullptr;
            if (source.borrow.try_shared()) {
                Ref hold = Ref::borrow(other);
                auto it = source.native.iter_fwd_raw();
                while (auto entry = it.next()) o.native.insert(entry->key, entry->value);
                source.borrow.release(Borrow::Shared);
                return none();
            }
        }
        const bool ok = is_dict(other) ? insert_from_dict(o.native, other)
                                       : insert_from_iterable(o.native, other);
        return ok ? none() : nullptr;
    });
}

constexpr Signature kInsertMany = signature("TolvaneMap", "insert_many", {"keys", "values"}, 2);

PyObject* insert_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MapClass, X>(self, kInsertMany, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        auto keys = buffer::collect_u64(a[0], "keys");
        if (!keys) return nullptr;
        auto values = buffer::collect_u64(a[1], "values");
        if (!values) return nullptr;
        if (keys->size() != values->size()) {
            PyErr_Format(PyExc_ValueError,
                         "insert_many: keys (%zu) and values (%zu) must have the same number of "
                         "elements",
                         keys->size(), values->size());
            return nullptr;
        }
        for (std::size_t i = 0; i < keys->size(); ++i) o.native.insert((*keys)[i], (*values)[i]);
        return u64_result(keys->size());
    });
}

// ---- slots ------------------------------------------------------------------

Py_ssize_t length(PyObject* self) {
    return with_object<MapClass, S>(self, Py_ssize_t{-1},
                                    [](Obj& o) { return length_result(o.native.size()); });
}

int truth(PyObject* self) {
    return with_object<MapClass, S>(self, -1, [](Obj& o) { return o.native.size() != 0 ? 1 : 0; });
}

int contains_slot(PyObject* self, PyObject* operand) {
    return with_object<MapClass, S>(self, -1, [&](Obj& o) {
        std::uint64_t key;
        if (!slot_u64(operand, "key", key)) return -1;
        return o.native.contains_key(key) ? 1 : 0;
    });
}

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

PyObject* iterate(PyObject* self) {
    return call_plain<MapClass, S>(self,
                                   [](Obj& o) { return new_map_key_iter(all_keys(o.native)); });
}

PyObject* representation(PyObject* self) {
    return call_plain<MapClass, S>(self, [](Obj& o) {
        return PyUnicode_FromFormat("TolvaneMap(len=%llu)",
                                    static_cast<unsigned long long>(o.native.size()));
    });
}

// ---- class definition -------------------------------------------------------

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"is_empty", as_method<is_empty>(), METH_NOARGS,
     "is_empty($self)\n--\n\nTrue when no entries are in the map.\nTrue when empty."},
    {"contains", as_method<contains<kContains>>(), kFast,
     "contains($self, key)\n--\n\nReturns True if key is present in the map."},
    {"contains_key", as_method<contains<kContainsKey>>(), kFast,
     "contains_key($self, key)\n--\n\nReturns True if key is present in the map."},
    {"get", as_method<get>(), kFast,
     "get($self, key, default=None)\n--\n\nLook up `key`, returning `default` (or None) if "
     "absent."},
    {"get_batch", as_method<get_batch>(), kFast,
     "get_batch($self, keys)\n--\n\nLooks up a batch of keys, returning a list of values (or None "
     "for absent keys)."},
    {"insert", as_method<insert>(), kFast,
     "insert($self, key, val)\n--\n\nInserts `key -> val`; returns the previous value, if any."},
    {"remove", as_method<remove>(), kFast,
     "remove($self, key)\n--\n\nRemoves `key`; returns its value or None if missing."},
    {"pop", as_method<pop>(), kFast,
     "pop($self, key, default=None)\n--\n\nRemoves `key` and returns its value. If `key` is "
     "absent, returns `default`\nif given, otherwise raises `KeyError`."},
    {"clear", as_method<clear>(), METH_NOARGS,
     "clear($self)\n--\n\nRemoves all entries from the map."},
    {"mem_used", as_method<mem_used>(), METH_NOARGS,
     "mem_used($self)\n--\n\nHeap bytes used by the map allocations."},
    {"mem_held", as_method<mem_held>(), METH_NOARGS,
     "mem_held($self)\n--\n\nHeap bytes the map holds from the system allocator: `mem_used()`\n"
     "plus freed blocks kept for reuse and unused slab space."},
    {"shrink_to_fit", as_method<shrink_to_fit>(), METH_NOARGS,
     "shrink_to_fit($self)\n--\n\nReturns the freed blocks the map retains to the system "
     "allocator\nand returns the bytes released. Nothing moves and `mem_used()` is\nunchanged; "
     "`clear()` also returns them."},
    {"total_node_allocs", as_method<total_node_allocs>(), METH_NOARGS,
     "total_node_allocs($self)\n--\n\nTotal node allocations performed by the trie engine."},
    {"first", as_method<first>(), METH_NOARGS,
     "first($self)\n--\n\nSmallest entry `(key, value)` in the map."},
    {"last", as_method<last>(), METH_NOARGS,
     "last($self)\n--\n\nLargest entry `(key, value)` in the map."},
    {"next", as_method<step<kNext, &Engine::next_at_or_after, &Engine::next_after>>(), kFast,
     "next($self, key, inclusive=False)\n--\n\nSmallest entry with key `> key` (or `>= key` if "
     "`inclusive=True`)."},
    {"next_at_or_after", as_method<neighbour<kNextAtOrAfter, &Engine::next_at_or_after>>(), kFast,
     "next_at_or_after($self, key)\n--\n\nSmallest entry with key `>= key`."},
    {"next_after", as_method<neighbour<kNextAfter, &Engine::next_after>>(), kFast,
     "next_after($self, key)\n--\n\nSmallest entry with key `> key`."},
    {"prev", as_method<step<kPrev, &Engine::prev_at_or_before, &Engine::prev_before>>(), kFast,
     "prev($self, key, inclusive=False)\n--\n\nLargest entry with key `< key` (or `<= key` if "
     "`inclusive=True`)."},
    {"prev_at_or_before", as_method<neighbour<kPrevAtOrBefore, &Engine::prev_at_or_before>>(),
     kFast, "prev_at_or_before($self, key)\n--\n\nLargest entry with key `<= key`."},
    {"prev_before", as_method<neighbour<kPrevBefore, &Engine::prev_before>>(), kFast,
     "prev_before($self, key)\n--\n\nLargest entry with key `< key`."},
    {"count_below", as_method<count_below>(), kFast,
     "count_below($self, key)\n--\n\nNumber of keys strictly below `key` (rank)."},
    {"by_count", as_method<by_count>(), kFast,
     "by_count($self, index)\n--\n\nThe entry `(key, value)` with `index` keys below it (0-based "
     "select)."},
    {"count_range", as_method<count_range>(), kFast,
     "count_range($self, start, end)\n--\n\nNumber of keys in the range `[start, end]`."},
    {"validate", as_method<validate>(), METH_NOARGS,
     "validate($self)\n--\n\nValidates internal structural invariants."},
    {"validate_explain", as_method<validate_explain>(), METH_NOARGS,
     "validate_explain($self)\n--\n\nValidates internal structural invariants, returning None if "
     "valid or an error explanation string."},
    {"range", as_method<range>(), kFast,
     "range($self, start=None, end=None, inclusive=True)\n--\n\nReturns a list of `(key, value)` "
     "pairs in the range `[start, end]` (inclusive)."},
    {"to_list", as_method<to_list>(), METH_NOARGS,
     "to_list($self)\n--\n\nReturns a list of all `(key, value)` pairs in ascending order."},
    {"keys", as_method<keys>(), METH_NOARGS,
     "keys($self)\n--\n\nReturns a list of all keys in ascending order."},
    {"values", as_method<values>(), METH_NOARGS,
     "values($self)\n--\n\nReturns a list of all values in key-ascending order."},
    {"items", as_method<to_list>(), METH_NOARGS,
     "items($self)\n--\n\nReturns a list of `(key, value)` pairs in ascending order."},
    {"update", as_method<update>(), kFast,
     "update($self, other)\n--\n\nUpdates the map from another mapping or iterable of `(key, "
     "value)` pairs."},
    {"insert_many", as_method<insert_many>(), kFast,
     "insert_many($self, keys, values)\n--\n\nBulk insertion from two buffers (keys and values). "
     "Zero-copy if C-contiguous buffers."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"empty", empty_property, nullptr, "Property returning True if empty.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(map_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate<MapClass>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {Py_mp_length, reinterpret_cast<void*>(length)},
    {Py_nb_bool, reinterpret_cast<void*>(truth)},
    {Py_sq_contains, reinterpret_cast<void*>(contains_slot)},
    {Py_mp_subscript, reinterpret_cast<void*>(item)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(assign_item)},
    {Py_tp_iter, reinterpret_cast<void*>(iterate)},
    {Py_tp_repr, reinterpret_cast<void*>(representation)},
    {0, nullptr},
};

ClassSpec MapClass::spec{TOLVANE_CLASS_NAME("TolvaneMap"),
                         "TolvaneMap(items=None)\n--\n\nA sparse, dynamic 64-bit unsigned integer map",
                         sizeof(Obj), slots};

}  // namespace

ClassSpec& map_class() { return MapClass::spec; }

}  // namespace tolvane::py
