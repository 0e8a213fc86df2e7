// Field values as people write them: on the command line ("qty=10", "qty:i64=10") and in JSON
// (10, "text", {"type": "u16", "value": 7}), and back to JSON for printing. Pure functions;
// malformed input throws ToolError with a text that names the value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <tyx/values.hpp>

namespace tyx::tool {

// The value written as `text` with the wire type named by `type`: char, u8, i8, u16, i16, u32,
// i32 (or int), u64, i64 (or long), f32 (or float), f64 (or double), str (or string), bytes
// (hexadecimal digits, "0x" allowed) or null. An empty `type` infers one: a whole number is i32
// when it fits, else i64 (u64 above that, a string beyond it); a decimal number is f64; anything
// else, including a number with leading zeros such as "007", stays a string.
FieldValue parse_field_value(std::string_view text, std::string_view type);

// "name=value" or "name:type=value".
std::pair<std::string, FieldValue> parse_field_argument(std::string_view argument);

// A JSON value as a field value: integers as i32 when they fit, else i64 or u64; other numbers
// as f64; strings; true and false as the u8 values 1 and 0; null as the empty value; {"type": T, "value": V}
// for an explicit type, V being the number or the text to read as T.
FieldValue json_to_field_value(const nlohmann::json& value);

// The JSON form of a field value: chars as one-character strings, byte vectors as "0x" and
// upper-case hexadecimal digits, the empty value as null, floats by their shortest decimal form.
nlohmann::json field_value_to_json(const FieldValue& value);

std::string hex_text(const std::vector<std::uint8_t>& bytes);

// Whole-text number readers shared with the CSV type inference: no sign but '-' and '+', no
// surrounding space, no leading zeros before other digits, and (for reals) no nan or inf.
bool read_integer(std::string_view text, std::int64_t& out);
// Digits only, after an optional sign: a whole number, whatever its size.
bool is_whole_number(std::string_view text);
bool read_real(std::string_view text, double& out);

}  // namespace tyx::tool
