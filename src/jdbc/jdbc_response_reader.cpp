#include "jdbc/jdbc_response_reader.hpp"

#include <algorithm>
#include <cstring>

namespace tyx::jdbc {

std::span<std::uint8_t> ResponseReader::room() {
    if (!in_body_) return {header_.data() + header_have_, header_.size() - header_have_};
    const std::size_t step = std::min(after_header_ - have_, std::max(first_step_, have_));
    return {storage_.data() + have_, step};
}

void ResponseReader::commit(std::size_t n) {
    if (in_body_) {
        have_ += n;
        // The byte after the body is read only to keep to the framing: nothing may read it.
        if (have_ == after_header_) storage_.expose(body_length_);
        return;
    }
    header_have_ += n;
    if (header_have_ < header_.size()) return;
    // Started over first: a refused header leaves the reader at the next one, not stuck.
    header_have_ = 0;
    body_length_ = response_body_length(ByteView(header_.data(), header_.size()));
    after_header_ = response_bytes_after(body_length_);
    have_ = 0;
    storage_.reserve(after_header_);
    storage_.expose(after_header_);
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
    const ByteView b = body();
    std::vector<std::uint8_t> out(b.data, b.data + b.size);
    reset();
    return out;
}

void ResponseReader::reset() {
    header_have_ = 0;
    in_body_ = false;
    have_ = 0;
}

void ResponseReader::trim(std::size_t keep) {
    if (!in_body_ && header_have_ == 0 && storage_.capacity() > keep) storage_.release();
}

}  // namespace tyx::jdbc
