#pragma once
// Block size classes shared by the node allocator's free lists and the epoch
// collector's per-stripe free lists.
//
// Invariants:
// - A class is an exact (size, alignment) pair; a block is reused only by a
//   later request of exactly the same class, never by a near size.
// - Classes 0..5 are 64-aligned (32, 64, 96, 128, 256, 2048); classes 6..61
//   are 16-aligned with the sizes listed in SIZE_CLASSES below.
// - A block without a class comes from the system allocator and goes back to
//   it; it never sits on a free list.
// - Slab classes (size <= 256) are carved from 4096-byte pages with a stride of
//   the class's rounded size.

#include <array>
#include <cstddef>
#include <cstdint>

namespace tolvane {

inline constexpr unsigned NUM_SIZE_CLASSES = 62;
inline constexpr std::uint8_t NO_SIZE_CLASS = 255;
// Largest requested size that the exact-size table covers.
inline constexpr std::size_t MAX_EXACT_SIZE = 375;
inline constexpr std::size_t SLAB_PAGE_BYTES = 4096;
inline constexpr std::size_t SLAB_HEADER_BYTES = 64;
inline constexpr std::size_t SLAB_PAYLOAD_BYTES = SLAB_PAGE_BYTES - SLAB_HEADER_BYTES;
inline constexpr std::size_t MAX_SLAB_SIZE = 256;

struct SizeClass {
    std::uint32_t size;
    std::uint32_t align;
};

inline constexpr std::array<SizeClass, NUM_SIZE_CLASSES> SIZE_CLASSES = {{
    {32, 64},  {64, 64},  {96, 64},  {128, 64}, {256, 64}, {2048, 64}, {8, 16},   {9, 16},
    {10, 16},  {11, 16},  {12, 16},  {13, 16},  {14, 16},  {15, 16},   {16, 16},  {18, 16},
    {20, 16},  {22, 16},  {24, 16},  {25, 16},  {26, 16},  {28, 16},   {30, 16},  {32, 16},
    {36, 16},  {40, 16},  {44, 16},  {48, 16},  {50, 16},  {52, 16},   {56, 16},  {60, 16},
    {64, 16},  {72, 16},  {75, 16},  {80, 16},  {88, 16},  {96, 16},   {100, 16}, {104, 16},
    {112, 16}, {120, 16}, {125, 16}, {128, 16}, {144, 16}, {150, 16},  {160, 16}, {175, 16},
    {176, 16}, {192, 16}, {200, 16}, {208, 16}, {224, 16}, {225, 16},  {240, 16}, {248, 16},
    {250, 16}, {275, 16}, {300, 16}, {325, 16}, {350, 16}, {375, 16},
}};

namespace size_classes_detail {
constexpr std::array<std::uint8_t, MAX_EXACT_SIZE + 1> build_exact_table() {
    std::array<std::uint8_t, MAX_EXACT_SIZE + 1> table{};
    for (auto& entry : table) entry = NO_SIZE_CLASS;
    for (unsigned c = 0; c < NUM_SIZE_CLASSES; ++c)
        if (SIZE_CLASSES[c].align == 16) table[SIZE_CLASSES[c].size] = static_cast<std::uint8_t>(c);
    return table;
}
}  // namespace size_classes_detail

// Entry s: the 16-aligned class of exactly s bytes, or NO_SIZE_CLASS.
inline constexpr std::array<std::uint8_t, MAX_EXACT_SIZE + 1> EXACT_SIZE_CLASS =
    size_classes_detail::build_exact_table();

constexpr std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// Class of a 64-aligned block, found by size directly.
constexpr unsigned align64_class(std::size_t size) {
    switch (size) {
        case 32: return 0;
        case 64: return 1;
        case 96: return 2;
        case 128: return 3;
        case 256: return 4;
        case 2048: return 5;
        default: return NO_SIZE_CLASS;
    }
}

// Class index of a block, or NO_SIZE_CLASS when it has none.
constexpr unsigned size_class_of(std::size_t size, std::size_t align) {
    if (align == 64) return align64_class(size);
    if (align == 16 && size <= MAX_EXACT_SIZE) return EXACT_SIZE_CLASS[size];
    return NO_SIZE_CLASS;
}

// Stride of the class's blocks in a slab page and the bytes a free block of the
// class counts for.
constexpr std::size_t rounded_size(unsigned cls) {
    return round_up(SIZE_CLASSES[cls].size, SIZE_CLASSES[cls].align);
}

constexpr bool is_slab_class(unsigned cls) { return SIZE_CLASSES[cls].size <= MAX_SLAB_SIZE; }

constexpr std::size_t blocks_per_page(unsigned cls) { return SLAB_PAYLOAD_BYTES / rounded_size(cls); }

// What the live-byte counters add and subtract for a block.
constexpr std::size_t charged_size(std::size_t size, std::size_t align) {
    return align == 64 ? size : round_up(size, 16);
}

}  // namespace tolvane
