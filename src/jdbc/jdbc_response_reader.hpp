// ResponseReader: reassembles the database session's responses from the bytes of its
// connection. Pure: bytes in, response bodies out, no sockets; the session reads straight into
// the room the reader offers, and decodes the body where it landed. Owned by one session, used
// on its loop only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/byte_buffer.hpp"
#include "jdbc/jdbc_session_messages.hpp"
#include "jdbc/receive_buffer.hpp"

namespace tyx::jdbc {

// A body is received in growing steps, starting with this many bytes. The storage for the whole
// body is mapped when its header arrives, but a page is committed only once written, so a length
// announced but never sent costs no more memory than the bytes that did arrive.
inline constexpr std::size_t kFirstReadStep = std::size_t{1} << 20;

// One response is a 4-byte big-endian length N, then N + 1 bytes of which the first N are the
// body. The room offered never reaches past the response in progress, so reading exactly that
// much never takes a byte of the next one. The header is checked with response_body_length as
// soon as it is whole: its failures (a negative length, one past kMaxResponseBytes) are raised
// by `commit` or `feed`, before anything is allocated for the body.
class ResponseReader {
public:
    explicit ResponseReader(std::size_t first_read_step = kFirstReadStep) : first_step_(first_read_step) {}

    // Where the next bytes go: the rest of the header, else the next step of the body (doubling
    // with what arrived). Empty once the response is complete.
    std::span<std::uint8_t> room();
    // Records that `n` bytes (at most room().size()) were written at the start of room().
    void commit(std::size_t n);
    // Copies bytes in up to the end of the response in progress; yields how many it took. The
    // rest belongs to the next response, read after `take`.
    std::size_t feed(ByteView bytes);

    bool complete() const { return in_body_ && have_ == after_header_; }
    // The body of the complete response, in the reader's storage (precondition: complete()).
    // Valid until the reader is next changed.
    ByteView body() const { return ByteView(storage_.data(), body_length_); }
    // A copy of the body of the complete response (precondition: complete()); the reader then
    // expects the next response's header.
    std::vector<std::uint8_t> take();
    // Forgets a response, complete or begun; the storage stays for the next one.
    void reset();
    // Gives the storage back when it is larger than `keep` bytes, unless a response is in progress.
    void trim(std::size_t keep);
    std::size_t capacity() const { return storage_.capacity(); }

private:
    std::size_t first_step_;
    std::array<std::uint8_t, kResponseHeaderSize> header_{};
    std::size_t header_have_ = 0;
    bool in_body_ = false;
    std::size_t body_length_ = 0;
    std::size_t after_header_ = 0;  // the body and the byte after it
    std::size_t have_ = 0;          // bytes of them received
    // Kept from one response to the next: a repeated response lands in pages already touched.
    ReceiveBuffer storage_;
};

}  // namespace tyx::jdbc
