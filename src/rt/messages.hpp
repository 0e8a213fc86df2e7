// Builders of the relay messages the library writes: login, logout, object, remove and raw.
// Pure functions of their arguments (and the clock, for timestamps); any thread may call them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rt/message.hpp"
#include "tyx/config.hpp"
#include "tyx/values.hpp"

namespace tyx::rt {

// `L`, with `#seqnum` when ENABLE_SEND_SEQNUM is set and `@time` when ENABLE_SEND_TIMESTAMPS
// is set, then `|I="login_id"` and, when any of the words apply, `|O="QUIET,LOG,UNIX,WINDOWS,TTY"`
// (only the words whose bits are set, in that order).
MessagePtr make_login_message(const PublicationConfig& config, std::int64_t seqnum);

// `X` with the same `#` and `@` markers as the login, and no fields.
MessagePtr make_logout_message(const PublicationConfig& config, std::int64_t seqnum);

// `O#seqnum|T="type"|I="id"|E=expiresL|name=value...`: `#` only for seqnum > 0, `I` only for a
// non-empty id, `E` only for a non-zero expiry; names and values are paired index by index and
// surplus entries on either side are ignored.
MessagePtr make_object_message(std::string_view object_type, std::string_view object_id,
                               const std::vector<std::string>& field_names,
                               const std::vector<FieldValue>& field_values, std::int64_t seqnum,
                               std::int64_t expires_on_ms);

// The object message's text written into `message`, replacing what it held.
void write_object_message(Message& message, std::string_view object_type, std::string_view object_id,
                          const std::vector<std::string>& field_names, const std::vector<FieldValue>& field_values,
                          std::int64_t seqnum, std::int64_t expires_on_ms);

// The object message's text, as a string (nothing is sent).
std::string serialize_object(std::string_view object_type, std::string_view object_id,
                             const std::vector<std::string>& field_names,
                             const std::vector<FieldValue>& field_values, std::int64_t seqnum,
                             std::int64_t expires_on_ms);

// `D#seqnum|I="id"|T="type"`.
MessagePtr make_remove_message(std::string_view object_id, std::string_view object_type, std::int64_t seqnum);
void write_remove_message(Message& message, std::string_view object_id, std::string_view object_type,
                          std::int64_t seqnum);

// Exactly the caller's bytes: no type letter, no line feed added, nothing checked.
MessagePtr make_raw_message(std::string_view text);

}  // namespace tyx::rt
