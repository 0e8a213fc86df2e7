#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "core/tyx_client_if.hpp"
#include "support/multiplex_recorder.hpp"
#include "support/transport_loopback.hpp"

namespace tyx {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using test::LoopbackSink;
using test::run_test;
using test::wait_until;
using namespace std::chrono_literals;

TEST(ClientName, IsClusterHyphenKind) {
    EXPECT_EQ(make_client_name("alpha", "relay"), "alpha-relay");
    EXPECT_EQ(make_client_name("alpha", "center"), "alpha-center");
    EXPECT_EQ(make_client_name("", "jdbc"), "-jdbc");
}

TEST(FailoverPause, DoublesFromOneSecondAndCapsAtSixty) {
    std::vector<long> seen;
    auto pause = kFirstFailoverPause;
    for (int i = 0; i < 10; ++i) {
        seen.push_back(static_cast<long>(pause.count()));
        pause = next_failover_pause(pause);
    }
    EXPECT_EQ(seen, (std::vector<long>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000, 60000}));

    // The doubled value is kept only while it stays at most 58 s.
    const std::pair<long, long> edges[] = {{29000, 58000}, {29001, 60000}, {30000, 60000}, {1, 2}};
    for (auto [in, out] : edges) EXPECT_EQ(next_failover_pause(milliseconds{in}).count(), out) << in;
}

TEST(ReconnectBackoff, DoublesWhileConnectionsDropSoonAfterLogin) {
    const nanoseconds soon = 2s;
    std::vector<long> seen;
    milliseconds current{0};
    for (int i = 0; i < 9; ++i) {
        current = next_reconnect_backoff(current, soon);
        seen.push_back(static_cast<long>(current.count()));
    }
    EXPECT_EQ(seen, (std::vector<long>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000}));

    struct Case {
        long current_ms;
        nanoseconds since_login;
        long expected_ms;
    };
    const Case cases[] = {
        {32000, nanoseconds{4999999999}, 60000},  // just under 5 s: still counts as a quick drop
        {32000, nanoseconds{5000000000}, 1000},   // 5 s exactly: a lasting connection
        {8000, nanoseconds{4999999999}, 16000},
        {8000, 10s, 1000},  // dropped 10 s after login
        {30000, 0ns, 60000},
        {30001, 0ns, 60000},
        {15000, 0ns, 30000},
        {0, 0ns, 1000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(next_reconnect_backoff(milliseconds{c.current_ms}, c.since_login).count(), c.expected_ms)
            << c.current_ms << " ms, " << c.since_login.count() << " ns since login";
}

// A minimal line-protocol client over the base: connect with failover, read lines, reconnect
// after a loss. Records each attempt's endpoint index and time.
class TestClient : public SingleSocketClient {
public:
    TestClient(TyxClientMultiplex& m, asio::io_context& io, std::vector<Endpoint> endpoints)
        : SingleSocketClient(m, "alpha", "relay", std::move(endpoints), io,
                             make_socket_factory(io, false, {})) {}

    asio::awaitable<void> connect(asio::io_context&) override {
        const bool connected = co_await connect_first();
        if (!connected) co_return;
        record_login();
        ++logins;
    }

    asio::awaitable<void> receive_loop() override {
        std::vector<char> line;
        for (;;) {
            try {
                co_await socket_->receive_line_sync(line);
                continue;
            } catch (const std::system_error&) {
            }
            if (stopping_) co_return;
            notify_disconnect();
            const bool reconnected = co_await reconnect_to_next_endpoint();
            if (!reconnected) co_return;
            record_login();
            ++logins;
        }
    }

    asio::awaitable<void> stop() override {
        stopping_ = true;
        end_pauses();
        if (socket_) co_await socket_->disconnect_sync();
    }

    void recreate_socket() override {
        SingleSocketClient::recreate_socket();
        attempts.push_back(current_endpoint_);
        attempt_times.push_back(std::chrono::steady_clock::now());
    }

    std::vector<std::uint64_t> attempts;
    std::vector<std::chrono::steady_clock::time_point> attempt_times;
    int logins = 0;
};

Endpoint local(std::string port) {
    return Endpoint{"127.0.0.1", std::move(port)};
}

class ClientBase : public ::testing::Test {
protected:
    void SetUp() override { mux.listener_add(recorder); }
    std::vector<std::string> events() {
        test::drain_notifications(mux);
        return recorder->events();
    }

    TyxClientMultiplex mux{1};
    std::shared_ptr<test::RecordingListener> recorder = std::make_shared<test::RecordingListener>();
    asio::io_context io;
};

TEST_F(ClientBase, FailsOverFromARefusingEndpointWithoutPausing) {
    LoopbackSink b(io);
    TestClient client(mux, io, {local(test::refusing_port(io)), local(b.port())});
    const auto start = std::chrono::steady_clock::now();
    run_test(io, [&]() -> asio::awaitable<void> { co_await client.connect(io); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_EQ(client.attempts, (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(client.current_endpoint(), 1u);
    EXPECT_EQ(events(), (std::vector<std::string>{"connect alpha-relay"}));
    run_test(io, [&]() -> asio::awaitable<void> { co_await client.stop(); });
}

TEST_F(ClientBase, PausesOneSecondAfterAFailedRoundAndStopEndsThePauseAtOnce) {
    TestClient client(mux, io, {local(test::refusing_port(io)), local(test::refusing_port(io))});
    bool connect_returned = false;
    run_test(io, [&]() -> asio::awaitable<void> {
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                co_await client.connect(io);
                connect_returned = true;
            },
            asio::detached);
        EXPECT_TRUE(co_await wait_until([&] { return client.attempts.size() >= 4; }, 3000ms));
        // Now in the second pause (2 s): stop must end it without another attempt.
        co_await client.stop();
        const auto stopped = std::chrono::steady_clock::now();
        EXPECT_TRUE(co_await wait_until([&] { return connect_returned; }, 500ms));
        EXPECT_LT(std::chrono::steady_clock::now() - stopped, 200ms);
    });
    ASSERT_EQ(client.attempts.size(), 4u);
    EXPECT_EQ(client.attempts, (std::vector<std::uint64_t>{0, 1, 0, 1}));
    const auto pause = client.attempt_times[2] - client.attempt_times[1];
    EXPECT_GE(pause, 1000ms);
    EXPECT_LT(pause, 1500ms);
    EXPECT_EQ(client.logins, 0);
    EXPECT_TRUE(events().empty());
}

TEST_F(ClientBase, EmptyEndpointListPausesUntilStopped) {
    TestClient client(mux, io, {});
    bool connect_returned = false;
    run_test(io, [&]() -> asio::awaitable<void> {
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                co_await client.connect(io);
                connect_returned = true;
            },
            asio::detached);
        EXPECT_FALSE(co_await wait_until([&] { return connect_returned; }, 100ms));
        co_await client.stop();
        EXPECT_TRUE(co_await wait_until([&] { return connect_returned; }, 200ms));
    });
    EXPECT_TRUE(client.attempts.empty());
    EXPECT_EQ(client.logins, 0);
    EXPECT_TRUE(events().empty());
}

TEST_F(ClientBase, ReconnectsToTheNextEndpointFirstAfterALoss) {
    LoopbackSink a(io);
    LoopbackSink b(io);
    TestClient client(mux, io, {local(a.port()), local(b.port())});
    run_test(
        io,
        [&]() -> asio::awaitable<void> {
            co_await client.connect(io);
            EXPECT_TRUE(co_await wait_until([&] { return a.accepts == 1; }));
            asio::co_spawn(io, client.receive_loop(), asio::detached);
            a.close();  // connection lost; A is still there to take a new one
            EXPECT_TRUE(co_await wait_until([&] { return client.logins == 2; }, 3000ms));
            co_await client.stop();
        },
        6000ms);
    EXPECT_EQ(client.attempts, (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(b.accepts, 1);
    EXPECT_EQ(events(), (std::vector<std::string>{"connect alpha-relay", "disconnect alpha-relay",
                                                  "connect alpha-relay"}));
}

}  // namespace
}  // namespace tyx
