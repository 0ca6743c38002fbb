// Iterator classes of the integer containers. Map iteration hands out key
// iterators and set iteration set iterators; the value, item and range classes
// are registered with the same behaviour for programs that name them.

#include "classes.hpp"
#include "snapshot_iter.hpp"

namespace tolvane::py {

namespace {

using Entry = std::pair<std::uint64_t, std::uint64_t>;

struct MapKeyIter : SnapshotIterClass<MapKeyIter, std::uint64_t> {
    static constexpr const char* type_path = "_tolvane::map::TolvaneMapKeyIter";
    static ClassSpec spec;
};
ClassSpec MapKeyIter::spec{TOLVANE_CLASS_NAME("TolvaneMapKeyIter"),
                           "Iterator yielding keys of [`TolvaneMap`].",
                           sizeof(Instance<MapKeyIter>), slots};

struct MapValueIter : SnapshotIterClass<MapValueIter, std::uint64_t> {
    static constexpr const char* type_path = "_tolvane::map::TolvaneMapValueIter";
    static ClassSpec spec;
};
ClassSpec MapValueIter::spec{TOLVANE_CLASS_NAME("TolvaneMapValueIter"),
                             "Iterator yielding values of [`TolvaneMap`].",
                             sizeof(Instance<MapValueIter>), slots};

struct MapItemIter : SnapshotIterClass<MapItemIter, Entry> {
    static constexpr const char* type_path = "_tolvane::map::TolvaneMapItemIter";
    static ClassSpec spec;
};
ClassSpec MapItemIter::spec{TOLVANE_CLASS_NAME("TolvaneMapItemIter"),
                            "Iterator yielding `(key, value)` pairs of [`TolvaneMap`].",
                            sizeof(Instance<MapItemIter>), slots};

struct MapRangeIter : SnapshotIterClass<MapRangeIter, Entry> {
    static constexpr const char* type_path = "_tolvane::map::TolvaneMapRangeIter";
    static ClassSpec spec;
};
ClassSpec MapRangeIter::spec{TOLVANE_CLASS_NAME("TolvaneMapRangeIter"),
                             "Range iterator yielding `(key, value)` pairs of [`TolvaneMap`].",
                             sizeof(Instance<MapRangeIter>), slots};

struct SetIter : SnapshotIterClass<SetIter, std::uint64_t> {
    static constexpr const char* type_path = "_tolvane::set::TolvaneSetIter";
    static ClassSpec spec;
};
ClassSpec SetIter::spec{TOLVANE_CLASS_NAME("TolvaneSetIter"), "Key iterator for [`TolvaneSet`].",
                        sizeof(Instance<SetIter>), slots};

struct SetRangeIter : SnapshotIterClass<SetRangeIter, std::uint64_t> {
    static constexpr const char* type_path = "_tolvane::set::TolvaneSetRangeIter";
    static ClassSpec spec;
};
ClassSpec SetRangeIter::spec{TOLVANE_CLASS_NAME("TolvaneSetRangeIter"),
                             "Range iterator for [`TolvaneSet`].",
                             sizeof(Instance<SetRangeIter>), slots};

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
