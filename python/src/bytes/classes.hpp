#pragma once
// The class objects of the byte-keyed hash map and its iterators, for
// registration.

#include "frame/object.hpp"

namespace tolvane::py {

ClassSpec& bytes_map_class();
ClassSpec& bytes_map_key_iter_class();
ClassSpec& bytes_map_value_iter_class();
ClassSpec& bytes_map_item_iter_class();

}  // namespace tolvane::py
