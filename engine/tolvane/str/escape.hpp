#pragma once
// The order-preserving escape codec that lets arbitrary byte strings live in
// the string trie, whose keys may not hold 0x00:
//   0x00 -> 0x01 0x01,  0x01 -> 0x01 0x02,  0x02..0xFF unchanged.
// The code is prefix-free and its codewords are ordered as their input bytes,
// so escape(a) < escape(b) exactly when a < b (a proper prefix first). The
// output holds no 0x00, every 0x01 in it is followed by 0x01 or 0x02, and a
// string with no byte below 0x02 is its own escape.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tolvane/core/types.hpp"

namespace tolvane::domain {

struct EscapeDecodeError {
    enum Kind : u8 { TrailingEscape, InvalidEscapeByte, NulInEncoded, BufferTooSmall };
    Kind kind = TrailingEscape;
    u8 byte = 0;            // InvalidEscapeByte: the byte after the escape
    std::size_t offset = 0;  // InvalidEscapeByte, NulInEncoded: its position
    std::size_t required = 0;  // BufferTooSmall (never reported here)
    std::size_t provided = 0;

    // "InvalidEscapeByte { byte: 3, offset: 1 }"; the alternate form puts
    // each field on a line of its own.
    std::string debug_text(bool alternate = false) const;
    friend bool operator==(const EscapeDecodeError&, const EscapeDecodeError&) = default;
};

// Whether any byte is below 0x02: the first (length mod 4) bytes one at a
// time, then four per step.
bool needs_escape(std::string_view input) noexcept;

// Writes the escape of `input` to `out` (room for 2 * input.size() bytes);
// returns the number of bytes written.
std::size_t escape_into(std::string_view input, char* out) noexcept;

std::string escape_encode(std::string_view input);

// Decodes into `out` (replaced); the error, or none on success.
std::optional<EscapeDecodeError> escape_decode(std::string_view encoded, std::string& out);
// Decodes over the input bytes and shortens the string to the output; on
// an error the bytes are left partly rewritten.
std::optional<EscapeDecodeError> escape_decode_in_place(std::string& text);

}  // namespace tolvane::domain
