#pragma once
// The blob map image: a flat, relocatable copy of a map. All integers are
// little-endian; the writer lays the parts out back to back.
//
//   header (64 bytes)
//     0  "TOLVANE\0"          8  u32 version (2)     12 u32 reserved (0)
//     16 u64 entry count      24 u64 index offset    32 u64 chunk area offset
//     40 u64 total length     48 u64 chunk size      56 u64 chunk count
//   index: per entry u64 key, u64 value slot, ascending keys
//   chunk area: per chunk u64 capacity, u64 used, u32 generation,
//     u32 reserved, the used bytes, zero padding to a multiple of 16
//
// Slots hold global offsets, never addresses, so they are written and read
// back bit for bit; the trie is rebuilt by inserting the index.

#include <optional>
#include <string_view>

#include "tolvane/blob/blob_map.hpp"

namespace tolvane::blob {

inline constexpr u32 IMAGE_VERSION = 2;
inline constexpr u64 IMAGE_HEADER_BYTES = 64;

// The outcome of writing an image: its length, or the first write error
// (an errno, or 0 for a write that took no bytes).
struct SaveOutcome {
    u64 length = 0;
    std::optional<int> error;
};

// The image length the map saves as.
u64 image_length(const TolvaneBlobMap& map);

// Writes the image to an open file descriptor; neither syncs nor closes it.
SaveOutcome save_to_writer(const TolvaneBlobMap& map, int fd);

// The header fields the loader goes by, once checked.
struct ImageHeader {
    u64 entries = 0;
    u64 index_offset = 0;
    u64 chunk_offset = 0;
    u64 chunk_size = 0;
    u64 chunk_count = 0;
    u64 capacity = 0;  // the loaded map's max_capacity
};

// The loader's checks of the header, in its order: those that need only
// the first 64 bytes and the length of the whole image, so that a file can
// be refused before it is read whole. `header` is the start of the image,
// shorter than 64 bytes only when the image is.
ArenaResult<ImageHeader> check_image_header(std::string_view header, u64 image_length,
                                            u64 max_capacity);

// Validates `image` and builds the map in `into`, which must be freshly
// constructed. The loaded map's cap is max(chunk size, min(max_capacity,
// 2^36)). On an error `into` is left empty.
ArenaStatus from_bytes_slice_with_max_capacity(std::string_view image, u64 max_capacity,
                                               TolvaneBlobMap& into);

}  // namespace tolvane::blob
