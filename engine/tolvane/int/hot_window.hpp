#pragma once
// The hot-leaf window of the integer engines, one body for the set and the
// map: a key whose upper 56 bits equal the insert path's prefix goes
// straight into the level-1 leaf the last exclusive insert filled, with no
// walk; the ancestors' population fields fall short by one more (`pending`)
// until the next flush. Only the exclusive insert fills the path, so this
// runs only while the allocator is local and no reader exists: words are
// written in place without atomics.
//
// The 1-byte linear leaf is shared: the set's block is its key bytes, the
// map's is values u64[cap(n)] then the key bytes. It takes an append above
// its last byte while the capacity class holds; anything else declines.
// The bitmap leaves of the two flavours share no layout (the set's is four
// bit words and becomes a full edge at 256 keys; the map's keeps a value
// subarray per 32-bit group), so each flavour hands its own bitmap put in.

#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/int/put_place.hpp"
#include "tolvane/write/mutate_path.hpp"

namespace tolvane::hot_window {

constexpr bool same_capacity(u64 a, u64 b) noexcept {
    return capacity_class(static_cast<std::size_t>(a)) ==
           capacity_class(static_cast<std::size_t>(b));
}

// Bit n set: a hot linear leaf of n keys takes an append in place (3 to 23
// keys, within its capacity class). One shift and test instead of two class
// lookups on every append.
inline constexpr u32 LINEAR_APPENDABLE = [] {
    u32 bits = 0;
    for (u64 n = 3; n <= 23; ++n)
        if (same_capacity(n, n + 1)) bits |= u32{1} << n;
    return bits;
}();

constexpr bool linear_appendable(u64 n) noexcept {
    return n < 32 && ((LINEAR_APPENDABLE >> n) & 1) != 0;
}

// Appends to the hot 1-byte linear leaf of n keys; `len` is the tree's
// entry count.
template <bool Map>
PutPlace linear_put(InsertPath& path, u64& len, u64 key, u64 value) {
    const u64 n = path.hot_count;
    u8* block = path.hot_linear;
    u64* values = reinterpret_cast<u64*>(block);
    u8* keys = Map ? block + map_leaf_key_offset(n) : block;
    const u8 d = static_cast<u8>(key);
    const u8 last = keys[n - 1];
    if (d == last) return {PutPlace::Present, Map ? values + n - 1 : nullptr};
    if (d > last && linear_appendable(n)) {
        keys[n] = d;
        if constexpr (Map) values[n] = value;
        path.edges[0]->set_byte(8, static_cast<u8>(n));
        path.hot_count = static_cast<u16>(n + 1);
        ++path.pending;
        ++len;
        return {PutPlace::Added, Map ? values + n : nullptr};
    }
    return {};
}

// The window: Declined unless the key has the hot leaf's prefix and its
// form takes it. `bitmap_put()` is the flavour's put into a hot bitmap leaf.
template <bool Map, class BitmapPut>
PutPlace put(InsertPath& path, u64& len, u64 key, u64 value, BitmapPut bitmap_put) {
    if (path.len == 0 || (key >> 8) != path.prefix) return {};
    if (path.hot_bitmap != nullptr) return bitmap_put();
    if (path.hot_linear != nullptr) return linear_put<Map>(path, len, key, value);
    return {};
}

}  // namespace tolvane::hot_window
