// The Python class TolvaneSet: a sparse, ordered set of unsigned 64-bit
// integers, owning one engine set by value and bound to the thread that
// created it. Every method is the frame's call sequence around one engine
// operation.

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "buffer.hpp"
#include "classes.hpp"
#include "method.hpp"
#include "tolvane/listing.hpp"
#include "tolvane/set.hpp"

namespace tolvane::py {
namespace {

using Engine = tolvane::TolvaneSet;
using Key = std::optional<std::uint64_t>;

struct SetClass {
    using Native = Engine;
    static constexpr bool thread_bound = true;
    static constexpr const char* type_path = "_tolvane::set::TolvaneSet";
    static ClassSpec spec;
    // The engine's destructor gives back every node, then drops its allocator.
    static void release(Native& set) { std::destroy_at(&set); }
};
using Obj = Instance<SetClass>;

constexpr Borrow S = Borrow::Shared;
constexpr Borrow X = Borrow::Exclusive;

PyObject* none() { Py_RETURN_NONE; }

// ---- neighbours --------------------------------------------------------------

Key at_or_after(const Engine& set, std::uint64_t key) { return set.next_at_or_after(key); }
Key at_or_before(const Engine& set, std::uint64_t key) { return set.prev_at_or_before(key); }
Key after(const Engine& set, std::uint64_t key) { return set.next_after(key); }
Key before(const Engine& set, std::uint64_t key) { return set.prev_before(key); }

// ---- filling from Python input ---------------------------------------------

// Inserts every item of an iterable as it arrives; `count` tells how many
// items were consumed, and what went in before a failure stays in.
bool insert_from_iterable(Engine& set, PyObject* items, std::uint64_t& count) {
    Ref iterator(PyObject_GetIter(items));
    if (!iterator) return false;
    while (Ref item{PyIter_Next(iterator.get())}) {
        std::uint64_t key;
        if (!to_u64(item.get(), key)) return false;
        item = Ref();
        set.insert_deferred(key);
        ++count;
    }
    return !PyErr_Occurred();
}

// ---- construction -------------------------------------------------------------

constexpr Signature kNew = signature("TolvaneSet", "__new__", {"iterable"}, 0);

PyObject* set_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    Args parsed(kNew);
    if (!parsed.parse_tuple_dict(args, kwargs)) return nullptr;
    // Built inside its object, which no Python code can reach before it is
    // returned; a failure drops the object and its keys.
    Ref self = allocate<SetClass>();
    if (!self) return nullptr;
    std::uint64_t count = 0;
    if (parsed.present(0) &&
        !insert_from_iterable(instance<SetClass>(self.get())->native, parsed[0], count))
        return nullptr;
    return self.release();
}

// ---- membership and mutations ------------------------------------------------

PyObject* is_empty(PyObject* self, PyObject*) {
    return call_plain<SetClass, S>(self, [](Obj& o) { return bool_result(o.native.size() == 0); });
}

PyObject* empty_property(PyObject* self, void*) { return is_empty(self, nullptr); }

constexpr Signature kContains = signature("TolvaneSet", "contains", {"key"}, 1);

PyObject* contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SetClass, S>(self, kContains, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t key;
        if (!a.u64(0, key)) return nullptr;
        return bool_result(o.native.contains(key));
    });
}

constexpr Signature kContainsBatch = signature("TolvaneSet", "contains_batch", {"keys"}, 1);

PyObject* contains_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return call_method<SetClass, S>(self, kContainsBatch, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::vector<std::uint64_t> keys;
        if (!a.u64_sequence(0, keys)) return nullptr;
        std::vector<std::uint8_t> answers(keys.size());
        for (std::size_t i = 0; i < keys.size(); ++i) answers[i] = o.native.contains(keys[i]);
        Ref list(PyList_New(static_cast<Py_ssize_t>(answers.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < answers.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), bool_result(answers[i] != 0));
        return list.release();
    });
}

// One key in, a flag out: insert/add and remove/discard.
template <const Signature& Sig, bool (Engine::*Operation)(std::uint64_t)>
PyObject* mutate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SetClass, X>(self, Sig, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t key;
        if (!a.u64(0, key)) return nullptr;
        return bool_result((o.native.*Operation)(key));
    });
}

constexpr Signature kInsert = signature("TolvaneSet", "insert", {"key"}, 1);
constexpr Signature kAdd = signature("TolvaneSet", "add", {"key"}, 1);
constexpr Signature kRemove = signature("TolvaneSet", "remove", {"key"}, 1);
constexpr Signature kDiscard = signature("TolvaneSet", "discard", {"key"}, 1);

PyObject* pop(PyObject* self, PyObject*) {
    return call_plain<SetClass, X>(self, [](Obj& o) -> PyObject* {
        if (auto key = o.native.pop()) return u64_result(*key);
        PyErr_SetString(PyExc_KeyError, "pop from an empty TolvaneSet");
        return nullptr;
    });
}

PyObject* clear(PyObject* self, PyObject*) {
    return call_plain<SetClass, X>(self, [](Obj& o) {
        o.native.clear_entries();
        o.native.alloc.release_free();
        return none();
    });
}

// ---- memory statistics -----------------------------------------------------

PyObject* mem_used(PyObject* self, PyObject*) {
    return call_plain<SetClass, S>(self,
                                   [](Obj& o) { return u64_result(o.native.alloc.live_bytes()); });
}

PyObject* mem_held(PyObject* self, PyObject*) {
    return call_plain<SetClass, S>(self,
                                   [](Obj& o) { return u64_result(o.native.alloc.bytes_held()); });
}

PyObject* shrink_to_fit(PyObject* self, PyObject*) {
    return call_plain<SetClass, X>(self,
                                   [](Obj& o) { return u64_result(o.native.alloc.release_free()); });
}

PyObject* total_node_allocs(PyObject* self, PyObject*) {
    return call_plain<SetClass, S>(
        self, [](Obj& o) { return u64_result(o.native.alloc.total_allocs()); });
}

// ---- neighbours, rank and select -------------------------------------------

PyObject* first(PyObject* self, PyObject*) {
    return call_plain<SetClass, S>(
        self, [](Obj& o) { return optional_u64_result(at_or_after(o.native, 0)); });
}

PyObject* last(PyObject* self, PyObject*) {
    return call_plain<SetClass, S>(
        self, [](Obj& o) { return optional_u64_result(o.native.last()); });
}

using Neighbour = Key (*)(const Engine&, std::uint64_t);

template <const Signature& Sig, Neighbour Query>
PyObject* neighbour(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SetClass, S>(self, Sig, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t key;
        if (!a.u64(0, key)) return nullptr;
        return optional_u64_result(Query(o.native, key));
    });
}

// next/prev: `inclusive` picks the at-or form; it is converted only when given.
template <const Signature& Sig, Neighbour Inclusive, Neighbour Exclusive>
PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SetClass, S>(self, Sig, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t key;
        bool inclusive = false;
        if (!a.u64(0, key)) return nullptr;
        if (a.given(1) && !a.boolean(1, inclusive)) return nullptr;
        return optional_u64_result(inclusive ? Inclusive(o.native, key) : Exclusive(o.native, key));
    });
}

constexpr Signature kNextAtOrAfter = signature("TolvaneSet", "next_at_or_after", {"key"}, 1);
constexpr Signature kNextAfter = signature("TolvaneSet", "next_after", {"key"}, 1);
constexpr Signature kPrevAtOrBefore = signature("TolvaneSet", "prev_at_or_before", {"key"}, 1);
constexpr Signature kPrevBefore = signature("TolvaneSet", "prev_before", {"key"}, 1);
constexpr Signature kNext = signature("TolvaneSet", "next", {"key", "inclusive"}, 1);
constexpr Signature kPrev = signature("TolvaneSet", "prev", {"key", "inclusive"}, 1);

constexpr Signature kCountBelow = signature("TolvaneSet", "count_below", {"key"}, 1);

PyObject* count_below(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SetClass, S>(self, kCountBelow, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t key;
        if (!a.u64(0, key)) return nullptr;
        return u64_result(o.native.count_below(key));
    });
}

constexpr Signature kByCount = signature("TolvaneSet", "by_count", {"index"}, 1);

PyObject* by_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SetClass, S>(self, kByCount, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t index;
        if (!a.u64(0, index)) return nullptr;
        return optional_u64_result(o.native.by_count(index));
    });
}

constexpr Signature kCountRange = signature("TolvaneSet", "count_range", {"start", "end"}, 2);

PyObject* count_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SetClass, S>(self, kCountRange, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t start, end;
        if (!a.u64(0, start) || !a.u64(1, end)) return nullptr;
        return u64_result(o.native.count_range(start, end));
    });
}

PyObject* validate(PyObject* self, PyObject*) {
    return call_plain<SetClass, S>(
        self, [](Obj& o) { return bool_result(!o.native.validate_defensive().has_value()); });
}

// ---- listings ---------------------------------------------------------------

constexpr Signature kRange =
    signature("TolvaneSet", "range", {"start", "end", "inclusive"}, 0);

PyObject* range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SetClass, S>(self, kRange, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        std::uint64_t start = 0, end = 0;
        bool inclusive = true;
        if (a.present(0) && !a.u64(0, start)) return nullptr;
        const bool bounded = a.present(1);
        if (bounded && !a.u64(1, end)) return nullptr;
        if (a.given(2) && !a.boolean(2, inclusive)) return nullptr;

        std::vector<std::uint64_t> taken;
        auto it = o.native.iter_fwd_raw();
        bool started = false;
        while (auto key = find_at_or_after(it, started, start)) {
            if (bounded && (inclusive ? *key > end : *key >= end)) break;
            taken.push_back(*key);
        }
        return u64_list_result(taken);
    });
}

PyObject* to_list(PyObject* self, PyObject*) {
    return call_plain<SetClass, S>(
        self, [](Obj& o) {
            auto it = o.native.iter_fwd_raw();
            return u64_list_result(collect_keys(it));
        });
}

// ---- bulk input -------------------------------------------------------------

constexpr Signature kUpdate = signature("TolvaneSet", "update", {"other"}, 1);

// Another TolvaneSet is read straight from its engine while holding a shared
// borrow of it; when that borrow cannot be had (it is being mutated, or it is
// this set), it is iterated like any other object, which then reports the
// conflict.
PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SetClass, X>(self, kUpdate, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        PyObject* other = a[0];
        if (PyObject_TypeCheck(other, class_object_or_die(SetClass::spec))) {
            Obj& source = *instance<SetClass>(other);
            if (!on_owner_thread(source)) return nullptr;
            if (source.borrow.try_shared()) {
                Ref hold = Ref::borrow(other);
                auto it = source.native.iter_fwd_raw();
                while (auto key = it.next()) o.native.insert_deferred(*key);
                source.borrow.release(Borrow::Shared);
                return none();
            }
        }
        std::uint64_t count = 0;
        return insert_from_iterable(o.native, other, count) ? none() : nullptr;
    });
}

constexpr Signature kInsertMany = signature("TolvaneSet", "insert_many", {"keys"}, 1);

PyObject* insert_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SetClass, X>(self, kInsertMany, args, nargs, kwnames,
                                    [](Obj& o, Args& a) -> PyObject* {
        buffer::PackedSource source = buffer::packed_byte_source(a[0]);
        if (source.kind == buffer::PackedSource::Kind::Error) return nullptr;
        if (source.kind == buffer::PackedSource::Kind::Packed) {
            auto keys = buffer::bytes_as_u64_vec(source.bytes, "keys");
            if (!keys) return nullptr;
            for (std::uint64_t key : *keys) o.native.insert_deferred(key);
            return u64_result(keys->size());
        }
        std::uint64_t count = 0;
        if (!insert_from_iterable(o.native, a[0], count)) return nullptr;
        return u64_result(count);
    });
}

// ---- slots ------------------------------------------------------------------

Py_ssize_t length(PyObject* self) {
    return with_object<SetClass, S>(self, Py_ssize_t{-1},
                                    [](Obj& o) { return length_result(o.native.size()); });
}

int truth(PyObject* self) {
    return with_object<SetClass, S>(self, -1, [](Obj& o) { return o.native.size() != 0 ? 1 : 0; });
}

int contains_slot(PyObject* self, PyObject* operand) {
    return with_object<SetClass, S>(self, -1, [&](Obj& o) {
        std::uint64_t key;
        if (!slot_u64(operand, "key", key)) return -1;
        return o.native.contains(key) ? 1 : 0;
    });
}

PyObject* iterate(PyObject* self) {
    return call_plain<SetClass, S>(
        self, [](Obj& o) {
            auto it = o.native.iter_fwd_raw();
            return new_set_iter(collect_keys(it));
        });
}

PyObject* representation(PyObject* self) {
    return call_plain<SetClass, S>(self, [](Obj& o) {
        return PyUnicode_FromFormat("TolvaneSet(len=%llu)",
                                    static_cast<unsigned long long>(o.native.size()));
    });
}

// ---- class definition -------------------------------------------------------

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"is_empty", as_method<is_empty>(), METH_NOARGS,
     "is_empty($self)\n--\n\nTrue when no elements are in the set.\nTrue when empty."},
    {"contains", as_method<contains>(), kFast,
     "contains($self, key)\n--\n\nReturns True if key is present in the set."},
    {"contains_batch", as_method<contains_batch>(), kFast,
     "contains_batch($self, keys)\n--\n\nChecks membership for a batch of keys, returning a list "
     "of bools."},
    {"insert", as_method<mutate<kInsert, &Engine::insert_deferred>>(), kFast,
     "insert($self, key)\n--\n\nInserts `key` into the set; returns `True` if it was not "
     "present."},
    {"add", as_method<mutate<kAdd, &Engine::insert_deferred>>(), kFast,
     "add($self, key)\n--\n\nAdds `key` to the set (standard Python set method). Returns `True` "
     "if newly inserted."},
    {"remove", as_method<mutate<kRemove, &Engine::remove_deferred>>(), kFast,
     "remove($self, key)\n--\n\nRemoves `key` from the set; returns `True` if it was present, "
     "`False` otherwise."},
    {"discard", as_method<mutate<kDiscard, &Engine::remove_deferred>>(), kFast,
     "discard($self, key)\n--\n\nRemoves `key` if present; returns `True` if it was present, "
     "`False` otherwise."},
    {"pop", as_method<pop>(), METH_NOARGS,
     "pop($self)\n--\n\nRemoves and returns the smallest element in the set; raises `KeyError` if "
     "empty."},
    {"clear", as_method<clear>(), METH_NOARGS,
     "clear($self)\n--\n\nRemoves all elements from the set."},
    {"mem_used", as_method<mem_used>(), METH_NOARGS,
     "mem_used($self)\n--\n\nHeap bytes used by the set allocations."},
    {"mem_held", as_method<mem_held>(), METH_NOARGS,
     "mem_held($self)\n--\n\nHeap bytes the set holds from the system allocator: `mem_used()`\n"
     "plus freed blocks kept for reuse and unused slab space."},
    {"shrink_to_fit", as_method<shrink_to_fit>(), METH_NOARGS,
     "shrink_to_fit($self)\n--\n\nReturns the freed blocks the set retains to the system "
     "allocator\nand returns the bytes released. Nothing moves and `mem_used()` is\nunchanged; "
     "`clear()` also returns them."},
    {"total_node_allocs", as_method<total_node_allocs>(), METH_NOARGS,
     "total_node_allocs($self)\n--\n\nTotal node allocations performed by the trie engine."},
    {"first", as_method<first>(), METH_NOARGS, "first($self)\n--\n\nSmallest element in the set."},
    {"last", as_method<last>(), METH_NOARGS, "last($self)\n--\n\nLargest element in the set."},
    {"next", as_method<step<kNext, at_or_after, after>>(), kFast,
     "next($self, key, inclusive=False)\n--\n\nSmallest element with key `> key` (or `>= key` if "
     "`inclusive=True`)."},
    {"next_at_or_after", as_method<neighbour<kNextAtOrAfter, at_or_after>>(), kFast,
     "next_at_or_after($self, key)\n--\n\nSmallest element with key `>= key`."},
    {"next_after", as_method<neighbour<kNextAfter, after>>(), kFast,
     "next_after($self, key)\n--\n\nSmallest element with key `> key`."},
    {"prev", as_method<step<kPrev, at_or_before, before>>(), kFast,
     "prev($self, key, inclusive=False)\n--\n\nLargest element with key `< key` (or `<= key` if "
     "`inclusive=True`)."},
    {"prev_at_or_before", as_method<neighbour<kPrevAtOrBefore, at_or_before>>(), kFast,
     "prev_at_or_before($self, key)\n--\n\nLargest element with key `<= key`."},
    {"prev_before", as_method<neighbour<kPrevBefore, before>>(), kFast,
     "prev_before($self, key)\n--\n\nLargest element with key `< key`."},
    {"count_below", as_method<count_below>(), kFast,
     "count_below($self, key)\n--\n\nNumber of keys strictly below `key` (rank)."},
    {"by_count", as_method<by_count>(), kFast,
     "by_count($self, index)\n--\n\nThe element with `index` keys below it (0-based select)."},
    {"count_range", as_method<count_range>(), kFast,
     "count_range($self, start, end)\n--\n\nNumber of keys in the range `[start, end]`."},
    {"validate", as_method<validate>(), METH_NOARGS,
     "validate($self)\n--\n\nValidates internal structural invariants."},
    {"range", as_method<range>(), kFast,
     "range($self, start=None, end=None, inclusive=True)\n--\n\nReturns a list of elements in the "
     "range `[start, end]` (inclusive)."},
    {"to_list", as_method<to_list>(), METH_NOARGS,
     "to_list($self)\n--\n\nReturns all keys as a Python list in ascending order."},
    {"update", as_method<update>(), kFast,
     "update($self, other)\n--\n\nUpdates the set from another set or iterable."},
    {"insert_many", as_method<insert_many>(), kFast,
     "insert_many($self, keys)\n--\n\nBulk insertion from a buffer or iterable of integers. "
     "Zero-copy if C-contiguous."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"empty", empty_property, nullptr, "Property returning True if empty.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(set_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate<SetClass>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {Py_mp_length, reinterpret_cast<void*>(length)},
    {Py_nb_bool, reinterpret_cast<void*>(truth)},
    {Py_sq_contains, reinterpret_cast<void*>(contains_slot)},
    {Py_tp_iter, reinterpret_cast<void*>(iterate)},
    {Py_tp_repr, reinterpret_cast<void*>(representation)},
    {0, nullptr},
};

ClassSpec SetClass::spec{TOLVANE_CLASS_NAME("TolvaneSet"),
                         "TolvaneSet(iterable=None)\n--\n\nA sparse, dynamic 64-bit unsigned integer set",
                         sizeof(Obj), slots};

}  // namespace

ClassSpec& set_class() { return SetClass::spec; }

}  // namespace tolvane::py
