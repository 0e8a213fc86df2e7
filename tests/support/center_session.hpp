// One center session on the test's loop for the center session tests, over the scripted network
// or over real sockets, with the bytes of its handshakes.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "center/tyx_client_center.hpp"
#include "support/center_harness.hpp"
#include "support/scripted_socket.hpp"

namespace tyx::test {

// The introduction the client must write: the tag, the direction, the channel, the UID.
inline ByteVector hello(char direction, std::string_view uid) {
    const std::string channel = direction == 'R' ? "web.to.center" : "center.to.web$" + std::string(uid);
    CenterBytes b;
    b.u16_be(8).raw("XQDM|dTP").u8(0).u8(static_cast<std::uint8_t>(direction));
    b.u16_be(static_cast<std::uint16_t>(channel.size())).raw(channel);
    b.u16_be(static_cast<std::uint16_t>(uid.size())).raw(uid);
    return b.data();
}

inline const ByteVector kOkReply = FakeCenter::reply_bytes("XQDM|dTP", "Y9-server");

// One center session of cluster "alpha" on the test's loop, over the scripted network, where each
// connection attempt takes two conversations (the inbound connection's, then the outbound one's),
// or in real time over real sockets to `endpoints`.
struct CenterSession : ScriptedSession<TyxClientCenter> {
    explicit CenterSession(std::vector<Endpoint> endpoints = {}) {
        real_time = !endpoints.empty();
        if (!real_time) endpoints = {{"center", "7000"}};
        client = std::make_unique<TyxClientCenter>(
            recorder, "alpha", std::move(endpoints), SubscriptionConfig{}, io,
            real_time ? make_socket_factory(io, false, SslOptions{}) : network.factory());
    }

    // A connection pair that answers both handshakes with `reply`.
    void pair(const ByteVector& reply = kOkReply) {
        network.then({.reads = {reply}}).then({.reads = {reply}});
    }
    // Handshaken on the connection pair of `attempt` (from 0).
    bool handshaken_on(std::size_t attempt) {
        return run([&] { return client->handshaken() && network.made() == 2 * (attempt + 1); });
    }
    bool frames(std::uint64_t n) {
        return run([&] { return client->frames_received() >= n; });
    }
    void push(std::size_t attempt, const std::vector<std::uint8_t>& bytes) {
        network.socket(2 * attempt).feed(bytes);
    }
    // The request frames written on the outbound connection of `attempt`, after its hello.
    std::vector<ByteVector> requests(std::size_t attempt) {
        if (network.made() <= 2 * attempt + 1) return {};
        const ByteVector& out = network.written(2 * attempt + 1);
        std::vector<ByteVector> frames;
        for (std::size_t at = hello('R', client->process_uid()).size(); at + 8 <= out.size();) {
            const std::size_t end = at + 8 + load_be<std::uint32_t>(out.data() + at + 4);
            frames.emplace_back(out.begin() + static_cast<std::ptrdiff_t>(at),
                                out.begin() + static_cast<std::ptrdiff_t>(std::min(end, out.size())));
            at = end;
        }
        return frames;
    }
    bool requests_written(std::size_t attempt, std::size_t n) {
        return run([&] { return requests(attempt).size() >= n; });
    }
    // `done` is the test body's: a request still unanswered when the session stops completes
    // then, after the body has ended, and must not write to it.
    void subscribe(std::vector<SubscriptionRequest> requests, bool& done) {
        client->subscribe(requests, [&done, body = body_] {
            if (*body) done = true;
        });
    }
    ~CenterSession() { *body_ = false; }
    std::vector<std::string> events(std::string_view prefix = {}) { return heard().with_prefix(prefix); }

private:
    std::shared_ptr<bool> body_ = std::make_shared<bool>(true);  // the test body runs
};

}  // namespace tyx::test
