#include "tolvane/core/heap.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "tolvane/core/fatal.hpp"

namespace tolvane {

void* heap_allocate(std::size_t bytes) {
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) [[unlikely]] {
        char message[64];
        std::snprintf(message, sizeof message, "memory allocation of %zu bytes failed", bytes);
        fatal(message);
    }
    return block;
}

void heap_free(void* block) noexcept { std::free(block); }

std::size_t heap_array_bytes(std::size_t count, std::size_t element_bytes) {
    constexpr std::size_t limit = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
    if (element_bytes != 0 && count > limit / element_bytes) [[unlikely]]
        fatal("capacity overflow");
    return count * element_bytes;
}

}  // namespace tolvane
