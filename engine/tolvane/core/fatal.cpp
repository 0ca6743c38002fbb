#include "tolvane/core/fatal.hpp"

#include <cstdio>
#include <cstdlib>

namespace tolvane {

void fatal(const char* message, std::source_location where) {
    std::fprintf(stderr, "tolvane fatal error: %s\n  at %s:%u (%s)\n", message, where.file_name(),
                 static_cast<unsigned>(where.line()), where.function_name());
    std::fflush(stderr);
    std::abort();
}

}  // namespace tolvane
