#include "tolvane/int/ascending.hpp"

#include <span>

#include "tolvane/core/forms.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/write/mode.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/write/mutate_leaf_build.hpp"
#include "tolvane/write/mutate_leaf_split.hpp"
#include "tolvane/write/mutate_map_insert.hpp"
#include "tolvane/write/mutate_map_leaf.hpp"

namespace tolvane {

namespace {

// What the shared walk needs of each flavour. Keys as wide as the slot, as
// a first key into an empty slot makes them, so no skipped bytes are written.
struct SetFlavour {
    using Item = u64;
    TolvaneSet& set;

    static u64 key_of(u64 key) { return key; }
    // The most keys one leaf in a slot of `level` holds: a bitmap leaf or
    // full edge of one-byte keys, else a full linear leaf.
    static unsigned leaf_limit(unsigned level) {
        return level == 1 ? 256 : forms::LINEAR_MAX_KEYS;
    }
    // A repeated key adds nothing.
    static void repeat(u64&, u64) {}

    Edge& root() { return set.root; }
    NodeAlloc& alloc() { return set.alloc; }
    InsertPath& path() { return set.path; }
    u64& len() { return set.len; }
    // The root leaf, a shared tree and the hot leaf have their own ways.
    bool ordinary(u64 key) {
        return set.root_state != ROOT_TREE ||
               mutate::write_mode(set.alloc) != mutate::WriteMode::Exclusive ||
               (set.path.len != 0 && (key >> 8) == set.path.prefix);
    }
    bool insert(u64 key) { return set.insert_deferred(key); }
    bool insert_below(Edge& slot, unsigned level, u64 key) {
        return mutate::insert_with_path_flat(set.alloc, slot, key, level, set.path);
    }
    // The leaf that one-by-one inserts of run[0, n) end with.
    void lay_leaf(Edge& slot, unsigned level, const u64* run, std::size_t n) {
        const u8 w = static_cast<u8>(level);
        Edge fresh;
        if (n <= forms::set_immediate_capacity(w)) {
            u64 low[16];
            for (std::size_t i = 0; i < n; ++i) low[i] = run[i] & low_bytes_mask(w);
            mutate::write_immed(fresh, w, low, n);
        } else if (n <= forms::linear_leaf_max_keys(w)) {
            mutate::build_leaf<false>(set.alloc, fresh, w, run, n);
        } else if (n < 256) {  // one-byte keys only
            fresh.set_ptr(mutate::bitmap_leaf_of(set.alloc, std::span<const u64>(run, n)));
            fresh.set_tag(TAG_LEAF_BITMAP);
            fresh.set_byte(8, static_cast<u8>(n - 1));
        } else {
            fresh.set_tag(TAG_FULL);
            fresh.set_byte(8, 0xFF);
        }
        slot = fresh;
    }
};

struct MapFlavour {
    using Item = KeyValue;
    TolvaneMap& map;

    static u64 key_of(const KeyValue& pair) { return pair.key; }
    // A full linear leaf; one-byte keys go on into a bitmap leaf, which
    // stays one up to 256 keys in the map flavour.
    static unsigned leaf_limit(unsigned level) {
        return level == 1 ? 256 : mutate_map::map_leaf_max_keys(level);
    }
    // A repeated key keeps the value given last.
    static void repeat(KeyValue& kept, const KeyValue& later) { kept.value = later.value; }

    Edge& root() { return map.core.root; }
    NodeAlloc& alloc() { return map.alloc; }
    InsertPath& path() { return map.path; }
    u64& len() { return map.core.len; }
    // The root leaf, a shared tree and the hot leaf have their own ways.
    bool ordinary(const KeyValue& pair) {
        return map.core.root_state != ROOT_TREE ||
               mutate::write_mode(map.alloc) != mutate::WriteMode::Exclusive ||
               (map.path.len != 0 && (pair.key >> 8) == map.path.prefix);
    }
    bool insert(const KeyValue& pair) { return !map.insert(pair.key, pair.value).existed; }
    bool insert_below(Edge& slot, unsigned level, const KeyValue& pair) {
        mutate_map::InsertResult out;
        mutate_map::map_insert_with_path_flat<false>(out, map.alloc, slot, pair.key, pair.value,
                                                     static_cast<u8>(level), map.path);
        return out.existed == 0;
    }
    void lay_leaf(Edge& slot, unsigned level, KeyValue* run, std::size_t n) {
        const u8 w = static_cast<u8>(level);
        for (std::size_t i = 0; i < n; ++i) run[i].key &= low_bytes_mask(w);
        Edge fresh;
        if (n <= mutate_map::map_immediate_capacity(w))
            mutate_map::write_map_immed<false>(map.alloc, fresh, w, run, n);
        else if (n <= mutate_map::map_leaf_max_keys(w))
            mutate_map::build_map_leaf<false>(map.alloc, fresh, w, run, n);
        else  // one-byte keys only
            mutate_map::build_bitmap_leaf_map<false>(map.alloc, fresh, run, n);
        slot = fresh;
    }
};

// The items at the front of items[0, n) whose keys share the bytes above
// `level` with the first and ascend, one per key, gathered into `run` while
// there are at most `limit` keys; `end` is where they stop in `items`. 0
// when there are more.
template <class Flavour, class Item>
std::size_t gather_run(const Item* items, std::size_t n, unsigned level, unsigned limit,
                       Item* run, std::size_t& end) {
    const u64 prefix = Flavour::key_of(items[0]) >> (8 * level);
    std::size_t count = 1;
    run[0] = items[0];
    for (end = 1; end < n && Flavour::key_of(items[end]) >> (8 * level) == prefix; ++end) {
        const u64 key = Flavour::key_of(items[end]), last = Flavour::key_of(run[count - 1]);
        if (key == last) {
            Flavour::repeat(run[count - 1], items[end]);
            continue;
        }
        if (key < last) break;  // the rest takes the ordinary way
        if (count == limit) return 0;
        run[count++] = items[end];
    }
    return count;
}

template <class Flavour>
u64 insert_runs(Flavour f, const typename Flavour::Item* items, std::size_t n) {
    using Item = typename Flavour::Item;
    u64 added = 0;
    Item run[256];
    std::size_t i = 0;
    while (i < n) {
        const Item& item = items[i];
        const u64 key = Flavour::key_of(item);
        if (f.ordinary(item)) {
            added += f.insert(item);
            ++i;
            continue;
        }
        f.path().flush_and_reset();
        mutate::DescentStack stack;
        Edge* slot = &f.root();
        unsigned level = 8;
        while (is_branch_tag(slot->tag_byte()))
            mutate::insert_branch_step(f.alloc(), slot, level, key, stack, f.path());
        std::size_t stored = 0;
        if (slot->tag_byte() == TAG_EMPTY && level < 8) {
            std::size_t end;
            stored = gather_run<Flavour>(items + i, n - i, level, Flavour::leaf_limit(level), run,
                                         end);
            if (stored != 0) {
                f.lay_leaf(*slot, level, run, stored);
                for (std::size_t s = 0; s < stack.size; ++s)
                    if (stack.levels[s] <= 7) stack.edges[s]->add_pop0(stack.levels[s], stored);
                i += end;
            }
        }
        if (stored == 0) {
            // The ordinary leaf step, from the slot the walk reached.
            if (f.insert_below(*slot, level, item)) {
                mutate::complete_insert(stack, f.path());
                stored = 1;
            }
            ++i;
        }
        f.len() += stored;
        added += stored;
    }
    return added;
}

}  // namespace

u64 insert_ascending(TolvaneSet& set, const u64* keys, std::size_t n) noexcept {
    return insert_runs(SetFlavour{set}, keys, n);
}

u64 insert_ascending(TolvaneMap& map, const KeyValue* pairs, std::size_t n) noexcept {
    return insert_runs(MapFlavour{map}, pairs, n);
}

}  // namespace tolvane
