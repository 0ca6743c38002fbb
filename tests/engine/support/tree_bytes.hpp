#pragma once
// The bytes a validator walk counts in a tree (node blocks, leaf blocks,
// value arrays and subarrays), for comparing with what the allocator has
// out.

#include <cstddef>

#include "tolvane/core/types.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane::test {

inline u64 counted_bytes(const ValidateStats& stats) {
    u64 sum = 0;
    for (std::size_t i = validate::STAT_VALUE_ARRAY_BYTES; i <= validate::STAT_BRANCH_U_BYTES; ++i)
        sum += stats[i];
    return sum;
}

// Bytes below a root edge of level 8; the validation verdict itself is the
// caller's business.
template <bool Map>
u64 tree_bytes(const Edge& root) {
    ValidateStats stats{};
    validate::tolvane_validate_and_stats<Map>(root, 8, stats, 0);
    return counted_bytes(stats);
}

}  // namespace tolvane::test
