#pragma once
// Editing and unpacking the packed key area of a linear leaf.
//
// Key area: n keys of w bytes (1..7), key j at bytes j*w .. j*w+w-1, least
// significant first, ascending (the callers keep the order). Its length is
// capacity_class(n) * w bytes. In a map leaf the block starts with
// capacity_class(n) value words and the key area follows at byte
// 8 * capacity_class(n).
//
// The in-place edits work on the area as aligned 8-byte words plus a partial
// tail of (length mod 8) bytes, store each whole word with one 8-byte store
// and the tail with 4-, 2- and 1-byte stores, and never touch a byte past the
// area. Shared-tree callers make them only while the word guarding the leaf's
// edge is odd. None of these routines allocates a node or touches an edge.

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "tolvane/core/types.hpp"

namespace tolvane {
namespace leaf::shared_keys {

// Inserts `key` at index i (0..n), moving keys i..n-1 up one slot. The area
// must already have room: capacity_class(n + 1) == capacity_class(n).
void insert_at(u8* area, u8 w, u64 n, std::size_t i, u64 key);

// Removes key i (0..n-1), moving the later keys down. The slot just past the
// new count keeps the former last key.
void remove_at(u8* area, u8 w, u64 n, std::size_t i);

// Map-leaf forms: the value words move with their keys. `block` is the start
// of the map leaf (its value words).
void map_insert_at(u8* block, u8 w, u64 n, std::size_t i, u64 key, u64 value);
void map_remove_at(u8* block, u8 w, u64 n, std::size_t i);

// The n keys of an area of capacity_class(n) * w bytes; room for one more.
std::vector<u64> keys_vec(const u8* area, u8 w, std::size_t n);

// The n (key, value) pairs of a map leaf; room for one more.
std::vector<std::pair<u64, u64>> map_entries(const u8* block, u8 w, std::size_t n);

// The t (0..7) bytes at p as a little-endian integer, read 4 + 2 + 1 and
// joined in a register: a t-byte copy into a local word is a byte loop
// whose stores the read of the whole word would wait for.
inline u64 tail_load(const u8* p, std::size_t t) noexcept {
    u64 v = 0;
    std::size_t off = 0;
    if (t & 4) {
        u32 x;
        std::memcpy(&x, p, 4);
        v = x;
        off = 4;
    }
    if (t & 2) {
        u16 x;
        std::memcpy(&x, p + off, 2);
        v |= static_cast<u64>(x) << (8 * off);
        off += 2;
    }
    if (t & 1) v |= static_cast<u64>(p[off]) << (8 * off);
    return v;
}

}  // namespace leaf::shared_keys

namespace leaf {

// Key i of a packed area of w-byte keys (w <= 8), zero-extended.
inline u64 packed_key(const u8* keys, std::size_t i, unsigned w) noexcept {
    const u8* p = keys + i * w;
    if (w < 8) return shared_keys::tail_load(p, w);
    u64 k;
    std::memcpy(&k, p, 8);
    return k;
}

// Writes the low w bytes of `k` as key i of a packed area.
inline void put_packed_key(u8* keys, std::size_t i, unsigned w, u64 k) noexcept {
    std::memcpy(keys + i * w, &k, w);
}

// Copies a map leaf of n >= 2 entries into `fresh`, laid out for n - 1
// entries, leaving out entry i. The caller allocated `fresh` and frees `old`.
void map_realloc_remove(const u8* old, u8* fresh, u8 w, u64 n, std::size_t i);

}  // namespace leaf

namespace mutate {

// The n keys of the set-flavour linear leaf behind `e`; room for one more.
std::vector<u64> leaf_keys(const Edge& e, u8 w, std::size_t n);

}  // namespace mutate
}  // namespace tolvane
