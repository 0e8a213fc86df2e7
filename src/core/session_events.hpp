// SessionEvents: what a protocol session tells the rest of the library: the events its
// listeners are to hear, in the order raised, and whether anyone listens at all. The
// multiplexer implements it (delivering each event on its notification loop); session tests
// record the events instead. Sessions call it on their own loop; `log` and `listener_count`
// from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "tyx/health.hpp"

namespace tyx {

class SessionEvents {
public:
    virtual ~SessionEvents() = default;

    // Registered listeners. Sessions skip decoding what only a listener would hear while it is 0.
    std::int64_t listener_count() const { return listener_count_.load(std::memory_order_relaxed); }
    // Registered listeners that hear messages written (on_message_sent). While it is 0 a relay
    // keeps no written message for a report, and publishers may write to the connection directly.
    std::int64_t sent_listener_count() const { return sent_listener_count_.load(std::memory_order_relaxed); }
    const std::atomic<std::int64_t>& sent_listener_counter() const { return sent_listener_count_; }
    // Registered listeners that hear messages received (on_message_received). While it is 0 a
    // database session does not copy its answers to report them.
    std::int64_t received_listener_count() const {
        return received_listener_count_.load(std::memory_order_relaxed);
    }

    // Each raises one event of the session named `client` (`<cluster>-relay`, `-center`, `-jdbc`).
    virtual void connected(std::string_view client) = 0;
    virtual void disconnected(std::string_view client) = 0;
    virtual void logged_in(std::string_view client) = 0;
    // `text`: exactly what was written.
    virtual void message_sent(std::string_view client, std::string text) = 0;
    virtual void message_received(std::string_view client, std::int64_t now, std::int64_t seqnum,
                                  std::int32_t status, std::string text) = 0;
    virtual void session_state(std::string_view client, std::shared_ptr<const SessionStateEvent> event) = 0;
    // Level 3 marks a failed operation, level 2 an unexpected but harmless input.
    virtual void log(std::string_view client, std::uint8_t level, std::string text) = 0;

protected:
    std::atomic<std::int64_t> listener_count_{0};
    std::atomic<std::int64_t> sent_listener_count_{0};
    std::atomic<std::int64_t> received_listener_count_{0};
};

}  // namespace tyx
