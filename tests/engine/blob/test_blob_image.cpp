// The image file: exact bytes, the loader's checks in order, round trips,
// the faults an image can hold, and saves that fail.

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tolvane/blob/blob_validate.hpp"
#include "tolvane/blob/image.hpp"
#include "tolvane/blob/image_file.hpp"

namespace tolvane::blob {
namespace {

std::string image_of(const TolvaneBlobMap& m) {
    char name[] = "/tmp/blob_image_XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    unlink(name);
    const SaveOutcome saved = save_to_writer(m, fd);
    EXPECT_FALSE(saved.error.has_value());
    EXPECT_EQ(saved.length, image_length(m));
    std::string bytes(saved.length, '\0');
    EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    close(fd);
    return bytes;
}

ArenaStatus load(const std::string& image, TolvaneBlobMap& into, u64 cap = u64{1} << 30) {
    return from_bytes_slice_with_max_capacity(image, cap, into);
}

void put_u64(std::string& image, std::size_t at, u64 v) { std::memcpy(image.data() + at, &v, 8); }
void put_u32(std::string& image, std::size_t at, u32 v) { std::memcpy(image.data() + at, &v, 4); }
u64 get_u64(const std::string& image, std::size_t at) {
    u64 v;
    std::memcpy(&v, image.data() + at, 8);
    return v;
}

const ArenaError kCorrupted{ArenaErrorKind::CorruptedHeader};

// The 152-byte example: key 1 inline, key 2 a 10-byte arena record.
TolvaneBlobMap* example(TolvaneBlobMap& m) {
    m.insert(1, "abc", 0);
    m.insert(2, "0123456789!", 0);
    return &m;
}

TEST(BlobImage, ExactBytesOfTheEmptyMapAndTheExample) {
    TolvaneBlobMap empty(4096);
    const std::string e = image_of(empty);
    ASSERT_EQ(e.size(), 64u);
    EXPECT_EQ(e.substr(0, 8), std::string("TOLVANE\0", 8));
    EXPECT_EQ(get_u64(e, 8), 2u);  // version 2, reserved 0
    EXPECT_EQ(get_u64(e, 16), 0u);
    EXPECT_EQ(get_u64(e, 24), 64u);
    EXPECT_EQ(get_u64(e, 32), 64u);
    EXPECT_EQ(get_u64(e, 40), 64u);
    EXPECT_EQ(get_u64(e, 48), 4096u);
    EXPECT_EQ(get_u64(e, 56), 0u);
    TolvaneBlobMap back;
    ASSERT_FALSE(load(e, back).has_value());
    EXPECT_EQ(back.size(), 0u);
    EXPECT_EQ(back.arena.generation, 1u);
    EXPECT_EQ(back.arena.allocated_bytes, 0u);

    TolvaneBlobMap m(4096);
    m.insert(1, "abc", 0);
    m.insert(2, "abcdefghi!", 0);
    const std::string x = image_of(m);
    ASSERT_EQ(x.size(), 152u);
    EXPECT_EQ(get_u64(x, 16), 2u);
    EXPECT_EQ(get_u64(x, 32), 96u);
    EXPECT_EQ(get_u64(x, 40), 152u);
    EXPECT_EQ(get_u64(x, 56), 1u);
    EXPECT_EQ(get_u64(x, 64), 1u);
    EXPECT_EQ(get_u64(x, 72), 3u | u64('a') << 8 | u64('b') << 16 | u64('c') << 24);
    EXPECT_EQ(get_u64(x, 80), 2u);
    EXPECT_EQ(get_u64(x, 88), 16u);
    EXPECT_EQ(get_u64(x, 96), 4096u);
    EXPECT_EQ(get_u64(x, 104), 32u);
    EXPECT_EQ(get_u64(x, 112), 1u);  // generation 1, reserved 0
    EXPECT_EQ(get_u64(x, 120), 10u | u64{1} << 32);
    EXPECT_EQ(x.substr(128, 10), "abcdefghi!");
    EXPECT_EQ(x.substr(138), std::string(14, '\0'));
    ASSERT_FALSE(load(x, back).has_value());
    EXPECT_EQ(back.arena.allocated_bytes, 4096u);
    EXPECT_EQ(back.arena.live_bytes, 18u);
}

TEST(BlobImage, RoundTripKeepsEverySlotAndReproducesTheFile) {
    TolvaneBlobMap m(5000, 1 << 20);
    for (u64 k = 0; k < 3000; ++k) {
        std::string p(k % 300, static_cast<char>('a' + k % 26));
        m.insert(k * 7919, p, k % 5 == 0 ? static_cast<u32>(k) : 0);
    }
    for (u64 k = 0; k < 3000; k += 3) m.remove(k * 7919);
    m.arena.generation = 41;  // not stored: the loader takes the last chunk's
    m.reclaim_at_cap = false;
    const std::string first = image_of(m);
    TolvaneBlobMap back;
    ASSERT_FALSE(load(first, back, 1 << 21).has_value());
    EXPECT_EQ(image_of(back), first);
    EXPECT_EQ(back.arena.chunk_size, m.arena.chunk_size);
    EXPECT_EQ(back.arena.max_capacity, 1u << 21);
    EXPECT_EQ(back.arena.generation, 1u);
    EXPECT_TRUE(back.reclaim_at_cap);
    EXPECT_EQ(back.arena.live_bytes, m.arena.live_bytes);
    EXPECT_EQ(back.arena.allocated_bytes, m.arena.allocated_bytes);
    MapIter a = m.trie.iter_fwd_raw(), b = back.trie.iter_fwd_raw();
    for (auto x = a.next(), y = b.next(); x || y; x = a.next(), y = b.next()) ASSERT_EQ(x, y);
    auto broken = validate_blob_map(back);
    EXPECT_FALSE(broken.has_value()) << *broken;
}

TEST(BlobImage, HeaderFaultsInTheLoadersOrder) {
    TolvaneBlobMap m(4096);
    example(m);
    const std::string good = image_of(m);
    auto expect_error = [&](std::string image, ArenaError want, u64 cap = u64{1} << 30) {
        TolvaneBlobMap into;
        EXPECT_EQ(load(image, into, cap), want);
        EXPECT_EQ(into.size(), 0u);
        EXPECT_EQ(into.arena.chunk_count(), 0u);
    };
    expect_error(good.substr(0, 63), kCorrupted);
    std::string x = good;
    x[0] = 'X';
    put_u32(x, 8, 3);
    expect_error(x, kCorrupted);
    for (u32 version : {1u, 3u}) {
        x = good;
        put_u32(x, 8, version);
        put_u64(x, 48, 17);  // later fields wrong too
        expect_error(x, ArenaError{ArenaErrorKind::UnsupportedVersion, version, 2});
    }
    EXPECT_EQ(ArenaError({ArenaErrorKind::UnsupportedVersion, 3, 2}).message(),
              "Unsupported image format version 3 (this build reads and writes version 2)");
    auto with = [&](std::size_t at, u64 v) {
        std::string y = good;
        put_u64(y, at, v);
        return y;
    };
    expect_error(with(40, good.size() + 1), kCorrupted);
    expect_error(with(40, 63), kCorrupted);
    for (u64 size : {u64{4095}, u64{4104}, (u64{1} << 30) + 16}) expect_error(with(48, size), kCorrupted);
    expect_error(with(56, 65537), kCorrupted);
    expect_error(with(56, 7), kCorrupted);   // more chunks than the file can hold
    expect_error(with(16, 10), kCorrupted);  // more entries than the file can hold
    expect_error(with(24, good.size() + 1), kCorrupted);
    expect_error(with(32, good.size() + 1), kCorrupted);
    // Cap 0 means the chunk size: one chunk loads, two are refused.
    TolvaneBlobMap one;
    EXPECT_FALSE(load(good, one, 0).has_value());
    EXPECT_EQ(one.arena.max_capacity, 4096u);
    expect_error(with(56, 2), ArenaError{ArenaErrorKind::GrowthCeiling}, 0);
    // 65536 chunks pass the count rule (then the file is too short for them).
    expect_error(with(56, 65536), kCorrupted);
}

TEST(BlobImage, ChunkAndIndexFaults) {
    TolvaneBlobMap m(4096);
    m.insert(1, "abc", 0);
    m.insert(2, "abcdefghi!", 0);
    const std::string good = image_of(m);
    auto fails = [](const std::string& image) {
        TolvaneBlobMap into;
        return load(image, into) == kCorrupted && into.size() == 0 && into.arena.chunks.empty();
    };
    std::string x = good;
    put_u32(x, 112, 0);  // generation 0
    EXPECT_TRUE(fails(x));
    x = good;
    put_u64(x, 104, 4097);  // used above capacity
    EXPECT_TRUE(fails(x));
    x = good;
    put_u64(x, 96, 8192);  // capacity other than the chunk size
    EXPECT_TRUE(fails(x));
    x = good;
    put_u64(x, 32, 150);  // chunk header past the end
    EXPECT_TRUE(fails(x));
    x = good;
    put_u64(x, 24, 140);  // index record past the end
    EXPECT_TRUE(fails(x));
    // Every truncation of the image fails; appended bytes are ignored.
    for (std::size_t len = 0; len < good.size(); ++len) EXPECT_TRUE(fails(good.substr(0, len))) << len;
    TolvaneBlobMap padded;
    EXPECT_FALSE(load(good + "trailing", padded).has_value());
    EXPECT_EQ(padded.size(), 2u);
}

TEST(BlobImage, LoadedSlotsAreSoundWhateverTheImageSays) {
    TolvaneBlobMap m(4096);
    m.insert(1, "abc", 0);
    m.insert(2, "abcdefghi!", 0);
    std::string x = image_of(m);
    // Key 2 twice: the later record wins, and a slot that names no record
    // (offset 4096: no such chunk) becomes absent but stays counted.
    put_u64(x, 64, 2);
    put_u64(x, 72, arena_slot(4096, 5));
    put_u64(x, 16, 2);
    TolvaneBlobMap dup;
    ASSERT_FALSE(load(x, dup).has_value());
    EXPECT_EQ(dup.size(), 1u);
    EXPECT_EQ(dup.get(2)->payload(), "abcdefghi!");
    EXPECT_EQ(dup.arena.live_bytes, 18u);

    put_u64(x, 64, 7);
    TolvaneBlobMap stale;
    ASSERT_FALSE(load(x, stale).has_value());
    EXPECT_EQ(stale.size(), 2u);
    EXPECT_TRUE(stale.contains(7));
    EXPECT_FALSE(stale.get(7).has_value());
    EXPECT_EQ(slot_tag(*stale.trie.get(7)), TAG_ABSENT);
    EXPECT_EQ(stale.arena.live_bytes, 18u);
    // Records placed later can never become key 7's payload.
    for (u64 k = 10; k < 400; ++k) stale.insert(k, std::string(40, 'n'), 1);
    ASSERT_TRUE(stale.compact().ok());
    EXPECT_FALSE(stale.get(7).has_value());
    auto broken = validate_blob_map(stale);
    EXPECT_FALSE(broken.has_value()) << *broken;

    // A chunk whose used is not a multiple of 16 is rounded up, so the next
    // record is aligned and counted once.
    x = image_of(m);
    put_u64(x, 104, 27);
    TolvaneBlobMap odd;
    ASSERT_FALSE(load(x, odd).has_value());
    EXPECT_EQ(odd.arena.chunks[0].used(), 32u);
    ASSERT_FALSE(odd.insert(3, "another arena one", 1).has_value());
    EXPECT_EQ(slot_offset(*odd.trie.get(3)), 32u);
    broken = validate_blob_map(odd);
    EXPECT_FALSE(broken.has_value()) << *broken;
}

// ---- files --------------------------------------------------------------------

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/blob_files_XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf " + path).c_str()); }
};

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

constexpr u64 kFileCap = u64{1} << 30;

// Why a file was refused, or none when it was read.
std::optional<ArenaError> refusal_of(const std::string& path) {
    const ArenaResult<FileBytes> read = read_image_file(path, kFileCap);
    if (read.ok()) return std::nullopt;
    return read.error();
}

TEST(BlobImageFile, SaveReplacesWholeAndLoadReadsBack) {
    TempDir dir;
    const std::string path = dir.path + "/map.img";
    TolvaneBlobMap m(4096);
    example(m);
    FileSaveOutcome saved = save_image_file(m, path);
    ASSERT_FALSE(saved.error.has_value()) << saved.error->text();
    EXPECT_EQ(saved.length, image_length(m));
    chmod(path.c_str(), 0640);
    m.insert(3, std::string(500, 'l'), 0);
    saved = save_image_file(m, path);
    ASSERT_FALSE(saved.error.has_value());
    EXPECT_EQ(read_all(path), image_of(m));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    const ArenaResult<FileBytes> bytes = read_image_file(path, kFileCap);
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(std::string(bytes.value().view()), image_of(m));
    // No temporary file is left beside it.
    EXPECT_EQ(std::system(("test $(ls -A " + dir.path + " | wc -l) -eq 1").c_str()), 0);

    EXPECT_EQ(save_image_file(m, std::string("bad\0name", 8)).error->text(),
              "file name contained an unexpected NUL byte");
    const FileSaveOutcome missing = save_image_file(m, dir.path + "/no/such/dir");
    ASSERT_TRUE(missing.error.has_value());
    EXPECT_EQ(missing.error->text(), "No such file or directory (os error 2)");
}

// A save of `m` to `path` that a file size limit makes fail part-way (as
// root too), with the failure's error.
FileSaveOutcome save_cut_short(const TolvaneBlobMap& m, const std::string& path) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limited = old;
    limited.rlim_cur = 1000;
    setrlimit(RLIMIT_FSIZE, &limited);
    const FileSaveOutcome failed = save_image_file(m, path);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    return failed;
}

TEST(BlobImageFile, FailedSaveLeavesThePreviousFile) {
    TempDir dir;
    const std::string path = dir.path + "/map.img";
    TolvaneBlobMap small(4096);
    small.insert(1, "one", 0);
    ASSERT_FALSE(save_image_file(small, path).error.has_value());
    const std::string before = read_all(path);

    TolvaneBlobMap large(4096);
    for (u64 k = 0; k < 100; ++k) large.insert(k, std::string(100, 'x'), 1);
    // Saved through a symbolic link, which is followed to the file.
    const std::string link = dir.path + "/link.img";
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    const FileSaveOutcome failed = save_cut_short(large, link);
    ASSERT_TRUE(failed.error.has_value());
    EXPECT_EQ(failed.error->code, EFBIG);
    EXPECT_EQ(read_all(path), before);
    EXPECT_EQ(std::system(("test $(ls -A " + dir.path + " | wc -l) -eq 2").c_str()), 0);
    ASSERT_FALSE(save_image_file(large, link).error.has_value());
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_all(path), image_of(large));
}

TEST(BlobImageFile, OnlyRegularFilesAreRead) {
    TempDir dir;
    EXPECT_EQ(refusal_of(dir.path), kCorrupted);
    EXPECT_EQ(refusal_of(dir.path + "/missing"), kCorrupted);
    EXPECT_EQ(refusal_of(std::string("a\0b", 3)), kCorrupted);
    const std::string fifo = dir.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(refusal_of(fifo), kCorrupted);  // and does not wait for a writer
    const std::string empty = dir.path + "/empty";
    std::ofstream(empty).close();
    EXPECT_EQ(refusal_of(empty), kCorrupted);  // shorter than a header
}

// The names in a folder, "." and ".." left out.
std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    DIR* d = opendir(folder.c_str());
    if (d == nullptr) return names;
    while (const dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    closedir(d);
    return names;
}

TEST(BlobImageFile, SavingToAFifoNeverWaitsForAReader) {
    TempDir dir;
    const std::string fifo = dir.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    TolvaneBlobMap m(4096);
    example(m);
    // In a child that an alarm ends, so that a save that waits cannot hang
    // the suite.
    EXPECT_EXIT(
        {
            alarm(1);
            const FileSaveOutcome saved = save_image_file(m, fifo);
            const bool refused =
                saved.error && saved.error->text() == "No such device or address (os error 6)";
            std::_Exit(refused ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");

    // With a reader the image goes through the FIFO, which stays a FIFO.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const FileSaveOutcome saved = save_image_file(m, fifo);
    ASSERT_FALSE(saved.error.has_value()) << saved.error->text();
    std::string received(saved.length + 1, '\0');
    EXPECT_EQ(read(reader, received.data(), received.size()), static_cast<ssize_t>(saved.length));
    received.resize(saved.length);
    EXPECT_EQ(received, image_of(m));
    close(reader);
    struct stat st;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"fifo"});

    const FileSaveOutcome discarded = save_image_file(m, "/dev/null");
    ASSERT_FALSE(discarded.error.has_value()) << discarded.error->text();
    EXPECT_EQ(discarded.length, image_length(m));
}

TEST(BlobImageFile, TheLongestFileNameSavesAndFailsCleanly) {
    TempDir dir;
    const std::string name(255, 'n');
    const std::string path = dir.path + "/" + name;
    TolvaneBlobMap small(4096);
    example(small);
    const FileSaveOutcome saved = save_image_file(small, path);
    ASSERT_FALSE(saved.error.has_value()) << saved.error->text();
    const ArenaResult<FileBytes> bytes = read_image_file(path, kFileCap);
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(std::string(bytes.value().view()), image_of(small));

    TolvaneBlobMap large(4096);
    for (u64 k = 0; k < 100; ++k) large.insert(k, std::string(100, 'x'), 1);
    const FileSaveOutcome failed = save_cut_short(large, path);
    ASSERT_TRUE(failed.error.has_value());
    EXPECT_EQ(failed.error->code, EFBIG);
    EXPECT_EQ(read_all(path), image_of(small));
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{name});
}

// The folder a failing folder sync was asked to sync.
std::string folder_of_failed_sync;
int folder_sync_refused(const char* folder) {
    folder_of_failed_sync = folder;
    return EACCES;
}

TEST(BlobImageFile, SaveSucceedsOnceRenamedWhateverTheFolderSync) {
    TempDir dir;
    const std::string path = dir.path + "/map.img";
    TolvaneBlobMap m(4096);
    example(m);
    folder_of_failed_sync.clear();
    const FileSaveOutcome saved = save_image_file(m, path, folder_sync_refused);
    ASSERT_FALSE(saved.error.has_value()) << saved.error->text();
    EXPECT_EQ(saved.length, image_length(m));
    EXPECT_EQ(folder_of_failed_sync, dir.path);
    EXPECT_EQ(read_all(path), image_of(m));
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"map.img"});

    // The real sync says why a folder could not be synced.
    EXPECT_EQ(sync_folder(dir.path.c_str()), 0);
    EXPECT_EQ(sync_folder((dir.path + "/missing").c_str()), ENOENT);
    EXPECT_EQ(sync_folder(path.c_str()), ENOTDIR);
}

// Sparse files of 1 TiB: read whole, each would be refused for want of
// memory rather than by its header.
TEST(BlobImageFile, AHugeFileIsRefusedByItsHeaderAlone) {
    TempDir dir;
    TolvaneBlobMap m(4096);
    example(m);
    const std::string header = image_of(m).substr(0, 64);
    std::string newer = header;
    put_u32(newer, 8, 3);
    std::string ceiling = header;  // two chunks of 1 GiB
    put_u64(ceiling, 48, u64{1} << 30);
    put_u64(ceiling, 56, 2);
    std::string beyond = header;  // more entries than the file could hold
    put_u64(beyond, 16, (u64{1} << 40) / 16 + 1);
    const std::pair<std::string, ArenaError> cases[] = {
        {std::string(64, '\0'), kCorrupted},
        {newer, ArenaError{ArenaErrorKind::UnsupportedVersion, 3, 2}},
        {ceiling, ArenaError{ArenaErrorKind::GrowthCeiling}},
        {beyond, kCorrupted},
    };
    const std::string path = dir.path + "/huge.img";
    for (const auto& [start, error] : cases) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, start.data(), start.size()), 64);
        const bool sparse = ftruncate(fd, off_t{1} << 40) == 0;
        close(fd);
        if (!sparse) GTEST_SKIP() << "this file system holds no 1 TiB file";
        EXPECT_EQ(refusal_of(path), error);
    }
}

}  // namespace
}  // namespace tolvane::blob
