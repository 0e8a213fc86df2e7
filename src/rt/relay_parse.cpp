#include "rt/relay_parse.hpp"

#include <charconv>

namespace tyx::rt {
namespace {

template <typename T>
void parse_number(std::string_view text, T& out) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc() && end == text.data() + text.size()) out = value;
}

}  // namespace

RelayLine split_relay_line(std::string_view line) {
    line = without_line_feed(line);
    if (line.empty()) return {};
    const RelayLine::Kind kind = line.front() == 'M'   ? RelayLine::Kind::Status
                                 : line.front() == 'E' ? RelayLine::Kind::Command
                                                       : RelayLine::Kind::Unknown;
    return {kind, line.substr(1)};
}

std::string_view relay_piece_value(std::string_view piece) {
    std::string_view value = piece.size() > 2 ? piece.substr(2) : std::string_view();
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    return value;
}

StatusMessage parse_status_message(std::string_view fields) {
    StatusMessage out;
    for_each_relay_piece(fields, [&](std::string_view piece) {
        switch (piece.front()) {
            case '#':
            case '@': {
                const auto at = piece.find('@');
                if (at != std::string_view::npos) parse_number(piece.substr(at + 1), out.now);
                break;
            }
            case 'M':
                out.message = piece.size() < 2 ? std::string() : std::string(relay_piece_value(piece));
                break;
            case 'S':
                parse_number(relay_piece_value(piece), out.status);
                break;
            case 'Q':
                parse_number(relay_piece_value(piece), out.seqnum);
                break;
            default:
                break;
        }
    });
    return out;
}

ExecuteCommandMessage parse_execute_command_message(std::string_view fields) {
    ExecuteCommandMessage out;
    for_each_relay_piece(fields, [&](std::string_view piece) {
        switch (piece.front()) {
            case '@':
                break;
            case 'I':
                out.request_id = relay_piece_value(piece);
                break;
            case 'C':
                out.cmd = relay_piece_value(piece);
                break;
            case 'U':
                out.user_name = relay_piece_value(piece);
                break;
            case 'T':
                out.object_type = relay_piece_value(piece);
                break;
            case 'O':
                out.object_id = relay_piece_value(piece);
                break;
            default: {
                const auto eq = piece.find('=');
                if (eq == std::string_view::npos) break;
                std::string_view value = piece.substr(eq + 1);
                if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                    value = value.substr(1, value.size() - 2);
                out.params.emplace(std::string(piece.substr(0, eq)), std::string(value));  // first wins
                break;
            }
        }
    });
    return out;
}

}  // namespace tyx::rt
