// The set's neighbour and select bodies, compiled on their own so that the
// set's members call them instead of inlining them (see set.cpp).

#include "tolvane/int/root_leaf_query.hpp"
#include "tolvane/int/set.hpp"

namespace tolvane::root_leaf {

template std::optional<u64> next_at_or_after<false>(const TolvaneSet&, u64);
template std::optional<u64> prev_at_or_before<false>(const TolvaneSet&, u64);
template std::optional<u64> by_count<false>(const TolvaneSet&, u64);

}  // namespace tolvane::root_leaf
