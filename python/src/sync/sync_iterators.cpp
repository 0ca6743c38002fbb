// Iterator classes of the concurrent containers: snapshots taken in one
// exclusive section, bound to the thread that created them.

#include "sync/classes.hpp"
#include "frame/snapshot_iter.hpp"

namespace tolvane::py {
namespace {

// One row per class: Python name, type path, documentation.
constexpr IterClassInfo kIterators[] = {
    {TOLVANE_CLASS_NAME("SyncTolvaneMapKeyIter"), "_tolvane::sync::SyncTolvaneMapKeyIter",
     "Key iterator for [`SyncTolvaneMap`]."},
    {TOLVANE_CLASS_NAME("SyncTolvaneMapValueIter"), "_tolvane::sync::SyncTolvaneMapValueIter",
     "Value iterator for [`SyncTolvaneMap`]."},
    {TOLVANE_CLASS_NAME("SyncTolvaneMapItemIter"), "_tolvane::sync::SyncTolvaneMapItemIter",
     "Item iterator for [`SyncTolvaneMap`]."},
    {TOLVANE_CLASS_NAME("SyncTolvaneMapRangeIter"), "_tolvane::sync::SyncTolvaneMapRangeIter",
     "Range iterator for [`SyncTolvaneMap`]."},
    {TOLVANE_CLASS_NAME("SyncTolvaneSetIter"), "_tolvane::sync::SyncTolvaneSetIter",
     "Key iterator for [`SyncTolvaneSet`]."},
    {TOLVANE_CLASS_NAME("SyncTolvaneSetRangeIter"), "_tolvane::sync::SyncTolvaneSetRangeIter",
     "Range iterator for [`SyncTolvaneSet`]."},
};

using MapKeyIter = SnapshotIter<kIterators[0], std::uint64_t>;
using MapValueIter = SnapshotIter<kIterators[1], std::uint64_t>;
using MapItemIter = SnapshotIter<kIterators[2], KeyValue>;
using MapRangeIter = SnapshotIter<kIterators[3], KeyValue>;
using SetIter = SnapshotIter<kIterators[4], std::uint64_t>;
using SetRangeIter = SnapshotIter<kIterators[5], std::uint64_t>;

}  // namespace

ClassSpec& sync_map_key_iter_class() { return MapKeyIter::spec; }
ClassSpec& sync_map_value_iter_class() { return MapValueIter::spec; }
ClassSpec& sync_map_item_iter_class() { return MapItemIter::spec; }
ClassSpec& sync_map_range_iter_class() { return MapRangeIter::spec; }
ClassSpec& sync_set_iter_class() { return SetIter::spec; }
ClassSpec& sync_set_range_iter_class() { return SetRangeIter::spec; }

PyObject* new_sync_map_key_iter(std::vector<std::uint64_t> keys) {
    return MapKeyIter::create(std::move(keys));
}
PyObject* new_sync_map_value_iter(std::vector<std::uint64_t> values) {
    return MapValueIter::create(std::move(values));
}
PyObject* new_sync_map_item_iter(std::vector<KeyValue> entries) {
    return MapItemIter::create(std::move(entries));
}
PyObject* new_sync_map_range_iter(std::vector<KeyValue> entries) {
    return MapRangeIter::create(std::move(entries));
}
PyObject* new_sync_set_iter(std::vector<std::uint64_t> keys) {
    return SetIter::create(std::move(keys));
}
PyObject* new_sync_set_range_iter(std::vector<std::uint64_t> keys) {
    return SetRangeIter::create(std::move(keys));
}

}  // namespace tolvane::py
