#include "tolvane/core/bits.hpp"

namespace tolvane::bits {

// The table is built at compile time from its rule; pin two rows so that a
// change of the generator cannot go unnoticed.
static_assert(SELECT_LUT[0xA5] == std::array<u8, 8>{0, 2, 5, 7, 0, 0, 0, 0});
static_assert(SELECT_LUT[0xFF] == std::array<u8, 8>{0, 1, 2, 3, 4, 5, 6, 7});
static_assert(sizeof(SELECT_LUT) == 2048);

}  // namespace tolvane::bits
