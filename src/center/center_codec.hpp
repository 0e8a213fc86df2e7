// Byte format of the center protocol: message-class identifiers (VIDs), the 8-byte frame around
// every message, the message preamble, the string forms as read back, and the writers used to
// build requests and handshakes. Pure functions over byte buffers; usable from any thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/byte_buffer.hpp"

namespace tyx {
namespace center {

// A VID names a message class with eight characters such as "Y9.VE.CH". Each character is a
// base-38 digit ("0"-"9", "A"-"Z", "."); the wire value is that number times 38^4 plus 38^4 + 1.
constexpr std::int64_t vid_to_long(std::string_view vid) {
    if (vid.size() != 8) throw std::runtime_error("Invalid VID length: " + std::to_string(vid.size()));
    std::int64_t n = 0;
    for (char c : vid) {
        std::int64_t digit = 0;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'Z')
            digit = c - 'A' + 10;
        else if (c == '.')
            digit = 36;
        else
            throw std::runtime_error(std::string("Invalid VID char: ") + c);
        n = n * 38 + digit;
    }
    // 38^8 - 1 times 2085136 stays below 2^63, so this cannot overflow.
    return n * 2085136 + 2085137;
}

inline constexpr std::int64_t kVidChanges = vid_to_long("Y9.VE.CH");
inline constexpr std::int64_t kVidEnvelope = vid_to_long("Y9.ST.MS");
inline constexpr std::int64_t kVidRequestBody = vid_to_long("Y9.BA.RQ");
inline constexpr std::int64_t kVidSnapshotQuery = vid_to_long("Y9.VE.SQ");
inline constexpr std::int64_t kVidQueryEntry = vid_to_long("Y9.VE.UR");
inline constexpr std::int64_t kVidSnapshotResponse = vid_to_long("Y9.VE.SR");
inline constexpr std::int64_t kVidPassThrough = vid_to_long("Y9.ST.PT");

// Field encodings of a message: by name (2-byte name length, 0 ends) or by position
// (1-byte PID, 0xFF ends). Writers use 1 for the positional form.
inline constexpr std::uint8_t kEncodingByName = 0;
inline constexpr std::uint8_t kEncodingByPosition = 1;
inline constexpr std::uint8_t kPositionalEnd = 0xFF;

// ---- Frames -------------------------------------------------------------------------------

inline constexpr std::size_t kFrameHeaderSize = 8;

// The 8-byte header in front of every payload: a reserved word and the payload length.
struct FrameHeader {
    std::uint32_t reserved = 0;
    std::uint32_t payload_length = 0;

    // A header of two zero words carries no payload; readers go straight to the next header.
    bool is_keepalive() const { return reserved == 0 && payload_length == 0; }
};

// Decodes a header from exactly kFrameHeaderSize bytes at `bytes`.
inline FrameHeader parse_frame_header(const std::uint8_t* bytes) {
    return {load_be<std::uint32_t>(bytes), load_be<std::uint32_t>(bytes + 4)};
}

// Frame writing: begin_frame reserves the header, the payload is appended, finish_frame fills
// the header in. The frame must start at offset 0 of `out`.
inline void begin_frame(ByteVector& out) {
    out.resize(out.size() + kFrameHeaderSize, 0);
}
void finish_frame(ByteVector& out);

// Reassembles frames from a byte stream cut at arbitrary points and hands each payload to
// `on_payload(ByteView)`. Keepalive headers are skipped. A frame that lies whole in the bytes fed
// is handed out where it lies; the rest of a frame cut by the end of the bytes is collected in
// a reused buffer that grows with the bytes that actually arrive, so a header announcing
// gigabytes allocates nothing until they come. A header announcing more than `max_payload`
// bytes is refused ("Frame payload length N exceeds the limit"). Owned by one reader; not
// thread-safe.
class FrameReader {
public:
    explicit FrameReader(std::size_t max_payload = SIZE_MAX) : max_payload_(max_payload) {}

    template <typename OnPayload>
    void feed(ByteView bytes, OnPayload&& on_payload);
    // Forgets a frame begun (a new connection starts on a frame boundary).
    void reset() {
        header_have_ = 0;
        payload_.clear();
        in_payload_ = false;
    }

    // Bytes held for the frame not yet complete (header or payload).
    std::size_t pending() const { return in_payload_ ? payload_.size() : header_have_; }

private:
    void check_length(std::size_t length) const {
        if (length > max_payload_)
            throw std::runtime_error("Frame payload length " + std::to_string(length) + " exceeds the limit");
    }

    std::size_t max_payload_;
    std::uint8_t header_[kFrameHeaderSize] = {};
    std::size_t header_have_ = 0;
    ByteVector payload_;
    std::size_t payload_length_ = 0;
    bool in_payload_ = false;
};

template <typename OnPayload>
void FrameReader::feed(ByteView bytes, OnPayload&& on_payload) {
    while (!bytes.empty()) {
        if (!in_payload_ && header_have_ == 0 && bytes.has(kFrameHeaderSize)) {
            const FrameHeader h = parse_frame_header(bytes.data);
            if (h.is_keepalive()) {
                bytes.skip(kFrameHeaderSize);
                continue;
            }
            check_length(h.payload_length);
            if (bytes.size - kFrameHeaderSize >= h.payload_length) {
                const ByteView payload(bytes.data + kFrameHeaderSize, h.payload_length);
                bytes.skip(kFrameHeaderSize + h.payload_length);
                on_payload(payload);
                continue;
            }
        }
        if (!in_payload_) {
            const std::size_t n = std::min(bytes.size, kFrameHeaderSize - header_have_);
            std::memcpy(header_ + header_have_, bytes.data, n);
            bytes.skip(n);
            header_have_ += n;
            if (header_have_ < kFrameHeaderSize) return;
            header_have_ = 0;
            const FrameHeader h = parse_frame_header(header_);
            if (h.is_keepalive()) continue;
            check_length(h.payload_length);
            payload_.clear();
            payload_length_ = h.payload_length;
            in_payload_ = true;
        }
        const std::size_t n = std::min(bytes.size, payload_length_ - payload_.size());
        payload_.insert(payload_.end(), bytes.data, bytes.data + n);
        bytes.skip(n);
        if (payload_.size() < payload_length_) return;
        in_payload_ = false;
        on_payload(ByteView(payload_.data(), payload_.size()));
    }
}

// ---- Writing primitives for requests --------------------------------------------------------

inline void append_vid(ByteVector& out, std::int64_t vid) {
    append_be<std::int64_t>(out, vid);
}

// The preamble of a top-level message: lead byte 0, the Message type byte, the VID and the
// encoding byte. Nested messages are written as a field of type Message followed by
// append_vid and the encoding byte, without this preamble.
void append_message_preamble(ByteVector& out, std::int64_t vid, std::uint8_t encoding);

// A growable byte buffer for the connection handshake, which uses Java's writeUTF/writeChar
// forms rather than the protocol string forms.
class OutBuffer {
public:
    // A 2-byte length and the bytes; the empty string is two zero bytes. Fails with
    // "String too long for Java writeUTF" for 65536 bytes or more.
    OutBuffer& write_java_utf(std::string_view text);
    // A zero byte, then the character's byte.
    OutBuffer& write_java_char(char c);

    const ByteVector& bytes() const { return bytes_; }
    ByteVector take() && { return std::move(bytes_); }

private:
    ByteVector bytes_;
};

// ---- The handshake ---------------------------------------------------------------------------

// The introduction written on each connection before anything else, without a frame: the
// MsgDirect tag, "R" and "web.to.center" for the outbound connection or "W" and
// "center.to.web$" joined to the process UID for the inbound one, then the process UID.
struct HandshakeMessage {
    HandshakeMessage(bool outbound, std::string_view process_uid);
    std::string_view view() const { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }
    ByteVector bytes;
};

// A process UID for the handshakes and requests of one client: "Y9-" and 62 random letters and
// digits.
std::string generate_process_uid();

// Replies to the handshake, and the server UID that may follow, are at most this long.
inline constexpr std::size_t kMaxHandshakeReply = 1024;

// Checks the center's answer to one handshake as it arrives: a 2-byte length and the reply,
// which must begin with "XQDM|"; a reply ending in "P" is followed by the server's process UID
// (a 2-byte length, then the UID), which is read to keep the stream aligned and not kept. The
// reader of the connection reads exactly `wanted()` bytes and hands them to `take`, until
// `wanted()` is 0. A bad length or reply is raised with its text.
class HandshakeReply {
public:
    std::size_t wanted() const { return wanted_; }
    void take(ByteView bytes);

private:
    enum class Step { ReplyLength, Reply, UidLength, Uid, Done };
    Step step_ = Step::ReplyLength;
    std::size_t wanted_ = 2;
};

// ---- Reading the string forms -----------------------------------------------------------------

enum class StringForm {
    Read,       // `text` holds the string and the view is past it
    TooShort,   // fewer than 3 bytes (or 7 for the long form) remain; nothing consumed
    Truncated,  // the declared length runs past the end of the view; nothing consumed
};

// Reads one string in the forms written by append_utf_string. `text` points into the view.
// Inline: it runs for every object id the change decoder reads.
inline StringForm read_string_form(ByteView& view, std::string_view& text) {
    if (!view.has(3)) return StringForm::TooShort;
    const std::uint8_t* p = view.data;
    if (p[0] == 0x00 && p[1] == 0x01 && p[2] == 0xFF) {
        view.skip(3);
        text = {};
        return StringForm::Read;
    }
    std::size_t head = 2;
    std::size_t length = load_be<std::uint16_t>(p);
    if (p[0] == 0x00 && p[1] == 0x01 && p[2] == 0x80) {
        if (!view.has(7)) return StringForm::TooShort;
        head = 7;
        length = load_be<std::uint32_t>(p + 3);
    }
    if (view.size - head < length) return StringForm::Truncated;
    view.skip(head);
    text = view.take_text(length);
    return StringForm::Read;
}

}  // namespace center
}  // namespace tyx
