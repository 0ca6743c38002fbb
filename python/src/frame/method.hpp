#pragma once
// The call sequence every method and slot runs, in this order: parse the
// arguments (methods with parameters only), check the calling thread, take the
// borrow, then the body, which converts its arguments in parameter order and
// runs one engine operation. The borrow is given back on every path.
//
// Every entry from the interpreter runs inside raising_memory_error once:
// running out of memory while a call copies its input or builds its result
// (conversion vectors, packed-buffer copies, snapshots, listings) raises
// MemoryError. Inputs are copied before the container is changed and results
// are built from a container that is only read, while the engine's mutations
// are noexcept (running out of memory inside one is fatal, like a node
// allocation): a MemoryError leaves the container as it was. A thread that
// the interpreter ends inside the call is parked here at the latest (see
// ended_thread.hpp), not unwound out of this noexcept frame.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>

#include "frame/args.hpp"
#include "frame/convert.hpp"
#include "frame/ended_thread.hpp"
#include "frame/note.hpp"
#include "frame/object.hpp"

namespace tolvane::py {

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoargsFunction = PyObject* (*)(PyObject*, PyObject*);

template <FastcallFunction F>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}
template <NoargsFunction F>
PyCFunction as_method() {
    return F;
}

// `body()`, or `failure` with MemoryError raised when it runs out of memory.
template <class R, class Body>
R raising_memory_error(R failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return failure;
    } catch (abi::__forced_unwind&) {
        park_ended_thread();
    }
}

// Thread check and borrow around `body(obj)`; `failure` is what the slot
// returns to the interpreter when either is refused.
template <class Class, Borrow Kind, class R, class Body>
R on_object(PyObject* self, R failure, Body&& body) {
    Instance<Class>& obj = *instance<Class>(self);
    if (!on_owner_thread(obj)) return failure;
    BorrowGuard guard(obj.borrow, Kind);
    if (!guard.held()) return failure;
    return body(obj);
}

// The same as the entry of a slot.
template <class Class, Borrow Kind, class R, class Body>
R with_object(PyObject* self, R failure, Body&& body) {
    return raising_memory_error(failure,
                                [&] { return on_object<Class, Kind>(self, failure, body); });
}

// A method with parameters: `body(obj, args)`.
template <class Class, Borrow Kind, class Body>
PyObject* call_method(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Body&& body) {
    return raising_memory_error(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        Args parsed(sig);
        if (!parsed.parse_fastcall(args, nargs, kwnames)) return nullptr;
        return on_object<Class, Kind>(self, static_cast<PyObject*>(nullptr),
                                      [&](Instance<Class>& obj) { return body(obj, parsed); });
    });
}

// A method without parameters, a property or a slot returning an object.
template <class Class, Borrow Kind, class Body>
PyObject* call_plain(PyObject* self, Body&& body) {
    return with_object<Class, Kind>(self, static_cast<PyObject*>(nullptr), body);
}

// The entry points the interpreter calls for a method, around a body that
// runs inside the call sequence once the object is checked and borrowed:
// `PyObject* body(Instance<Class>&, Args&)` for a method with parameters,
// `PyObject* body(Instance<Class>&)` for one without.
template <class Class, Borrow Kind, const Signature& Sig, auto Body>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Class, Kind>(self, Sig, args, nargs, kwnames, Body);
}

// A static method: parsed arguments only, no object, thread check or borrow.
template <const Signature& Sig, auto Body>
PyObject* static_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return raising_memory_error(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        Args parsed(Sig);
        if (!parsed.parse_fastcall(args, nargs, kwnames)) return nullptr;
        return Body(parsed);
    });
}

template <class Class, Borrow Kind, auto Body>
PyObject* noargs_entry(PyObject* self, PyObject*) {
    return call_plain<Class, Kind>(self, Body);
}

// The operand of a slot, converted as the parameter it stands for ("key" for
// item access and membership, "val" for the assigned value).
inline bool slot_u64(PyObject* operand, const char* name, std::uint64_t& out) {
    if (to_u64(operand, out)) return true;
    add_argument_note(name);
    return false;
}

}  // namespace tolvane::py
