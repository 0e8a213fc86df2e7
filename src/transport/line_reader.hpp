// LineReader: cuts a received byte stream into lines ended by a line feed, for the sockets'
// line reads. Pure: no sockets; a socket receives straight into the room it offers, and lines
// are handed out as views of its buffer, so a line costs no copy here and no allocation once
// the buffer has grown to the longest line seen. Owned by one socket, used on its loop only.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace tyx {

// A line longer than a LineReader accepts: "line longer than N bytes".
struct LineTooLong : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class LineReader {
public:
    // `max_line_length`: the longest line accepted, line feed included; never more than this
    // many bytes are buffered.
    explicit LineReader(std::size_t max_line_length) : max_line_(max_line_length) {}

    // The next whole line, line feed included, taken from the buffer; nullopt until one has
    // arrived. The view stays valid until the next room() or feed(). When the buffer holds the
    // longest line accepted without a line feed, the buffered bytes are dropped and LineTooLong is
    // raised.
    std::optional<std::string_view> next_line();
    // Room at the end of the buffer for the next read (at least 512 bytes, at most 64 KiB, never
    // past the longest line). Empty only when the buffer is full, which next_line reports first.
    std::span<char> room();
    // Records that `n` bytes (at most room().size()) were written at the start of room().
    void commit(std::size_t n) { end_ += n; }
    // Copies in as much of `bytes` as the buffer takes and yields how many; lines are then
    // taken with next_line before the rest is fed.
    std::size_t feed(std::string_view bytes);
    // Drops everything buffered (a new connection starts on a line boundary).
    void clear() { begin_ = scanned_ = end_ = 0; }
    // Bytes received and not yet handed out in a line.
    std::size_t buffered() const { return end_ - begin_; }

private:
    std::size_t max_line_;
    std::vector<char> buffer_;  // its size is the capacity in use; [begin_, end_) holds data
    std::size_t begin_ = 0;
    std::size_t scanned_ = 0;  // no line feed in [begin_, scanned_)
    std::size_t end_ = 0;
};

}  // namespace tyx
