#include "frame/note.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "frame/ref.hpp"

namespace tolvane::py {

namespace {

void try_add_note(PyObject* exception, const char* parameter_name) {
    Ref note(PyUnicode_FromFormat("while processing '%s'", parameter_name));
    if (note) {
        Ref result(PyObject_CallMethod(exception, "add_note", "O", note.get()));
        if (result) return;
    }
    // No add_note, or it failed: the conversion's own exception is what counts.
    PyErr_Clear();
}

}  // namespace

void add_argument_note(const char* parameter_name) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exception = PyErr_GetRaisedException();
    if (exception == nullptr) return;
    try_add_note(exception, parameter_name);
    PyErr_SetRaisedException(exception);
#else
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    if (value != nullptr) try_add_note(value, parameter_name);
    PyErr_Restore(type, value, traceback);
#endif
}

}  // namespace tolvane::py
