#pragma once
// The concurrent classes SyncTolvaneMap and SyncTolvaneSet and their six
// snapshot iterator classes, for registration; and the constructors of the
// iterators, which own a vector filled inside one exclusive section.

#include <cstdint>
#include <vector>

#include "frame/object.hpp"
#include "tolvane/core/key_value.hpp"

namespace tolvane::py {

ClassSpec& sync_map_class();
ClassSpec& sync_set_class();
ClassSpec& sync_map_key_iter_class();
ClassSpec& sync_map_value_iter_class();
ClassSpec& sync_map_item_iter_class();
ClassSpec& sync_map_range_iter_class();
ClassSpec& sync_set_iter_class();
ClassSpec& sync_set_range_iter_class();

PyObject* new_sync_map_key_iter(std::vector<std::uint64_t> keys);
PyObject* new_sync_map_value_iter(std::vector<std::uint64_t> values);
PyObject* new_sync_map_item_iter(std::vector<KeyValue> entries);
PyObject* new_sync_map_range_iter(std::vector<KeyValue> entries);
PyObject* new_sync_set_iter(std::vector<std::uint64_t> keys);
PyObject* new_sync_set_range_iter(std::vector<std::uint64_t> keys);

}  // namespace tolvane::py
