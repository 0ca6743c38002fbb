#include "tolvane/hash/siphash.hpp"

namespace tolvane {

u64 siphash13(SipKey key, const void* data, std::size_t size) noexcept {
    SipHasher13 hasher(key);
    hasher.write(data, size);
    return hasher.finish();
}

}  // namespace tolvane
