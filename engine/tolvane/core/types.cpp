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
    // Keys are placed by shifts within the two words: bytes stored one by
    // one and then read back as a word would wait for the stores to drain.
    u64 lo = 0;
    u64 hi = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const u64 k = keys[i] & low_bytes_mask(w);
        const unsigned at = static_cast<unsigned>(i * w);
        if (at < 8) {
            lo |= shl8(k, at);
            hi |= shr8(k, 8 - at);
        } else {
            hi |= shl8(k, at - 8);
        }
    }
    Edge out;
    out.w0 = lo;
    out.w1 = hi;
    out.set_tag(immediate_tag(w, static_cast<unsigned>(count)));
    e = out;
}

namespace {

// Bytes at .. at+w-1 (w <= 8) of the 16 little-endian bytes lo, hi, read by
// shifts: copied out byte by byte, a key read back whole would wait for the
// byte stores to drain.
u64 bytes_of_pair(u64 lo, u64 hi, unsigned at, unsigned w) {
    const u64 from_at = at < 8 ? shr8(lo, at) | shl8(hi, 8 - at) : shr8(hi, at - 8);
    return from_at & low_bytes_mask(w);
}

// The `count` little-endian keys of w bytes packed from byte 0 of lo, hi,
// of which `room` bytes hold keys; a key past them is reported as
// `past_room`.
KeyList16 unpack_keys(u64 lo, u64 hi, unsigned room, u8 w, u8 count, const char* past_room) {
    require(w <= 8, "immediate key width out of range");
    require(count <= KeyList16::CAPACITY, "immediate key count out of range");
    KeyList16 out;
    for (unsigned i = 0; i < count; ++i) {
        require((i + 1) * w <= room, past_room);
        out.push_back(bytes_of_pair(lo, hi, i * w, w));
    }
    return out;
}

}  // namespace

KeyList16 immed_keys(const Edge& e, u8 w, u8 count) {
    Edge copy = e;
    copy.set_tag(0);
    return unpack_keys(copy.w0, copy.w1, 16, w, count, "immediate key range out of bounds");
}

KeyList16 immed_map_keys(const Edge& e, u8 w, u8 count) {
    return unpack_keys(e.w1, 0, 7, w, count, "map immediate key range out of bounds");
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
