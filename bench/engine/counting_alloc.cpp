#include "counting_alloc.hpp"

#include <malloc.h>

#include <cstdlib>

namespace bench {

namespace {
// glibc keeps one size word in front of every chunk.
constexpr std::int64_t CHUNK_HEADER = 8;
}  // namespace

AllocCounters& alloc_counters() {
    static AllocCounters counters;
    return counters;
}

void* counted_allocate(std::size_t bytes) {
    void* p = std::malloc(bytes ? bytes : 1);
    if (!p) throw std::bad_alloc();
    auto& c = alloc_counters();
    c.requested += static_cast<std::int64_t>(bytes);
    c.spent += static_cast<std::int64_t>(malloc_usable_size(p)) + CHUNK_HEADER;
    return p;
}

void counted_release(void* p, std::size_t bytes) {
    auto& c = alloc_counters();
    c.requested -= static_cast<std::int64_t>(bytes);
    c.spent -= static_cast<std::int64_t>(malloc_usable_size(p)) + CHUNK_HEADER;
    std::free(p);
}

}  // namespace bench
