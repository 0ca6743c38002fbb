#pragma once
// Runs one body on several threads at once and waits for all of them: the
// scaffolding of the concurrent write tests.

#include <thread>
#include <vector>

namespace tolvane::test {

// Calls body(t) on `threads` new threads, t = 0 .. threads - 1, and joins them.
template <class Body>
void on_threads(unsigned threads, Body&& body) {
    std::vector<std::thread> pool;
    pool.reserve(threads);
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back([&body, t] { body(t); });
    for (std::thread& th : pool) th.join();
}

}  // namespace tolvane::test
