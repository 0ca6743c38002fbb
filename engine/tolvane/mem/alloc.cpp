#include "tolvane/mem/alloc.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

#include "tolvane/mem/occ.hpp"

#if TOLVANE_DEBUG_CHECKS
#include <mutex>
#include <unordered_map>
#endif

namespace tolvane {

namespace alloc {

void* system_block(std::size_t size, std::size_t align) {
    void* block = nullptr;
    if (posix_memalign(&block, align, size ? size : 1) != 0) fatal("memory allocation failed");
    return block;
}

void* system_zeroed(std::size_t size) {
    void* block = std::calloc(size ? size : 1, 1);
    if (!block) fatal("memory allocation failed");
    return block;
}

#if TOLVANE_DEBUG_CHECKS
namespace {
struct LiveBlock {
    std::size_t size;
    std::size_t align;
};
struct LiveTable {
    std::mutex lock;
    std::unordered_map<const void*, LiveBlock> blocks;
};
LiveTable& live_table() {
    static LiveTable* table = new LiveTable;  // outlives every static allocator
    return *table;
}
}  // namespace

void debug_track(const void* block, std::size_t size, std::size_t align) {
    LiveTable& t = live_table();
    std::lock_guard guard(t.lock);
    require(t.blocks.emplace(block, LiveBlock{size, align}).second,
            "allocator handed out a block that is already live");
}

void debug_untrack(const void* block, std::size_t size, std::size_t align) {
    require(block != nullptr, "release of a null block");
    LiveTable& t = live_table();
    std::lock_guard guard(t.lock);
    auto it = t.blocks.find(block);
    require(it != t.blocks.end(), "release of a block that is not live (double release)");
    require(it->second.size == size && it->second.align == align,
            "release with a size or alignment other than the block was allocated with");
    t.blocks.erase(it);
}

std::size_t debug_live_blocks() {
    LiveTable& t = live_table();
    std::lock_guard guard(t.lock);
    return t.blocks.size();
}
#endif

}  // namespace alloc

namespace {

// Page header: next page (8 bytes), class index (8 bytes), zeros to 64.
void* page_next(const void* page) {
    void* next;
    std::memcpy(&next, page, sizeof next);
    return next;
}
void set_page_next(void* page, void* next) { std::memcpy(page, &next, sizeof next); }
unsigned page_class(const void* page) {
    std::uint64_t cls;
    std::memcpy(&cls, static_cast<const char*>(page) + 8, sizeof cls);
    return static_cast<unsigned>(cls);
}

void* link_next(const void* block) {
    void* next;
    std::memcpy(&next, block, sizeof next);
    return next;
}
void set_link(void* block, void* next) { std::memcpy(block, &next, sizeof next); }

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t sum;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? std::numeric_limits<std::int64_t>::max()
                     : std::numeric_limits<std::int64_t>::min();
    return sum;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

std::uint64_t clamp_to_unsigned(std::int64_t v) { return v < 0 ? 0 : static_cast<std::uint64_t>(v); }

}  // namespace

NodeAlloc::~NodeAlloc() { teardown(); }

NodeAlloc::NodeAlloc(NodeAlloc&& other) noexcept { steal(other); }

NodeAlloc& NodeAlloc::operator=(NodeAlloc&& other) noexcept {
    if (this != &other) {
        teardown();
        steal(other);
    }
    return *this;
}

// Takes over every field of `other` and leaves it as a fresh local allocator.
void NodeAlloc::steal(NodeAlloc& other) noexcept {
    deferred_ = std::exchange(other.deferred_, nullptr);
    mode_.store(other.mode_.exchange(MODE_LOCAL));
    for (unsigned c = 0; c < NUM_SIZE_CLASSES; ++c) free_[c] = std::exchange(other.free_[c], nullptr);
    live_bytes_.store(other.live_bytes_.exchange(0));
    live_nodes_.store(other.live_nodes_.exchange(0));
    tree_word_.store(other.tree_word_.exchange(nullptr));
    allocs_.store(other.allocs_.exchange(0));
    pages_ = std::exchange(other.pages_, nullptr);
    root_covered_.store(other.root_covered_.exchange(0));
}

void NodeAlloc::teardown() noexcept {
    const bool is_deferred = deferred();
    for (void* page = pages_; page;) {
        void* next = page_next(page);
        std::free(page);
        page = next;
    }
    pages_ = nullptr;
    for (unsigned c = 0; c < NUM_SIZE_CLASSES; ++c) {
        // Blocks of slab classes lay inside the pages just freed.
        if (!is_deferred && is_slab_class(c)) {
            free_[c] = nullptr;
            continue;
        }
        for (void* block = free_[c]; block;) {
            void* next = link_next(block);
            std::free(block);
            block = next;
        }
        free_[c] = nullptr;
    }
    if (deferred_) {
        delete deferred_;  // drops the collector reference
        deferred_ = nullptr;
    }
}

void* NodeAlloc::carve_page(unsigned cls) {
    void* page = alloc::system_block(SLAB_PAGE_BYTES, 64);
    std::memset(page, 0, SLAB_PAGE_BYTES);
    set_page_next(page, pages_);
    const std::uint64_t cls64 = cls;
    std::memcpy(static_cast<char*>(page) + 8, &cls64, sizeof cls64);
    pages_ = page;
    const std::size_t stride = rounded_size(cls);
    const std::size_t n = blocks_per_page(cls);
    char* first = static_cast<char*>(page) + SLAB_HEADER_BYTES;
    // Pushed from the top down so that the list then ascends in address order.
    for (std::size_t i = n - 1; i >= 1; --i) push_local(cls, first + i * stride);
    return first;
}

void* NodeAlloc::allocate_local_slow(std::size_t size, std::size_t align, unsigned cls) {
    void* block;
    bool from_calloc = false;
    if (cls != NO_SIZE_CLASS && is_slab_class(cls)) {
        block = carve_page(cls);
    } else if (align == 64) {
        block = alloc::system_block(size, 64);
    } else if (size <= 15) {
        block = alloc::system_block(size, 16);
    } else {
        block = alloc::system_zeroed(size);
        from_calloc = true;
    }
    if (align == 16 && !from_calloc) std::memset(block, 0, size);
#if TOLVANE_DEBUG_CHECKS
    alloc::debug_track(block, size, align);
#endif
    return block;
}

void NodeAlloc::release_local_unclassed(void* block) { std::free(block); }

void* NodeAlloc::allocate_deferred(std::size_t size, std::size_t align) {
    const std::uint64_t slot = occ::current_slot();
    StatLine& line = deferred_->lines[slot];
    line.live_bytes.fetch_add(static_cast<std::int64_t>(charged_size(size, align)),
                              std::memory_order_relaxed);
    line.live_nodes.fetch_add(1, std::memory_order_relaxed);
    line.allocs.fetch_add(1, std::memory_order_relaxed);
    const unsigned cls = size_class_of(size, align);
    void* block = cls != NO_SIZE_CLASS ? deferred_->collector->pop_freelist(cls) : nullptr;
    if (!block) {
        if (align == 64)
            block = alloc::system_block(size, 64);
        else if (size <= 15) {
            block = alloc::system_block(size, 16);
            std::memset(block, 0, size);
        } else {
            block = alloc::system_zeroed(size);
        }
    }
#if TOLVANE_DEBUG_CHECKS
    alloc::debug_track(block, size, align);
#endif
    return block;
}

void NodeAlloc::release_deferred(void* block, std::size_t size, std::size_t align,
                                 bool published) {
#if TOLVANE_DEBUG_CHECKS
    alloc::debug_untrack(block, size, align);
#endif
    const std::uint64_t slot = occ::current_slot();
    StatLine& line = deferred_->lines[slot];
    line.live_bytes.fetch_sub(static_cast<std::int64_t>(charged_size(size, align)),
                              std::memory_order_relaxed);
    line.live_nodes.fetch_sub(1, std::memory_order_relaxed);
    if (published)
        deferred_->collector->retire(block, size, align);
    else
        deferred_->collector->recycle_unpublished(block, size, align);
}

Collector* NodeAlloc::collector() const {
    return deferred() ? deferred_->collector.get() : nullptr;
}

std::uint64_t NodeAlloc::live_bytes() const {
    std::int64_t sum = live_bytes_.load(std::memory_order_relaxed);
    if (deferred())
        for (const StatLine& line : deferred_->lines)
            sum = saturating_add(sum, line.live_bytes.load(std::memory_order_relaxed));
    return clamp_to_unsigned(sum);
}

std::uint64_t NodeAlloc::live_nodes() const {
    std::int64_t sum = live_nodes_.load(std::memory_order_relaxed);
    if (deferred())
        for (const StatLine& line : deferred_->lines)
            sum = saturating_add(sum, line.live_nodes.load(std::memory_order_relaxed));
    return clamp_to_unsigned(sum);
}

std::uint64_t NodeAlloc::total_allocs() const {
    std::uint64_t sum = allocs_.load(std::memory_order_relaxed);
    if (deferred())
        for (const StatLine& line : deferred_->lines)
            sum = saturating_add(sum, line.allocs.load(std::memory_order_relaxed));
    return sum;
}

std::uint64_t NodeAlloc::bytes_held() const {
    std::uint64_t pages_of[NUM_SIZE_CLASSES] = {};
    for (const void* page = pages_; page; page = page_next(page)) ++pages_of[page_class(page)];
    std::uint64_t page_bytes = 0, free_bytes = 0, slab_used = 0;
    for (unsigned c = 0; c < NUM_SIZE_CLASSES; ++c) {
        const std::uint64_t r = rounded_size(c);
        std::uint64_t f = 0;
        for (const void* b = free_[c]; b; b = link_next(b)) ++f;
        if (!is_slab_class(c)) {
            free_bytes += f * r;
            continue;
        }
        const std::uint64_t p = pages_of[c];
        page_bytes += p * SLAB_PAGE_BYTES;
        const std::uint64_t capacity = blocks_per_page(c) * p;
        if (capacity > f) slab_used += (capacity - f) * r;
    }
    const std::uint64_t live = live_bytes();
    return page_bytes + free_bytes + (live > slab_used ? live - slab_used : 0);
}

std::uint64_t NodeAlloc::release_free() {
    if (deferred()) return 0;  // free blocks then live in the collector
    std::uint64_t released = 0;
    // Blocks of the classes outside the slabs are individual system blocks.
    for (unsigned c = 0; c < NUM_SIZE_CLASSES; ++c) {
        if (is_slab_class(c)) continue;
        for (void* block = free_[c]; block;) {
            void* next = link_next(block);
            std::free(block);
            released += rounded_size(c);
            block = next;
        }
        free_[c] = nullptr;
    }
    if (live_bytes_.load(std::memory_order_relaxed) == 0) {
        for (void* page = pages_; page;) {
            void* next = page_next(page);
            std::free(page);
            released += SLAB_PAGE_BYTES;
            page = next;
        }
        pages_ = nullptr;
        for (unsigned c = 0; c < NUM_SIZE_CLASSES; ++c) free_[c] = nullptr;
        return released;
    }

    struct Row {
        char* page;
        std::size_t free_count;
        std::size_t capacity;
    };
    std::vector<Row> rows;
    for (void* page = pages_; page; page = page_next(page))
        rows.push_back(Row{static_cast<char*>(page), 0, blocks_per_page(page_class(page))});
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.page < b.page; });
    auto row_of = [&rows](const void* block) -> Row& {
        auto it = std::upper_bound(rows.begin(), rows.end(), static_cast<const char*>(block),
                                   [](const char* addr, const Row& row) { return addr < row.page; });
        require(it != rows.begin(), "free slab block outside every slab page");
        return *(it - 1);
    };
    for (unsigned c = 0; c < NUM_SIZE_CLASSES; ++c)
        if (is_slab_class(c))
            for (void* b = free_[c]; b; b = link_next(b)) ++row_of(b).free_count;
    const bool any_empty = std::any_of(rows.begin(), rows.end(), [](const Row& row) {
        return row.free_count == row.capacity;
    });
    if (!any_empty) return released;

    for (unsigned c = 0; c < NUM_SIZE_CLASSES; ++c) {
        if (!is_slab_class(c)) continue;
        // Rebuild the list in its existing order without the blocks of pages
        // about to go.
        void* head = nullptr;
        void* tail = nullptr;
        for (void* b = free_[c]; b;) {
            void* next = link_next(b);
            const Row& row = row_of(b);
            if (row.free_count != row.capacity) {
                set_link(b, nullptr);
                if (tail)
                    set_link(tail, b);
                else
                    head = b;
                tail = b;
            }
            b = next;
        }
        free_[c] = head;
    }
    void* new_head = nullptr;
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        if (it->free_count == it->capacity) {
            std::free(it->page);
            released += SLAB_PAGE_BYTES;
        } else {
            set_page_next(it->page, new_head);
            new_head = it->page;
        }
    }
    pages_ = new_head;
    return released;
}

void NodeAlloc::defer_to(std::shared_ptr<Collector> collector) {
    require(pages_ == nullptr,
            "defer_to on an allocator that already slab-carved memory: retired slab-carved blocks "
            "would later be dealloc'ed individually (heap corruption). Rebuild the structure "
            "through a pre-deferred allocator instead.");
    for (unsigned c = 0; c < NUM_SIZE_CLASSES; ++c)
        require(free_[c] == nullptr,
                "defer_to on an allocator with active freelists: per-tree freelist pop is "
                "unsynchronized across concurrent writers");
    if (mode_.load(std::memory_order_seq_cst) != MODE_DEFERRED) {
        auto* record = new Deferred;
        record->collector = collector;
        deferred_ = record;
        mode_.store(MODE_DEFERRED, std::memory_order_seq_cst);
    }
    require(deferred_->collector.get() == collector.get(),
            "NodeAlloc already deferred to a different collector");
    collector.reset();
}

void NodeAlloc::bind_tree_word(std::uint64_t* word) {
    std::uint64_t* previous = tree_word_.exchange(word, std::memory_order_relaxed);
    require(previous == nullptr || previous == word,
            "NodeAlloc already bound to a different tree word");
}

void NodeAlloc::cover_root() {
    require(deferred(), "cover_root before defer_to");
    require(tree_word_.load(std::memory_order_relaxed) != nullptr, "cover_root before bind_tree_word");
    root_covered_.store(1, std::memory_order_release);
}

std::uint64_t* NodeAlloc::tree_version() const {
    if (root_covered_.load(std::memory_order_acquire) != 1) return nullptr;
    std::uint64_t* word = tree_word_.load(std::memory_order_acquire);
    require(word != nullptr, "tree_version on a tree with no tree word bound");
    return word;
}

}  // namespace tolvane
