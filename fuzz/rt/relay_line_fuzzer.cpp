// libFuzzer target for the lines a relay sends back. The input is the received byte stream; the
// sockets' line reader cuts it, fed in pieces as reads would bring it, and every line is split
// and decoded as the session does for its listeners. The bytes after the last line feed are
// decoded too, as one more line.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "rt/relay_parse.hpp"
#include "transport/line_reader.hpp"

using namespace tyx::rt;

namespace {

bool inside(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void check_pieces(std::string_view fields) {
    const char* end_of_last = fields.data();
    for_each_relay_piece(fields, [&](std::string_view piece) {
        if (piece.empty() || !inside(piece, fields) || piece.data() < end_of_last) __builtin_trap();
        end_of_last = piece.data() + piece.size();
        const std::string_view value = relay_piece_value(piece);
        if (!value.empty() && !inside(value, piece)) __builtin_trap();
    });
}

void decode(std::string_view text) {
    const RelayLine line = split_relay_line(text);
    const std::string_view body = without_line_feed(text);
    if (line.kind == RelayLine::Kind::Empty) {
        if (!body.empty()) __builtin_trap();
        return;
    }
    const RelayLine::Kind kind = body.front() == 'M'   ? RelayLine::Kind::Status
                                 : body.front() == 'E' ? RelayLine::Kind::Command
                                                       : RelayLine::Kind::Unknown;
    if (line.kind != kind || line.fields.data() != body.data() + 1 || line.fields.size() != body.size() - 1)
        __builtin_trap();
    check_pieces(line.fields);
    if (line.kind == RelayLine::Kind::Status) {
        const StatusMessage s = parse_status_message(line.fields);
        if (s.message.size() > line.fields.size()) __builtin_trap();
    } else if (line.kind == RelayLine::Kind::Command) {
        const ExecuteCommandMessage c = parse_execute_command_message(line.fields);
        for (const auto& [key, value] : c.params) {
            // The named fields and `@` pieces never become parameters.
            if (!key.empty() && std::string_view("@ICUTO").find(key.front()) != std::string_view::npos)
                __builtin_trap();
            if (key.size() + value.size() >= line.fields.size()) __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Small enough for inputs to reach it; the pieces' size varies with the input's.
    constexpr std::size_t kMaxLine = 256;
    const std::size_t piece_size = 1 + size % 7;
    const std::string_view stream(reinterpret_cast<const char*>(data), size);
    tyx::LineReader reader(kMaxLine);
    std::size_t lines_length = 0;  // the lines handed out must be the stream's bytes, in order
    try {
        for (std::size_t at = 0; at < stream.size(); at += piece_size) {
            std::string_view piece = stream.substr(at, piece_size);
            while (!piece.empty()) {
                piece.remove_prefix(reader.feed(piece));
                while (const auto line = reader.next_line()) {
                    if (line->size() > kMaxLine || line->back() != '\n' ||
                        line->find('\n') != line->size() - 1 ||
                        *line != stream.substr(lines_length, line->size()))
                        __builtin_trap();
                    lines_length += line->size();
                    decode(*line);
                }
            }
        }
    } catch (const tyx::LineTooLong&) {
        // a line longer than kMaxLine: the reader must have been full of it
        if (stream.substr(lines_length, kMaxLine).find('\n') != std::string_view::npos) __builtin_trap();
        return 0;
    }
    if (reader.buffered() != stream.size() - lines_length) __builtin_trap();
    if (lines_length < stream.size()) decode(stream.substr(lines_length));
    return 0;
}
