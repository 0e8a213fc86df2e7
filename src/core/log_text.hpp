// Texts taken from the caller or a server (names, identifiers, unexpected input) as log messages
// show them: quoted, with control characters, quotes, backslashes and bytes that are not UTF-8
// escaped so that a log line stays one printable line, and cut after 64 bytes (or `most`). A
// pure function; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tyx {

// The length of the well-formed UTF-8 sequence starting text[at] (a byte of 0x80 or more), or 0.
inline std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t n = lead >= 0xC2 && lead <= 0xDF   ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    if (n == 0 || at + n > text.size()) return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) return 0;
    return n;
}

inline std::string log_quoted(std::string_view text, std::size_t most = 64) {
    std::size_t shown = text.size();
    if (shown > most) {
        shown = most;
        // Never cut inside a UTF-8 sequence: back up to the start of the cut code point (at
        // most three bytes; further back they are junk, not one code point).
        while (shown > 0 && most - shown < 3 && (static_cast<unsigned char>(text[shown]) & 0xC0) == 0x80)
            --shown;
    }
    std::string out = "\"";
    for (std::size_t i = 0; i < shown; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c >= 0x80) {
                    if (const std::size_t n = utf8_sequence_length(text.substr(0, shown), i)) {
                        out.append(text.substr(i, n));
                        i += n - 1;
                        break;
                    }
                }
                if (c < 0x20 || c >= 0x7F) {
                    static constexpr char kHex[] = "0123456789ABCDEF";
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    if (shown < text.size()) out += "...";
    out += '"';
    return out;
}

}  // namespace tyx
