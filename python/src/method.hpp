#pragma once
// The call sequence every method and slot runs, in this order: parse the
// arguments (methods with parameters only), check the calling thread, take the
// borrow, then the body, which converts its arguments in parameter order and
// runs one engine operation. The borrow is given back on every path.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "args.hpp"
#include "convert.hpp"
#include "note.hpp"
#include "object.hpp"

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

// Thread check and borrow around `body(obj)`; `failure` is what the slot
// returns to the interpreter when either is refused.
template <class Class, Borrow Kind, class R, class Body>
R with_object(PyObject* self, R failure, Body&& body) {
    Instance<Class>& obj = *instance<Class>(self);
    if (!on_owner_thread(obj)) return failure;
    BorrowGuard guard(obj.borrow, Kind);
    if (!guard.held()) return failure;
    return body(obj);
}

// A method with parameters: `body(obj, args)`.
template <class Class, Borrow Kind, class Body>
PyObject* call_method(PyObject* self, const Signature& sig, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    Args parsed(sig);
    if (!parsed.parse_fastcall(args, nargs, kwnames)) return nullptr;
    return with_object<Class, Kind>(self, static_cast<PyObject*>(nullptr),
                                     [&](Instance<Class>& obj) { return body(obj, parsed); });
}

// A method without parameters, a property or a slot returning an object.
template <class Class, Borrow Kind, class Body>
PyObject* call_plain(PyObject* self, Body&& body) {
    return with_object<Class, Kind>(self, static_cast<PyObject*>(nullptr), body);
}

// The operand of a slot, converted as the parameter it stands for ("key" for
// item access and membership, "val" for the assigned value).
inline bool slot_u64(PyObject* operand, const char* name, std::uint64_t& out) {
    if (to_u64(operand, out)) return true;
    add_argument_note(name);
    return false;
}

}  // namespace tolvane::py
