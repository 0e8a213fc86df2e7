#include "jdbc/jdbc_session_messages.hpp"

#include <algorithm>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/type_codes.hpp"
#include "jdbc/jdbc_values.hpp"

namespace tyx::jdbc {

namespace {

constexpr std::size_t kLengthPrefix = 4;

void append_length_placeholder(ByteVector& out) {
    out.insert(out.end(), kLengthPrefix, 0);
}

// The head shared by every request: a list of `elements` untyped elements, then the instruction.
void append_request_head(ByteVector& out, std::uint32_t elements, Instruction instruction) {
    append_u8(out, code_of(TypeCode::List));
    append_be<std::uint32_t>(out, elements);
    append_u8(out, code_of(TypeCode::Undefined));
    append_instruction_as_variant_type(out, instruction);
}

}  // namespace

void write_length_prefix(ByteVector& image) {
    const auto rest = static_cast<std::uint32_t>(image.size() - kLengthPrefix);
    ByteVector prefix;
    append_be<std::uint32_t>(prefix, rest);
    std::copy(prefix.begin(), prefix.end(), image.begin());
}

Login::Login(std::string_view username, std::string_view password, std::string_view timeout,
             std::string_view limit, std::string_view db) {
    buffer.reserve(255);
    append_length_placeholder(buffer);
    append_request_head(buffer, 3, Instruction::Login);
    append_u8(buffer, code_of(TypeCode::Map));
    std::pair<StringView, StringView> entries[] = {
        {"password", password}, {"username", username}, {"timeout", timeout}, {"limit", limit}, {"db", db}};
    const std::size_t count = db.empty() ? 4 : 5;
    append_map_without_type(buffer, std::span(entries, count));
    append_u8(buffer, code_of(TypeCode::Integer));
    append_be<std::int32_t>(buffer, kProtocolVersion);
    write_length_prefix(buffer);
}

Login::Login(const DatabaseConfig& config)
    : Login(config.username, config.password, std::to_string(config.query_timeout_ms),
            std::to_string(config.query_limit), config.db) {}

LoginAck::LoginAck(ByteView in) {
    if (in.has(1)) in.take_u8();                // the list type, not checked
    if (in.has(4)) in.take_be<std::int32_t>();  // the element count, not checked
    const std::uint8_t element_type = in.has(1) ? in.take_u8() : code_of(TypeCode::Undefined);
    const bool typed = element_type == code_of(TypeCode::Undefined);
    message = StringField(in, typed).text;
    if (typed) {
        // Every element carries its type: the version must be announced as an Integer.
        if (!in.has(1) || in.take_u8() != code_of(TypeCode::Integer)) return;
    }
    if (in.has(4)) version = in.take_be<std::int32_t>();
}

Query::Query(std::string_view sql_text) : sql(sql_text) {
    buffer.reserve(sql_text.size() + 15);
    append_length_placeholder(buffer);
    append_request_head(buffer, 2, Instruction::Query);
    append_u8(buffer, code_of(TypeCode::String));
    append_utf_string(buffer, sql_text);
    write_length_prefix(buffer);
}

std::string version_mismatch_text(std::uint8_t first, std::uint8_t second) {
    std::string text = "Invalid JDBC version response: ";
    text.push_back(static_cast<char>(first));
    text.push_back(static_cast<char>(second));
    text += ", expected: ";
    text.push_back(static_cast<char>(kServerVersionBytes[0]));
    text.push_back(static_cast<char>(kServerVersionBytes[1]));
    return text;
}

std::string server_version_text(std::int32_t version) {
    return "Unsupported JDBC server version: " + std::to_string(version) +
           ", expected: " + std::to_string(kProtocolVersion);
}

void check_server_version(ByteView answer) {
    if (answer.size != kServerVersionBytes.size() ||
        !std::equal(kServerVersionBytes.begin(), kServerVersionBytes.end(), answer.data)) {
        throw std::runtime_error(version_mismatch_text(answer.size > 0 ? answer.data[0] : 0,
                                                       answer.size > 1 ? answer.data[1] : 0));
    }
}

void check_protocol_version(std::int32_t version) {
    if (version != kProtocolVersion) throw std::runtime_error(server_version_text(version));
}

std::size_t response_body_length(ByteView header) {
    if (!header.has(kResponseHeaderSize)) throw std::runtime_error("Incomplete JDBC response header");
    const auto n = load_be<std::int32_t>(header.data);
    if (n < 0) throw std::runtime_error("Invalid JDBC response length: " + std::to_string(n));
    if (static_cast<std::int64_t>(n) + 1 > kMaxResponseBytes)
        throw std::runtime_error("JDBC response length " + std::to_string(n) + " exceeds the limit of " +
                                 std::to_string(kMaxResponseBytes) + " bytes");
    return static_cast<std::size_t>(n);
}

}  // namespace tyx::jdbc
