#pragma once
// Releasing the interpreter lock around engine work. Between the release and
// the retake no Python object may be touched; the lock is taken back on every
// path out, an exception included. The retake is a plain call, never a
// destructor: while the interpreter finalizes it may end the thread (see
// ended_thread.hpp), and the thread is parked there instead.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <type_traits>
#include <utility>

namespace tolvane::py {

// Takes the interpreter lock back for the state PyEval_SaveThread returned.
void retake_gil(PyThreadState* released);

// `work()` with the interpreter lock released. The work is engine code: it
// runs no Python code, so only the retake can meet the interpreter's end.
template <class Work>
auto without_gil(Work&& work) -> std::invoke_result_t<Work&&> {
    PyThreadState* released = PyEval_SaveThread();
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Work&&>>) {
            std::forward<Work>(work)();
            retake_gil(released);
        } else {
            std::invoke_result_t<Work&&> result = std::forward<Work>(work)();
            retake_gil(released);
            return result;
        }
    } catch (...) {
        retake_gil(released);
        throw;
    }
}

}  // namespace tolvane::py
