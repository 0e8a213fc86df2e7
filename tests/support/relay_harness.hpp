// Runs one TyxClientRelay against a sandbox relay: a multiplexer with one worker, the relay on
// that worker, connect and receive loop started there, and an orderly stop on destruction.
// Events are recorded by an EventLog listener; tests wait for them with deadlines.
#pragma once

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "multiplex/tyx_client_multiplex.hpp"
#include "relay_server.hpp"
#include "rt/tyx_client_relay.hpp"
#include "support/event_log.hpp"
#include "support/run_on.hpp"

namespace tyx::test {

class RelayHarness {
public:
    explicit RelayHarness(std::vector<Endpoint> endpoints, PublicationConfig config = {},
                          bool with_listener = true)
        : multiplex_(1) {
        if (with_listener) multiplex_.listener_add(log_);
        asio::io_context& worker = multiplex_.pool().get_io_context();
        relay_ =
            std::make_unique<TyxClientRelay>(multiplex_, "alpha", std::move(endpoints), std::move(config),
                                             worker, make_socket_factory(worker, false, SslOptions{}));
    }
    ~RelayHarness() {
        stop();
        // The relay must outlive every job already queued on its loop.
        run_on(relay_->io_context(), []() -> asio::awaitable<void> { co_return; });
    }

    // Starts connect then the receive loop on the relay's worker, as the cluster client does.
    void start() {
        loop_done_ = std::make_shared<std::promise<void>>();
        loop_finished_ = loop_done_->get_future();
        asio::co_spawn(
            relay_->io_context(),
            [r = relay_.get()]() -> asio::awaitable<void> {
                co_await r->connect(r->io_context());
                co_await r->receive_loop();
            },
            [done = loop_done_](std::exception_ptr) { done->set_value(); });
    }
    void stop() {
        if (stopped_) return;
        stopped_ = true;
        run_on(relay_->io_context(), [r = relay_.get()]() -> asio::awaitable<void> { co_await r->stop(); });
        if (loop_finished_.valid()) loop_finished_.wait_for(std::chrono::seconds(10));
    }
    bool loop_ended(std::chrono::milliseconds within) {
        return loop_finished_.wait_for(within) == std::future_status::ready;
    }

    void publish(std::shared_ptr<rt::Message> m) {
        asio::post(relay_->io_context(), [r = relay_.get(), m = std::move(m)] { r->send_async(m); });
    }
    template <typename F>
    auto on_relay(F&& f) {
        std::promise<decltype(f(*relay_))> result;
        auto future = result.get_future();
        asio::post(relay_->io_context(), [&] { result.set_value(f(*relay_)); });
        return future.get();
    }

    TyxClientMultiplex& multiplex() { return multiplex_; }
    EventLog& log() { return *log_; }
    TyxClientRelay& relay() { return *relay_; }

private:
    TyxClientMultiplex multiplex_;
    std::shared_ptr<EventLog> log_ = std::make_shared<EventLog>();
    std::unique_ptr<TyxClientRelay> relay_;
    std::shared_ptr<std::promise<void>> loop_done_;
    std::future<void> loop_finished_;
    bool stopped_ = false;
};

inline std::vector<Endpoint> sandbox_endpoint(const sandbox::RelayServer& server) {
    return {Endpoint{"127.0.0.1", std::to_string(server.port())}};
}

}  // namespace tyx::test
