// Answers a sandbox server writes from callbacks rather than from a coroutine of its own: queued
// per connection and sent in order, everything queued in one write, once any hold a fault put on
// them ends. Runs on the server's loop.
#pragma once

#include "sandbox_faults.hpp"
#include "sandbox_server.hpp"

#include <asio/write.hpp>

#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <system_error>
#include <type_traits>
#include <vector>

namespace tyx::sandbox {

// A session with a queue of answers; `Buffer` is a byte container (std::string, Bytes).
template <typename Buffer>
struct AnsweringSession : SandboxSession {
    using SandboxSession::SandboxSession;
    std::deque<Buffer> to_write;
    std::size_t pending_bytes = 0;  // queued or being written
    bool writing = false;
    bool close_after_write = false;  // an answer cut by a fault is on its way
    // Called on the loop after a write of the queue completed while the connection is open.
    std::function<void()> on_written;
};

namespace detail {

// The chain holds only the session, so it may outlive the server safely.
template <typename Buffer>
void write_queued(std::shared_ptr<AnsweringSession<Buffer>> s) {
    const bool held = FaultInjector::hold_writer(s->faults, s->socket.get_executor(), [s](bool ended) {
        if (!ended || !s->is_open()) {
            s->writing = false;
            return;
        }
        write_queued(s);
    });
    if (held) return;
    auto batch = std::make_shared<std::vector<Buffer>>(std::make_move_iterator(s->to_write.begin()),
                                                       std::make_move_iterator(s->to_write.end()));
    s->to_write.clear();
    std::vector<asio::const_buffer> buffers;
    std::size_t bytes = 0;
    for (const auto& b : *batch) {
        buffers.emplace_back(asio::buffer(b));
        bytes += b.size();
    }
    asio::async_write(s->socket, buffers, [s, batch, bytes](std::error_code ec, std::size_t) {
        s->pending_bytes -= bytes;
        if (!ec && s->on_written && s->is_open()) s->on_written();
        if (s->close_after_write && s->to_write.empty()) {
            s->close();
            ec = asio::error::operation_aborted;
        }
        if (ec || s->to_write.empty()) {
            s->writing = false;
            if (ec) {
                s->to_write.clear();
                s->pending_bytes = 0;
            }
            return;
        }
        write_queued(s);
    });
}

}  // namespace detail

// Queues one answer as `faults` has it go (sent, withheld, truncated, garbled or cut) and starts
// writing. Nothing goes out after a cut answer. A connection whose unsent answers would pass
// `max_pending` bytes (a client that does not read) is closed instead.
template <typename Buffer>
void queue_answer(FaultInjector& faults,
                  const std::shared_ptr<AnsweringSession<std::type_identity_t<Buffer>>>& session,
                  Buffer bytes, std::size_t max_pending) {
    if (session->close_after_write) return;
    const auto fate = faults.answer(session->faults, bytes.size());
    if (!FaultInjector::apply(fate, bytes)) return;
    if (fate.kind == FaultInjector::Answer::Kind::cut) session->close_after_write = true;
    session->pending_bytes += bytes.size();
    if (session->pending_bytes > max_pending) {
        session->close();
        return;
    }
    session->to_write.push_back(std::move(bytes));
    if (session->writing) return;
    session->writing = true;
    detail::write_queued(session);
}

}  // namespace tyx::sandbox
