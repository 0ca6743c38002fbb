#pragma once
// Carrying a raised exception across code that must not see it pending: a
// walk that calls Python callables keeps the first exception aside, goes on
// without calling them again, and raises it once the walk has returned.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "frame/ref.hpp"

namespace tolvane::py {

// The exception a failed call left, or a SystemError when it left none.
inline Ref take_raised_exception() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
#if PY_VERSION_HEX >= 0x030C0000
    return Ref(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref(value);
#endif
}

// Raises an exception taken by take_raised_exception, as it was.
inline void raise_exception(Ref exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace tolvane::py
