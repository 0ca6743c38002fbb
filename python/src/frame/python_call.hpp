#pragma once
// Calls that run the caller's Python code: callbacks, predicates, iterators
// and conversion methods. Each parks a thread that the interpreter ends
// inside it (see ended_thread.hpp) before any frame of ours is unwound.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "frame/ended_thread.hpp"

namespace tolvane::py {

// The next item of `iterator` as a new reference; null at its end or with the
// exception set.
inline PyObject* next_item(PyObject* iterator) {
    return parking_if_ended([iterator] { return PyIter_Next(iterator); });
}

// `callable(*args)` as a new reference, or null with the exception set.
template <class... Arg>
PyObject* call_python(PyObject* callable, Arg*... args) {
    PyObject* argv[] = {args...};
    return parking_if_ended(
        [&] { return PyObject_Vectorcall(callable, argv, sizeof...(Arg), nullptr); });
}

}  // namespace tolvane::py
