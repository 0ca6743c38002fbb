#pragma once
// What the Python classes SyncTolvaneMap and SyncTolvaneSet have in common.
// An object holds a shared handle to its engine container and a borrow flag;
// it is bound to no thread. Every call takes a shared borrow (no operation of
// these classes takes the exclusive one, so it cannot be refused), converts
// its arguments with the interpreter lock held, releases the lock for the
// engine work and takes it back to build the result. A class adds to the
// traits SharedEngine<Engine> gives:
//
//   static constexpr const char* name;       // its Python name
//   static constexpr const char* type_path;
//   static ClassSpec spec;
//
// Rank, select, range and scans run on the embedded engine container inside
// one exclusive section after a refold of the population counts.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>

#include "frame/gil.hpp"
#include "frame/method.hpp"
#include "frame/method_table.hpp"
#include "frame/sized_slots.hpp"
#include "tolvane/core/key_value.hpp"

namespace tolvane::py {

// The traits of object.hpp for a shared handle to a concurrent engine
// container: bound to no thread; releasing an object drops its handle, and
// the engine container goes with the last one.
template <class E>
struct SharedEngine {
    using Engine = E;
    using Native = std::shared_ptr<Engine>;
    static constexpr bool thread_bound = false;
    static void release(Native& handle) { std::destroy_at(&handle); }
};

inline PyObject* entry_result(const std::optional<KeyValue>& entry) {
    return entry ? pair_result(entry->key, entry->value) : none_result();
}

template <class C>
struct SyncContainer : SizedSlots<C, SyncContainer<C>> {
    using Sized = SizedSlots<C, SyncContainer<C>>;
    using Engine = typename C::Engine;
    using Handle = std::shared_ptr<Engine>;
    using Obj = Instance<C>;
    static constexpr Borrow S = Borrow::Shared;

    static constexpr Signature kNew{C::name, "__new__", {}, 0, 0};
    static constexpr Signature kCountBelow = signature(C::name, "count_below", {"key"}, 1);
    static constexpr Signature kByCount = signature(C::name, "by_count", {"index"}, 1);
    static constexpr Signature kCountRange = signature(C::name, "count_range", {"start", "end"}, 2);
    static constexpr Signature kRange =
        signature(C::name, "range", {"start", "end", "inclusive"}, 0);
    static constexpr Signature kNext = signature(C::name, "next", {"key", "inclusive"}, 1);
    static constexpr Signature kPrev = signature(C::name, "prev", {"key", "inclusive"}, 1);
    static constexpr Signature kUpdate = signature(C::name, "update", {"other"}, 1);

    // The engine is built with the interpreter lock held; when the object
    // cannot be allocated the handle goes, and the engine with it.
    static PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) {
        return raising_memory_error(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
            Args parsed(kNew);
            if (!parsed.parse_tuple_dict(args, kwargs)) return nullptr;
            return allocate<C>(std::make_shared<Engine>()).release();
        });
    }

    static Engine& engine(Obj& o) { return *o.native; }

    // `query(engine container)` inside the exclusive section after a refold,
    // with the interpreter lock released.
    template <class Query>
    static auto exclusive_query(Obj& o, Query&& query) {
        Engine& e = engine(o);
        return without_gil([&] { return e.shared().query_refolded(query); });
    }

    // When `other` is an object of this class whose borrow can be shared:
    // `use(snapshot(its embedded engine container))`, the snapshot taken in
    // one exclusive section with the interpreter lock released, and true.
    // False, with nothing called, otherwise.
    template <class Snapshot, class Use>
    static bool from_same_class(PyObject* other, Snapshot&& snapshot, Use&& use) {
        if (!PyObject_TypeCheck(other, class_object_or_die(C::spec))) return false;
        Obj& source = *instance<C>(other);
        if (!source.borrow.try_shared()) return false;
        BorrowRelease hold(source.borrow);
        const Handle handle = source.native;
        use(without_gil([&] { return handle->shared().query_refolded(snapshot); }));
        return true;
    }

    // The entry count behind the size slots of sized_slots.hpp.
    static std::uint64_t count(Obj& o) {
        Engine& e = engine(o);
        return without_gil([&] { return e.len(); });
    }

    // ---- clearing and memory ----

    static PyObject* clear(Obj& o) {
        Engine& e = engine(o);
        without_gil([&] { e.clear(); });
        return none_result();
    }
    static PyObject* mem_held(Obj& o) {
        Engine& e = engine(o);
        return u64_result(without_gil([&] { return e.mem_held(); }));
    }
    static PyObject* shrink_to_fit(Obj& o) {
        Engine& e = engine(o);
        return u64_result(without_gil([&] { return e.shared().release_collector(); }));
    }

    // ---- counting queries ----

    static PyObject* count_below(Obj& o, Args& a) {
        std::uint64_t key;
        if (!a.u64(0, key)) return nullptr;
        return u64_result(exclusive_query(o, [key](auto& t) { return t.count_below(key); }));
    }
    static PyObject* count_range(Obj& o, Args& a) {
        std::uint64_t start, end;
        if (!a.u64(0, start) || !a.u64(1, end)) return nullptr;
        return u64_result(
            exclusive_query(o, [start, end](auto& t) { return t.count_range(start, end); }));
    }

    // range(start=None, end=None, inclusive=True): start and end may be None.
    struct RangeArgs {
        std::uint64_t start = 0;
        std::optional<std::uint64_t> end;
        bool inclusive = true;
    };
    static bool range_args(Args& a, RangeArgs& r) {
        if (a.present(0) && !a.u64(0, r.start)) return false;
        if (a.present(1)) {
            std::uint64_t end;
            if (!a.u64(1, end)) return false;
            r.end = end;
        }
        return !a.given(2) || a.boolean(2, r.inclusive);
    }
    // The ordered snapshot `range` hands out.
    static auto range_snapshot(Obj& o, const RangeArgs& r) {
        return exclusive_query(o, [&r](auto& t) { return t.range(r.start, r.end, r.inclusive); });
    }

    // next/prev(key, inclusive=False): `inclusive` is converted when given,
    // None included (which it refuses).
    static bool step_args(Args& a, std::uint64_t& key, bool& inclusive) {
        inclusive = false;
        if (!a.u64(0, key)) return false;
        return !a.given(1) || a.boolean(1, inclusive);
    }

    // ---- class definition ----

    // The shared slots and the class's `own`.
    static PyType_Slot* slots(PyMethodDef* methods, std::initializer_list<PyType_Slot> own) {
        return Sized::slots(&construct, methods,
                            {{Py_tp_repr, reinterpret_cast<void*>(&Sized::representation)}}, own);
    }
};

}  // namespace tolvane::py
