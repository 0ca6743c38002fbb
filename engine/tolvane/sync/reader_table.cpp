#include "tolvane/sync/reader_table.hpp"

#include <unordered_map>

#include "tolvane/core/fatal.hpp"
#include "tolvane/hash/siphash.hpp"
#include "tolvane/hash/thread_keys.hpp"

namespace tolvane::sync {
namespace {

// SipHash-1-3 of a map identity under the table's own key pair.
struct IdentityHash {
    SipKey key;
    std::size_t operator()(u64 identity) const noexcept {
        return siphash13(key, &identity, sizeof identity);
    }
};

struct Entry {
    // Released in reverse order: the weak reference first, then the reader
    // (which leaves the collector's registry and drops its references).
    Reader reader;
    std::weak_ptr<SyncTolvaneMap> map;
};

struct Table {
    std::unordered_map<u64, Entry, IdentityHash> entries{0, IdentityHash{take_thread_sip_key()}};
    bool in_use = false;

    void sweep() {
        std::erase_if(entries, [](const auto& item) { return item.second.map.expired(); });
    }
};

enum class TableState : u8 { NotCreated, Alive, Destroyed };
constinit thread_local TableState TABLE_STATE = TableState::NotCreated;

// Owns the table for the thread's life; its destruction at thread exit
// unregisters every reader of the thread.
struct TableOwner {
    Table table;
    ~TableOwner() { TABLE_STATE = TableState::Destroyed; }
};

Table* this_thread_table() {
    if (TABLE_STATE == TableState::Destroyed) return nullptr;
    thread_local TableOwner owner;
    TABLE_STATE = TableState::Alive;
    return &owner.table;
}

u64 identity_of(const SyncTolvaneMap& map) { return reinterpret_cast<std::uintptr_t>(&map); }

}  // namespace

void foreign_reader() {
    fatal("reader was registered on a different collector than this map's or set's; use a reader "
          "only with the map or set that created it");
}

MapReaderLease::MapReaderLease(const std::shared_ptr<SyncTolvaneMap>& map) {
    const std::shared_ptr<Collector>& collector = map->shared().collector;
    Table* table = this_thread_table();
    if (table == nullptr) {
        own_ = std::make_unique<Reader>(Collector::register_reader(collector));
        reader_ = own_.get();
        return;
    }
    require(!table->in_use, "reader table entered twice");
    table->in_use = true;
    const u64 k = identity_of(*map);
    auto it = table->entries.find(k);
    if (it == table->entries.end()) {
        if (table->entries.size() > MAP_READERS_SWEEP_ABOVE) table->sweep();
        it = table->entries.emplace(k, Entry{Collector::register_reader(collector), map}).first;
    }
    if (it->second.reader.collector_ref() != collector) foreign_reader();
    reader_ = &it->second.reader;
}

MapReaderLease::~MapReaderLease() {
    if (own_) return;
    this_thread_table()->in_use = false;
}

std::size_t map_readers_entries() {
    if (TABLE_STATE != TableState::Alive) return 0;
    return this_thread_table()->entries.size();
}

}  // namespace tolvane::sync
