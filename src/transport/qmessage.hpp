// QMessage: the owner of one byte buffer queued on sockets. Shared between the sockets that
// send it (one message can sit in several relay shards' queues) and immutable once queued.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tyx {

class QMessage {
public:
    QMessage() = default;
    explicit QMessage(std::vector<std::uint8_t> bytes) : buffer(std::move(bytes)) {}
    virtual ~QMessage() = default;

    QMessage(const QMessage&) = delete;
    QMessage& operator=(const QMessage&) = delete;

    std::string_view view() const { return {reinterpret_cast<const char*>(buffer.data()), buffer.size()}; }
    std::size_t size() const { return buffer.size(); }

    std::vector<std::uint8_t> buffer;  // the exact bytes to send
};

}  // namespace tyx
