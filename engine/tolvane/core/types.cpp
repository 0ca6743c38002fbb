#include "tolvane/core/types.hpp"

namespace tolvane::mutate {

void write_immed(Edge& e, u8 w, const u64* keys, std::size_t count) {
    if (count == 1) {
        e.w0 = keys[0];
        e.w1 = static_cast<u64>(immediate_tag(w, 1)) << 56;
        return;
    }
    // Zero keys or a count that does not fit the 15 key bytes cannot be
    // expressed by a tag; the full count is tested so that a count whose low
    // byte looks small is refused as well.
    require(count >= 2 && count < 16 && w >= 1 && w <= 7 && count * w < 16, "immediate capacity");
    unsigned char buf[16] = {};
    for (std::size_t i = 0; i < count; ++i) {
        const u64 k = keys[i];
        std::memcpy(buf + i * w, &k, w);
    }
    Edge out;
    std::memcpy(&out.w0, buf, 8);
    std::memcpy(&out.w1, buf + 8, 8);
    out.set_tag(immediate_tag(w, static_cast<unsigned>(count)));
    e = out;
}

namespace {

// The `count` little-endian keys of w bytes packed from the start of `area`,
// which holds `room` key bytes; a key past them is reported as `past_room`.
KeyList16 unpack_keys(const unsigned char* area, unsigned room, u8 w, u8 count,
                      const char* past_room) {
    require(w <= 8, "immediate key width out of range");
    require(count <= KeyList16::CAPACITY, "immediate key count out of range");
    KeyList16 out;
    for (unsigned i = 0; i < count; ++i) {
        require((i + 1) * w <= room, past_room);
        u64 k = 0;
        std::memcpy(&k, area + i * w, w);
        out.push_back(k);
    }
    return out;
}

}  // namespace

KeyList16 immed_keys(const Edge& e, u8 w, u8 count) {
    Edge copy = e;
    copy.set_tag(0);
    unsigned char bytes[16];
    std::memcpy(bytes, &copy, 16);
    return unpack_keys(bytes, 16, w, count, "immediate key range out of bounds");
}

KeyList16 immed_map_keys(const Edge& e, u8 w, u8 count) {
    unsigned char decode[8];
    std::memcpy(decode, &e.w1, 8);
    return unpack_keys(decode, 7, w, count, "map immediate key range out of bounds");
}

void write_decode(Edge& e, u8 from, u8 to, u64 key) {
    require(from <= to && to <= 7, "decode span out of range");
    const u64 span = shl8(low_bytes_mask(to - from), from);
    e.w1 = (e.w1 & ~span) | (key & span);
}

u64 decode_value(const Edge& e, u8 from, u8 to) {
    require(from <= 7, "decode span out of range");
    if (from == to) return 0;
    require(to <= 7, "decode index out of range");
    require(from < to, "decode span out of range");
    return shr8(e.w1, from) & LEVEL_MASK[to - from];
}

}  // namespace tolvane::mutate
