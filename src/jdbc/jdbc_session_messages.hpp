// The database session's own messages: the version bytes, the login request and its
// acknowledgement, the query request, and the texts of the session's failures. Pure byte
// builders and readers with no sockets; usable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_buffer.hpp"
#include "transport/qmessage.hpp"
#include "tyx/config.hpp"

namespace tyx::jdbc {

// Sent raw (no length prefix) right after connecting, and the only answer accepted.
inline constexpr std::array<std::uint8_t, 2> kClientVersionBytes = {31, 241};
inline constexpr std::array<std::uint8_t, 2> kServerVersionBytes = {63, 244};
// The protocol version the client speaks and the only one it accepts from the server.
inline constexpr std::int32_t kProtocolVersion = 2;

// Raises version_mismatch_text unless the two bytes answering kClientVersionBytes are
// kServerVersionBytes.
void check_server_version(ByteView answer);
// Raises server_version_text unless the login acknowledgement names kProtocolVersion.
void check_protocol_version(std::int32_t version);

// Every response is a 4-byte big-endian length, then the body it counts and one byte more,
// which is read and dropped.
inline constexpr std::size_t kResponseHeaderSize = 4;
// Responses announcing more bytes than this are refused before anything is allocated.
inline constexpr std::int64_t kMaxResponseBytes = std::int64_t{1} << 30;
// The body length a response header announces. A negative length ("Invalid JDBC response
// length: N") or one past kMaxResponseBytes is raised.
std::size_t response_body_length(ByteView header);
// The bytes that follow a header announcing `body_length`.
inline std::size_t response_bytes_after(std::size_t body_length) {
    return body_length + 1;
}

// Overwrites the first 4 bytes of `image` with the big-endian count of the bytes after them.
// Precondition: image.size() >= 4.
void write_length_prefix(ByteVector& image);

// The login request: the credentials and the session limits as a string map, then the
// protocol version. The "db" entry is sent only when `db` is not empty.
class Login {
public:
    Login(std::string_view username, std::string_view password, std::string_view timeout,
          std::string_view limit, std::string_view db);
    // From the configuration: limits as plain decimal texts.
    explicit Login(const DatabaseConfig& config);

    std::string_view view() const { return {reinterpret_cast<const char*>(buffer.data()), buffer.size()}; }

    std::vector<std::uint8_t> buffer;
};

// The login acknowledgement, read from a response body. A body that ends before the message or
// the version yields the defaults (empty message, version 0); a message whose declared length
// runs past the body raises read_string_form's std::runtime_error.
struct LoginAck {
    LoginAck() = default;
    explicit LoginAck(ByteView in);

    std::string message;
    std::int32_t version = 0;
};

// One SQL text to run. Keeps the text for the sent event.
class Query : public QMessage {
public:
    explicit Query(std::string_view sql_text);

    std::string sql;
};

// "Invalid JDBC version response: " + the two received bytes as raw characters +
// ", expected: " + the two expected bytes as raw characters.
std::string version_mismatch_text(std::uint8_t first, std::uint8_t second);
// "Unsupported JDBC server version: " + version + ", expected: 2".
std::string server_version_text(std::int32_t version);

}  // namespace tyx::jdbc
