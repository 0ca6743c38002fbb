#include "tolvane/bytes/bucket.hpp"

#include <cstring>

#include "tolvane/core/heap.hpp"

namespace tolvane::bytesmap {

BytesBucket* make_bucket(u64 length) {
    const std::size_t array_bytes = heap_array_bytes(length, sizeof(BytesEntry));
    auto* bucket = static_cast<BytesBucket*>(heap_allocate(sizeof(BytesBucket)));
    bucket->capacity = length;
    bucket->entries = static_cast<BytesEntry*>(heap_allocate(array_bytes));
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
    if (bucket->capacity != 0) heap_free(bucket->entries);
    heap_free(bucket);
}

}  // namespace tolvane::bytesmap
