#include "thread.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

#include "saved_error.hpp"

namespace tolvane::py {

std::uint64_t current_thread_id() {
    static std::atomic<std::uint64_t> next_id{1};
    thread_local const std::uint64_t id = next_id.fetch_add(1, std::memory_order_relaxed);
    return id;
}

bool check_owner_thread(std::uint64_t owner, const char* type_path) {
    if (owner == current_thread_id()) return true;
    PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but sent to another thread", type_path);
    return false;
}

void report_foreign_drop(const char* type_path) {
    // Deallocation can run while an exception is propagating (a frame being
    // unwound drops its locals); the report must not replace or clear it.
    SavedError saved;
    PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but is being dropped on another thread",
                 type_path);
    PyErr_WriteUnraisable(nullptr);
}

}  // namespace tolvane::py
