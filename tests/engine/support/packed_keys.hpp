#pragma once
// Helpers for tests of packed key arrays: seeded sorted key sets of w bytes
// in several shapes, packing them, and heap blocks with guard bytes behind
// them that reveal any write past the block.

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace tolvane::testing {

// Shapes of sorted key sets of w bytes.
enum class PackedShape : uint8_t {
    Uniform,    // anywhere in the w-byte range
    Dense,      // consecutive keys from a random base
    Extremes,   // bunched at 0 and at the top of the range
    HighBytes,  // differ only in the top byte (low bytes equal)
};
inline constexpr PackedShape kAllPackedShapes[] = {PackedShape::Uniform, PackedShape::Dense,
                                                   PackedShape::Extremes, PackedShape::HighBytes};

// `count` distinct ascending keys below 2^(8w); count must fit the range.
std::vector<uint64_t> sorted_keys(std::mt19937_64& rng, unsigned w, std::size_t count,
                                  PackedShape shape);

// The low w bytes of each key, little-endian, back to back.
std::vector<uint8_t> pack_keys(const std::vector<uint64_t>& keys, unsigned w);

// A 16-aligned heap block of `size` bytes followed by guard bytes. The block
// is filled with `fill`; the guard holds a fixed pattern.
class GuardedBlock {
public:
    static constexpr std::size_t GUARD = 32;

    explicit GuardedBlock(std::size_t size, uint8_t fill = 0);
    ~GuardedBlock();
    GuardedBlock(const GuardedBlock&) = delete;
    GuardedBlock& operator=(const GuardedBlock&) = delete;

    uint8_t* data() { return mem_; }
    std::size_t size() const { return size_; }
    std::vector<uint8_t> bytes() const { return {mem_, mem_ + size_}; }
    // Whether every guard byte still holds its pattern.
    bool guard_intact() const;

private:
    uint8_t* mem_;
    std::size_t size_;
};

}  // namespace tolvane::testing
