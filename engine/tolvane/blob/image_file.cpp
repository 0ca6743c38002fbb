#include "tolvane/blob/image_file.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tolvane/blob/image.hpp"

namespace tolvane::blob {

namespace {

FileError os_error(int code) { return {FileError::Kind::Os, code}; }

FileError write_error(int code) {
    return code == 0 ? FileError{FileError::Kind::ShortWrite, 0} : os_error(code);
}

// close() whose failure is an error: a deferred write error surfaces here.
std::optional<FileError> close_checked(int fd) {
    if (::close(fd) != 0 && errno != EINTR) return os_error(errno);
    return std::nullopt;
}

std::optional<FileError> fsync_checked(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return os_error(errno);
    }
    return std::nullopt;
}

FileSaveOutcome save_in_place(const TolvaneBlobMap& map, const std::string& path) {
    // Opened without waiting: a FIFO with no reader is refused (ENXIO)
    // rather than holding the caller until one appears. The writes then
    // block as usual, so a slow reader still gets the whole image.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return {0, os_error(errno)};
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const FileError error = os_error(errno);
        ::close(fd);
        return {0, error};
    }
    const SaveOutcome saved = save_to_writer(map, fd);
    const std::optional<FileError> closed = close_checked(fd);
    if (saved.error) return {0, write_error(*saved.error)};
    if (closed) return {0, closed};
    return {saved.length, std::nullopt};
}

// Reads until `size` bytes or the end of the file: the count read, or
// none when a read fails.
std::optional<u64> read_up_to(int fd, char* into, u64 size) {
    u64 done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, into + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        done += static_cast<u64>(n);
    }
    return done;
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A name in the folder of `path` for the image being written: its length
// does not depend on the target's name, so the longest valid names save
// too. The process id and a counter keep saves of this and of other live
// processes apart; a leftover of a process that had the same id is met by
// the exclusive create and passed over.
std::string temporary_name(const std::string& path) {
    static std::atomic<u64> counter{0};
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    return dir + ".tolvane-save-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1, std::memory_order_relaxed)) + ".tmp";
}

}  // namespace

std::string FileError::text() const {
    switch (kind) {
        case Kind::ShortWrite:
            return "failed to write whole buffer";
        case Kind::NulInPath:
            return "file name contained an unexpected NUL byte";
        case Kind::Os:
            break;
    }
    char buffer[256];
    // The GNU strerror_r returns the text, which may not be `buffer`.
    const char* message = strerror_r(code, buffer, sizeof(buffer));
    return std::string(message) + " (os error " + std::to_string(code) + ")";
}

int sync_folder(const char* folder) {
    const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const std::optional<FileError> failure = fsync_checked(fd);
    ::close(fd);
    return failure ? failure->code : 0;
}

FileSaveOutcome save_image_file(const TolvaneBlobMap& map, std::string_view path_view,
                                FolderSync folder_sync) {
    if (path_view.find('\0') != std::string_view::npos)
        return {0, FileError{FileError::Kind::NulInPath, 0}};
    std::string path(path_view);
    struct stat existing;
    bool exists = ::lstat(path.c_str(), &existing) == 0;
    if (exists && S_ISLNK(existing.st_mode)) {
        // The link stays; the file it names is replaced. A link that leads
        // nowhere is written through, as opening it would.
        std::unique_ptr<char, FileBytes::Free> target(::realpath(path.c_str(), nullptr));
        if (!target) return save_in_place(map, path);
        path = target.get();
        exists = ::lstat(path.c_str(), &existing) == 0;
    }
    if (exists && !S_ISREG(existing.st_mode)) return save_in_place(map, path);

    std::string temporary;
    int fd = -1;
    for (unsigned attempt = 0; fd < 0; ++attempt) {
        temporary = temporary_name(path);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt == 100)) return {0, os_error(errno)};
    }
    std::optional<FileError> failure;
    // The replaced file's permissions carry over, as truncating it would
    // have kept them.
    if (exists && ::fchmod(fd, existing.st_mode & 07777) != 0) failure = os_error(errno);
    SaveOutcome saved;
    if (!failure) {
        saved = save_to_writer(map, fd);
        if (saved.error) failure = write_error(*saved.error);
    }
    if (!failure) failure = fsync_checked(fd);
    const std::optional<FileError> closed = close_checked(fd);
    if (!failure) failure = closed;
    if (!failure && ::rename(temporary.c_str(), path.c_str()) != 0) failure = os_error(errno);
    if (failure) {
        ::unlink(temporary.c_str());
        return {0, failure};
    }
    // The target holds the new image from here on, so the save has
    // succeeded: syncing the folder only makes the rename durable sooner,
    // and a folder the caller may write but not read cannot be synced.
    (void)folder_sync(directory_of(path).c_str());
    return {saved.length, std::nullopt};
}

ArenaResult<FileBytes> read_image_file(std::string_view path_view, u64 max_capacity) {
    const ArenaError unreadable{ArenaErrorKind::CorruptedHeader};
    if (path_view.find('\0') != std::string_view::npos) return unreadable;
    const std::string path(path_view);
    // Non-blocking: opening a FIFO must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return unreadable;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return unreadable;

    // The header alone first: a file of any size whose header is refused
    // costs 64 bytes of reading.
    char header[IMAGE_HEADER_BYTES];
    const std::optional<u64> header_size = read_up_to(fd, header, sizeof(header));
    if (!header_size) return unreadable;
    const ArenaResult<ImageHeader> checked = check_image_header(
        std::string_view(header, *header_size), static_cast<u64>(st.st_size), max_capacity);
    if (!checked.ok()) return checked.error();

    FileBytes bytes;
    u64 capacity = static_cast<u64>(st.st_size) + 1;  // one more byte sees the end
    bytes.data.reset(static_cast<char*>(std::malloc(capacity)));
    if (!bytes.data) return unreadable;
    std::memcpy(bytes.data.get(), header, *header_size);
    bytes.size = *header_size;
    for (;;) {
        if (bytes.size == capacity) {
            // The file grew since fstat: make room and read on.
            const u64 larger = capacity * 2;
            if (larger < capacity) return unreadable;
            char* grown = static_cast<char*>(std::realloc(bytes.data.get(), larger));
            if (grown == nullptr) return unreadable;
            bytes.data.release();
            bytes.data.reset(grown);
            capacity = larger;
        }
        const std::optional<u64> n =
            read_up_to(fd, bytes.data.get() + bytes.size, capacity - bytes.size);
        if (!n) return unreadable;
        if (*n == 0) return bytes;
        bytes.size += *n;
    }
}

}  // namespace tolvane::blob
