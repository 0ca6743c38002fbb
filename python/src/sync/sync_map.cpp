// The Python class SyncTolvaneMap: a u64 -> u64 map that any number of
// Python threads share. Lookups and neighbour queries read optimistically
// through this thread's reader for the map; writes go through the engine's
// insert and removal; rank, select, ranges and scans run in the exclusive
// section. The interpreter lock is released around all engine work except in
// construction and insert_many.

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "frame/buffer.hpp"
#include "frame/dict_items.hpp"
#include "frame/python_call.hpp"
#include "int/classes.hpp"
#include "sync/classes.hpp"
#include "sync/sync_container.hpp"
#include "tolvane/sync/olc_readers.hpp"
#include "tolvane/sync/reader_table.hpp"
#include "tolvane/sync/sync_map.hpp"

namespace tolvane::py {
namespace {

struct SyncMapClass : SharedEngine<sync::SyncTolvaneMap> {
    static constexpr const char* name = "SyncTolvaneMap";
    static constexpr const char* type_path = "_tolvane::sync::SyncTolvaneMap";
    static ClassSpec spec;
};
using Common = SyncContainer<SyncMapClass>;
using Obj = Common::Obj;
using Handle = Common::Handle;

constexpr Borrow S = Borrow::Shared;
constexpr std::uint64_t kMaxKey = ~std::uint64_t{0};

bool set_key_error(std::uint64_t key) {
    Ref text(PyUnicode_FromFormat("Key %llu not found in SyncTolvaneMap",
                                  static_cast<unsigned long long>(key)));
    if (text) PyErr_SetObject(PyExc_KeyError, text.get());
    return false;
}

// `read(shared block, reader)` with this thread's reader for the map, the
// interpreter lock released.
template <class Read>
auto optimistic(Obj& o, Read&& read) {
    const Handle& handle = o.native;
    return without_gil([&] { return sync::with_map_reader(handle, read); });
}

std::optional<std::uint64_t> lookup(Obj& o, std::uint64_t key) {
    return optimistic(o, [key](sync::Shared<TolvaneMap>& s, Reader& r) {
        return sync::map_get_with(s, r, key);
    });
}

// Inserts every pair in order with the interpreter lock released.
void insert_all(Obj& o, const std::vector<KeyValue>& pairs) {
    sync::SyncTolvaneMap& map = *o.native;
    without_gil([&] {
        for (const KeyValue& p : pairs) map.insert(p.key, p.value);
    });
}

// ---- lookups ------------------------------------------------------------------

PyObject* get(Obj& o, Args& a) {
    std::uint64_t key;
    std::optional<std::uint64_t> fallback;
    if (!key_and_default(a, key, fallback)) return nullptr;
    if (auto value = lookup(o, key)) return u64_result(*value);
    return optional_u64_result(fallback);
}

PyObject* get_many(Obj& o, Args& a) {
    auto keys = buffer::collect_u64(a[0], "keys");
    if (!keys) return nullptr;
    std::vector<std::optional<std::uint64_t>> answers(keys->size());
    optimistic(o, [&](sync::Shared<TolvaneMap>& s, Reader& r) {
        for (std::size_t i = 0; i < keys->size(); ++i) answers[i] = sync::map_get_with(s, r, (*keys)[i]);
        return 0;
    });
    return list_of(answers, optional_u64_result);
}

PyObject* first(Obj& o) {
    return entry_result(optimistic(o, [](sync::Shared<TolvaneMap>& s, Reader& r) {
        return sync::map_next_with(s, r, 0);
    }));
}

PyObject* last(Obj& o) {
    return entry_result(optimistic(o, [](sync::Shared<TolvaneMap>& s, Reader& r) {
        return sync::map_prev_with(s, r, kMaxKey);
    }));
}

// The strict neighbour of the bound key is none without a search.
template <bool Next>
PyObject* step(Obj& o, Args& a) {
    std::uint64_t key;
    bool inclusive;
    if (!Common::step_args(a, key, inclusive)) return nullptr;
    return entry_result(optimistic(o, [&](sync::Shared<TolvaneMap>& s, Reader& r) {
        if (inclusive) return Next ? sync::map_next_with(s, r, key) : sync::map_prev_with(s, r, key);
        if (key == (Next ? kMaxKey : 0)) return std::optional<KeyValue>();
        return Next ? sync::map_next_with(s, r, key + 1) : sync::map_prev_with(s, r, key - 1);
    }));
}

// ---- writes -------------------------------------------------------------------

PyObject* insert(Obj& o, Args& a) {
    std::uint64_t key, value;
    if (!a.u64(0, key) || !a.u64(1, value)) return nullptr;
    sync::SyncTolvaneMap& map = *o.native;
    return optional_u64_result(without_gil([&] { return map.insert(key, value); }));
}

std::optional<std::uint64_t> take(Obj& o, std::uint64_t key) {
    sync::SyncTolvaneMap& map = *o.native;
    return without_gil([&] { return map.remove(key); });
}

PyObject* remove(Obj& o, Args& a) {
    std::uint64_t key;
    if (!a.u64(0, key)) return nullptr;
    return optional_u64_result(take(o, key));
}

PyObject* pop(Obj& o, Args& a) {
    std::uint64_t key;
    std::optional<std::uint64_t> fallback;
    if (!key_and_default(a, key, fallback)) return nullptr;
    if (auto value = take(o, key)) return u64_result(*value);
    if (fallback) return u64_result(*fallback);
    set_key_error(key);
    return nullptr;
}

PyObject* mem_used(Obj& o) {
    sync::SyncTolvaneMap& map = *o.native;
    return PyLong_FromLongLong(without_gil([&] { return map.mem_used(); }));
}

// ---- exclusive queries and snapshots --------------------------------------------

PyObject* by_count(Obj& o, Args& a) {
    std::uint64_t index;
    if (!a.u64(0, index)) return nullptr;
    return entry_result(Common::exclusive_query(o, [index](TolvaneMap& t) { return t.by_count(index); }));
}

PyObject* range(Obj& o, Args& a) {
    Common::RangeArgs r;
    if (!Common::range_args(a, r)) return nullptr;
    return new_sync_map_range_iter(Common::range_snapshot(o, r));
}

PyObject* keys(Obj& o) {
    return new_sync_map_key_iter(Common::exclusive_query(o, [](TolvaneMap& t) { return t.keys(); }));
}

PyObject* values(Obj& o) {
    return new_sync_map_value_iter(
        Common::exclusive_query(o, [](TolvaneMap& t) { return t.values(); }));
}

PyObject* items(Obj& o) {
    return new_sync_map_item_iter(Common::exclusive_query(o, [](TolvaneMap& t) { return t.items(); }));
}

// ---- bulk input ---------------------------------------------------------------

PyObject* insert_many(Obj& o, Args& a) {
    auto input = buffer::collect_keys_and_values(a[0], a[1]);
    if (!input) return nullptr;
    // The interpreter lock stays held throughout.
    const std::size_t count = input->keys.size();
    for (std::size_t i = 0; i < count; ++i) o.native->insert(input->keys[i], input->values[i]);
    return u64_result(count);
}

// Another concurrent map, a TolvaneMap, a dict, or an iterable of pairs; all
// input is collected before the first insert, so a failure inserts nothing.
PyObject* update(Obj& o, Args& a) {
    PyObject* other = a[0];
    if (Common::from_same_class(
            other, [](TolvaneMap& t) { return t.items(); },
            [&](const std::vector<KeyValue>& pairs) { insert_all(o, pairs); }))
        return none_result();
    if (std::optional<std::vector<KeyValue>> pairs = borrowed_map_items(other)) {
        insert_all(o, *pairs);
        return none_result();
    }
    std::vector<KeyValue> pairs;
    if (PyType_GetFlags(Py_TYPE(other)) & Py_TPFLAGS_DICT_SUBCLASS) {
        pairs.reserve(static_cast<std::size_t>(PyDict_Size(other)));
        KeyValue pair;
        const bool read = for_each_dict_item(
            other,
            [&](PyObject* k, PyObject* v) { return to_u64(k, pair.key) && to_u64(v, pair.value); },
            [&] { pairs.push_back(pair); });
        if (!read) return nullptr;
    } else {
        Ref iterator(PyObject_GetIter(other));
        if (!iterator) return nullptr;
        while (Ref item{next_item(iterator.get())}) {
            KeyValue pair;
            if (!to_u64_pair(item.get(), pair.key, pair.value)) return nullptr;
            pairs.push_back(pair);
        }
        if (PyErr_Occurred()) return nullptr;
    }
    insert_all(o, pairs);
    return none_result();
}

// ---- slots --------------------------------------------------------------------

int contains_slot(PyObject* self, PyObject* operand) {
    return with_object<SyncMapClass, S>(self, -1, [&](Obj& o) {
        std::uint64_t key;
        if (!slot_u64(operand, "key", key)) return -1;
        return lookup(o, key) ? 1 : 0;
    });
}

PyObject* item(PyObject* self, PyObject* operand) {
    return call_plain<SyncMapClass, S>(self, [&](Obj& o) -> PyObject* {
        std::uint64_t key;
        if (!slot_u64(operand, "key", key)) return nullptr;
        if (auto value = lookup(o, key)) return u64_result(*value);
        set_key_error(key);
        return nullptr;
    });
}

int assign_item(PyObject* self, PyObject* operand, PyObject* assigned) {
    return with_object<SyncMapClass, S>(self, -1, [&](Obj& o) {
        std::uint64_t key, value = 0;
        if (!slot_u64(operand, "key", key)) return -1;
        if (assigned == nullptr) {
            if (take(o, key)) return 0;
            set_key_error(key);
            return -1;
        }
        if (!slot_u64(assigned, "val", value)) return -1;
        sync::SyncTolvaneMap& map = *o.native;
        without_gil([&] { map.insert(key, value); });
        return 0;
    });
}

PyObject* iterate(PyObject* self) { return call_plain<SyncMapClass, S>(self, keys); }

// ---- class definition ---------------------------------------------------------

constexpr Signature kGet = signature("SyncTolvaneMap", "get", {"key", "default"}, 1);
constexpr Signature kInsert = signature("SyncTolvaneMap", "insert", {"key", "val"}, 2);
constexpr Signature kRemove = signature("SyncTolvaneMap", "remove", {"key"}, 1);
constexpr Signature kPop = signature("SyncTolvaneMap", "pop", {"key", "default"}, 1);
constexpr Signature kInsertMany = signature("SyncTolvaneMap", "insert_many", {"keys", "values"}, 2);
constexpr Signature kGetMany = signature("SyncTolvaneMap", "get_many", {"keys"}, 1);

PyMethodDef* methods() {
    // Made once and never freed: the class object points into it for good.
    static auto& t = *new MethodTable<SyncMapClass>;
    t.noargs<S, Common::is_empty>("is_empty",
                                  "True when no entries are present (GIL-free read).\nTrue when "
                                  "empty releasing the GIL.")
        .noargs<S, mem_used>("mem_used",
                             "Heap bytes used by the map's nodes and leaves, read with writers\n"
                             "excluded (releases the GIL; makes concurrent writers wait for it).")
        .noargs<S, Common::mem_held>(
            "mem_held",
            "Heap bytes the map holds from the global allocator: its tree's own\nshare plus the "
            "blocks its epoch collector keeps for reuse or is\nwaiting to reclaim. Read with "
            "writers excluded (releases the GIL).")
        .noargs<S, Common::shrink_to_fit>(
            "shrink_to_fit",
            "Returns the freed blocks the map's epoch collector keeps for reuse to\nthe global "
            "allocator; returns the bytes released. Runs beside readers\nand writers (releases "
            "the GIL).")
        .keywords<S, kGet, get>(
            "Look up `key` releasing the GIL, returning `default` (or None) if absent.")
        .keywords<S, kInsert, insert>(
            "Inserts `key -> val` releasing the GIL; returns the previous value, if any.")
        .keywords<S, kRemove, remove>(
            "Removes `key` releasing the GIL; returns its previous value, or `None` if absent.\n\n"
            "This mirrors `TolvaneMap.remove` (which returns an `Optional[int]`); use\n`del "
            "map[key]` or `pop(key)` for the KeyError-on-missing semantics.")
        .keywords<S, kPop, pop>(
            "Removes `key` and returns its value. If `key` is absent, returns "
            "`default`\nif given, otherwise raises `KeyError`.")
        .noargs<S, Common::clear>("clear", "Removes all entries from the concurrent map.")
        .noargs<S, first>("first",
                          "Smallest entry `(key, value)` releasing the GIL (optimistic read).")
        .noargs<S, last>("last",
                         "Largest entry `(key, value)` releasing the GIL (optimistic read).")
        .keywords<S, Common::kNext, step<true>>(
            "($self, key, inclusive=False)",
            "Smallest entry with key `> key` (or `>= key` if `inclusive=True`) releasing the "
            "GIL\n(optimistic read).")
        .keywords<S, Common::kPrev, step<false>>(
            "($self, key, inclusive=False)",
            "Largest entry with key `< key` (or `<= key` if `inclusive=True`) releasing the "
            "GIL\n(optimistic read).")
        .keywords<S, Common::kCountBelow, Common::count_below>(
            "Number of keys strictly below `key` releasing the GIL.")
        .keywords<S, Common::kByCount, by_count>(
            "The entry `(key, value)` with `index` keys below it releasing the GIL.")
        .keywords<S, Common::kCountRange, Common::count_range>(
            "Number of keys in the range `[start, end]` releasing the GIL.")
        .keywords<S, Common::kRange, range>(
            "($self, start=None, end=None, inclusive=True)",
            "Range scan releasing the GIL during traversal.\n\n`inclusive=True` (the default) "
            "includes `end`, matching `TolvaneMap.range`/\n`TolvaneSet.range`; pass "
            "`inclusive=False` for a half-open `[start, end)` range.")
        .noargs<S, keys>("keys", "Returns all keys in ascending order.")
        .noargs<S, values>("values", "Returns all values in key-ascending order.")
        .noargs<S, items>("items", "Returns all `(key, value)` pairs in ascending order.")
        .keywords<S, Common::kUpdate, update>(
            "Updates the concurrent map from another mapping or iterable.")
        .keywords<S, kInsertMany, insert_many>("Bulk insertion from buffers (keys and values).")
        .keywords<S, kGetMany, get_many>(
            "Looks up many keys under a **single** GIL release, returning one\n`Optional[int]` "
            "per key in order.");
    return t.finish();
}

ClassSpec SyncMapClass::spec{
    TOLVANE_CLASS_NAME("SyncTolvaneMap"),
    "SyncTolvaneMap()\n--\n\nA thread-safe, concurrent 64-bit integer map with optimistic "
    "concurrency control (OCC).\n\nLookups, scans and range queries run on the optimistic path "
    "and release the GIL, so that reads scale across processor cores.",
    sizeof(Obj),
    Common::slots(methods(), {{Py_sq_contains, reinterpret_cast<void*>(contains_slot)},
                              {Py_tp_iter, reinterpret_cast<void*>(iterate)},
                              {Py_mp_subscript, reinterpret_cast<void*>(item)},
                              {Py_mp_ass_subscript, reinterpret_cast<void*>(assign_item)}})};

}  // namespace

ClassSpec& sync_map_class() { return SyncMapClass::spec; }

}  // namespace tolvane::py
