// Local-mode node allocator: carving, reuse by exact class, counters,
// bytes_held and release_free, checked against a model that predicts where
// every block must come from.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "tolvane/mem/alloc.hpp"

using namespace tolvane;

namespace {

bool all_bytes(const void* block, std::size_t n, unsigned char value) {
    const auto* p = static_cast<const unsigned char*>(block);
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != value) return false;
    return true;
}

// Predicts the allocator's pages, free-list lengths and counters.
class AllocModel {
public:
    explicit AllocModel(NodeAlloc& a) : a_(a) {}

    void* allocate(std::size_t size, std::size_t align, unsigned char fill) {
        const unsigned cls = size_class_of(size, align);
        void* block = align == 64 ? a_.allocate(size) : a_.allocate_zeroed(size);
        char* b = static_cast<char*>(block);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b) % align, 0u) << size;
        if (align == 16) {
            EXPECT_TRUE(all_bytes(b, size, 0)) << "not zeroed, size " << size;
        }
        char* page = nullptr;
        if (cls != NO_SIZE_CLASS && is_slab_class(cls)) {
            if (free_[cls] == 0) {
                // An empty list carves a page and hands out its block 0.
                page = b - SLAB_HEADER_BYTES;
                EXPECT_FALSE(pages_.count(page)) << "carved page overlaps a known page";
                pages_[page] = Page{cls, 0};
                free_[cls] += blocks_per_page(cls) - 1;
            } else {
                --free_[cls];
                page = page_of(b);
                EXPECT_NE(page, nullptr) << "slab block outside every page";
                if (!page) return block;
                EXPECT_EQ(pages_[page].cls, cls);
                EXPECT_EQ((b - page - SLAB_HEADER_BYTES) % rounded_size(cls), 0u);
            }
            ++pages_[page].live;
        } else if (cls != NO_SIZE_CLASS && free_[cls] > 0) {
            --free_[cls];
        }
        auto next = live_.lower_bound(b);
        if (next != live_.end()) {
            EXPECT_LE(b + size, next->first) << "overlaps a live block";
        }
        if (next != live_.begin()) {
            auto prev = std::prev(next);
            EXPECT_LE(prev->first + prev->second.size, b) << "overlaps a live block";
        }
        std::memset(b, fill, size);
        live_[b] = Live{size, align, fill, page};
        ++allocs_;
        return block;
    }

    void release(void* block) {
        auto it = live_.find(static_cast<char*>(block));
        ASSERT_NE(it, live_.end());
        const Live l = it->second;
        EXPECT_TRUE(all_bytes(block, l.size, l.fill)) << "live block overwritten, size " << l.size;
        a_.release(block, l.size, l.align);
        const unsigned cls = size_class_of(l.size, l.align);
        if (cls != NO_SIZE_CLASS) ++free_[cls];
        if (l.page) --pages_[l.page].live;
        live_.erase(it);
    }

    void release_free() {
        std::uint64_t expect = 0;
        for (unsigned c = 0; c < NUM_SIZE_CLASSES; ++c)
            if (!is_slab_class(c)) {
                expect += free_[c] * rounded_size(c);
                free_[c] = 0;
            }
        for (auto it = pages_.begin(); it != pages_.end();) {
            if (it->second.live == 0) {
                expect += SLAB_PAGE_BYTES;
                free_[it->second.cls] -= blocks_per_page(it->second.cls);
                it = pages_.erase(it);
            } else {
                ++it;
            }
        }
        EXPECT_EQ(a_.release_free(), expect);
    }

    void check_counters() const {
        // Held = pages + free non-slab blocks + (live bytes - slab bytes in
        // use, by stride), the last term at least 0.
        std::uint64_t bytes = 0, slab_used = 0, held = pages_.size() * SLAB_PAGE_BYTES;
        for (const auto& [b, l] : live_) {
            bytes += charged_size(l.size, l.align);
            if (l.page) slab_used += rounded_size(size_class_of(l.size, l.align));
        }
        for (unsigned c = 0; c < NUM_SIZE_CLASSES; ++c)
            if (!is_slab_class(c)) held += free_[c] * rounded_size(c);
        held += bytes > slab_used ? bytes - slab_used : 0;
        EXPECT_EQ(a_.live_bytes(), bytes);
        EXPECT_EQ(a_.live_nodes(), live_.size());
        EXPECT_EQ(a_.total_allocs(), allocs_);
        EXPECT_EQ(a_.bytes_held(), held);
    }

    std::vector<void*> live_blocks() const {
        std::vector<void*> out;
        for (const auto& entry : live_) out.push_back(entry.first);
        return out;
    }

private:
    struct Live {
        std::size_t size, align;
        unsigned char fill;
        char* page;
    };
    struct Page {
        unsigned cls;
        std::size_t live;
    };
    char* page_of(char* b) const {
        auto it = pages_.upper_bound(b);
        if (it == pages_.begin()) return nullptr;
        --it;
        return b < it->first + SLAB_PAGE_BYTES ? it->first : nullptr;
    }

    NodeAlloc& a_;
    std::map<char*, Live> live_;
    std::map<char*, Page> pages_;
    std::size_t free_[NUM_SIZE_CLASSES] = {};
    std::uint64_t allocs_ = 0;
};

struct Request {
    std::size_t size, align;
};

Request random_request(std::mt19937_64& rng) {
    static const std::size_t node_sizes[] = {64, 64, 64, 128, 128, 4160, 32, 96, 256, 2048};
    static const std::size_t leaf_sizes[] = {8, 16, 25, 26, 32, 48, 96, 200, 256, 300, 375, 384};
    switch (rng() % 3) {
        case 0: return {node_sizes[rng() % std::size(node_sizes)], 64};
        case 1: return {leaf_sizes[rng() % std::size(leaf_sizes)], 16};
        default: return {1 + rng() % 400, 16};
    }
}

}  // namespace

TEST(NodeAllocLocal, CarvesPagesInAscendingOrder) {
    NodeAlloc a;
    auto* first = static_cast<char*>(a.allocate(64));
    char* page = first - 64;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(page) % 64, 0u);
    EXPECT_EQ(a.bytes_held(), 4096u);
    std::vector<void*> blocks{first};
    for (int i = 1; i < 63; ++i) {
        auto* b = static_cast<char*>(a.allocate(64));
        EXPECT_EQ(b, first + 64 * i);
        blocks.push_back(b);
    }
    auto* next_page_block = static_cast<char*>(a.allocate(64));
    blocks.push_back(next_page_block);
    EXPECT_TRUE(next_page_block < page || next_page_block >= page + 4096);
    EXPECT_EQ(a.bytes_held(), 8192u);
    EXPECT_EQ(a.live_nodes(), 64u);
    for (void* b : blocks) a.release(b, 64, 64);
    EXPECT_EQ(a.live_bytes(), 0u);
    EXPECT_EQ(a.total_allocs(), 64u);
    EXPECT_EQ(a.release_free(), 8192u);
    EXPECT_EQ(a.bytes_held(), 0u);
}

TEST(NodeAllocLocal, ReusesOnlyTheExactClass) {
    NodeAlloc a;
    void* leaf = a.allocate_zeroed(25);
    std::memset(leaf, 0xEE, 25);
    a.release(leaf, 25, 16);
    void* other = a.allocate_zeroed(26);  // same rounded size, other class
    EXPECT_NE(other, leaf);
    void* again = a.allocate_zeroed(25);
    EXPECT_EQ(again, leaf);
    EXPECT_TRUE(all_bytes(again, 25, 0));
    a.release(other, 26, 16);
    a.release(again, 25, 16);
}

TEST(NodeAllocLocal, ClasslessBlocksGoToTheSystem) {
    NodeAlloc a;
    for (std::size_t size : {7u, 17u, 256u, 384u}) {
        void* b = a.allocate_zeroed(size);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b) % 16, 0u);
        EXPECT_TRUE(all_bytes(b, size, 0));
        EXPECT_EQ(a.bytes_held(), charged_size(size, 16)) << size;
        a.release(b, size, 16);
        EXPECT_EQ(a.bytes_held(), 0u) << size << " kept on a free list";
    }
    void* u = a.allocate(4160);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(u) % 64, 0u);
    EXPECT_EQ(a.live_bytes(), 4160u);
    a.release(u, 4160, 64);
    EXPECT_EQ(a.bytes_held(), 0u);
    EXPECT_EQ(a.release_free(), 0u);
}

TEST(NodeAllocLocal, ReleaseFreeKeepsPagesInUse) {
    NodeAlloc a;
    std::vector<void*> nodes;
    for (int i = 0; i < 70; ++i) nodes.push_back(a.allocate(64));  // two class-1 pages
    void* leaf = a.allocate_zeroed(25);
    void* big = a.allocate_zeroed(300);  // non-slab class
    a.release(big, 300, 16);
    a.release(leaf, 25, 16);
    for (int i = 1; i < 70; ++i) a.release(nodes[i], 64, 64);
    // Second class-1 page, the class-19 page and the 300-byte block go.
    EXPECT_EQ(a.release_free(), 2 * 4096u + 304u);
    EXPECT_EQ(a.bytes_held(), 4096u);
    auto* kept = static_cast<char*>(nodes[0]);
    for (int i = 1; i < 63; ++i) {
        auto* b = static_cast<char*>(a.allocate(64));
        EXPECT_TRUE(b > kept && b < kept + 4096) << "block from a page that was given back";
        nodes[i] = b;
    }
    EXPECT_EQ(a.release_free(), 0u);
    for (int i = 0; i < 63; ++i) a.release(nodes[i], 64, 64);
    EXPECT_EQ(a.release_free(), 4096u);
}

TEST(NodeAllocLocal, RandomTrafficMatchesModel) {
    for (std::uint64_t seed : {1u, 2u, 3u, 42u, 977u}) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        NodeAlloc a;
        AllocModel model(a);
        std::vector<void*> live;
        for (int step = 0; step < 6000; ++step) {
            const unsigned op = rng() % 100;
            if (op < 55 || live.empty()) {
                const Request r = random_request(rng);
                live.push_back(model.allocate(r.size, r.align, static_cast<unsigned char>(1 + rng() % 255)));
            } else if (op < 98) {
                const std::size_t i = rng() % live.size();
                model.release(live[i]);
                live[i] = live.back();
                live.pop_back();
            } else {
                model.release_free();
            }
            if (step % 97 == 0) model.check_counters();
            if (HasFailure()) return;
        }
        model.check_counters();
        // Adversarial tail: release every other block, then all of them.
        for (std::size_t i = 0; i < live.size(); i += 2) model.release(live[i]);
        model.release_free();
        model.check_counters();
        for (void* b : model.live_blocks()) model.release(b);
        model.check_counters();
        const std::uint64_t held = a.bytes_held();
        EXPECT_EQ(a.release_free(), held);
        EXPECT_EQ(a.bytes_held(), 0u);
    }
}

TEST(NodeAllocLocal, TeardownReturnsFreeAndLiveFreeMemory) {
    // Only the leak check at exit can fail here: pages and non-slab free
    // blocks must go back when the allocator is dropped.
    NodeAlloc a;
    void* n = a.allocate(128);
    void* big = a.allocate_zeroed(350);
    void* huge = a.allocate(2048);
    a.release(big, 350, 16);
    a.release(huge, 2048, 64);
    a.release(n, 128, 64);
    EXPECT_GT(a.bytes_held(), 0u);
}

TEST(NodeAllocLocal, MoveTransfersEverything) {
    NodeAlloc a;
    void* n = a.allocate(64);
    void* big = a.allocate_zeroed(300);
    a.release(big, 300, 16);
    const std::uint64_t held = a.bytes_held();
    NodeAlloc b(std::move(a));
    EXPECT_EQ(b.bytes_held(), held);
    EXPECT_EQ(b.total_allocs(), 2u);
    EXPECT_EQ(a.bytes_held(), 0u);
    EXPECT_EQ(a.total_allocs(), 0u);
    b.release(n, 64, 64);
    NodeAlloc c;
    c = std::move(b);
    EXPECT_EQ(c.live_nodes(), 0u);
    EXPECT_EQ(c.release_free(), 4096u + 304u);
}

#if TOLVANE_DEBUG_CHECKS
TEST(NodeAllocLocalDeathTest, WrongReleasesAreFatal) {
    NodeAlloc a;
    void* leaf = a.allocate_zeroed(24);
    EXPECT_DEATH(a.release(leaf, 25, 16), "size or alignment other than");
    EXPECT_DEATH(a.release(leaf, 24, 64), "size or alignment other than");
    a.release(leaf, 24, 16);
    EXPECT_DEATH(a.release(leaf, 24, 16), "double release");
    int on_stack = 0;
    EXPECT_DEATH(a.release(&on_stack, 8, 16), "not live");
}
#endif
