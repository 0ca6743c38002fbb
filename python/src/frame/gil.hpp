#pragma once
// Releasing the interpreter lock around engine work. Between the release and
// the retake no Python object may be touched; the lock is taken back on every
// path out, an exception included.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tolvane::py {

class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// `work()` with the interpreter lock released.
template <class Work>
decltype(auto) without_gil(Work&& work) {
    GilRelease released;
    return std::forward<Work>(work)();
}

}  // namespace tolvane::py
