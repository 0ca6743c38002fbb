// Iterator classes of the integer containers. Map iteration hands out key
// iterators and set iteration set iterators; the value, item and range classes
// are registered with the same behaviour for programs that name them.

#include "int/classes.hpp"
#include "frame/snapshot_iter.hpp"

namespace tolvane::py {

namespace {

using Entry = std::pair<std::uint64_t, std::uint64_t>;

// One row per class: Python name, type path, documentation.
constexpr IterClassInfo kIterators[] = {
    {TOLVANE_CLASS_NAME("TolvaneMapKeyIter"), "_tolvane::map::TolvaneMapKeyIter",
     "Iterator yielding keys of [`TolvaneMap`]."},
    {TOLVANE_CLASS_NAME("TolvaneMapValueIter"), "_tolvane::map::TolvaneMapValueIter",
     "Iterator yielding values of [`TolvaneMap`]."},
    {TOLVANE_CLASS_NAME("TolvaneMapItemIter"), "_tolvane::map::TolvaneMapItemIter",
     "Iterator yielding `(key, value)` pairs of [`TolvaneMap`]."},
    {TOLVANE_CLASS_NAME("TolvaneMapRangeIter"), "_tolvane::map::TolvaneMapRangeIter",
     "Range iterator yielding `(key, value)` pairs of [`TolvaneMap`]."},
    {TOLVANE_CLASS_NAME("TolvaneSetIter"), "_tolvane::set::TolvaneSetIter",
     "Key iterator for [`TolvaneSet`]."},
    {TOLVANE_CLASS_NAME("TolvaneSetRangeIter"), "_tolvane::set::TolvaneSetRangeIter",
     "Range iterator for [`TolvaneSet`]."},
};

using MapKeyIter = SnapshotIter<kIterators[0], std::uint64_t>;
using MapValueIter = SnapshotIter<kIterators[1], std::uint64_t>;
using MapItemIter = SnapshotIter<kIterators[2], Entry>;
using MapRangeIter = SnapshotIter<kIterators[3], Entry>;
using SetIter = SnapshotIter<kIterators[4], std::uint64_t>;
using SetRangeIter = SnapshotIter<kIterators[5], std::uint64_t>;

}  // namespace

ClassSpec& map_key_iter_class() { return MapKeyIter::spec; }
ClassSpec& map_value_iter_class() { return MapValueIter::spec; }
ClassSpec& map_item_iter_class() { return MapItemIter::spec; }
ClassSpec& map_range_iter_class() { return MapRangeIter::spec; }
ClassSpec& set_iter_class() { return SetIter::spec; }
ClassSpec& set_range_iter_class() { return SetRangeIter::spec; }

PyObject* new_map_key_iter(std::vector<std::uint64_t> keys) {
    return MapKeyIter::create(std::move(keys));
}
PyObject* new_set_iter(std::vector<std::uint64_t> keys) { return SetIter::create(std::move(keys)); }

}  // namespace tolvane::py
