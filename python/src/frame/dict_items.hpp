#pragma once
// Walks a dict's own entries (a subclass's overridden items or __iter__ is
// not consulted) for the update methods that read a dict directly.
//
// Python code can run inside a step (a value's __index__), and it may change
// the dict: so the dict, the current key and the current value are held by
// strong references for the whole step, and once the step's conversions are
// done the dict's size is compared with its size at the start. A change stops
// the walk with RuntimeError before the pair is stored and before the dict is
// read on; pairs stored earlier stay stored.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "frame/ref.hpp"

namespace tolvane::py {

// `convert(key, value)` turns one entry into a native pair (false with an
// exception set when it cannot) and `store()` stores it; both run for each
// entry in dict order. False with the exception set when a step failed.
template <class Convert, class Store>
bool for_each_dict_item(PyObject* dict, Convert&& convert, Store&& store) {
    Ref hold = Ref::borrow(dict);
    const Py_ssize_t size = PyDict_Size(dict);
    Py_ssize_t position = 0;
    PyObject* raw_key;
    PyObject* raw_value;
    while (PyDict_Next(dict, &position, &raw_key, &raw_value)) {
        Ref key = Ref::borrow(raw_key);
        Ref value = Ref::borrow(raw_value);
        if (!convert(key.get(), value.get())) return false;
        if (PyDict_Size(dict) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
        store();
    }
    return true;
}

}  // namespace tolvane::py
