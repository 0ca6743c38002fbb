#include "tolvane/blob/arena_error.hpp"

namespace tolvane::blob {

std::string ArenaError::message() const {
    switch (kind) {
        case ArenaErrorKind::AllocFailed:
            return "Arena memory allocation failed";
        case ArenaErrorKind::GrowthCeiling:
            return "Arena growth exceeded the addressable/allowed ceiling";
        case ArenaErrorKind::ArenaFull:
            return "Arena full: the record does not fit under the capacity cap after compacting";
        case ArenaErrorKind::MetaOverflow:
            return "hot_meta exceeds the 24-bit ArenaMeta field";
        case ArenaErrorKind::NoMetadata:
            return "the value has no metadata field: the key is absent or its payload is inline";
        case ArenaErrorKind::InvalidOffset:
            return "Invalid arena offset";
        case ArenaErrorKind::GenerationMismatch:
            return "Blob generation mismatch (ABA detected)";
        case ArenaErrorKind::CorruptedHeader:
            return "Corrupted blob record header";
        case ArenaErrorKind::UnsupportedVersion:
            return "Unsupported image format version " + std::to_string(found) +
                   " (this build reads and writes version " + std::to_string(expected) + ")";
    }
    return "Corrupted blob record header";
}

}  // namespace tolvane::blob
