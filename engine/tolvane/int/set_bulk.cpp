#include "tolvane/int/set_bulk.hpp"

#include <span>

#include "tolvane/core/forms.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/write/mode.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/write/mutate_leaf_build.hpp"
#include "tolvane/write/mutate_leaf_split.hpp"

namespace tolvane {

namespace {

// The most keys one leaf in a slot of `level` holds: a bitmap leaf or full
// edge of one-byte keys, else a full linear leaf.
unsigned leaf_limit(unsigned level) { return level == 1 ? 256 : forms::LINEAR_MAX_KEYS; }

// Writes into the empty `slot` of `level` (1..7) the leaf that inserting
// keys[0, n) there one by one ends with: n distinct keys, ascending, with
// their bytes above `level` equal, n at most leaf_limit(level). The keys are
// as wide as the slot, as a first key into an empty slot makes them.
void lay_leaf(NodeAlloc& alloc, Edge& slot, unsigned level, const u64* keys, std::size_t n) {
    const u8 w = static_cast<u8>(level);
    Edge fresh;
    if (n <= forms::set_immediate_capacity(w)) {
        u64 low[16];
        for (std::size_t i = 0; i < n; ++i) low[i] = keys[i] & low_bytes_mask(w);
        mutate::write_immed(fresh, w, low, n);
    } else if (n <= forms::linear_leaf_max_keys(w)) {
        mutate::build_leaf<false>(alloc, fresh, w, keys, n);
    } else if (n < 256) {  // one-byte keys only
        fresh.set_ptr(mutate::bitmap_leaf_of(alloc, std::span<const u64>(keys, n)));
        fresh.set_tag(TAG_LEAF_BITMAP);
        fresh.set_byte(8, static_cast<u8>(n - 1));
    } else {
        fresh.set_tag(TAG_FULL);
        fresh.set_byte(8, 0xFF);
    }
    slot = fresh;
}

// The distinct keys at the front of keys[0, n) that share the bytes above
// `level` with keys[0] and ascend, gathered into `run` while there are at
// most `limit`; `end` is where they stop in `keys`. 0 when there are more.
std::size_t gather_run(const u64* keys, std::size_t n, unsigned level, unsigned limit, u64* run,
                       std::size_t& end) {
    const u64 prefix = keys[0] >> (8 * level);
    std::size_t count = 1;
    run[0] = keys[0];
    for (end = 1; end < n && keys[end] >> (8 * level) == prefix; ++end) {
        if (keys[end] == run[count - 1]) continue;
        if (keys[end] < run[count - 1]) break;  // the rest takes the ordinary way
        if (count == limit) return 0;
        run[count++] = keys[end];
    }
    return count;
}

}  // namespace

u64 insert_ascending(TolvaneSet& set, const u64* keys, std::size_t n) noexcept {
    u64 added = 0;
    u64 run[256];
    std::size_t i = 0;
    while (i < n) {
        const u64 key = keys[i];
        // The root leaf, a shared tree and the hot leaf have their own ways.
        if (set.root_state != ROOT_TREE ||
            mutate::write_mode(set.alloc) != mutate::WriteMode::Exclusive ||
            (set.path.len != 0 && (key >> 8) == set.path.prefix)) {
            added += set.insert_deferred(key);
            ++i;
            continue;
        }
        set.clear_path();
        mutate::DescentStack stack;
        Edge* slot = &set.root;
        unsigned level = 8;
        while (is_branch_tag(slot->tag_byte()))
            mutate::insert_branch_step(set.alloc, slot, level, key, stack, set.path);
        std::size_t stored = 0;
        if (slot->tag_byte() == TAG_EMPTY && level < 8) {
            std::size_t end;
            stored = gather_run(keys + i, n - i, level, leaf_limit(level), run, end);
            if (stored != 0) {
                lay_leaf(set.alloc, *slot, level, run, stored);
                for (std::size_t s = 0; s < stack.size; ++s)
                    if (stack.levels[s] <= 7) stack.edges[s]->add_pop0(stack.levels[s], stored);
                i += end;
            }
        }
        if (stored == 0) {
            // The ordinary leaf step, from the slot the walk reached.
            if (mutate::insert_with_path_flat(set.alloc, *slot, key, level, set.path)) {
                mutate::complete_insert(stack, set.path);
                stored = 1;
            }
            ++i;
        }
        set.len += stored;
        added += stored;
    }
    return added;
}

}  // namespace tolvane
