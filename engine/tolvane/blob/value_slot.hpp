#pragma once
// The 64-bit value slot a blob map keeps per key. The low byte is the tag
// and alone decides what the other 56 bits mean:
//
//   0..7    raw: the tag is the length, payload byte i in slot byte i+1
//   16      arena reference: bits 8..39 the record's global offset / 16,
//           bits 40..63 hot_meta (24 bits)
//   32      eight bytes whose last is 0: bytes 0..6 in slot bytes 1..7
//   34, 35  eight or nine characters of ALPHABET, 6 bits each from bit 8
//   40..46  tag - 32 ASCII digits, 4 bits each from bit 8
//   other   no form: the key reads as absent
//
// Bits a form does not use are 0. Only the arena reference carries
// hot_meta; every other form reads back with hot_meta 0.

#include <string_view>

#include "tolvane/core/types.hpp"

namespace tolvane::blob {

inline constexpr u8 TAG_ARENA = 16;
inline constexpr u8 TAG_ZERO_TAIL = 32;
inline constexpr u8 TAG_ALPHA8 = 34;
inline constexpr u8 TAG_ALPHA9 = 35;
inline constexpr u8 TAG_DIGITS_FIRST = 40;  // 8 digits
inline constexpr u8 TAG_DIGITS_LAST = 46;   // 14 digits
// What an arena reference that cannot resolve is rewritten to: a tag with
// no form, so the key stays counted and reads as absent.
inline constexpr u8 TAG_ABSENT = 8;

inline constexpr u32 META_LIMIT = u32{1} << 24;
// Global offsets are stored / 16 in 32 bits.
inline constexpr u64 OFFSET_LIMIT = u64{1} << 36;

inline constexpr char ALPHABET[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_";

constexpr u8 slot_tag(u64 slot) noexcept { return static_cast<u8>(slot); }
constexpr bool is_arena_slot(u64 slot) noexcept { return slot_tag(slot) == TAG_ARENA; }
// The global offset an arena slot names.
constexpr u64 slot_offset(u64 slot) noexcept { return ((slot >> 8) & 0xFFFFFFFFu) * 16; }
// hot_meta of an arena slot, 0 for every other form.
constexpr u32 slot_meta(u64 slot) noexcept {
    return is_arena_slot(slot) ? static_cast<u32>(slot >> 40) : 0;
}
// The caller has checked offset % 16 == 0, offset < OFFSET_LIMIT and
// meta < META_LIMIT.
constexpr u64 arena_slot(u64 offset, u32 meta) noexcept {
    return TAG_ARENA | (offset / 16) << 8 | u64{meta} << 40;
}
// The same slot with its tag replaced by TAG_ABSENT.
constexpr u64 absent_slot(u64 slot) noexcept { return (slot & ~u64{0xFF}) | TAG_ABSENT; }

// What encoding a payload asks for.
struct Encoding {
    enum class Kind { Inline, Arena, MetaOverflow } kind;
    u64 slot = 0;  // Inline only
};

// The first rule that applies, in this order: under 8 bytes raw (hot_meta
// ignored); a nonzero hot_meta takes the arena (or overflows); 8 bytes
// ending in 0; 8 to 14 digits; 8 or 9 alphabet characters; else the arena.
Encoding encode(std::string_view payload, u32 hot_meta) noexcept;

// A payload decoded out of a slot (never an arena one).
struct InlineBytes {
    char bytes[16];
    u8 size;
    std::string_view view() const noexcept { return {bytes, size}; }
};

// False for arena references and tags without a form.
bool decode_inline(u64 slot, InlineBytes& out) noexcept;

}  // namespace tolvane::blob
