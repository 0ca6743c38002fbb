#pragma once
// The per-thread table of readers of concurrent maps (MAP_READERS): every
// thread keeps one reader registered on each concurrent map it has read, so
// an optimistic read registers nothing after the thread's first read of that
// map.
//
// Invariants:
// - At most one entry per map identity (the address of the engine map inside
//   its handle block); its reader is registered on that map's collector.
// - Each entry holds a weak reference to the map's handle block, so the block
//   (and with it the identity) is never reused while the entry exists: an
//   identity found in the table always denotes the map that created the
//   entry, alive or dropped. Dropped maps' entries are idle readers that hold
//   back no epoch; they go at the next sweep or at thread exit.
// - The table is used by its own thread only, one read at a time, with no
//   Python object touched.

#include <memory>
#include <utility>

#include "tolvane/mem/occ.hpp"
#include "tolvane/sync/sync_map.hpp"

namespace tolvane::sync {

// A miss in a table holding more entries than this sweeps out dropped maps.
inline constexpr std::size_t MAP_READERS_SWEEP_ABOVE = 63;

// Fatal: a reader was used with a map whose collector it is not registered on.
[[noreturn]] void foreign_reader();

// This thread's reader for one map for the length of one read. On a thread
// whose table has already been destroyed (code running during thread exit)
// it registers a reader for the read alone.
class MapReaderLease {
  public:
    explicit MapReaderLease(const std::shared_ptr<SyncTolvaneMap>& map);
    ~MapReaderLease();
    MapReaderLease(const MapReaderLease&) = delete;
    MapReaderLease& operator=(const MapReaderLease&) = delete;

    Reader& reader() noexcept { return *reader_; }

  private:
    Reader* reader_ = nullptr;
    std::unique_ptr<Reader> own_;  // the one-read reader after thread exit
};

// Runs `read(shared block, reader)` with this thread's reader for `map`; the
// read must leave the reader idle.
template <class Read>
decltype(auto) with_map_reader(const std::shared_ptr<SyncTolvaneMap>& map, Read&& read) {
    MapReaderLease lease(map);
    return std::forward<Read>(read)(map->shared(), lease.reader());
}

// For tests: this thread's entries (0 before its first read or after exit).
std::size_t map_readers_entries();

}  // namespace tolvane::sync
