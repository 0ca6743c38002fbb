#pragma once
// The engine TolvaneBytesMap: arbitrary byte strings (NUL bytes and the
// empty string included) to u64 values, unordered. A key's 64-bit keyed hash
// is the key of an embedded integer TolvaneMap whose value is the address of
// the bucket of every entry with that hash (bucket.hpp). With a 64-bit hash
// almost every bucket holds one entry, so a lookup is one hash, one trie walk
// and one key comparison.
//
// Invariants:
// - Each key is held by exactly one entry, in the bucket of its hash; no two
//   entries of a bucket hold equal keys.
// - Every hash in `map` refers to a bucket of at least one entry, and the
//   population of `map` is the number of buckets.
// - `len` is the number of entries over all buckets.
// - `bucket_bytes` = 24 * buckets + sum over entries of (24 + key length):
//   the charge follows entries, not the malloc sizes behind them.
// - `k0`, `k1` are fixed for the life of the map (clearing keeps them), so
//   two keys that both stay present keep their relative walk order.
//
// Single-threaded: the node allocator stays in local mode.
//
// The hash is a policy so that tests can force collisions; the system uses
// SipKeyedHash only.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tolvane/bytes/bucket.hpp"
#include "tolvane/core/heap.hpp"
#include "tolvane/hash/siphash.hpp"
#include "tolvane/hash/thread_keys.hpp"
#include "tolvane/int/map.hpp"

namespace tolvane {

// SipHash-1-3 of the key's length as 8 little-endian bytes followed by the
// key: the empty key hashes as 8 zero bytes, and keys that differ only by
// trailing NULs hash different messages.
struct SipKeyedHash {
    static u64 hash(SipKey key, std::string_view k) noexcept {
        SipHasher13 hasher(key);
        hasher.write_u64(k.size());
        hasher.write(k.data(), k.size());
        return hasher.finish();
    }
};

template <class KeyHash>
class BasicBytesMap {
  public:
    TolvaneMap map;  // hash -> BytesBucket address
    u64 k0;
    u64 k1;
    u64 len = 0;
    u64 bucket_bytes = 0;

    // Empty, with the calling thread's next key pair.
    BasicBytesMap() : BasicBytesMap(take_thread_sip_key()) {}
    explicit BasicBytesMap(SipKey key) : k0(key.k0), k1(key.k1) {}
    ~BasicBytesMap() { clear_entries(); }
    BasicBytesMap(const BasicBytesMap&) = delete;
    BasicBytesMap& operator=(const BasicBytesMap&) = delete;

    u64 hash(std::string_view k) const noexcept { return KeyHash::hash(SipKey{k0, k1}, k); }

    std::optional<u64> get(std::string_view k) const {
        const BytesBucket* bucket = bucket_of(hash(k));
        if (bucket == nullptr) return std::nullopt;
        const u64 i = bucket->find(k);
        if (i == bucket->length) return std::nullopt;
        return bucket->entries[i].value;
    }

    // Stores the value; the previous value when the key was present.
    std::optional<u64> insert(std::string_view k, u64 value) {
        u64* word = map.ensure_slot(hash(k), 0);
        if (*word == 0) {  // the hash is new: a bucket of one entry
            BytesBucket* fresh = bytesmap::make_bucket(1);
            fresh->entries[0] = BytesEntry{bytesmap::copy_key(k), k.size(), value};
            *word = address_word(fresh);
            len += 1;
            bucket_bytes += k.size() + BUCKET_RECORD_BYTES + BUCKET_ENTRY_BYTES;
            return std::nullopt;
        }
        BytesBucket* old = bucket_at(*word);
        const u64 i = old->find(k);
        if (i != old->length) {  // present: replaced in place, nothing allocated
            const u64 previous = old->entries[i].value;
            old->entries[i].value = value;
            return previous;
        }
        const u64 m = old->length;
        BytesBucket* grown = bytesmap::make_bucket(m + 1);
        std::memcpy(grown->entries, old->entries, m * sizeof(BytesEntry));
        grown->entries[m] = BytesEntry{bytesmap::copy_key(k), k.size(), value};
        *word = address_word(grown);
        bytesmap::dispose_bucket(old, false);
        len += 1;
        bucket_bytes += k.size() + BUCKET_ENTRY_BYTES;
        return std::nullopt;
    }

    // Removes the key; its value, or none when absent (nothing changes then).
    std::optional<u64> remove_impl(std::string_view k) {
        const u64 h = hash(k);
        BytesBucket* bucket = bucket_of(h);
        if (bucket == nullptr) return std::nullopt;
        const u64 i = bucket->find(k);
        if (i == bucket->length) return std::nullopt;
        const u64 value = bucket->entries[i].value;
        const u64 m = bucket->length;
        if (m == 1) {
            map.remove(h);
            bytesmap::dispose_bucket(bucket, true);
            bucket_bytes = clamped_sub(bucket_bytes, BUCKET_RECORD_BYTES);
        } else {
            BytesBucket* shrunk = bytesmap::make_bucket(m - 1);
            std::memcpy(shrunk->entries, bucket->entries, i * sizeof(BytesEntry));
            std::memcpy(shrunk->entries + i, bucket->entries + i + 1, (m - 1 - i) * sizeof(BytesEntry));
            map.insert(h, address_word(shrunk));
            u8* removed_key = bucket->entries[i].key;
            bytesmap::dispose_bucket(bucket, false);
            if (!k.empty()) heap_free(removed_key);
        }
        len = clamped_sub(len, 1);
        bucket_bytes = clamped_sub(bucket_bytes, k.size() + BUCKET_ENTRY_BYTES);
        return value;
    }

    // Removes every entry; the hash keys stay. Allocates nothing: each
    // bucket goes as the walk passes it (the walk reads only the trie, which
    // is freed after it).
    void clear_entries() noexcept {
        MapIter it = map.iter_fwd_raw();
        while (const std::optional<KeyValue> e = it.next())
            bytesmap::dispose_bucket(bucket_at(e->value), true);
        map.clear_entries();
        len = 0;
        bucket_bytes = 0;
    }

    // Calls visit(key, value) for every entry: ascending hash, then bucket
    // order. The key view is valid only during the call, and the map must
    // not change while the walk runs.
    template <class Visit>
    void for_each(Visit&& visit) const {
        MapIter it = map.iter_fwd_raw();
        while (const std::optional<KeyValue> e = it.next()) {
            const BytesBucket* bucket = bucket_at(e->value);
            for (u64 i = 0; i < bucket->length; ++i)
                visit(bucket->entries[i].key_view(), bucket->entries[i].value);
        }
    }

    // Bytes charged to buckets plus the integer map's live node bytes.
    u64 mem_used() const { return bucket_bytes + map.alloc.live_bytes(); }

    // None when sound, else the first broken invariant found.
    std::optional<std::string> validate() {
        if (auto broken = map.validate_defensive()) return "hash map: " + *broken;
        u64 entries = 0, bytes = 0, buckets = 0;
        MapIter it = map.iter_fwd_raw();
        while (const std::optional<KeyValue> e = it.next()) {
            const std::string at = " (hash " + std::to_string(e->key) + ")";
            if (e->value == 0) return "every hash refers to a bucket" + at;
            const BytesBucket* bucket = bucket_at(e->value);
            if (bucket->length == 0) return "a bucket holds at least one entry" + at;
            if (bucket->capacity != bucket->length) return "bucket capacity equals its length" + at;
            for (u64 i = 0; i < bucket->length; ++i) {
                const BytesEntry& entry = bucket->entries[i];
                if (entry.key_size != 0 && entry.key == nullptr) return "a non-empty key has its buffer" + at;
                if (hash(entry.key_view()) != e->key) return "an entry's key hashes to its bucket" + at;
                if (bucket->find(entry.key_view()) != i) return "keys of a bucket are distinct" + at;
                bytes += BUCKET_ENTRY_BYTES + entry.key_size;
            }
            entries += bucket->length;
            bytes += BUCKET_RECORD_BYTES;
            buckets += 1;
        }
        if (buckets != map.size()) return std::string("the map's population is the bucket count");
        if (entries != len)
            return "len " + std::to_string(len) + " counts the entries " + std::to_string(entries);
        if (bytes != bucket_bytes)
            return "bucket_bytes " + std::to_string(bucket_bytes) + " is the charge of the entries " +
                   std::to_string(bytes);
        return std::nullopt;
    }

  private:
    static u64 address_word(const BytesBucket* b) noexcept { return reinterpret_cast<std::uintptr_t>(b); }
    static BytesBucket* bucket_at(u64 word) noexcept { return reinterpret_cast<BytesBucket*>(word); }
    static u64 clamped_sub(u64 a, u64 b) noexcept { return a > b ? a - b : 0; }

    BytesBucket* bucket_of(u64 h) const {
        const std::optional<u64> word = map.get(h);
        return word ? bucket_at(*word) : nullptr;
    }
};

using TolvaneBytesMap = BasicBytesMap<SipKeyedHash>;
extern template class BasicBytesMap<SipKeyedHash>;

}  // namespace tolvane
