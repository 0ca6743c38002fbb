#include "frame/key_order.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace tolvane::py::key_order {

namespace {

// Runs this short are finished by insertion sort.
constexpr std::size_t kShortRun = 32;
// The widest first digit: 4096 runs are dealt to at once, about as many
// write streams as the caches keep open.
constexpr unsigned kWidestFirstDigit = 12;
// Runs longer than this are sorted in place rather than through a scratch
// array of their length, which would need as much room again as the copy.
constexpr std::size_t kLongestScratch = std::size_t{1} << 16;

inline std::uint64_t load_word(const char* words, std::size_t i) {
    std::uint64_t word;
    std::memcpy(&word, words + 8 * i, 8);
    return word;
}

inline std::uint64_t key_of(std::uint64_t key) { return key; }
inline std::uint64_t key_of(const KeyValue& pair) { return pair.key; }

inline unsigned byte_at(std::uint64_t key, unsigned shift) {
    return static_cast<unsigned>(key >> shift) & 0xFF;
}

// The digit below one at `shift`: eight bits lower, or the lowest byte
// (overlapping bits already equal) when fewer than eight remain.
inline unsigned next_shift(unsigned shift) { return shift >= 8 ? shift - 8 : 0; }

// Stable: an item moves past greater ones only.
template <class T>
void insertion_sort(T* items, std::size_t n) {
    for (std::size_t i = 1; i < n; ++i) {
        const T item = items[i];
        std::size_t j = i;
        for (; j > 0 && key_of(items[j - 1]) > key_of(item); --j) items[j] = items[j - 1];
        items[j] = item;
    }
}

// Places items[0, n), counted per byte at `shift` in `count`, into runs of
// equal byte by following cycles, without extra room and without keeping
// the order among equal bytes.
template <class T>
void deal_in_place(T* items, const std::size_t (&count)[256], unsigned shift) {
    std::size_t next[256], end[256];
    std::size_t at = 0;
    for (unsigned b = 0; b < 256; ++b) {
        next[b] = at;
        at += count[b];
        end[b] = at;
    }
    for (unsigned b = 0; b < 256; ++b) {
        while (next[b] < end[b]) {
            T item = items[next[b]];
            for (unsigned d = byte_at(key_of(item), shift); d != b;
                 d = byte_at(key_of(item), shift))
                std::swap(item, items[next[d]++]);
            items[next[b]++] = item;
        }
    }
}

// Sorts items[0, n), which agree on every bit above the byte at `shift`.
// Runs of at most `scratch_size` items go through `scratch` and keep their
// order among equal keys; longer runs are dealt in place and do not.
template <class T>
void sort_run(T* items, std::size_t n, unsigned shift, T* scratch, std::size_t scratch_size) {
    if (n <= kShortRun) {
        insertion_sort(items, n);
        return;
    }
    std::size_t count[256] = {};
    for (;;) {
        for (std::size_t i = 0; i < n; ++i) ++count[byte_at(key_of(items[i]), shift)];
        if (count[byte_at(key_of(items[0]), shift)] != n) break;
        if (shift == 0) return;  // every key equal
        count[byte_at(key_of(items[0]), shift)] = 0;
        shift = next_shift(shift);
    }
    if (n <= scratch_size) {
        std::size_t next[256];
        std::size_t at = 0;
        for (unsigned b = 0; b < 256; ++b) next[b] = std::exchange(at, at + count[b]);
        for (std::size_t i = 0; i < n; ++i) scratch[next[byte_at(key_of(items[i]), shift)]++] = items[i];
        std::copy(scratch, scratch + n, items);
    } else {
        deal_in_place(items, count, shift);
    }
    if (shift == 0) return;  // each run holds one key
    std::size_t begin = 0;
    for (unsigned b = 0; b < 256; ++b) {
        if (count[b] > kShortRun)
            sort_run(items + begin, count[b], next_shift(shift), scratch, scratch_size);
        begin += count[b];
    }
    // The short runs are left; each item moves within its own run only.
    insertion_sort(items, n);
}

// Whether sorted items[0, n) hold a key twice.
template <class T>
bool has_repeats(const T* items, std::size_t n) {
    for (std::size_t i = 1; i < n; ++i)
        if (key_of(items[i - 1]) == key_of(items[i])) return true;
    return false;
}

// Sorts the `n` items that `item(i)` reads into `out`. `stable`: the last
// of the items with one key is the one read last.
template <class T, class Item>
void sort_into(T* out, std::size_t n, Item item, bool stable) {
    std::uint64_t any = 0, all = ~std::uint64_t{0};
    bool ascending = true;
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t key = key_of(item(i));
        any |= key;
        all &= key;
        ascending &= previous <= key;
        previous = key;
    }
    if (ascending || n <= kShortRun) {
        for (std::size_t i = 0; i < n; ++i) out[i] = item(i);
        if (!ascending) insertion_sort(out, n);
        return;
    }
    // The keys agree above their highest differing bit; the first digit is
    // the bits from there down, wide enough for short runs.
    const unsigned top = 63 - static_cast<unsigned>(std::countl_zero(any ^ all));
    const int for_short_runs = std::max(8, static_cast<int>(std::bit_width(n)) - 8);
    const unsigned width =
        std::min({top + 1, kWidestFirstDigit, static_cast<unsigned>(for_short_runs)});
    const unsigned shift = top + 1 - width;
    const std::uint64_t mask = (std::uint64_t{1} << width) - 1;
    std::vector<std::size_t> start(std::size_t{1} << width);
    for (std::size_t i = 0; i < n; ++i) ++start[(key_of(item(i)) >> shift) & mask];
    std::size_t longest = 0, at = 0;
    for (std::size_t& s : start) {
        longest = std::max(longest, s);
        at += std::exchange(s, at);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const T x = item(i);
        out[start[(key_of(x) >> shift) & mask]++] = x;
    }
    if (shift == 0) return;  // each run holds one key
    const std::size_t scratch_size = std::min(longest, kLongestScratch);
    const auto scratch = std::make_unique_for_overwrite<T[]>(scratch_size);
    bool lost_order = false;
    std::size_t begin = 0;
    for (std::size_t end : start) {  // each start has moved to its run's end
        sort_run(out + begin, end - begin, next_shift(shift), scratch.get(), scratch_size);
        lost_order |= end - begin > scratch_size && has_repeats(out + begin, end - begin);
        begin = end;
    }
    if (!stable || !lost_order) return;
    // A long run sorted in place may hold a repeated key in any order. Only
    // its last item is inserted last, so it is given the value read last
    // for its key, by reading the input once more in its own order.
    for (std::size_t i = 0; i < n; ++i) {
        const T x = item(i);
        const std::size_t run = (key_of(x) >> shift) & mask;
        const std::size_t run_begin = run == 0 ? 0 : start[run - 1];
        if (start[run] - run_begin <= scratch_size) continue;
        T* last = std::upper_bound(out + run_begin, out + start[run], key_of(x),
                                   [](std::uint64_t key, const T& y) { return key < key_of(y); });
        *(last - 1) = x;
    }
}

}  // namespace

PageArray<std::uint64_t> sorted_keys(const char* words, std::size_t count) {
    PageArray<std::uint64_t> keys(count);
    sort_into(keys.data(), count, [&](std::size_t i) { return load_word(words, i); }, false);
    return keys;
}

PageArray<KeyValue> sorted_pairs(const char* keys, const char* values, std::size_t count) {
    PageArray<KeyValue> pairs(count);
    sort_into(
        pairs.data(), count,
        [&](std::size_t i) { return KeyValue{load_word(keys, i), load_word(values, i)}; }, true);
    return pairs;
}

}  // namespace tolvane::py::key_order
