#pragma once
// Structural validator of a string map: walks every node (explicit stack),
// checks the invariants of str_node.hpp and str_map.hpp, and returns the
// first broken one as text (empty when the map is sound). Reads only.

#include <string>

#include "tolvane/str/str_map.hpp"

namespace tolvane::strmap {

std::string validate(const TolvaneStrMap& map);

}  // namespace tolvane::strmap
