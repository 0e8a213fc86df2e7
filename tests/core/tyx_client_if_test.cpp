#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "core/tyx_client_if.hpp"
#include "support/scripted_socket.hpp"

namespace tyx {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using test::Conversation;
using test::run_until;
using test::ScriptedNetwork;
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
// after a loss. Records each attempt's endpoint index and session time.
class TestClient : public SingleSocketClient {
public:
    TestClient(SessionEvents& m, asio::io_context& io, ScriptedNetwork& network,
               std::vector<Endpoint> endpoints)
        : SingleSocketClient(m, "alpha", "relay", std::move(endpoints), io, network.factory()) {}

    asio::awaitable<void> connect(asio::io_context&) override {
        const bool connected = co_await connect_first();
        if (connected) {
            record_login();
            ++logins;
        }
        connect_returned = true;
    }

    asio::awaitable<void> receive_loop() override {
        if (stopping_) co_return;
        std::vector<char> line;
        for (;;) {
            try {
                co_await socket_->receive_line_sync(line);
                continue;
            } catch (const std::system_error& e) {
                note_lost(cause_of(e), e.what());
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
        attempt_times.push_back(SessionClock::now());
    }

    SessionClock::duration pause_before(std::size_t attempt) const {
        return attempt_times.at(attempt) - attempt_times.at(attempt - 1);
    }

    std::vector<std::uint64_t> attempts;
    std::vector<SessionClock::time_point> attempt_times;
    int logins = 0;
    bool connect_returned = false;
};

Endpoint local(std::string port) {
    return Endpoint{"127.0.0.1", std::move(port)};
}

// A state change as one line: "reconnecting failover=0 cause=refused attempt=3 pause=1000 repeated=1".
std::string state_line(const SessionStateEvent& e) {
    return std::string(to_string(e.state)) + " failover=" + std::to_string(e.endpoint.failover) +
           " cause=" + std::string(to_string(e.cause)) + " attempt=" + std::to_string(e.attempt) +
           " pause=" + std::to_string(e.pause.count()) + " repeated=" + std::to_string(e.repeated);
}

class ClientBase : public ::testing::Test, protected test::ScriptedSession<TestClient> {
protected:
    TestClient& make(std::vector<Endpoint> endpoints) {
        client = std::make_unique<TestClient>(recorder, io, network, std::move(endpoints));
        return *client;
    }
    // Stops; true when everything ended without waiting out a pause. The session clock also
    // runs with real time, which a loaded machine makes a few milliseconds.
    bool stop_at_once() {
        const auto before = SessionClock::now();
        stop();
        return SessionClock::now() - before < 100ms;
    }
    std::vector<std::string> events() { return heard().events(); }
    std::vector<std::string> states() {
        std::vector<std::string> out;
        for (const SessionStateEvent& e : recorder.states()) out.push_back(state_line(e));
        return out;
    }
};

TEST_F(ClientBase, FailsOverFromARefusingEndpointWithoutPausing) {
    network.then(test::refused()).then({});
    TestClient& c = make({local("7001"), local("7002")});
    start();
    ASSERT_TRUE(run_until(
        io, [&] { return c.connect_returned; }, SessionClock::duration::zero()));
    EXPECT_EQ(c.attempts, (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(network.endpoint(1).port_or_service, "7002");
    EXPECT_EQ(c.current_endpoint(), 1u);
    EXPECT_EQ(c.logins, 1);
    EXPECT_EQ(events(), (std::vector<std::string>{"connect alpha-relay"}));
    EXPECT_TRUE(stop_at_once());
}

TEST_F(ClientBase, PausesOneSecondAfterAFailedRoundAndStopEndsThePauseAtOnce) {
    TestClient& c = make({local("7001"), local("7002")});  // nothing answers
    start();
    ASSERT_TRUE(run_until(io, [&] { return c.attempts.size() >= 4; }));
    // Now in the second pause (2 s): stop must end it without another attempt.
    EXPECT_TRUE(stop_at_once());
    EXPECT_EQ(c.attempts, (std::vector<std::uint64_t>{0, 1, 0, 1}));
    EXPECT_LT(c.pause_before(1), 100ms);
    EXPECT_GE(c.pause_before(2), 1000ms);
    EXPECT_LT(c.pause_before(2), 1100ms);
    EXPECT_EQ(c.logins, 0);
    EXPECT_TRUE(events().empty());
}

TEST_F(ClientBase, EmptyEndpointListPausesUntilStopped) {
    TestClient& c = make({});
    start();
    EXPECT_FALSE(run_until(
        io, [&] { return c.connect_returned; }, 10s));
    EXPECT_TRUE(stop_at_once());
    EXPECT_EQ(network.made(), 0u);
    EXPECT_EQ(c.logins, 0);
    EXPECT_TRUE(events().empty());
}

TEST_F(ClientBase, AConnectThatHangsIsEndedByStop) {
    network.then({.connect = Conversation::Connect::Hang});
    TestClient& c = make({local("7001")});
    start();
    EXPECT_FALSE(run_until(
        io, [&] { return c.connect_returned; }, 5s));
    EXPECT_EQ(c.attempts.size(), 1u);
    EXPECT_TRUE(stop_at_once());
    EXPECT_EQ(c.logins, 0);
}

TEST_F(ClientBase, ReconnectsToTheNextEndpointFirstAfterALoss) {
    network.then({}).then({});
    TestClient& c = make({local("7001"), local("7002")});
    start();
    ASSERT_TRUE(run_until(
        io, [&] { return c.logins == 1; }, SessionClock::duration::zero()));
    network.socket(0).close_by_peer();
    ASSERT_TRUE(run_until(io, [&] { return c.logins == 2; }));
    EXPECT_EQ(c.attempts, (std::vector<std::uint64_t>{0, 1}));
    EXPECT_GE(c.pause_before(1), 1000ms);  // the first back-off
    EXPECT_EQ(network.endpoint(1).port_or_service, "7002");
    EXPECT_TRUE(stop_at_once());
    EXPECT_EQ(events(), (std::vector<std::string>{"connect alpha-relay", "disconnect alpha-relay",
                                                  "connect alpha-relay"}));
}

// The pauses the reconnecting changes announce are the ones waited: failover rounds double
// from 1 s. Every refusal after the first repeats it (the scripted refusals carry no text).
TEST_F(ClientBase, ReconnectingChangesCarryThePausesOfTheFailoverAndBackoffRules) {
    TestClient& c = make({local("7001"), local("7002")});  // nothing answers
    start();
    ASSERT_TRUE(run_until(io, [&] { return c.attempts.size() >= 8; }));
    stop();
    auto states = this->states();
    ASSERT_GE(states.size(), 12u);
    states.resize(12);
    const std::string refused = " cause=refused";
    EXPECT_EQ(states, (std::vector<std::string>{
                          "connecting failover=0 cause=none attempt=1 pause=0 repeated=0",
                          "connecting failover=1" + refused + " attempt=2 pause=0 repeated=0",
                          "reconnecting failover=0" + refused + " attempt=3 pause=1000 repeated=1",
                          "connecting failover=0" + refused + " attempt=3 pause=0 repeated=0",
                          "connecting failover=1" + refused + " attempt=4 pause=0 repeated=0",
                          "reconnecting failover=0" + refused + " attempt=5 pause=2000 repeated=3",
                          "connecting failover=0" + refused + " attempt=5 pause=0 repeated=0",
                          "connecting failover=1" + refused + " attempt=6 pause=0 repeated=0",
                          "reconnecting failover=0" + refused + " attempt=7 pause=4000 repeated=5",
                          "connecting failover=0" + refused + " attempt=7 pause=0 repeated=0",
                          "connecting failover=1" + refused + " attempt=8 pause=0 repeated=0",
                          "reconnecting failover=0" + refused + " attempt=9 pause=8000 repeated=7",
                      }));
    for (std::size_t i : {2u, 4u, 6u})
        EXPECT_GE(c.pause_before(i), std::chrono::milliseconds(1000 << (i / 2 - 1)));
}

// Connections lost soon after their login double the back-off, and the changes say so.
TEST_F(ClientBase, BackoffsOfConnectionsLostSoonAfterLoginDouble) {
    network.then({}).then({}).then({}).then({});
    TestClient& c = make({local("7001")});
    start();
    for (int login = 1; login <= 3; ++login) {
        ASSERT_TRUE(run_until(io, [&] { return c.logins == login; }));
        network.socket(static_cast<std::size_t>(login - 1)).close_by_peer();
    }
    ASSERT_TRUE(run_until(io, [&] { return c.logins == 4; }));
    stop();
    std::vector<std::string> reconnecting;
    for (const auto& s : states())
        if (s.rfind("reconnecting", 0) == 0) reconnecting.push_back(s);
    const std::string closed = "reconnecting failover=0 cause=closed by peer attempt=1 pause=";
    EXPECT_EQ(reconnecting, (std::vector<std::string>{closed + "1000 repeated=0", closed + "2000 repeated=0",
                                                      closed + "4000 repeated=0"}));
}

}  // namespace
}  // namespace tyx
