// libFuzzer target for the database login answer, read as the session reads it: the two
// version bytes, a response header, then the body of the login acknowledgement (an exact-size
// copy, so that a read past its end is caught) and the protocol version it names.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "jdbc/jdbc_session_messages.hpp"

using namespace tyx;

namespace {

bool raises(void (*check)(ByteView), ByteView bytes) {
    try {
        check(bytes);
    } catch (const std::runtime_error&) {
        return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteView in(data, size);
    const ByteView answer(data, std::min<std::size_t>(size, jdbc::kServerVersionBytes.size()));
    const bool good =
        answer.size == 2 && std::equal(answer.data, answer.data + 2, jdbc::kServerVersionBytes.begin());
    if (raises(jdbc::check_server_version, answer) == good) __builtin_trap();
    in.skip(answer.size);

    std::size_t body_length = 0;
    try {
        body_length = jdbc::response_body_length(in);
    } catch (const std::runtime_error&) {
        return 0;  // short, negative or past the limit
    }
    if (body_length + 1 > static_cast<std::size_t>(jdbc::kMaxResponseBytes)) __builtin_trap();
    in.skip(jdbc::kResponseHeaderSize);

    // A body shorter than announced would leave the session waiting; decode what there is.
    const std::vector<std::uint8_t> body(in.data, in.data + std::min(body_length, in.size));
    jdbc::LoginAck ack;
    try {
        ack = jdbc::LoginAck(ByteView(body.data(), body.size()));
    } catch (const std::runtime_error&) {
        return 0;  // the message's length runs past the body
    }
    if (ack.message.size() > body.size()) __builtin_trap();
    bool refused = false;
    try {
        jdbc::check_protocol_version(ack.version);
    } catch (const std::runtime_error&) {
        refused = true;
    }
    if (refused != (ack.version != jdbc::kProtocolVersion)) __builtin_trap();
    return 0;
}
