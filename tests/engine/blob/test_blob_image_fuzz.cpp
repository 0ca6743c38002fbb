// Loader fuzzing: crafted images and random mutations of them, loaded under
// the sanitizers. A load either fails cleanly or gives a map that passes
// the validator, reads every key, compacts, takes inserts and saves an
// image that loads back to the same entries. Bounded by count and time
// (TOLVANE_FUZZ_SECONDS, default 30); TOLVANE_FUZZ_SEED picks another stream.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "tolvane/blob/blob_validate.hpp"
#include "tolvane/blob/image.hpp"

namespace tolvane::blob {
namespace {

// An anonymous in-memory file to save images into.
std::string image_of(const TolvaneBlobMap& m) {
    const int fd = memfd_create("blob_image", 0);
    EXPECT_GE(fd, 0);
    const SaveOutcome saved = save_to_writer(m, fd);
    EXPECT_FALSE(saved.error.has_value());
    std::string bytes(saved.length, '\0');
    EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    close(fd);
    return bytes;
}

std::vector<std::string> seed_corpus() {
    std::vector<std::string> corpus;
    TolvaneBlobMap empty(4096);
    corpus.push_back(image_of(empty));
    TolvaneBlobMap small(4096);
    small.insert(1, "abc", 0);
    small.insert(2, "abcdefghi!", 0);
    corpus.push_back(image_of(small));
    std::mt19937_64 rng(11);
    TolvaneBlobMap mixed(4096);
    for (u64 i = 0; i < 300; ++i) {
        const u64 key = i % 3 ? rng() : i;
        mixed.insert(key, std::string(rng() % 600, static_cast<char>('a' + i % 26)),
                     static_cast<u32>(rng() % 4));
    }
    for (u64 i = 0; i < 300; i += 4) mixed.remove(i);
    corpus.push_back(image_of(mixed));
    TolvaneBlobMap digits(8192);
    for (u64 i = 0; i < 40; ++i) digits.insert(i << 40, std::to_string(i * 1234567891ull), 0);
    corpus.push_back(image_of(digits));
    return corpus;
}

const u64 kInteresting[] = {0,          1,          15,         16,         24,        63,
                            64,         96,         4095,       4096,       4104,      65536,
                            65537,      u64{1} << 30, (u64{1} << 30) + 16, u64{1} << 36,
                            ~u64{0} - 23, ~u64{0}};

std::string mutate(const std::string& base, std::mt19937_64& rng) {
    std::string x = base;
    const int rounds = 1 + static_cast<int>(rng() % 4);
    for (int r = 0; r < rounds; ++r) {
        switch (rng() % 6) {
            case 0:  // flip bytes anywhere
                if (!x.empty())
                    for (int i = 0, n = 1 + static_cast<int>(rng() % 8); i < n; ++i)
                        x[rng() % x.size()] ^= static_cast<char>(1 + rng() % 255);
                break;
            case 1:  // an interesting value in a header or record field
                if (x.size() >= 8) {
                    const u64 v = kInteresting[rng() % std::size(kInteresting)];
                    const std::size_t at = (rng() % 2 ? rng() % 8 * 8 : rng() % (x.size() / 8) * 8);
                    std::memcpy(x.data() + at, &v, 8);
                }
                break;
            case 2:  // truncate
                x.resize(rng() % (x.size() + 1));
                break;
            case 3:  // append junk
                x.append(rng() % 64, static_cast<char>(rng()));
                break;
            case 4:  // copy a 16-byte block over another (index records, chunk headers)
                if (x.size() >= 32) {
                    const std::size_t from = rng() % (x.size() - 16), to = rng() % (x.size() - 16);
                    std::memmove(x.data() + to, x.data() + from, 16);
                }
                break;
            case 5:  // a slot with an arbitrary tag or offset
                if (x.size() >= 88) {
                    const u64 slot = rng() % 2 ? (rng() & ~u64{0xFF}) | TAG_ARENA : rng();
                    std::memcpy(x.data() + 72 + (rng() % ((x.size() - 72) / 16)) * 16, &slot, 8);
                }
                break;
        }
    }
    return x;
}

// Sets `loaded` when the image loads.
void exercise(const std::string& image, u64 cap, std::mt19937_64& rng, bool& loaded) {
    TolvaneBlobMap m;
    loaded = !from_bytes_slice_with_max_capacity(image, cap, m).has_value();
    if (!loaded) {
        ASSERT_EQ(m.size(), 0u);
        ASSERT_TRUE(m.arena.chunks.empty());
        return;
    }
    std::optional<std::string> broken = validate_blob_map(m);
    ASSERT_TRUE(!broken || *broken == SHARED_RECORD) << *broken;
    const bool shared = broken.has_value();
    std::vector<std::pair<u64, std::string>> entries;
    MapIter it = m.trie.iter_fwd_raw();
    while (const std::optional<KeyValue> e = it.next()) {
        const auto v = m.get(e->key);
        entries.emplace_back(e->key, v ? std::string(v->payload()) : "<absent>");
    }
    u64 scanned = 0;
    m.scan_filtered(0, ~u64{0}, [](u64, u32) { return true; },
                    [&](u64, std::string_view, u32) { return ++scanned != 0; });

    // A saved copy loads back to the same entries.
    const std::string again = image_of(m);
    TolvaneBlobMap copy;
    ASSERT_FALSE(from_bytes_slice_with_max_capacity(again, cap, copy).has_value());
    ASSERT_EQ(image_of(copy), again);

    if (m.compact().ok()) {
        for (const auto& [key, payload] : entries) {
            const auto v = m.get(key);
            ASSERT_EQ(v ? std::string(v->payload()) : "<absent>", payload);
        }
    }
    for (int i = 0; i < 8; ++i) m.insert(rng() % 64, std::string(rng() % 300, 'i'), 1);
    broken = validate_blob_map(m);
    ASSERT_TRUE(!broken || (shared && *broken == SHARED_RECORD)) << *broken;
}

TEST(BlobImageFuzz, LoaderSurvivesMutatedImages) {
    const char* env = std::getenv("TOLVANE_FUZZ_SECONDS");
    const double seconds = env ? std::atof(env) : 30.0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    const std::vector<std::string> corpus = seed_corpus();
    for (const std::string& image : corpus) {
        std::mt19937_64 rng(1);
        bool ok = false;
        exercise(image, u64{1} << 30, rng, ok);
        ASSERT_TRUE(ok);
    }
    const char* seed = std::getenv("TOLVANE_FUZZ_SEED");
    std::mt19937_64 rng(seed ? std::strtoull(seed, nullptr, 10) : 20261207);
    u64 runs = 0, loaded = 0;
    for (; runs < 2'000'000 && std::chrono::steady_clock::now() < deadline; ++runs) {
        const std::string image = mutate(corpus[rng() % corpus.size()], rng);
        const u64 cap = rng() % 8 == 0 ? u64{1} << 30 : u64{1} << 22;
        bool ok = false;
        exercise(image, cap, rng, ok);
        loaded += ok;
        if (HasFatalFailure()) return;
    }
    std::printf("loader fuzz: %llu images, %llu loaded\n", static_cast<unsigned long long>(runs),
                static_cast<unsigned long long>(loaded));
    EXPECT_GT(loaded, 0u);
    EXPECT_LT(loaded, runs);
}

}  // namespace
}  // namespace tolvane::blob
