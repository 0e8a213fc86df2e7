/// \file
/// Relay commands: what an application registers so that platform users can invoke it, and the
/// records it answers with. A registered command reaches the application as
/// ClientListener::on_command; the reply goes back with Client::send_command_response.
/// Plain values; no threading concerns of their own.
///
/// Wire texts written to the relay (one line each; strings quoted, nothing escaped):
/// \code{.unparsed}
///   definition  C|I="id"|N="name"|W="where"|H="help"|A="args"|E="enabled"|Y="style"|S="select"
///                |F="fields"|R="filter"|K="conditions"|X="script"|P=level|O=priority
///               (I, N, P and O always; every other string only when it is not empty)
///   response    R|I="request id"|S=status|M="message"|X="script"
///   help        H|I="request id"|M="help text"
///   pause       P|D=delay in milliseconds
/// \endcode
#pragma once

#include <cstdint>
#include <string>

namespace tyx {

/// One command an application offers to platform users, registered with
/// Client::register_command. Each field is written under the letter its comment names.
struct CommandDefinition {
    std::string command_id;          ///< I: the application's own identifier of the command
    std::string name;                ///< N: the name users see and invoke
    std::string where_clause;        ///< W: which objects the command applies to
    std::string help;                ///< H: one-line help shown to users
    std::string arguments_json;      ///< A: the arguments the command takes, as JSON
    std::string enabled_expression;  ///< E: when the command is offered
    std::string style;               ///< Y: presentation hint
    std::string select_mode;         ///< S: how objects are selected (for example "single", "multi")
    std::string fields;              ///< F: fields shown with the command
    std::string filter_clause;       ///< R: further filtering of the objects
    std::string conditions;          ///< K: conditions checked before running
    std::string script;              ///< X: script run by the platform
    std::int32_t permission_level = 0;  ///< P: lowest permission level allowed to invoke it
    std::int32_t priority = 0;          ///< O: ordering among the application's commands
};

}  // namespace tyx
