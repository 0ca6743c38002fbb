// The Python class SyncTolvaneSet: a set of u64 keys that any number of
// Python threads share. A membership test registers a reader on the set's
// collector for that one call; writes go through the engine's insert and
// removal; neighbours, rank, select, ranges and scans run in the exclusive
// section. The interpreter lock is released around all engine work except in
// construction and insert_many.

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "frame/buffer.hpp"
#include "int/classes.hpp"
#include "sync/classes.hpp"
#include "sync/sync_container.hpp"
#include "tolvane/sync/olc_readers.hpp"
#include "tolvane/sync/sync_set.hpp"

namespace tolvane::py {
namespace {

struct SyncSetClass : SharedEngine<sync::SyncTolvaneSet> {
    static constexpr const char* name = "SyncTolvaneSet";
    static constexpr const char* type_path = "_tolvane::sync::SyncTolvaneSet";
    static ClassSpec spec;
};
using Common = SyncContainer<SyncSetClass>;
using Obj = Common::Obj;

constexpr Borrow S = Borrow::Shared;
constexpr std::uint64_t kMaxKey = ~std::uint64_t{0};

bool has(Obj& o, std::uint64_t key) {
    sync::SyncTolvaneSet& set = *o.native;
    return without_gil([&] {
        sync::SetReader reader(set, Collector::register_reader(set.shared().collector));
        return reader.contains(key);
    });
}

// Inserts every key in order with the interpreter lock released.
void insert_all(Obj& o, const std::vector<std::uint64_t>& keys) {
    sync::SyncTolvaneSet& set = *o.native;
    without_gil([&] {
        for (const std::uint64_t k : keys) set.insert(k);
    });
}

// ---- method bodies --------------------------------------------------------------

PyObject* contains(Obj& o, Args& a) {
    std::uint64_t key;
    if (!a.u64(0, key)) return nullptr;
    return bool_result(has(o, key));
}

template <bool Insert>
PyObject* write(Obj& o, Args& a) {
    std::uint64_t key;
    if (!a.u64(0, key)) return nullptr;
    sync::SyncTolvaneSet& set = *o.native;
    return bool_result(without_gil([&] { return Insert ? set.insert(key) : set.remove(key); }));
}

PyObject* first(Obj& o) {
    return optional_u64_result(
        Common::exclusive_query(o, [](TolvaneSet& t) { return t.next_at_or_after(0); }));
}

PyObject* last(Obj& o) {
    return optional_u64_result(Common::exclusive_query(o, [](TolvaneSet& t) { return t.last(); }));
}

// The strict neighbour of the bound key is none without looking at the set.
template <bool Next>
PyObject* step(Obj& o, Args& a) {
    std::uint64_t key;
    bool inclusive;
    if (!Common::step_args(a, key, inclusive)) return nullptr;
    if (!inclusive && key == (Next ? kMaxKey : 0)) return none_result();
    const std::uint64_t k = inclusive ? key : Next ? key + 1 : key - 1;
    return optional_u64_result(Common::exclusive_query(o, [k](TolvaneSet& t) {
        return Next ? t.next_at_or_after(k) : t.prev_at_or_before(k);
    }));
}

PyObject* by_count(Obj& o, Args& a) {
    std::uint64_t index;
    if (!a.u64(0, index)) return nullptr;
    return optional_u64_result(
        Common::exclusive_query(o, [index](TolvaneSet& t) { return t.by_count(index); }));
}

PyObject* range(Obj& o, Args& a) {
    Common::RangeArgs r;
    if (!Common::range_args(a, r)) return nullptr;
    return new_sync_set_range_iter(Common::range_snapshot(o, r));
}

// Another concurrent set, a TolvaneSet, or any iterable of integers; all
// input is collected before the first insert, so a failure inserts nothing.
PyObject* update(Obj& o, Args& a) {
    PyObject* other = a[0];
    if (Common::from_same_class(
            other, [](TolvaneSet& t) { return t.keys(); },
            [&](const std::vector<std::uint64_t>& keys) { insert_all(o, keys); }))
        return none_result();
    if (std::optional<std::vector<std::uint64_t>> keys = borrowed_set_keys(other)) {
        insert_all(o, *keys);
        return none_result();
    }
    std::vector<std::uint64_t> keys;
    if (!for_each_u64(other, [&](std::uint64_t k) { keys.push_back(k); })) return nullptr;
    insert_all(o, keys);
    return none_result();
}

// The interpreter lock stays held throughout. A packed buffer is checked
// whole before anything goes in; iterated keys go in one by one, and those
// before a failing item stay.
PyObject* insert_many(Obj& o, Args& a) {
    sync::SyncTolvaneSet& set = *o.native;
    buffer::PackedSource packed = buffer::packed_byte_source(a[0]);
    if (packed.kind == buffer::PackedSource::Kind::Error) return nullptr;
    if (packed.kind == buffer::PackedSource::Kind::Packed) {
        auto keys = buffer::bytes_as_u64_vec(packed.bytes, "keys");
        if (!keys) return nullptr;
        for (const std::uint64_t k : *keys) set.insert(k);
        return u64_result(keys->size());
    }
    std::uint64_t count = 0;
    if (!for_each_u64(a[0], [&](std::uint64_t k) {
            set.insert(k);
            ++count;
        }))
        return nullptr;
    return u64_result(count);
}

// ---- slots --------------------------------------------------------------------

int contains_slot(PyObject* self, PyObject* operand) {
    return with_object<SyncSetClass, S>(self, -1, [&](Obj& o) {
        std::uint64_t key;
        if (!slot_u64(operand, "key", key)) return -1;
        return has(o, key) ? 1 : 0;
    });
}

PyObject* iterate(PyObject* self) {
    return call_plain<SyncSetClass, S>(self, [](Obj& o) {
        return new_sync_set_iter(Common::exclusive_query(o, [](TolvaneSet& t) { return t.keys(); }));
    });
}

// ---- class definition ---------------------------------------------------------

constexpr Signature kContains = signature("SyncTolvaneSet", "contains", {"key"}, 1);
constexpr Signature kInsert = signature("SyncTolvaneSet", "insert", {"key"}, 1);
constexpr Signature kAdd = signature("SyncTolvaneSet", "add", {"key"}, 1);
constexpr Signature kRemove = signature("SyncTolvaneSet", "remove", {"key"}, 1);
constexpr Signature kDiscard = signature("SyncTolvaneSet", "discard", {"key"}, 1);
constexpr Signature kInsertMany = signature("SyncTolvaneSet", "insert_many", {"keys"}, 1);

PyMethodDef* methods() {
    // Made once and never freed: the class object points into it for good.
    static auto& t = *new MethodTable<SyncSetClass>;
    t.noargs<S, Common::is_empty>(
         "is_empty",
         "True when no elements are in the set releasing the GIL.\nTrue when empty "
         "releasing the GIL.")
        .noargs<S, Common::mem_held>(
            "mem_held",
            "Heap bytes the set holds from the global allocator: its tree's own\nshare plus the "
            "blocks its epoch collector keeps for reuse or is\nwaiting to reclaim. Read with "
            "writers excluded (releases the GIL).")
        .noargs<S, Common::shrink_to_fit>(
            "shrink_to_fit",
            "Returns the freed blocks the set's epoch collector keeps for reuse to\nthe global "
            "allocator; returns the bytes released. Runs beside readers\nand writers (releases "
            "the GIL).")
        .keywords<S, kContains, contains>("Check membership releasing the GIL.")
        .keywords<S, kInsert, write<true>>("Inserts key releasing the GIL.")
        .keywords<S, kAdd, write<true>>(
            "Adds `key` to the set (standard Python set method). Returns `True` if newly inserted.")
        .keywords<S, kRemove, write<false>>(
            "Removes `key` from the set releasing the GIL; returns `True` if it was present.\n\n"
            "This mirrors `TolvaneSet.remove` (which returns a `bool`); use `discard` for "
            "the\nsame non-raising semantics, or a future `del`/checked path for KeyError "
            "behaviour.")
        .keywords<S, kDiscard, write<false>>(
            "Removes `key` if present releasing the GIL; returns `True` if present.")
        .noargs<S, Common::clear>("clear", "Removes all elements from the concurrent set.")
        .noargs<S, first>("first", "Smallest element in the set releasing the GIL.")
        .noargs<S, last>("last", "Largest element in the set releasing the GIL.")
        .keywords<S, Common::kNext, step<true>>(
            "($self, key, inclusive=False)",
            "Smallest element with key `> key` (or `>= key` if `inclusive=True`) releasing the "
            "GIL.")
        .keywords<S, Common::kPrev, step<false>>(
            "($self, key, inclusive=False)",
            "Largest element with key `< key` (or `<= key` if `inclusive=True`) releasing the GIL.")
        .keywords<S, Common::kCountBelow, Common::count_below>(
            "Number of keys strictly below `key` releasing the GIL.")
        .keywords<S, Common::kByCount, by_count>(
            "The element with `index` keys below it releasing the GIL.")
        .keywords<S, Common::kCountRange, Common::count_range>(
            "Number of keys in the range `[start, end]` releasing the GIL.")
        .keywords<S, Common::kRange, range>(
            "($self, start=None, end=None, inclusive=True)",
            "Range scan releasing the GIL during traversal.\n\n`inclusive=True` (the default) "
            "includes `end`, matching `TolvaneMap.range`/\n`TolvaneSet.range`; pass "
            "`inclusive=False` for a half-open `[start, end)` range.")
        .keywords<S, Common::kUpdate, update>("Updates the set from another set or iterable.")
        .keywords<S, kInsertMany, insert_many>(
            "Bulk insertion from a buffer or iterable of integers.");
    return t.finish();
}

ClassSpec SyncSetClass::spec{
    TOLVANE_CLASS_NAME("SyncTolvaneSet"),
    "SyncTolvaneSet()\n--\n\nA thread-safe, concurrent 64-bit integer set with optimistic "
    "concurrency control (OCC).\n\nLookups, scans and range queries run on the optimistic path "
    "and release the GIL, which lets reads proceed on several processor cores at once.",
    sizeof(Obj),
    Common::slots(methods(), {{Py_sq_contains, reinterpret_cast<void*>(contains_slot)},
                              {Py_tp_iter, reinterpret_cast<void*>(iterate)}})};

}  // namespace

ClassSpec& sync_set_class() { return SyncSetClass::spec; }

}  // namespace tolvane::py
