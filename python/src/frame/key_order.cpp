#include "frame/key_order.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace tolvane::py::key_order {

namespace {

// Runs this short are finished by insertion sort.
constexpr std::size_t kShortRun = 32;

inline unsigned byte_at(std::uint64_t key, unsigned shift) {
    return static_cast<unsigned>(key >> shift) & 0xFF;
}

// The bits in which some two keys differ.
template <class Key, class T>
std::uint64_t differing_bits(const std::vector<T>& items, Key key) {
    std::uint64_t any = 0, all = ~std::uint64_t{0};
    for (const T& item : items) {
        any |= key(item);
        all &= key(item);
    }
    return any ^ all;
}

void insertion_sort(std::uint64_t* keys, std::size_t n) {
    for (std::size_t i = 1; i < n; ++i) {
        const std::uint64_t k = keys[i];
        std::size_t j = i;
        for (; j > 0 && keys[j - 1] > k; --j) keys[j] = keys[j - 1];
        keys[j] = k;
    }
}

// Sorts keys[0, n) that agree on every byte above `shift`: the keys are
// dealt into 256 runs by the byte at `shift`, each run is swapped into
// place by following cycles, and each run is sorted on the next byte down.
void sort_from_byte(std::uint64_t* keys, std::size_t n, unsigned shift) {
    if (n <= kShortRun) {
        insertion_sort(keys, n);
        return;
    }
    std::size_t count[256] = {};
    for (std::size_t i = 0; i < n; ++i) ++count[byte_at(keys[i], shift)];
    std::size_t next[256], end[256];
    std::size_t at = 0;
    for (unsigned b = 0; b < 256; ++b) {
        next[b] = at;
        at += count[b];
        end[b] = at;
    }
    for (unsigned b = 0; b < 256; ++b) {
        while (next[b] < end[b]) {
            std::uint64_t k = keys[next[b]];
            for (unsigned d = byte_at(k, shift); d != b; d = byte_at(k, shift))
                std::swap(k, keys[next[d]++]);
            keys[next[b]++] = k;
        }
    }
    if (shift == 0) return;
    std::size_t begin = 0;
    for (unsigned b = 0; b < 256; ++b) {
        if (count[b] > 1) sort_from_byte(keys + begin, count[b], shift - 8);
        begin += count[b];
    }
}

}  // namespace

void sort_keys(std::vector<std::uint64_t>& keys) {
    if (std::is_sorted(keys.begin(), keys.end())) return;
    const std::uint64_t differ = differing_bits(keys, [](std::uint64_t k) { return k; });
    const unsigned top_byte = static_cast<unsigned>(63 - std::countl_zero(differ)) / 8;
    sort_from_byte(keys.data(), keys.size(), 8 * top_byte);
}

void sort_pairs_stable(std::vector<KeyValue>& pairs) {
    const auto by_key = [](const KeyValue& a, const KeyValue& b) { return a.key < b.key; };
    if (std::is_sorted(pairs.begin(), pairs.end(), by_key)) return;
    const std::uint64_t differ = differing_bits(pairs, [](const KeyValue& p) { return p.key; });
    std::vector<KeyValue> scratch(pairs.size());
    for (unsigned shift = 0; shift < 64; shift += 8) {
        if (byte_at(differ, shift) == 0) continue;
        std::size_t start[256] = {};
        for (const KeyValue& p : pairs) ++start[byte_at(p.key, shift)];
        std::size_t at = 0;
        for (std::size_t& s : start) at += std::exchange(s, at);
        for (const KeyValue& p : pairs) scratch[start[byte_at(p.key, shift)]++] = p;
        pairs.swap(scratch);
    }
}

}  // namespace tolvane::py::key_order
