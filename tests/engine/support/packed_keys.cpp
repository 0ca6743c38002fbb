#include "support/packed_keys.hpp"

#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>

namespace tolvane::testing {

namespace {
uint8_t guard_byte(std::size_t i) { return static_cast<uint8_t>(0xA5 ^ (i * 37)); }
}  // namespace

std::vector<uint64_t> sorted_keys(std::mt19937_64& rng, unsigned w, std::size_t count,
                                  PackedShape shape) {
    const uint64_t top = w >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * w)) - 1;
    if (count > 0 && count - 1 > top) throw std::invalid_argument("more keys than the range holds");
    std::set<uint64_t> s;
    switch (shape) {
        case PackedShape::Dense: {
            const uint64_t base = rng() % (top - (count ? count - 1 : 0) + 1);
            for (std::size_t i = 0; i < count; ++i) s.insert(base + i);
            break;
        }
        case PackedShape::Extremes:
            while (s.size() < count) {
                const uint64_t off = rng() % (count + 3);
                s.insert(rng() % 2 ? off : top - off);
            }
            break;
        case PackedShape::HighBytes:
            if (w > 1 && count <= 256) {
                const uint64_t low = rng() & (top >> 8);
                while (s.size() < count) s.insert(((rng() & 0xFF) << (8 * (w - 1))) | low);
                break;
            }
            [[fallthrough]];
        case PackedShape::Uniform:
            while (s.size() < count) s.insert(rng() & top);
            break;
    }
    return {s.begin(), s.end()};
}

std::vector<uint8_t> pack_keys(const std::vector<uint64_t>& keys, unsigned w) {
    std::vector<uint8_t> out(keys.size() * w);
    for (std::size_t i = 0; i < keys.size(); ++i)
        for (unsigned j = 0; j < w; ++j) out[i * w + j] = static_cast<uint8_t>(keys[i] >> (8 * j));
    return out;
}

GuardedBlock::GuardedBlock(std::size_t size, uint8_t fill) : size_(size) {
    const std::size_t total = (size + GUARD + 15) / 16 * 16;
    mem_ = static_cast<uint8_t*>(std::aligned_alloc(16, total));
    if (!mem_) throw std::bad_alloc();
    std::memset(mem_, fill, size);
    for (std::size_t i = 0; i < total - size; ++i) mem_[size + i] = guard_byte(i);
}

GuardedBlock::~GuardedBlock() { std::free(mem_); }

bool GuardedBlock::guard_intact() const {
    const std::size_t total = (size_ + GUARD + 15) / 16 * 16;
    for (std::size_t i = 0; i < total - size_; ++i)
        if (mem_[size_ + i] != guard_byte(i)) return false;
    return true;
}

}  // namespace tolvane::testing
