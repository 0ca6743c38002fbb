#pragma once
// Plain heap blocks for the records that live outside the node allocator
// (byte-map buckets and key copies, and the like). A failed allocation stops
// the process with the requested size, like every other broken promise of
// the engine: callers never see a null block.

#include <cstddef>

namespace tolvane {

// A block of at least `bytes` bytes (a unique non-null block for 0),
// aligned for any scalar. Stops with "memory allocation of {} bytes failed".
void* heap_allocate(std::size_t bytes);
// Gives back a block from heap_allocate; null is ignored.
void heap_free(void* block) noexcept;
// count * element_bytes, stopping with "capacity overflow" when the product
// does not fit a signed 64-bit byte count.
std::size_t heap_array_bytes(std::size_t count, std::size_t element_bytes);

}  // namespace tolvane
