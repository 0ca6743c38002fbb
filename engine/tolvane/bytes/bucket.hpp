#pragma once
// The byte map's bucket: every (key, value) entry whose key has one hash.
//
// Invariants:
// - A published bucket holds at least one entry and its capacity equals its
//   length: buckets are never resized in place; an insert or a removal
//   builds an exact-size successor and the entries move over bitwise, so
//   their key copies change owner without being copied again.
// - Entries stand in the order their keys were first inserted.
// - The entry array sits in the bucket's own heap block, right behind the
//   record, so the record's pointer never owns a block of its own.
// - An entry of key length 0 owns no key buffer (its pointer is null and is
//   never read or freed); any other entry owns exactly `key_size` bytes.

#include <cstring>
#include <string_view>

#include "tolvane/core/types.hpp"

namespace tolvane {

struct BytesEntry {
    u8* key = nullptr;
    u64 key_size = 0;
    u64 value = 0;

    std::string_view key_view() const noexcept {
        return key_size == 0 ? std::string_view{}
                             : std::string_view(reinterpret_cast<const char*>(key), key_size);
    }
    // Lengths first; the bytes only when the lengths agree.
    bool holds(std::string_view k) const noexcept {
        return key_size == k.size() && (key_size == 0 || std::memcmp(key, k.data(), key_size) == 0);
    }
};

struct BytesBucket {
    u64 capacity = 0;
    BytesEntry* entries = nullptr;
    u64 length = 0;

    // Index of the first entry holding the key, or `length` when none does.
    u64 find(std::string_view k) const noexcept {
        u64 i = 0;
        while (i < length && !entries[i].holds(k)) ++i;
        return i;
    }
};

// Bytes charged per bucket record and per entry (the key bytes come on top).
inline constexpr u64 BUCKET_RECORD_BYTES = 24;
inline constexpr u64 BUCKET_ENTRY_BYTES = 24;
static_assert(sizeof(BytesBucket) == BUCKET_RECORD_BYTES && sizeof(BytesEntry) == BUCKET_ENTRY_BYTES);

namespace bytesmap {

// A bucket record over a fresh entry array of `length` slots, all in use
// (the caller fills them).
BytesBucket* make_bucket(u64 length);
// A heap copy of the key, or null for the empty key.
u8* copy_key(std::string_view k);
// Frees a bucket nobody refers to any more. With drop_keys the entries' key
// buffers go too; without, they have passed to another bucket or been freed
// by the caller.
void dispose_bucket(BytesBucket* bucket, bool drop_keys) noexcept;

}  // namespace bytesmap
}  // namespace tolvane
