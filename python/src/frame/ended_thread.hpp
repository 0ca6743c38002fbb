#pragma once
// A thread that the interpreter ends inside one of our calls. From 3.9 to
// 3.13 a thread that takes the interpreter lock back while the interpreter
// finalizes (a daemon thread at exit) is ended with pthread_exit, whose forced
// unwind would run through our frames: a noexcept frame (every entry, every
// destructor) ends the process with std::terminate, and the cleanups of the
// others would touch Python objects without the lock, perhaps after the
// interpreter has freed them. So such a thread stops where the unwind would
// have started, for good, as later interpreters stop it themselves; the
// process exits around it. Nothing in Python cancels a thread, so in a Python
// thread a forced unwind means the interpreter ended it.
//
// The places that can meet it: taking the lock back after engine work, and
// every call that runs Python code (callbacks, iterators, conversions through
// Python methods). The first two park at the call; the entry frame of every
// method and slot parks what reaches it from anywhere else.

#include <cxxabi.h>

#include <utility>

namespace tolvane::py {

// Sleeps forever: the thread never returns into the frames above.
[[noreturn]] void park_ended_thread() noexcept;

// `call()`; a thread that the interpreter ends inside it is parked there.
template <class Call>
decltype(auto) parking_if_ended(Call&& call) {
    try {
        return std::forward<Call>(call)();
    } catch (abi::__forced_unwind&) {
        park_ended_thread();
    }
}

}  // namespace tolvane::py
