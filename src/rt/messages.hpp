// Builders of the relay messages the library writes: login, logout, object, remove and raw.
// Pure functions of their arguments (and the clock, for timestamps); any thread may call them.
#pragma once

#include <cstddef>
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

// The object message's text written into `message`, replacing what it held, with what writing it
// noticed.
ObjectNotes write_object_message(Message& message, std::string_view object_type, std::string_view object_id,
                                 const std::vector<std::string>& field_names,
                                 const std::vector<FieldValue>& field_values, std::int64_t seqnum,
                                 std::int64_t expires_on_ms);

// The object message's text, as a string (nothing is sent).
std::string serialize_object(std::string_view object_type, std::string_view object_id,
                             const std::vector<std::string>& field_names,
                             const std::vector<FieldValue>& field_values, std::int64_t seqnum,
                             std::int64_t expires_on_ms);

// What the relay cannot read back as written. The text has no escaping: a line feed anywhere
// ends the message there, and a double quote inside a quoted text (the type, the id, a string
// value) ends that text early, so either would let what follows pass for fields or messages of
// its own. Field names and char and byte values are written bare: a `|` in them starts another
// field, an `=` in a name ends the name early, a double quote in a name or at the start of a
// value makes the relay read a quoted text. The relay takes the empty name and the names of the
// frame's own fields for something else, and reads no number from "nan" or "inf".
enum class TextFault : std::uint8_t {
    none,
    line_feed,
    double_quote,
    bar,
    equals_sign,
    leading_quote,
    empty_name,
    reserved_name,
    not_finite,
};

// The first line feed, or in a quoted text the first double quote, of `text`, by kind.
TextFault text_fault(std::string_view text, bool quoted);
// What is wrong with a field name, if anything (empty, reserved, or the first of a line feed, a
// `|`, an `=` or a double quote).
TextFault field_name_fault(std::string_view name);
// What is wrong with a field value, if anything.
TextFault field_value_fault(const FieldValue& value);

// What checking an object or removal message found before it was built.
struct MessageCheck {
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    enum class Part : std::uint8_t { none, object_type, object_id, field_name, field_value };

    Part part = Part::none;  // the first part in wire order that is refused; none: it may be sent
    TextFault fault = TextFault::none;
    std::size_t field = 0;  // the field's index, for field_name and field_value
    // The first field holding an unsigned 32-bit value above 2^31 - 1, or npos. Written without
    // a suffix, as every 32-bit value is, such a value reads back as a negative 32-bit Integer.
    std::size_t wide_uint32 = npos;

    bool refused() const { return part != Part::none; }
};

// Checks what an object message would carry: the type and id (quoted), then, for each field
// that is sent (names and values paired as the message pairs them), its name and its value
// (field_name_fault, field_value_fault). Publishing writes the message first and checks it only when the
// writer noted that it needs a check (ObjectNotes), which it does for every message refused here.
MessageCheck check_object_message(std::string_view object_type, std::string_view object_id,
                                  const std::vector<std::string>& field_names,
                                  const std::vector<FieldValue>& field_values);
// The same for a removal, whose id and type are both quoted.
MessageCheck check_remove_message(std::string_view object_id, std::string_view object_type);

// Log texts about a refused or doubtful message, with the caller's texts quoted and escaped so
// that each stays one line: `type "Note", id "n1"`; `the value of field "text" holds a line feed,
// which the relay would not read back as written`; `Field "n" holds an unsigned 32-bit value
// above 2147483647, ...` (every such field from check.wide_uint32 on).
std::string describe_object(std::string_view object_type, std::string_view object_id);
std::string describe_refusal(const MessageCheck& check, const std::vector<std::string>& field_names);
std::string describe_wide_uint32(const MessageCheck& check, const std::vector<std::string>& field_names,
                                 const std::vector<FieldValue>& field_values);

// `D#seqnum|I="id"|T="type"`.
MessagePtr make_remove_message(std::string_view object_id, std::string_view object_type, std::int64_t seqnum);
void write_remove_message(Message& message, std::string_view object_id, std::string_view object_type,
                          std::int64_t seqnum);

// Exactly the caller's bytes: no type letter, no line feed added, nothing checked.
MessagePtr make_raw_message(std::string_view text);

}  // namespace tyx::rt
