#include "support/reference_walk.hpp"

#include <cstring>

#include "tolvane/core/node.hpp"

namespace tolvane::test {

namespace {

u64 read_le(const unsigned char* p, unsigned bytes) {
    u64 v = 0;
    for (unsigned i = 0; i < bytes; ++i) v |= u64{p[i]} << (8 * i);
    return v;
}

// Key bytes node_level..slot_level-1 of the edge's decode area, in place.
u64 skipped_bytes(const Edge& e, unsigned node_level, unsigned slot_level) {
    u64 bytes = 0;
    for (unsigned j = node_level; j < slot_level; ++j) bytes |= u64{e.byte(8 + j)} << (8 * j);
    return bytes;
}

u64 capacity_of(u64 n) {
    if (n <= 2) return n;
    if (n <= 16) return (n + 3) / 4 * 4;
    if (n <= 24) return 24;
    if (n <= 32) return 32;
    return (n + 3) / 4 * 4;
}

template <bool Map>
struct Walker {
    std::vector<KeyValue>& out;
    std::size_t limit;

    bool emit(u64 key, u64 value) {
        if (out.size() >= limit) return false;
        out.push_back({key, value});
        return true;
    }

    bool walk(const Edge& e, unsigned slot, u64 prefix) {
        const u8 tag = e.tag_byte();
        const unsigned char* node = e.ptr<const unsigned char>();
        if (tag == 0) return true;
        if (tag == 1 || tag == 2) {
            const unsigned count = node[4];
            const unsigned level = node[5];
            prefix |= skipped_bytes(e, level, slot);
            for (unsigned i = 0; i < count; ++i) {
                Edge child;
                std::memcpy(&child, node + 16 + 16 * i, 16);
                if (!walk(child, level - 1, prefix | (u64{node[8 + i]} << (8 * (level - 1)))))
                    return false;
            }
            return true;
        }
        if (tag == 3) {
            const unsigned level = node[116];
            prefix |= skipped_bytes(e, level, slot);
            for (unsigned g = 0; g < 8; ++g) {
                const u32 bits = static_cast<u32>(read_le(node + 4 * g, 4));
                const unsigned char* sub = nullptr;
                std::memcpy(&sub, node + 32 + 8 * g, sizeof sub);
                unsigned rank = 0;
                for (unsigned b = 0; b < 32; ++b) {
                    if (!((bits >> b) & 1)) continue;
                    Edge child;
                    std::memcpy(&child, sub + 16 * rank++, 16);
                    const u64 digit = 32 * g + b;
                    if (!walk(child, level - 1, prefix | (digit << (8 * (level - 1)))))
                        return false;
                }
            }
            return true;
        }
        if (tag == 4) {
            for (unsigned d = 0; d < 256; ++d) {
                Edge child;
                std::memcpy(&child, node + 64 + 16 * d, 16);
                if (child.tag_byte() == 0) continue;
                if (!walk(child, slot - 1, prefix | (u64{d} << (8 * (slot - 1))))) return false;
            }
            return true;
        }
        if (tag >= 5 && tag <= 11) {
            const unsigned w = tag - 4;
            prefix |= skipped_bytes(e, w, slot);
            const u64 n = read_le(reinterpret_cast<const unsigned char*>(&e) + 8, w) + 1;
            const unsigned char* keys = Map ? node + 8 * capacity_of(n) : node;
            for (u64 i = 0; i < n; ++i) {
                const u64 value = Map ? read_le(node + 8 * i, 8) : 0;
                if (!emit(prefix | read_le(keys + w * i, w), value)) return false;
            }
            return true;
        }
        if (tag == 12) {
            prefix |= skipped_bytes(e, 1, slot);
            unsigned rank = 0;
            for (unsigned b = 0; b < 256; ++b) {
                if (b % 32 == 0) rank = 0;
                if (!((node[b / 8] >> (b % 8)) & 1)) continue;
                u64 value = 0;
                if (Map) {
                    const unsigned char* sub = nullptr;
                    std::memcpy(&sub, node + 32 + 8 * (b / 32), sizeof sub);
                    value = read_le(sub + 8 * rank, 8);
                }
                ++rank;
                if (!emit(prefix | b, value)) return false;
            }
            return true;
        }
        if (tag == 127) {
            const u64 last = slot >= 8 ? ~u64{0} : (u64{1} << (8 * slot)) - 1;
            for (u64 x = 0;; ++x) {
                if (!emit(prefix | x, 0)) return false;
                if (x == last) return true;
            }
        }
        // Immediates: tag = (w << 4) | (count - 1).
        const unsigned w = tag >> 4;
        const unsigned count = (tag & 15) + 1;
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&e);
        for (unsigned i = 0; i < count; ++i) {
            u64 value = 0;
            u64 key;
            if (Map) {
                key = read_le(bytes + 8 + w * i, w);
                value = count == 1 ? e.w0 : read_le(node + 8 * i, 8);
            } else {
                key = read_le(bytes + w * i, w);
            }
            if (!emit(prefix | key, value)) return false;
        }
        return true;
    }
};

}  // namespace

template <bool Map>
bool reference_entries(const Edge& edge, unsigned slot_level, std::vector<KeyValue>& out,
                       std::size_t limit) {
    Walker<Map> w{out, limit};
    return w.walk(edge, slot_level, 0);
}

template bool reference_entries<false>(const Edge&, unsigned, std::vector<KeyValue>&, std::size_t);
template bool reference_entries<true>(const Edge&, unsigned, std::vector<KeyValue>&, std::size_t);

std::vector<u64> keys_of(const std::vector<KeyValue>& entries) {
    std::vector<u64> keys;
    keys.reserve(entries.size());
    for (const KeyValue& kv : entries) keys.push_back(kv.key);
    return keys;
}

std::vector<u64> probe_keys(const std::vector<u64>& sorted_keys, std::mt19937_64& rng,
                            std::size_t budget) {
    std::vector<u64> probes = {0, 1, ~u64{0}, ~u64{0} - 1};
    const std::size_t n = sorted_keys.size();
    for (std::size_t t = 0; t < budget && n > 0; ++t) {
        const u64 k = n <= budget ? sorted_keys[t % n] : sorted_keys[rng() % n];
        probes.push_back(k);
        probes.push_back(k - 1);
        probes.push_back(k + 1);
        const unsigned byte = static_cast<unsigned>(rng() % 8);
        probes.push_back(k ^ (u64{(rng() % 255) + 1} << (8 * byte)));
        if (n <= budget && t + 1 >= n) break;
    }
    for (std::size_t t = 0; t < budget / 4 + 4; ++t) probes.push_back(rng());
    return probes;
}

}  // namespace tolvane::test
