#pragma once
// What the integer containers share with the owners that publish their
// counts (the concurrent containers, the rank queries): the postponed
// population delta of the insert path is settled through clear_path().

#include <concepts>

#include "tolvane/write/mutate_path.hpp"

namespace tolvane {

// A container with an insert path that clear_path() settles and empties.
template <class T>
concept SharedTree = requires(T& t) {
    { t.clear_path() } -> std::same_as<void>;
};

// Adds the pending delta into the ancestors' population fields without
// forgetting the hot leaf, so the fast path stays armed after a rank query.
// Entry 0 (the hot leaf's own edge) is always exact and is never touched.
inline void settle_pending(InsertPath& path) {
    if (path.pending == 0) return;
    require(path.len <= InsertPath::MAX_ENTRIES, "index out of bounds: insert path length above 8");
    const i64 d = path.pending;
    path.pending = 0;
    for (u64 i = 1; i < path.len; ++i)
        if (path.levels[i] <= 7) path.edges[i]->add_pop0(path.levels[i], d);
}

}  // namespace tolvane
