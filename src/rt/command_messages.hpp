// Builders of the relay command messages (definition, response, help, pause); their texts are
// documented with CommandDefinition in tyx/commands.hpp. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "rt/message.hpp"
#include "tyx/commands.hpp"

namespace tyx::rt {

MessagePtr make_command_definition_message(const CommandDefinition& command);
MessagePtr make_command_response_message(std::string_view request_id, std::int32_t status,
                                         std::string_view message, std::string_view script);
MessagePtr make_command_help_message(std::string_view request_id, std::string_view help_text);
MessagePtr make_command_pause_message(std::int32_t delay_ms);

}  // namespace tyx::rt
