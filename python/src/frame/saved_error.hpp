#pragma once
// Keeps a pending Python exception aside for the scope and puts it back at the
// end, so code that must raise and report its own error leaves it untouched.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tolvane::py {

class SavedError {
public:
#if PY_VERSION_HEX >= 0x030C0000
    SavedError() : exception_(PyErr_GetRaisedException()) {}
    ~SavedError() { PyErr_SetRaisedException(exception_); }
#else
    SavedError() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~SavedError() { PyErr_Restore(type_, value_, traceback_); }
#endif
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exception_;
#else
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
};

}  // namespace tolvane::py
