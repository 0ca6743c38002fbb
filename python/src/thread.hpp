#pragma once
// Thread binding: objects of thread-bound classes remember the thread that made
// them and refuse every other thread.

#include <cstdint>

namespace tolvane::py {

// A number given to each thread on first use and never to another thread of
// this process, so a later thread can never pass for one that has ended.
std::uint64_t current_thread_id();

// Raises RuntimeError "<type path> is unsendable, but sent to another thread"
// and returns false when the calling thread is not `owner`.
bool check_owner_thread(std::uint64_t owner, const char* type_path);

// Reports "<type path> is unsendable, but is being dropped on another thread"
// through the unraisable hook; an exception already set is kept as it was.
void report_foreign_drop(const char* type_path);

}  // namespace tolvane::py
