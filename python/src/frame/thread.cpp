#include "frame/thread.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

#include "frame/saved_error.hpp"

namespace tolvane::py {

namespace thread_detail {

std::uint64_t assign_thread_id() {
    // Numbers start at 1: 0 marks a thread that has none yet.
    static std::atomic<std::uint64_t> next_id{1};
    this_thread_id = next_id.fetch_add(1, std::memory_order_relaxed);
    return this_thread_id;
}

bool refuse_foreign_thread(const char* type_path) {
    PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but sent to another thread", type_path);
    return false;
}

}  // namespace thread_detail

void report_foreign_drop(const char* type_path) {
    // Deallocation can run while an exception is propagating (a frame being
    // unwound drops its locals); the report must not replace or clear it.
    SavedError saved;
    PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but is being dropped on another thread",
                 type_path);
    PyErr_WriteUnraisable(nullptr);
}

}  // namespace tolvane::py
