#pragma once
// Thread binding: objects of thread-bound classes remember the thread that made
// them and refuse every other thread.

#include <cstdint>

namespace tolvane::py {

namespace thread_detail {
// The calling thread's number, 0 until it first asks. Constant-initialised,
// so reading it is a plain thread-local load with no initialisation guard:
// every call of every method reads it.
inline constinit thread_local std::uint64_t this_thread_id = 0;

// Gives the calling thread its number; once per thread.
std::uint64_t assign_thread_id();

// Raises the "sent to another thread" RuntimeError; returns false.
[[gnu::cold]] bool refuse_foreign_thread(const char* type_path);
}  // namespace thread_detail

// A number given to each thread on first use and never to another thread of
// this process, so a later thread can never pass for one that has ended.
inline std::uint64_t current_thread_id() {
    const std::uint64_t id = thread_detail::this_thread_id;
    return id != 0 ? id : thread_detail::assign_thread_id();
}

// Raises RuntimeError "<type path> is unsendable, but sent to another thread"
// and returns false when the calling thread is not `owner`.
inline bool check_owner_thread(std::uint64_t owner, const char* type_path) {
    return owner == current_thread_id() || thread_detail::refuse_foreign_thread(type_path);
}

// Reports "<type path> is unsendable, but is being dropped on another thread"
// through the unraisable hook; an exception already set is kept as it was.
void report_foreign_drop(const char* type_path);

}  // namespace tolvane::py
