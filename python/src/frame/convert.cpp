#include "frame/convert.hpp"

#include <algorithm>

#include "frame/ref.hpp"
#include "frame/python_call.hpp"

namespace tolvane::py {

namespace {

// Attribute of a type read as str; null (with no exception left set) when it
// cannot be read.
Ref type_text_attribute(PyTypeObject* type, const char* attribute) {
    Ref value(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attribute));
    if (value && PyUnicode_Check(value.get())) return value;
    PyErr_Clear();
    return Ref();
}

// The name of `type` when it is numpy's boolean scalar type, else null. The
// name is read once and the same object serves the error message: a second
// read could give a different answer.
Ref numpy_bool_type_name(PyTypeObject* type) {
    Ref module = type_text_attribute(type, "__module__");
    Ref name = type_text_attribute(type, "__name__");
    if (!module || !name) return Ref();
    const bool numpy_bool = PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                            (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                             PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
    return numpy_bool ? std::move(name) : Ref();
}

// A sequence's own length is only a hint for the first reservation; a length
// that lies (or is enormous) must not decide how much memory is asked for.
constexpr Py_ssize_t kMaxInitialReservation = 1 << 16;

}  // namespace

void set_type_cast_error(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    Ref qualname = type_text_attribute(Py_TYPE(obj), "__qualname__");
    if (qualname) {
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(),
                     expected);
    } else {
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'",
                     Py_TYPE(obj)->tp_name, expected);
    }
}

bool to_u64(PyObject* obj, std::uint64_t& out) {
    // Fast path for a plain int: the digit loop of PyLong_AsUnsignedLong is a
    // fraction of the generic byte-array conversion, and this conversion runs
    // on every key of every call. Its error texts differ, so a failure falls
    // through to the general path, which raises the exception callers expect.
    static_assert(sizeof(unsigned long) == sizeof(std::uint64_t));
    if (PyLong_CheckExact(obj)) {
        const unsigned long value = PyLong_AsUnsignedLong(obj);
        if (value != static_cast<unsigned long>(-1) || !PyErr_Occurred()) {
            out = value;
            return true;
        }
        PyErr_Clear();
    }
    Ref index;
    if (!PyLong_Check(obj)) {
        index = Ref(PyNumber_Index(obj));
        if (!index) return false;
        obj = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_bool(PyObject* obj, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    PyTypeObject* type = Py_TYPE(obj);
    Ref name = numpy_bool_type_name(type);
    if (!name) {
        set_type_cast_error(obj, "bool");
        return false;
    }
    Ref method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__bool__"));
    if (!method) {
        // Only a missing method is the conversion's own error; anything else
        // the lookup raised is passed on as it is.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                     name.get());
        return false;
    }
    Ref result(call_python(method.get(), obj));
    if (!result) return false;
    if (!PyBool_Check(result.get())) {
        set_type_cast_error(result.get(), "bool");
        return false;
    }
    out = result.get() == Py_True;
    return true;
}

bool to_u32(PyObject* obj, std::uint32_t& out) {
    Ref index;
    if (!PyLong_Check(obj)) {
        index = Ref(PyNumber_Index(obj));
        if (!index) return false;
        obj = index.get();
    }
    const long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0) {
        PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
        return false;
    }
    if (value > 0xFFFFFFFFLL) {
        PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool to_utf8(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        set_type_cast_error(obj, "str");
        return false;
    }
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

namespace {

// The tuple check and length check both pair readers share.
bool is_two_tuple(PyObject* obj) {
    if (!PyTuple_Check(obj)) {
        set_type_cast_error(obj, "tuple");
        return false;
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(obj);
    if (size != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length %d, but got tuple of length %zd",
                     2, size);
        return false;
    }
    return true;
}

}  // namespace

bool to_u64_pair(PyObject* obj, std::uint64_t& first, std::uint64_t& second) {
    return is_two_tuple(obj) && to_u64(PyTuple_GET_ITEM(obj, 0), first) &&
           to_u64(PyTuple_GET_ITEM(obj, 1), second);
}

bool to_object_u64_pair(PyObject* obj, PyObject*& first, std::uint64_t& second) {
    if (!is_two_tuple(obj) || !to_u64(PyTuple_GET_ITEM(obj, 1), second)) return false;
    first = PyTuple_GET_ITEM(obj, 0);
    return true;
}

bool to_u64_sequence(PyObject* obj, std::vector<std::uint64_t>& out) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        set_type_cast_error(obj, "Sequence");
        return false;
    }
    out.clear();
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0)
        PyErr_Clear();
    else
        out.reserve(static_cast<std::size_t>(std::min(hint, kMaxInitialReservation)));

    return for_each_u64(obj, [&](std::uint64_t value) { out.push_back(value); });
}

Py_ssize_t length_result(std::uint64_t count) {
    if (count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetNone(PyExc_OverflowError);
        return -1;
    }
    return static_cast<Py_ssize_t>(count);
}

PyObject* pair_result(std::uint64_t first, std::uint64_t second) {
    Ref a(PyLong_FromUnsignedLongLong(first));
    if (!a) return nullptr;
    Ref b(PyLong_FromUnsignedLongLong(second));
    if (!b) return nullptr;
    return PyTuple_Pack(2, a.get(), b.get());
}

PyObject* optional_u64_result(const std::optional<std::uint64_t>& value) {
    if (!value) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*value);
}

PyObject* u64_list_result(const std::vector<std::uint64_t>& values) {
    return list_of(values, u64_result);
}

}  // namespace tolvane::py
