#include "tolvane/sync/writer_readers.hpp"

#include <vector>

namespace tolvane::sync {

namespace {

struct CachedReader {
    const Collector* identity;
    Reader reader;
};

// Trivially destructible, so it still answers after the cache is gone.
thread_local bool CACHE_DESTROYED = false;

struct WriterReaders {
    std::vector<CachedReader> entries;  // least recently used first
    ~WriterReaders() { CACHE_DESTROYED = true; }

    Reader& reader_for(const std::shared_ptr<Collector>& collector) {
        const Collector* id = collector.get();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].identity != id) continue;
            if (i + 1 != entries.size()) {
                CachedReader hit = std::move(entries[i]);
                entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
                entries.push_back(std::move(hit));
            }
            return entries.back().reader;
        }
        std::erase_if(entries, [](const CachedReader& e) { return !e.reader.collector().alive(); });
        if (entries.size() >= WRITER_READERS_CAP) entries.erase(entries.begin());
        entries.push_back({id, Collector::register_reader(collector)});
        return entries.back().reader;
    }
};

thread_local WriterReaders WRITER_READERS;

}  // namespace

WriterPin::WriterPin(const std::shared_ptr<Collector>& collector) {
    if (CACHE_DESTROYED) {
        own_.emplace(Collector::register_reader(collector));
        reader_ = &*own_;
    } else {
        reader_ = &WRITER_READERS.reader_for(collector);
    }
    reader_->announce();
}

WriterPin::~WriterPin() { release(); }

void WriterPin::release() noexcept {
    if (reader_) reader_->go_idle();
    reader_ = nullptr;
}

std::size_t cached_writer_readers() noexcept {
    return CACHE_DESTROYED ? 0 : WRITER_READERS.entries.size();
}

bool has_cached_writer_reader(const Collector* collector) noexcept {
    if (CACHE_DESTROYED) return false;
    for (const CachedReader& e : WRITER_READERS.entries)
        if (e.identity == collector) return true;
    return false;
}

}  // namespace tolvane::sync
