#include "tolvane/bytes/bucket.hpp"

#include <cstdint>
#include <cstring>

#include "tolvane/core/fatal.hpp"
#include "tolvane/core/heap.hpp"

namespace tolvane::bytesmap {

// The record and its entry array share one heap block, the array right
// behind the record: a lookup then touches one block instead of two, and the
// heap keeps one block header per bucket instead of two.
BytesBucket* make_bucket(u64 length) {
    const std::size_t array_bytes = heap_array_bytes(length, sizeof(BytesEntry));
    if (array_bytes > static_cast<std::size_t>(INT64_MAX) - sizeof(BytesBucket)) fatal("capacity overflow");
    auto* bucket = static_cast<BytesBucket*>(heap_allocate(sizeof(BytesBucket) + array_bytes));
    bucket->capacity = length;
    bucket->entries = reinterpret_cast<BytesEntry*>(bucket + 1);
    bucket->length = length;
    return bucket;
}

u8* copy_key(std::string_view k) {
    if (k.empty()) return nullptr;
    auto* copy = static_cast<u8*>(heap_allocate(k.size()));
    std::memcpy(copy, k.data(), k.size());
    return copy;
}

void dispose_bucket(BytesBucket* bucket, bool drop_keys) noexcept {
    if (drop_keys) {
        for (u64 i = 0; i < bucket->length; ++i)
            if (bucket->entries[i].key_size != 0) heap_free(bucket->entries[i].key);
    } else {
        bucket->length = 0;
    }
    heap_free(bucket);  // the entry array goes with it
}

}  // namespace tolvane::bytesmap
