#include "tolvane/blob/value_slot.hpp"

namespace tolvane::blob {

namespace {

int alphabet_index(unsigned char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    if (c >= 'a' && c <= 'z') return c - 'a' + 36;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

bool all_digits(std::string_view p) noexcept {
    for (unsigned char c : p)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

Encoding encode(std::string_view p, u32 hot_meta) noexcept {
    const std::size_t n = p.size();
    if (n < 8) {
        u64 slot = n;
        for (std::size_t i = 0; i < n; ++i) slot |= u64{static_cast<u8>(p[i])} << (8 + 8 * i);
        return {Encoding::Kind::Inline, slot};
    }
    if (hot_meta != 0)
        return {hot_meta >= META_LIMIT ? Encoding::Kind::MetaOverflow : Encoding::Kind::Arena};
    if (n == 8 && p[7] == 0) {
        u64 slot = TAG_ZERO_TAIL;
        for (std::size_t i = 0; i < 7; ++i) slot |= u64{static_cast<u8>(p[i])} << (8 + 8 * i);
        return {Encoding::Kind::Inline, slot};
    }
    if (n <= 14 && all_digits(p)) {
        u64 slot = 32 + n;
        for (std::size_t i = 0; i < n; ++i) slot |= u64(p[i] - '0') << (8 + 4 * i);
        return {Encoding::Kind::Inline, slot};
    }
    if (n <= 9) {
        u64 slot = n == 8 ? TAG_ALPHA8 : TAG_ALPHA9;
        for (std::size_t i = 0; i < n; ++i) {
            const int index = alphabet_index(static_cast<unsigned char>(p[i]));
            if (index < 0) return {Encoding::Kind::Arena};
            slot |= u64(index) << (8 + 6 * i);
        }
        return {Encoding::Kind::Inline, slot};
    }
    return {Encoding::Kind::Arena};
}

bool decode_inline(u64 slot, InlineBytes& out) noexcept {
    const u8 tag = slot_tag(slot);
    if (tag <= 7) {
        for (unsigned i = 0; i < tag; ++i) out.bytes[i] = static_cast<char>(slot >> (8 + 8 * i));
        out.size = tag;
        return true;
    }
    if (tag == TAG_ZERO_TAIL) {
        for (unsigned i = 0; i < 7; ++i) out.bytes[i] = static_cast<char>(slot >> (8 + 8 * i));
        out.bytes[7] = 0;
        out.size = 8;
        return true;
    }
    if (tag == TAG_ALPHA8 || tag == TAG_ALPHA9) {
        const unsigned n = tag == TAG_ALPHA8 ? 8 : 9;
        for (unsigned i = 0; i < n; ++i) out.bytes[i] = ALPHABET[(slot >> (8 + 6 * i)) & 63];
        out.size = static_cast<u8>(n);
        return true;
    }
    if (tag >= TAG_DIGITS_FIRST && tag <= TAG_DIGITS_LAST) {
        const unsigned n = tag - 32u;
        for (unsigned i = 0; i < n; ++i)
            out.bytes[i] = static_cast<char>(0x30 | ((slot >> (8 + 4 * i)) & 0xF));
        out.size = static_cast<u8>(n);
        return true;
    }
    return false;
}

}  // namespace tolvane::blob
