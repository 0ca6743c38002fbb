#include "tolvane/str/escape.hpp"

#include <cstring>

namespace tolvane::domain {

namespace {

// One loop serves both decoding forms: `out` may be `in` itself, since the
// write position never passes the read position.
std::optional<EscapeDecodeError> decode_bytes(const char* in, std::size_t n, char* out,
                                              std::size_t& written) {
    std::size_t w = 0;
    for (std::size_t r = 0; r < n; ++r, ++w) {
        const auto b = static_cast<unsigned char>(in[r]);
        if (b == 0x00) return EscapeDecodeError{EscapeDecodeError::NulInEncoded, 0, r};
        if (b == 0x01) {
            if (++r == n) return EscapeDecodeError{EscapeDecodeError::TrailingEscape};
            const auto c = static_cast<unsigned char>(in[r]);
            if (c != 0x01 && c != 0x02)
                return EscapeDecodeError{EscapeDecodeError::InvalidEscapeByte, c, r};
            out[w] = static_cast<char>(c - 1);
        } else {
            out[w] = static_cast<char>(b);
        }
    }
    written = w;
    return std::nullopt;
}

}  // namespace

std::string EscapeDecodeError::debug_text(bool alternate) const {
    struct Field {
        const char* name;
        std::size_t value;
    };
    const char* name = "TrailingEscape";
    Field fields[2];
    int count = 0;
    switch (kind) {
        case TrailingEscape: break;
        case InvalidEscapeByte:
            name = "InvalidEscapeByte";
            fields[count++] = {"byte", byte};
            fields[count++] = {"offset", offset};
            break;
        case NulInEncoded:
            name = "NulInEncoded";
            fields[count++] = {"offset", offset};
            break;
        case BufferTooSmall:
            name = "BufferTooSmall";
            fields[count++] = {"required", required};
            fields[count++] = {"provided", provided};
            break;
    }
    std::string text = name;
    if (count == 0) return text;
    text += alternate ? " {\n" : " { ";
    for (int i = 0; i < count; ++i) {
        if (alternate) text += "    ";
        text += fields[i].name;
        text += ": ";
        text += std::to_string(fields[i].value);
        if (alternate)
            text += ",\n";
        else if (i + 1 < count)
            text += ", ";
    }
    text += alternate ? "}" : " }";
    return text;
}

bool needs_escape(std::string_view input) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(input.data());
    const std::size_t n = input.size();
    std::size_t i = 0;
    for (; i < n % 4; ++i)
        if (p[i] < 0x02) return true;
    for (; i < n; i += 4)
        if ((p[i] < 0x02) | (p[i + 1] < 0x02) | (p[i + 2] < 0x02) | (p[i + 3] < 0x02)) return true;
    return false;
}

std::size_t escape_into(std::string_view input, char* out) noexcept {
    std::size_t w = 0;
    for (const char ch : input) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x02) {
            out[w++] = '\x01';
            out[w++] = static_cast<char>(b + 1);
        } else {
            out[w++] = ch;
        }
    }
    return w;
}

std::string escape_encode(std::string_view input) {
    if (input.empty()) return {};
    if (!needs_escape(input)) return std::string(input);
    std::string out;
    out.reserve(input.size() + 4);
    for (const char ch : input) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x02) {
            out.push_back('\x01');
            out.push_back(static_cast<char>(b + 1));
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

std::optional<EscapeDecodeError> escape_decode(std::string_view encoded, std::string& out) {
    if (!needs_escape(encoded)) {
        out.assign(encoded);
        return std::nullopt;
    }
    out.resize(encoded.size());
    std::size_t written = 0;
    const auto error = decode_bytes(encoded.data(), encoded.size(), out.data(), written);
    if (error) {
        out.clear();
        return error;
    }
    out.resize(written);
    return std::nullopt;
}

std::optional<EscapeDecodeError> escape_decode_in_place(std::string& text) {
    if (!needs_escape(text)) return std::nullopt;
    std::size_t written = 0;
    const auto error = decode_bytes(text.data(), text.size(), text.data(), written);
    if (!error) text.resize(written);
    return error;
}

}  // namespace tolvane::domain
