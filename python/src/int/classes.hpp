#pragma once
// The class objects of the module, for registration, and the constructors of
// iterator objects that container classes hand out.

#include <cstdint>
#include <utility>
#include <vector>

#include "frame/object.hpp"

namespace tolvane::py {

ClassSpec& map_class();
ClassSpec& set_class();
ClassSpec& map_key_iter_class();
ClassSpec& map_value_iter_class();
ClassSpec& map_item_iter_class();
ClassSpec& map_range_iter_class();
ClassSpec& set_iter_class();
ClassSpec& set_range_iter_class();

PyObject* new_map_key_iter(std::vector<std::uint64_t> keys);
PyObject* new_set_iter(std::vector<std::uint64_t> keys);

}  // namespace tolvane::py
