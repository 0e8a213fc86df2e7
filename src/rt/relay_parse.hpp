// Decoders of the lines a relay sends back: status lines (type M) and execute-command lines
// (type E). Pure functions over the text after the type byte; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace tyx::rt {

struct StatusMessage {
    std::int64_t now = 0;
    std::int64_t seqnum = 0;
    std::int32_t status = 0;
    std::string message;
};

struct ExecuteCommandMessage {
    std::string request_id;
    std::string cmd;
    std::string user_name;
    std::string object_type;
    std::string object_id;
    std::map<std::string, std::string> params;
};

// One line a relay sent: the kind its type byte names, and the text after that byte.
struct RelayLine {
    enum class Kind { Empty, Status, Command, Unknown };
    Kind kind = Kind::Empty;
    std::string_view fields;
};

// Splits a received line, with or without its line feed: "M" starts a status line, "E" an
// execute-command line; a line of no text (or a lone line feed) is Empty.
RelayLine split_relay_line(std::string_view line);

// A message as on_message_sent reports it: without its closing line feed. A raw message that
// does not end with one is reported whole.
inline std::string_view without_line_feed(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return text;
}

// Calls `piece` for every `|`-separated piece of `fields`, cutting only outside double quotes
// (each `"` toggles quoting) and skipping empty pieces.
template <typename F>
void for_each_relay_piece(std::string_view fields, F&& piece) {
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const char c = fields[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (c == '|' && !quoted) {
            if (i > start) piece(fields.substr(start, i - start));
            start = i + 1;
        }
    }
    if (fields.size() > start) piece(fields.substr(start));
}

// The value of a piece: the bytes after its key letter and `=`, without one pair of
// surrounding double quotes. Nothing else is unescaped.
std::string_view relay_piece_value(std::string_view piece);

// `#seq@now`, `S=status`, `Q=seqnum`, `M=message`; numbers that do not parse or do not fit
// leave their field as it was.
StatusMessage parse_status_message(std::string_view fields);

// `I`, `C`, `U`, `T`, `O` select the named fields by their first byte, `@` pieces are ignored,
// any other `key=value` piece becomes a parameter (the first value for a key wins).
ExecuteCommandMessage parse_execute_command_message(std::string_view fields);

}  // namespace tyx::rt
