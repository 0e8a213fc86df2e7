// libFuzzer target for the center's answer to the handshake. The input is the byte stream the
// connection reads: like the session, the target takes exactly `wanted()` bytes at each step
// until the reply is complete, the input runs out or the reply is refused.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "center/center_codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tyx::center::HandshakeReply reply;
    std::size_t at = 0;
    int steps = 0;
    try {
        while (const std::size_t n = reply.wanted()) {
            // Each step reads a length (2 bytes) or what a checked length announced.
            if (n > tyx::center::kMaxHandshakeReply) __builtin_trap();
            if (size - at < n) return 0;
            reply.take(tyx::ByteView(data + at, n));
            at += n;
            // Reply length, reply, and perhaps the UID length and the UID: never more.
            if (++steps > 4) __builtin_trap();
        }
    } catch (const std::logic_error&) {
        __builtin_trap();  // the step was given what it asked for
    } catch (const std::runtime_error&) {
        return 0;  // a bad length or reply
    }
    // An accepted reply starts with the tag; the UID follows exactly when it ends in 'P'.
    const std::string_view text(reinterpret_cast<const char*>(data), at);
    if (text.substr(2, 5) != "XQDM|") __builtin_trap();
    const std::size_t reply_length = static_cast<std::size_t>(data[0]) << 8 | data[1];
    const bool uid_follows = text[2 + reply_length - 1] == 'P';
    if (steps != (uid_follows ? 4 : 2)) __builtin_trap();
    return 0;
}
