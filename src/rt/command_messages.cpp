#include "rt/command_messages.hpp"

namespace tyx::rt {
namespace {

void append_if_set(Message& m, std::string_view key, const std::string& value) {
    if (!value.empty()) m.append_field(key, std::string_view(value));
}

}  // namespace

MessagePtr make_command_definition_message(const CommandDefinition& c) {
    MessagePtr m = make_message('C', 0, false);
    m->append_field("I", std::string_view(c.command_id));
    m->append_field("N", std::string_view(c.name));
    append_if_set(*m, "W", c.where_clause);
    append_if_set(*m, "H", c.help);
    append_if_set(*m, "A", c.arguments_json);
    append_if_set(*m, "E", c.enabled_expression);
    append_if_set(*m, "Y", c.style);
    append_if_set(*m, "S", c.select_mode);
    append_if_set(*m, "F", c.fields);
    append_if_set(*m, "R", c.filter_clause);
    append_if_set(*m, "K", c.conditions);
    append_if_set(*m, "X", c.script);
    m->append_field("P", c.permission_level);
    m->append_field("O", c.priority);
    m->finish_line();
    return m;
}

MessagePtr make_command_response_message(std::string_view request_id, std::int32_t status,
                                         std::string_view message, std::string_view script) {
    MessagePtr m = make_message('R', 0, false);
    m->append_field("I", request_id);
    m->append_field("S", status);
    m->append_field("M", message);
    m->append_field("X", script);
    m->finish_line();
    return m;
}

MessagePtr make_command_help_message(std::string_view request_id, std::string_view help_text) {
    MessagePtr m = make_message('H', 0, false);
    m->append_field("I", request_id);
    m->append_field("M", help_text);
    m->finish_line();
    return m;
}

MessagePtr make_command_pause_message(std::int32_t delay_ms) {
    MessagePtr m = make_message('P', 0, false);
    m->append_field("D", delay_ms);
    m->finish_line();
    return m;
}

}  // namespace tyx::rt
