#pragma once
// The class objects of the module, for registration, and the constructors of
// iterator objects that container classes hand out.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "frame/object.hpp"
#include "tolvane/core/key_value.hpp"

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

// For the concurrent classes' update: every entry (key) of a TolvaneMap
// (TolvaneSet) object or subclass instance in ascending order, read under its
// thread check and a shared borrow. None, with no exception left set, when
// `obj` is not one, belongs to another thread or cannot be borrowed.
std::optional<std::vector<KeyValue>> borrowed_map_items(PyObject* obj);
std::optional<std::vector<std::uint64_t>> borrowed_set_keys(PyObject* obj);
PyObject* new_set_iter(std::vector<std::uint64_t> keys);

}  // namespace tolvane::py
