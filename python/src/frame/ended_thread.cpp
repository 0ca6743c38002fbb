#include "frame/ended_thread.hpp"

#include <unistd.h>

namespace tolvane::py {

void park_ended_thread() noexcept {
    for (;;) pause();
}

}  // namespace tolvane::py
