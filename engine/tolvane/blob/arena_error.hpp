#pragma once
// The error of every blob map operation, image loading included: nine
// variants with fixed messages, and the result types that carry one.

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "tolvane/core/types.hpp"

namespace tolvane::blob {

enum class ArenaErrorKind : u8 {
    AllocFailed,
    GrowthCeiling,
    ArenaFull,
    MetaOverflow,
    NoMetadata,
    InvalidOffset,
    GenerationMismatch,
    CorruptedHeader,
    UnsupportedVersion,
};

struct ArenaError {
    ArenaErrorKind kind;
    // Only UnsupportedVersion fills these: the version read and the one
    // this build reads and writes.
    u32 found = 0;
    u32 expected = 0;

    std::string message() const;
    friend bool operator==(const ArenaError&, const ArenaError&) = default;
};

// No value, or the error that stopped the operation.
using ArenaStatus = std::optional<ArenaError>;

// A value or the error that stopped the operation.
template <class T>
class ArenaResult {
  public:
    ArenaResult(T value) : v_(std::move(value)) {}
    ArenaResult(ArenaError error) : v_(error) {}

    bool ok() const noexcept { return v_.index() == 0; }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    const ArenaError& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, ArenaError> v_;
};

}  // namespace tolvane::blob
