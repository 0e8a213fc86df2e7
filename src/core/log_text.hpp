// Texts taken from the caller (names, identifiers) as log messages show them: quoted, with
// control characters, quotes and backslashes escaped so that a log line stays one line, and cut
// after 64 bytes. A pure function; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tyx {

inline std::string log_quoted(std::string_view text) {
    constexpr std::size_t kShown = 64;
    std::size_t shown = text.size();
    if (shown > kShown) {
        shown = kShown;
        // Never cut inside a UTF-8 sequence: back up to the start of the cut code point.
        while (shown > 0 && (static_cast<unsigned char>(text[shown]) & 0xC0) == 0x80) --shown;
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
                if (c < 0x20 || c == 0x7F) {
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
