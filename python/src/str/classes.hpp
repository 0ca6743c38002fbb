#pragma once
// The class objects of the sorted text map, the ordered byte map and their
// iterators, for registration.

#include "frame/object.hpp"

namespace tolvane::py {

ClassSpec& str_map_class();
ClassSpec& str_map_key_iter_class();
ClassSpec& str_map_value_iter_class();
ClassSpec& str_map_item_iter_class();
ClassSpec& ordered_bytes_map_class();
ClassSpec& ordered_bytes_map_key_iter_class();
ClassSpec& ordered_bytes_map_value_iter_class();
ClassSpec& ordered_bytes_map_item_iter_class();

}  // namespace tolvane::py
