#include "center/center_codec.hpp"

#include <chrono>
#include <random>

#include "core/type_codes.hpp"

namespace tyx {
namespace center {

void finish_frame(ByteVector& out) {
    const std::size_t payload = out.size() - kFrameHeaderSize;
    if (payload > UINT32_MAX) throw std::runtime_error("Frame payload too large: " + std::to_string(payload));
    const std::uint32_t words[2] = {0, static_cast<std::uint32_t>(payload)};
    for (int w = 0; w < 2; ++w)
        for (int b = 0; b < 4; ++b) out[w * 4 + b] = static_cast<std::uint8_t>(words[w] >> (24 - 8 * b));
}

void append_message_preamble(ByteVector& out, std::int64_t vid, std::uint8_t encoding) {
    append_u8(out, 0);
    append_u8(out, code_of(TypeCode::Message));
    append_vid(out, vid);
    append_u8(out, encoding);
}

OutBuffer& OutBuffer::write_java_utf(std::string_view text) {
    if (text.size() > 0xFFFF) throw std::runtime_error("String too long for Java writeUTF");
    append_be<std::uint16_t>(bytes_, static_cast<std::uint16_t>(text.size()));
    append_bytes(bytes_, text);
    return *this;
}

OutBuffer& OutBuffer::write_java_char(char c) {
    append_u8(bytes_, 0);
    append_u8(bytes_, static_cast<std::uint8_t>(c));
    return *this;
}

HandshakeMessage::HandshakeMessage(bool outbound, std::string_view process_uid) {
    OutBuffer out;
    out.write_java_utf("XQDM|dTP");
    out.write_java_char(outbound ? 'R' : 'W');
    if (outbound)
        out.write_java_utf("web.to.center");
    else
        out.write_java_utf("center.to.web$" + std::string(process_uid));
    out.write_java_utf(process_uid);
    bytes = std::move(out).take();
}

std::string generate_process_uid() {
    constexpr std::string_view kAlphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    constexpr std::size_t kRandomLength = 62;
    std::mt19937_64 engine(
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
    std::string uid = "Y9-";
    uid.reserve(3 + kRandomLength);
    for (std::size_t i = 0; i < kRandomLength; ++i) uid += kAlphabet[pick(engine)];
    return uid;
}

namespace {

std::size_t checked_length(ByteView bytes, std::string_view what) {
    const std::size_t length = load_be<std::uint16_t>(bytes.data);
    if (length == 0 || length > kMaxHandshakeReply)
        throw std::runtime_error(std::string(what) + std::to_string(length));
    return length;
}

}  // namespace

void HandshakeReply::take(ByteView bytes) {
    if (bytes.size != wanted_) throw std::logic_error("Handshake reply step given the wrong number of bytes");
    switch (step_) {
        case Step::ReplyLength:
            wanted_ = checked_length(bytes, "Invalid handshake message length: ");
            step_ = Step::Reply;
            return;
        case Step::Reply: {
            const std::string_view reply(reinterpret_cast<const char*>(bytes.data), bytes.size);
            if (reply.rfind("XQDM|", 0) != 0)
                throw std::runtime_error("Unexpected MsgDirect server response: " + std::string(reply));
            const bool uid_follows = reply.back() == 'P';
            wanted_ = uid_follows ? 2 : 0;
            step_ = uid_follows ? Step::UidLength : Step::Done;
            return;
        }
        case Step::UidLength:
            wanted_ = checked_length(bytes, "Invalid MsgDirect server process UID length: ");
            step_ = Step::Uid;
            return;
        case Step::Uid:
        case Step::Done:
            wanted_ = 0;
            step_ = Step::Done;
            return;
    }
}

}  // namespace center
}  // namespace tyx
