#pragma once
// Writers pin epochs through a per-thread cache of readers, one per
// collector, least recently used first, at most WRITER_READERS_CAP. A miss
// first drops the readers of dead collectors (their containers are gone),
// then the least recently used one when the cache is full, then registers a
// new reader. The cache is destroyed with its thread, unregistering its
// readers; a cached reader keeps its collector alive until then.

#include <cstdint>
#include <memory>
#include <optional>

#include "tolvane/mem/occ.hpp"

namespace tolvane::sync {

inline constexpr std::size_t WRITER_READERS_CAP = 16;

// An epoch pinned for one write; unpinned when destroyed.
class WriterPin {
  public:
    explicit WriterPin(const std::shared_ptr<Collector>& collector);
    ~WriterPin();
    WriterPin(const WriterPin&) = delete;
    WriterPin& operator=(const WriterPin&) = delete;

    // Unpins early (a writer unpins before it leaves its slot).
    void release() noexcept;

  private:
    Reader* reader_ = nullptr;
    // Used only when this thread's cache is already destroyed (a write from a
    // thread-exit path): a reader for this one write.
    std::optional<Reader> own_;
};

// Number of readers in the calling thread's cache, and whether it holds one
// for this collector (for tests).
std::size_t cached_writer_readers() noexcept;
bool has_cached_writer_reader(const Collector* collector) noexcept;

}  // namespace tolvane::sync
