#pragma once
// An owned reference to a Python object: released when the holder goes out of
// scope, so every early return drops what it took.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tolvane::py {

class Ref {
public:
    Ref() = default;
    // Takes over a reference the caller owns (a "new reference" result).
    explicit Ref(PyObject* owned) : obj_(owned) {}
    // Adds a reference of its own to a borrowed object.
    static Ref borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference to the caller (for returning a new reference).
    PyObject* release() { return std::exchange(obj_, nullptr); }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace tolvane::py
