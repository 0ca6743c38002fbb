#pragma once
// Structural check of a blob map: the trie's own invariants, then the
// arena's and those tying slots to records (blob_map.hpp, arena.hpp).

#include <optional>
#include <string>

#include "tolvane/blob/blob_map.hpp"

namespace tolvane::blob {

inline constexpr const char* SHARED_RECORD = "no record referred to by two slots";

// None when sound, else the first broken invariant found.
std::optional<std::string> validate_blob_map(TolvaneBlobMap& map);

}  // namespace tolvane::blob
