#include "transport/line_reader.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace tyx {

namespace {
// Reads of at least this much keep the number of reads low while lines are short; reads of at
// most this much keep one read's work bounded.
constexpr std::size_t kLeastRead = 512;
constexpr std::size_t kMostRead = std::size_t{1} << 16;
}  // namespace

std::optional<std::string_view> LineReader::next_line() {
    // Bytes already searched are not searched again while a long line arrives piece by piece.
    const char* const data = buffer_.data();
    const void* feed = scanned_ < end_ ? std::memchr(data + scanned_, '\n', end_ - scanned_) : nullptr;
    if (feed == nullptr) {
        scanned_ = end_;
        if (end_ - begin_ < max_line_) return std::nullopt;
        clear();
        throw LineTooLong("line longer than " + std::to_string(max_line_) + " bytes");
    }
    const std::size_t line_end = static_cast<std::size_t>(static_cast<const char*>(feed) - data) + 1;
    const std::string_view line(data + begin_, line_end - begin_);
    begin_ = scanned_ = line_end;
    // Nothing left over: the next read starts at the front, and nothing needs moving.
    if (begin_ == end_) begin_ = scanned_ = end_ = 0;
    return line;
}

std::span<char> LineReader::room() {
    const std::size_t held = end_ - begin_;
    const std::size_t want =
        std::min({std::max(kLeastRead, buffer_.size() - end_), kMostRead, max_line_ - held});
    if (buffer_.size() - end_ < want) {
        // The start of a line is moved to the front before the buffer grows for it.
        if (begin_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, held);
            scanned_ -= begin_;
            begin_ = 0;
            end_ = held;
        }
        if (buffer_.size() - end_ < want)
            buffer_.resize(std::min(max_line_, std::max(end_ + want, 2 * buffer_.size())));
    }
    return {buffer_.data() + end_, want};
}

std::size_t LineReader::feed(std::string_view bytes) {
    std::size_t taken = 0;
    while (taken < bytes.size()) {
        const std::span<char> space = room();
        if (space.empty()) break;
        const std::size_t n = std::min(space.size(), bytes.size() - taken);
        std::memcpy(space.data(), bytes.data() + taken, n);
        commit(n);
        taken += n;
    }
    return taken;
}

}  // namespace tyx
