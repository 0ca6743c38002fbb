#pragma once
// A key with its value, as the readers of the trie hand them out. The set
// flavour fills the value with 0.

#include "tolvane/core/types.hpp"

namespace tolvane {

struct KeyValue {
    u64 key = 0;
    u64 value = 0;
    friend constexpr bool operator==(const KeyValue&, const KeyValue&) = default;
};

}  // namespace tolvane
