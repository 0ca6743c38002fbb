#pragma once
// Image files on disk. Saving never destroys the previous file: the image
// goes to a new temporary file beside the target, is synced and closed
// with both checked, and is renamed over the target. Loading checks the
// header first and then reads a regular file whole, without blocking on
// FIFOs or aborting on files too large to hold.

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tolvane/blob/arena_error.hpp"
#include "tolvane/blob/blob_map.hpp"

namespace tolvane::blob {

struct FileError {
    enum class Kind { Os, ShortWrite, NulInPath } kind;
    int code = 0;  // errno for Os

    // "<strerror text> (os error N)", "failed to write whole buffer" or
    // "file name contained an unexpected NUL byte".
    std::string text() const;
};

// Opens a folder and syncs it, which makes a rename in it durable: 0, or
// the errno of the step that failed.
int sync_folder(const char* folder);
using FolderSync = int (*)(const char* folder);

// The image length, or why the save failed. A symbolic link is followed
// to the file it names. A target that exists and is not a regular file (a
// device, a FIFO) is written in place, and is refused rather than waited
// for when it cannot be opened at once (a FIFO with no reader); otherwise
// the previous file stays untouched on any failure.
struct FileSaveOutcome {
    u64 length = 0;
    std::optional<FileError> error;
};
// `folder_sync` is called on the target's folder once the image has been
// renamed over the target; its failure is not the save's, as the target
// already holds the new image. Tests pass one that fails.
FileSaveOutcome save_image_file(const TolvaneBlobMap& map, std::string_view path,
                                FolderSync folder_sync = sync_folder);

// A whole file read into memory.
struct FileBytes {
    struct Free {
        void operator()(char* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<char, Free> data;
    u64 size = 0;
    std::string_view view() const noexcept { return {data.get(), size}; }
};
// An image file read whole, once its header has passed the loader's checks
// against the file's size: a file the loader would refuse by its header is
// refused with the loader's error before the rest of it is read. Every
// failure to read it (a NUL byte in the path, a file that cannot be opened,
// is not a regular file, cannot be read or cannot be held in memory) is
// CorruptedHeader; why it could not be read is not told.
ArenaResult<FileBytes> read_image_file(std::string_view path, u64 max_capacity);

}  // namespace tolvane::blob
