#pragma once
// Keys of the text map go back to Python as str when their bytes are
// well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF: the interpreter's strict decoder checks exactly that) and as
// bytes otherwise, so no stored key is ever lost or altered on the way out.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

namespace tolvane::py {

// A new str or bytes object; null with the exception set when neither can
// be made.
inline PyObject* text_or_bytes(std::string_view key) {
    const auto size = static_cast<Py_ssize_t>(key.size());
    PyObject* text = PyUnicode_DecodeUTF8(key.data(), size, "strict");
    if (text != nullptr) return text;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return nullptr;
    PyErr_Clear();
    return PyBytes_FromStringAndSize(key.data(), size);
}

// A snapshot element handed out by the text-or-bytes rule.
struct TextOrBytesKey {
    std::string bytes;
};
inline PyObject* element_result(const TextOrBytesKey& key) { return text_or_bytes(key.bytes); }

}  // namespace tolvane::py
