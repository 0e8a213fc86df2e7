#include "jdbc/jdbc_response_reader.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tyx::jdbc {

std::span<std::uint8_t> ResponseReader::room() {
    if (!in_body_) return {header_.data() + header_have_, header_.size() - header_have_};
    const std::size_t step = std::min(after_header_ - have_, std::max(first_step_, have_));
    if (body_.size() < have_ + step) body_.resize(have_ + step);
    return {body_.data() + have_, step};
}

void ResponseReader::commit(std::size_t n) {
    if (in_body_) {
        have_ += n;
        return;
    }
    header_have_ += n;
    if (header_have_ < header_.size()) return;
    // Started over first: a refused header leaves the reader at the next one, not stuck.
    header_have_ = 0;
    body_length_ = response_body_length(ByteView(header_.data(), header_.size()));
    after_header_ = response_bytes_after(body_length_);
    have_ = 0;
    body_.clear();
    in_body_ = true;
}

std::size_t ResponseReader::feed(ByteView bytes) {
    std::size_t taken = 0;
    while (taken < bytes.size && !complete()) {
        const std::span<std::uint8_t> space = room();
        const std::size_t n = std::min(space.size(), bytes.size - taken);
        std::memcpy(space.data(), bytes.data + taken, n);
        taken += n;
        commit(n);
    }
    return taken;
}

std::vector<std::uint8_t> ResponseReader::take() {
    // The byte after the body is read only to keep to the framing; it is not part of the body.
    body_.resize(body_length_);
    in_body_ = false;
    have_ = 0;
    return std::exchange(body_, {});
}

void ResponseReader::reset() {
    header_have_ = 0;
    in_body_ = false;
    have_ = 0;
    body_.clear();
}

}  // namespace tyx::jdbc
