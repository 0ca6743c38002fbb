#pragma once
// A broken internal invariant stops the process: the message names the
// invariant, the location says where it was found. Nothing unwinds past it.

#include <source_location>

namespace tolvane {

[[noreturn]] void fatal(const char* message,
                        std::source_location where = std::source_location::current());

// Checks an invariant that must hold in every build.
inline void require(bool holds, const char* message,
                    std::source_location where = std::source_location::current()) {
    if (!holds) [[unlikely]]
        fatal(message, where);
}

}  // namespace tolvane
