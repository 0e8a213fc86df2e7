// libFuzzer target for the lines a relay sends back. The input is the received byte stream; it
// is cut after each line feed as the session's line reader cuts it, and every line is split and
// decoded as the session does for its listeners.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "rt/relay_parse.hpp"

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
    std::string_view stream(reinterpret_cast<const char*>(data), size);
    while (!stream.empty()) {
        const std::size_t end = stream.find('\n');
        const std::size_t length = end == std::string_view::npos ? stream.size() : end + 1;
        decode(stream.substr(0, length));
        stream.remove_prefix(length);
    }
    return 0;
}
