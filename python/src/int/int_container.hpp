#pragma once
// What the Python classes TolvaneMap and TolvaneSet have in common: the same
// call sequence around the same engine call, differing only in what one item
// is (a key with its value, or a key) and in the wording of their
// documentation. A class adds to the traits of object.hpp:
//
//   static constexpr const char* name;                   // its Python name
//   static constexpr const char* constructor_parameter;  // "items", "iterable"
//   static bool has_key(const Native&, u64 key);
//   static void insert_item(Native&, const Item&);       // read from a twin
//   static bool insert_from(Native&, PyObject* source);  // any other input
//   static PyObject* key_iterator(const Native&);        // the iteration slot
//
// Item is what the engine's forward iterator yields; a twin is another object
// of the same class. insert_from serves both the constructor and update,
// which read their input the same way.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

#include "frame/method.hpp"
#include "frame/method_table.hpp"
#include "tolvane/core/key_value.hpp"
#include "tolvane/read/listing.hpp"

namespace tolvane::py {

// ---- answers as Python objects ---------------------------------------------

// A key or count as int, an entry as a (key, value) tuple, none as None, a
// vector as a list.
inline PyObject* to_python(std::uint64_t value) { return u64_result(value); }
inline PyObject* to_python(const KeyValue& entry) { return pair_result(entry.key, entry.value); }

template <class T>
PyObject* to_python(const std::optional<T>& answer) {
    return answer ? to_python(*answer) : none_result();
}

template <class T>
PyObject* to_python(const std::vector<T>& answers) {
    return list_of(answers, [](const T& answer) { return to_python(answer); });
}

inline std::vector<KeyValue> collect_all(MapIter& it) { return collect_entries(it); }
inline std::vector<std::uint64_t> collect_all(SetIter& it) { return collect_keys(it); }

// ---- the shared methods and slots -----------------------------------------

// Texts of the shared rows that differ between the classes; the rows'
// names and parameter lists are the same for both.
struct SharedDocs {
    const char* clear;
    const char* mem_used;
    const char* mem_held;
    const char* shrink_to_fit;
    const char* first;
    const char* last;
    const char* next;
    const char* next_at_or_after;
    const char* next_after;
    const char* prev;
    const char* prev_at_or_before;
    const char* prev_before;
    const char* by_count;
    const char* range;
    const char* to_list;
};

template <class C>
struct IntContainer {
    using Engine = typename C::Native;
    using Obj = Instance<C>;
    using Item = typename decltype(std::declval<const Engine&>().iter_fwd_raw())::Item;
    using Query = std::optional<Item> (Engine::*)(std::uint64_t) const;

    static constexpr Borrow S = Borrow::Shared;
    static constexpr Borrow X = Borrow::Exclusive;

    static constexpr Signature kNew = signature(C::name, "__new__", {C::constructor_parameter}, 0);
    static constexpr Signature kContains = signature(C::name, "contains", {"key"}, 1);
    static constexpr Signature kNextAtOrAfter = signature(C::name, "next_at_or_after", {"key"}, 1);
    static constexpr Signature kNextAfter = signature(C::name, "next_after", {"key"}, 1);
    static constexpr Signature kPrevAtOrBefore =
        signature(C::name, "prev_at_or_before", {"key"}, 1);
    static constexpr Signature kPrevBefore = signature(C::name, "prev_before", {"key"}, 1);
    static constexpr Signature kNext = signature(C::name, "next", {"key", "inclusive"}, 1);
    static constexpr Signature kPrev = signature(C::name, "prev", {"key", "inclusive"}, 1);
    static constexpr Signature kCountBelow = signature(C::name, "count_below", {"key"}, 1);
    static constexpr Signature kByCount = signature(C::name, "by_count", {"index"}, 1);
    static constexpr Signature kCountRange = signature(C::name, "count_range", {"start", "end"}, 2);
    static constexpr Signature kRange =
        signature(C::name, "range", {"start", "end", "inclusive"}, 0);
    static constexpr Signature kUpdate = signature(C::name, "update", {"other"}, 1);

    // The object is built around an empty engine that no Python code can
    // reach before it is returned; a failure drops the object and what was
    // put in so far.
    static PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) {
        return raising_memory_error(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
            Args parsed(kNew);
            if (!parsed.parse_tuple_dict(args, kwargs)) return nullptr;
            Ref self = allocate<C>();
            if (!self) return nullptr;
            if (parsed.present(0) && !C::insert_from(instance<C>(self.get())->native, parsed[0]))
                return nullptr;
            return self.release();
        });
    }

    // ---- method bodies: emptiness and membership ----

    static PyObject* is_empty(Obj& o) { return bool_result(o.native.size() == 0); }

    static PyObject* contains(Obj& o, Args& a) {
        std::uint64_t key;
        if (!a.u64(0, key)) return nullptr;
        return bool_result(C::has_key(o.native, key));
    }

    // ---- clearing and memory statistics ----

    static PyObject* clear(Obj& o) {
        o.native.clear_entries();
        o.native.alloc.release_free();
        return none_result();
    }

    static PyObject* mem_used(Obj& o) { return u64_result(o.native.alloc.live_bytes()); }
    static PyObject* mem_held(Obj& o) { return u64_result(o.native.alloc.bytes_held()); }
    static PyObject* shrink_to_fit(Obj& o) { return u64_result(o.native.alloc.release_free()); }
    static PyObject* total_node_allocs(Obj& o) { return u64_result(o.native.alloc.total_allocs()); }

    // ---- neighbours, rank and select ----

    static PyObject* first(Obj& o) { return to_python(o.native.next_at_or_after(0)); }
    static PyObject* last(Obj& o) { return to_python(o.native.last()); }

    // A query of one integer argument: a key, or the index of by_count.
    template <auto Ask>
    static PyObject* query(Obj& o, Args& a) {
        std::uint64_t key;
        if (!a.u64(0, key)) return nullptr;
        return to_python((o.native.*Ask)(key));
    }

    // next/prev: `inclusive` picks the at-or form; it is converted only when given.
    template <Query Inclusive, Query Exclusive>
    static PyObject* step(Obj& o, Args& a) {
        std::uint64_t key;
        bool inclusive = false;
        if (!a.u64(0, key)) return nullptr;
        if (a.given(1) && !a.boolean(1, inclusive)) return nullptr;
        return to_python(inclusive ? (o.native.*Inclusive)(key) : (o.native.*Exclusive)(key));
    }

    static PyObject* count_range(Obj& o, Args& a) {
        std::uint64_t start, end;
        if (!a.u64(0, start) || !a.u64(1, end)) return nullptr;
        return u64_result(o.native.count_range(start, end));
    }

    static PyObject* validate(Obj& o) {
        return bool_result(!o.native.validate_defensive().has_value());
    }

    // ---- listings ----

    static PyObject* range(Obj& o, Args& a) {
        std::uint64_t start = 0, end = 0;
        bool inclusive = true;
        if (a.present(0) && !a.u64(0, start)) return nullptr;
        const bool bounded = a.present(1);
        if (bounded && !a.u64(1, end)) return nullptr;
        if (a.given(2) && !a.boolean(2, inclusive)) return nullptr;

        // The engine starts its walk at the first key >= start, so a range
        // costs its length, not its offset.
        const auto taken =
            o.native.range(start, bounded ? std::optional<std::uint64_t>(end) : std::nullopt, inclusive);
        return to_python(taken);
    }

    static PyObject* to_list(Obj& o) {
        auto it = o.native.iter_fwd_raw();
        return to_python(collect_all(it));
    }

    // ---- merging ----

    // Another object of this class is read straight from its engine while
    // holding a shared borrow of it. When that borrow cannot be had (it is
    // being mutated, or it is this object) it is read like any other input,
    // which then reports the conflict.
    static PyObject* update(Obj& o, Args& a) {
        PyObject* other = a[0];
        if (PyObject_TypeCheck(other, class_object_or_die(C::spec))) {
            Obj& source = *instance<C>(other);
            if (!on_owner_thread(source)) return nullptr;
            if (source.borrow.try_shared()) {
                Ref hold = Ref::borrow(other);
                auto it = source.native.iter_fwd_raw();
                while (auto item = it.next()) C::insert_item(o.native, *item);
                source.borrow.release(Borrow::Shared);
                return none_result();
            }
        }
        return C::insert_from(o.native, other) ? none_result() : nullptr;
    }

    // ---- slots ----

    static PyObject* empty_property(PyObject* self, void*) {
        return noargs_entry<C, S, is_empty>(self, nullptr);
    }

    static Py_ssize_t length(PyObject* self) {
        return with_object<C, S>(self, Py_ssize_t{-1},
                                 [](Obj& o) { return length_result(o.native.size()); });
    }

    static int truth(PyObject* self) {
        return with_object<C, S>(self, -1, [](Obj& o) { return o.native.size() != 0 ? 1 : 0; });
    }

    static int contains_slot(PyObject* self, PyObject* operand) {
        return with_object<C, S>(self, -1, [&](Obj& o) {
            std::uint64_t key;
            if (!slot_u64(operand, "key", key)) return -1;
            return C::has_key(o.native, key) ? 1 : 0;
        });
    }

    static PyObject* iterate(PyObject* self) {
        return call_plain<C, S>(self, [](Obj& o) { return C::key_iterator(o.native); });
    }

    static PyObject* representation(PyObject* self) {
        return call_plain<C, S>(self, [](Obj& o) {
            return PyUnicode_FromFormat("%s(len=%llu)", C::name,
                                        static_cast<unsigned long long>(o.native.size()));
        });
    }

    // ---- class definition ----

    // One direction of the neighbour queries: `next` (or `prev`) choosing by
    // `inclusive`, then its at-or form and its strict form.
    template <const Signature& Step, const Signature& AtOr, const Signature& Strict,
              Query Inclusive, Query Exclusive>
    static void add_neighbour_rows(MethodTable<C>& t, const char* step_doc, const char* at_or_doc,
                                   const char* strict_doc) {
        t.template keywords<S, Step, step<Inclusive, Exclusive>>("($self, key, inclusive=False)",
                                                                 step_doc);
        t.template keywords<S, AtOr, query<Inclusive>>(at_or_doc);
        t.template keywords<S, Strict, query<Exclusive>>(strict_doc);
    }

    // The shared rows from `clear` to `validate`, in table order.
    static void add_query_rows(MethodTable<C>& t, const SharedDocs& docs) {
        t.template noargs<X, clear>("clear", docs.clear);
        t.template noargs<S, mem_used>("mem_used", docs.mem_used);
        t.template noargs<S, mem_held>("mem_held", docs.mem_held);
        t.template noargs<X, shrink_to_fit>("shrink_to_fit", docs.shrink_to_fit);
        t.template noargs<S, total_node_allocs>(
            "total_node_allocs", "Total node allocations performed by the trie engine.");
        t.template noargs<S, first>("first", docs.first);
        t.template noargs<S, last>("last", docs.last);
        add_neighbour_rows<kNext, kNextAtOrAfter, kNextAfter, &Engine::next_at_or_after,
                           &Engine::next_after>(t, docs.next, docs.next_at_or_after,
                                                docs.next_after);
        add_neighbour_rows<kPrev, kPrevAtOrBefore, kPrevBefore, &Engine::prev_at_or_before,
                           &Engine::prev_before>(t, docs.prev, docs.prev_at_or_before,
                                                 docs.prev_before);
        t.template keywords<S, kCountBelow, query<&Engine::count_below>>(
            "Number of keys strictly below `key` (rank).");
        t.template keywords<S, kByCount, query<&Engine::by_count>>(docs.by_count);
        t.template keywords<S, kCountRange, count_range>(
            "Number of keys in the range `[start, end]`.");
        t.template noargs<S, validate>("validate", "Validates internal structural invariants.");
    }

    // The shared listing rows, `range` and `to_list`.
    static void add_listing_rows(MethodTable<C>& t, const SharedDocs& docs) {
        t.template keywords<S, kRange, range>("($self, start=None, end=None, inclusive=True)",
                                              docs.range);
        t.template noargs<S, to_list>("to_list", docs.to_list);
    }

    static inline PyGetSetDef properties[] = {
        {"empty", empty_property, nullptr, "Property returning True if empty.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };

    // Every slot of the class: the shared ones and the class's `own`. Made
    // once and never freed: the class object is made from them.
    static PyType_Slot* slots(PyMethodDef* methods, std::initializer_list<PyType_Slot> own = {}) {
        static auto& all = *new std::vector<PyType_Slot>{
            {Py_tp_new, reinterpret_cast<void*>(&construct)},
            {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate<C>)},
            {Py_tp_methods, methods},
            {Py_tp_getset, properties},
            {Py_mp_length, reinterpret_cast<void*>(&length)},
            {Py_nb_bool, reinterpret_cast<void*>(&truth)},
            {Py_sq_contains, reinterpret_cast<void*>(&contains_slot)},
            {Py_tp_iter, reinterpret_cast<void*>(&iterate)},
            {Py_tp_repr, reinterpret_cast<void*>(&representation)},
        };
        all.insert(all.end(), own);
        all.push_back({0, nullptr});
        return all.data();
    }
};

}  // namespace tolvane::py
