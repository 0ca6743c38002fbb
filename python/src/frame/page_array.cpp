#include "frame/page_array.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace tolvane::py {

namespace {

// Below this an array lives on the heap: a mapping of its own would cost a
// system call for little to give back.
constexpr std::size_t kMappedFrom = 1 << 20;

// From this size on the mapping is asked for in huge pages: the kernel
// zeroes them all the same, but takes one fault for 2 MiB instead of 512.
constexpr std::size_t kHugeFrom = std::size_t{4} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t page_size() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t round_up(std::size_t bytes, std::size_t granule) {
    return (bytes + granule - 1) / granule * granule;
}

// A private anonymous mapping of `bytes` bytes starting at a multiple of
// `granule` (a power of two), or nullptr.
std::byte* map_aligned(std::size_t bytes, std::size_t granule) {
    const std::size_t length = round_up(bytes, page_size());
    const std::size_t padded = length + granule - page_size();
    void* block = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return nullptr;
    auto* start = static_cast<std::byte*>(block);
    const std::size_t lead = round_up(reinterpret_cast<std::uintptr_t>(start), granule) -
                             reinterpret_cast<std::uintptr_t>(start);
    if (lead != 0) munmap(start, lead);
    if (padded - lead != length) munmap(start + lead + length, padded - lead - length);
    return start + lead;
}

}  // namespace

PageBuffer::PageBuffer(std::size_t bytes)
    : size_(bytes),
      granule_(bytes >= kHugeFrom ? kHugePage : page_size()),
      mapped_(bytes >= kMappedFrom) {
    void* block;
    if (mapped_) {
        block = map_aligned(bytes, granule_);
        if (block == nullptr) throw std::bad_alloc();
        if (granule_ == kHugePage) madvise(block, bytes, MADV_HUGEPAGE);  // a hint only
    } else {
        block = std::malloc(bytes ? bytes : 1);
        if (block == nullptr) throw std::bad_alloc();
    }
    data_ = static_cast<std::byte*>(block);
}

PageBuffer::~PageBuffer() {
    if (data_ == nullptr) return;
    if (mapped_) {
        if (released_ < size_) munmap(data_ + released_, size_ - released_);
    } else {
        std::free(data_);
    }
}

void PageBuffer::release_before(std::size_t offset) noexcept {
    if (!mapped_) return;
    const std::size_t whole = offset >= size_ ? size_ : offset / granule_ * granule_;
    if (whole <= released_) return;
    // The mapping's length is a multiple of the page size from its start, so
    // releasing up to its end takes the last partial page too.
    munmap(data_ + released_, whole - released_);
    released_ = whole;
}

}  // namespace tolvane::py
