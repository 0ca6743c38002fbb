#pragma once
// The concurrent map as a benchmark subject of the write benchmarks: its own
// write path (optimistic attempts, the exclusive section as fallback), or
// every write through the exclusive section.

#include "containers.hpp"
#include "tolvane/sync/sync_map.hpp"

namespace bench {

struct SyncMap {
    static constexpr const char* name = "SyncTolvaneMap";
    tolvane::sync::SyncTolvaneMap m;
    void insert(u64 k) { m.insert(k, value_of(k)); }
    bool erase(u64 k) { return m.remove(k).has_value(); }
    double bytes() { return double(m.mem_held()); }
};

struct SyncMapExclusive {
    static constexpr const char* name = "SyncTolvaneMap(exclusive)";
    tolvane::sync::SyncTolvaneMap m;
    void insert(u64 k) { m.insert_exclusive(k, value_of(k)); }
    bool erase(u64 k) { return m.remove_exclusive(k).has_value(); }
    double bytes() { return double(m.mem_held()); }
};

}  // namespace bench
