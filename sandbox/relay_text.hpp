// The sandbox relay's own reader of the lines a relay client writes, and its writers of the
// lines a relay sends back (status and execute-command lines). Pure functions over strings; no
// sockets. Written apart from the client's encoders and decoders so that each checks the other.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tyx::sandbox {

// The typed reading of one field value, by its wire form:
//   ""     nothing after `=`                    -> Empty
//   "..."  a double-quoted text                 -> String (text without the quotes)
//   -?\d+  decimal without suffix               -> Integer (32-bit and smaller values)
//   -?\d+L decimal with `L`                     -> Long
//   <x>F   a floating-point text with `F`       -> Float
//   <x>D   a floating-point text with `D`       -> Double
//   anything else, unquoted                     -> Bare (a char value, or a byte vector)
// `integer` holds Integer and Long values; a Long above the signed 64-bit range sets
// `is_unsigned` and holds the value in `unsigned_integer`. `real` holds Float and Double
// values; `text` holds String and Bare values.
struct RelayValue {
    enum class Kind { Empty, String, Integer, Long, Float, Double, Bare };
    Kind kind = Kind::Empty;
    std::string text;
    std::int64_t integer = 0;
    std::uint64_t unsigned_integer = 0;
    bool is_unsigned = false;
    double real = 0.0;
};

struct RelayField {
    std::string key;
    std::string raw;  // the wire text after `=`, quotes included
    RelayValue value;
};

// One line split into its frame: type letter, `#` and `@` markers, then the `|key=value` fields.
struct RelayLine {
    char type = 0;
    std::optional<std::int64_t> seqnum;     // the `#` marker
    std::optional<std::int64_t> timestamp;  // the `@` marker
    std::vector<RelayField> fields;
    // The value of the first field named `key`, or nullptr.
    const RelayField* field(std::string_view key) const;
};

// The same reading of a line without copies, for readers that keep the line: views of it.
struct RelayFieldView {
    std::string_view key;
    std::string_view raw;
    bool has_equals = true;  // false: a piece without `=` (read as a Bare value of the whole piece)
};
struct RelayLineView {
    char type = 0;
    std::optional<std::int64_t> seqnum;
    std::optional<std::int64_t> timestamp;
    std::vector<RelayFieldView> fields;
    const RelayFieldView* field(std::string_view key) const;
};
// A RelayValue whose text is a view of the raw text it was read from.
struct RelayValueView {
    RelayValue::Kind kind = RelayValue::Kind::Empty;
    std::string_view text;
    std::int64_t integer = 0;
    std::uint64_t unsigned_integer = 0;
    bool is_unsigned = false;
    double real = 0.0;
};

RelayValue parse_relay_value(std::string_view raw);
RelayValueView read_relay_value(std::string_view raw);
// The value of a field as parse_relay_line reads it.
RelayValueView read_relay_value(const RelayFieldView& field);
// A field's raw text without the double quotes around it (unchanged when it has none).
std::string unquote(std::string_view raw);

// Number of line feeds in `data`; the counting relay's whole reading path, so it scans 16 bytes
// at a time.
std::size_t count_line_feeds(const char* data, std::size_t size);

// Reads one line (without its line feed). Never throws: text the frame does not describe
// (a marker without digits, a piece without `=`) is kept as a field with an empty key and
// the piece as its raw text. A quoted value runs to the first `"` that is followed by `|` or
// by the end of the line, so quotes and bars inside a string do not cut it.
RelayLine parse_relay_line(std::string_view line);
// The same into `out`, whose storage is reused: for readers of many lines.
void parse_relay_line(std::string_view line, RelayLine& out);
// The same frame and pieces as views of `line` into `out` (cleared first): nothing is copied and
// no value is read.
void split_relay_line(std::string_view line, RelayLineView& out);

// Status line the relay client reads: `M[#hash]@now|S=status|Q=seqnum|M="message"` + line feed.
struct RelayStatus {
    std::int64_t now = 0;
    std::int32_t status = 0;
    std::int64_t seqnum = 0;
    std::string message;
    std::optional<std::int64_t> hash;  // written as `#n` before `@` when present
};
std::string make_status_line(const RelayStatus& status);

// Execute-command line: `E|I="id"|C="cmd"|U="user"|T="type"|O="object"` then one `|key="value"`
// per parameter, in order, + line feed. The client reads a piece by its first byte, so a
// parameter whose key starts with `@`, `I`, `C`, `U`, `T` or `O` reaches it as that field instead.
struct RelayCommand {
    std::string request_id;
    std::string cmd;
    std::string user_name;
    std::string object_type;
    std::string object_id;
    std::vector<std::pair<std::string, std::string>> params;
};
std::string make_execute_command_line(const RelayCommand& command);

}  // namespace tyx::sandbox
