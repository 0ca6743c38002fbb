#pragma once
// Conversions between Python objects and native values. Each conversion
// returns false with a Python exception set when the object does not convert;
// the caller decides whether the failure gets an argument note.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "frame/ref.hpp"
#include "frame/python_call.hpp"

namespace tolvane::py {

// An int (bool included) or any object with __index__, 0 to 2^64-1.
bool to_u64(PyObject* obj, std::uint64_t& out);
// Exactly bool, or a numpy boolean scalar through its __bool__.
bool to_bool(PyObject* obj, bool& out);
// An int or __index__ object read as a signed 64-bit integer, 0 to 2^32-1.
bool to_u32(PyObject* obj, std::uint32_t& out);
// A str (or subclass) as UTF-8; the view lives as long as `obj` does.
bool to_utf8(PyObject* obj, std::string_view& out);
// A tuple (or tuple subclass) of two unsigned 64-bit integers.
bool to_u64_pair(PyObject* obj, std::uint64_t& first, std::uint64_t& second);
// A tuple (or tuple subclass) of length 2 whose second element converts to
// u64 (converted first); `first` is the tuple's own first element, borrowed
// from it, for the caller's key extraction.
bool to_object_u64_pair(PyObject* obj, PyObject*& first, std::uint64_t& second);
// Any sequence but str, item by item in iteration order.
bool to_u64_sequence(PyObject* obj, std::vector<std::uint64_t>& out);

// Iterates `obj` and converts each item, handing the value to `take` once the
// item is released. False with the exception set when `obj` is not iterable,
// an item does not convert or the iteration raises; the values taken before
// stay taken.
template <class Take>
bool for_each_u64(PyObject* obj, Take&& take) {
    Ref iterator(PyObject_GetIter(obj));
    if (!iterator) return false;
    while (Ref item{next_item(iterator.get())}) {
        std::uint64_t value;
        if (!to_u64(item.get(), value)) return false;
        item = Ref();
        take(value);
    }
    return !PyErr_Occurred();
}

// "'{type}' object is not an instance of '{expected}'" ("'None' is not an
// instance of ..." for None), raised as TypeError.
void set_type_cast_error(PyObject* obj, const char* expected);

// Length slots: counts above 2^63-1 do not fit a Py_ssize_t.
Py_ssize_t length_result(std::uint64_t count);

inline PyObject* none_result() { Py_RETURN_NONE; }
inline PyObject* u64_result(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* bool_result(bool value) { return PyBool_FromLong(value); }
PyObject* pair_result(std::uint64_t first, std::uint64_t second);
PyObject* optional_u64_result(const std::optional<std::uint64_t>& value);
PyObject* u64_list_result(const std::vector<std::uint64_t>& values);

// A new list of `result(item)` for every item, in order; null with the
// exception set when a result cannot be made.
template <class Items, class Result>
PyObject* list_of(const Items& items, Result&& result) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* element = result(item);
        if (element == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i++, element);
    }
    return list.release();
}

}  // namespace tolvane::py
