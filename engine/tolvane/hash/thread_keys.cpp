#include "tolvane/hash/thread_keys.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "tolvane/core/fatal.hpp"

namespace tolvane {
namespace {

SipKey draw_random_key() {
    u8 seed[16];
    std::size_t filled = 0;
    while (filled < sizeof seed) {
        const ssize_t got = ::getrandom(seed + filled, sizeof seed - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;  // a signal cut the wait for entropy short
            fatal("getrandom supplies the thread's hash keys");
        }
        filled += static_cast<std::size_t>(got);
    }
    SipKey key;
    std::memcpy(&key.k0, seed, 8);  // little-endian host (types.hpp)
    std::memcpy(&key.k1, seed + 8, 8);
    return key;
}

}  // namespace

SipKey take_thread_sip_key() {
    thread_local std::optional<SipKey> current;
    if (!current) current = draw_random_key();
    const SipKey taken = *current;
    current->k0 += 1;  // unsigned: wraps modulo 2^64
    return taken;
}

}  // namespace tolvane
