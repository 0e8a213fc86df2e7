// The relay session against the sandbox relay on loopback: login texts, ordered publication,
// status and command lines, reconnection without loss, stop.
#include <gtest/gtest.h>

#include <thread>

#include "relay_server.hpp"
#include "rt/messages.hpp"
#include "support/relay_harness.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using sandbox::RelayServer;
using test::RelayHarness;

std::shared_ptr<rt::Message> order(int i) {
    return rt::make_object_message("Order", "o-" + std::to_string(i), {"qty"}, {std::int32_t{i}}, 0, 0);
}

TEST(RelaySession, LoginTextForEachOptionCombination) {
    struct Case {
        std::int32_t options;
        const char* expected_prefix;  // the login line, or its start before a timestamp
        const char* expected_rest;
    } cases[] = {
        {0, "L|I=\"feedA\"", ""},
        {PublicationConfig::ENABLE_QUIET | PublicationConfig::UNIX_MODE, "L|I=\"feedA\"|O=\"QUIET,UNIX\"", ""},
        {7428, "L|I=\"feedA\"|O=\"QUIET,LOG,UNIX,WINDOWS,TTY\"", ""},
        {PublicationConfig::ENABLE_SEND_SEQNUM, "L#1|I=\"feedA\"", ""},
        {PublicationConfig::ENABLE_SEND_SEQNUM | PublicationConfig::ENABLE_SEND_TIMESTAMPS, "L#1@",
         "|I=\"feedA\""},
        {PublicationConfig::ENABLE_SEND_TIMESTAMPS | PublicationConfig::TTY, "L@", "|I=\"feedA\"|O=\"TTY\""},
    };
    for (const auto& c : cases) {
        RelayServer server;
        PublicationConfig config("0", false, "feedA", c.options);
        RelayHarness h(test::sandbox_endpoint(server), config);
        h.start();
        ASSERT_TRUE(h.log().wait_for("logged_in alpha-relay")) << c.options;
        ASSERT_TRUE(server.wait_for_logins(1));
        const std::string line = server.state().connections.begin()->second.lines.at(0);
        EXPECT_EQ(line.rfind(c.expected_prefix, 0), 0u) << line;
        if (*c.expected_rest) EXPECT_EQ(line.substr(line.find('|')), c.expected_rest) << line;
        else EXPECT_EQ(line, c.expected_prefix);
        // on_message_sent carries the login text without its line feed, before on_logged_in.
        const auto events = h.log().events();
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events[0], "connect alpha-relay");
        EXPECT_EQ(events[1], "sent alpha-relay " + line);
        EXPECT_EQ(events[2], "logged_in alpha-relay");
    }
}

TEST(RelaySession, TenThousandPublicationsArriveInOrderWithOneSentEventEach) {
    RelayServer server;
    RelayHarness h(test::sandbox_endpoint(server));
    h.start();
    ASSERT_TRUE(h.log().wait_for("logged_in"));
    constexpr int kCount = 10000;
    for (int i = 0; i < kCount; ++i) h.publish(order(i));
    ASSERT_TRUE(server.wait_for_publications(kCount, 20s));
    ASSERT_TRUE(h.log().wait_for("sent alpha-relay O", kCount, 20s));
    const auto state = server.state();
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(state.publications[i].id, "o-" + std::to_string(i)) << i;
    EXPECT_EQ(h.log().count_prefix("sent alpha-relay O|T=\"Order\""), static_cast<std::size_t>(kCount));
    EXPECT_EQ(h.log().count_prefix("sent alpha-relay O|T=\"Order\"|I=\"o-0\"|qty=0"), 1u);
    EXPECT_EQ(h.on_relay([](TyxClientRelay& r) { return r.kept_messages(); }), 0u);
}

TEST(RelaySession, StatusCommandAndUnknownLinesBecomeEvents) {
    RelayServer server;
    RelayHarness h(test::sandbox_endpoint(server));
    h.start();
    ASSERT_TRUE(server.wait_for_logins(1));
    ASSERT_TRUE(h.log().wait_for("received alpha-relay"));  // the sandbox answers the login
    const auto id = server.state().last_connection;
    server.send_line(id, "M#7@1700000000000|S=0|Q=41|M=\"ok\"\n");
    server.send_line(id, "M@1|S=3|M=\"a|b\"\n");
    server.send_line(id, "E|I=\"r1\"|C=\"Cancel\"|U=\"ann\"|T=\"Order\"|O=\"o-17\"|x=\"1\"|x=\"2\"|y=3\n");
    server.send_line(id, "Zsomething odd\n");
    server.send_line(id, "\n");  // too short to dispatch
    ASSERT_TRUE(h.log().wait_for("log alpha-relay"));
    const auto events = h.log().events();
    std::vector<std::string> tail(events.end() - 4, events.end());
    EXPECT_EQ(tail[0], "received alpha-relay 1700000000000 41 0 ok");
    EXPECT_EQ(tail[1], "received alpha-relay 1 0 3 a|b");
    EXPECT_EQ(tail[2], "command alpha-relay r1 Cancel ann Order o-17 x=1 y=3");
    EXPECT_EQ(tail[3], "log alpha-relay 2 Received message with unknown type: something odd");
}

TEST(RelaySession, WithoutListenersStatusAndCommandLinesAreNotDecoded) {
    RelayServer server;
    RelayHarness h(test::sandbox_endpoint(server), {}, /*with_listener=*/false);
    h.start();
    ASSERT_TRUE(server.wait_for_logins(1));
    const auto id = server.state().last_connection;
    // The login answer, a status line, a command line and a line of unknown type.
    server.send_line(id, "M@1|S=0|M=\"ignored\"\nE|I=\"r\"|C=\"c\"\nZx\n");
    auto received = [&] { return h.on_relay([](TyxClientRelay& r) { return r.lines_received(); }); };
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (received() < 4 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(received(), 4u);
    EXPECT_EQ(h.on_relay([](TyxClientRelay& r) { return r.lines_decoded(); }), 0u);

    auto late = std::make_shared<test::EventLog>();
    h.multiplex().listener_add(late);
    server.send_line(id, "M@2|S=0|M=\"heard\"\n");
    ASSERT_TRUE(late->wait_for("received"));
    EXPECT_EQ(late->events(), std::vector<std::string>{"received alpha-relay 2 0 0 heard"});
    EXPECT_EQ(h.on_relay([](TyxClientRelay& r) { return r.lines_decoded(); }), 1u);
}

TEST(RelaySession, ReconnectsAfterADropAndDeliversEverythingPublishedMeanwhile) {
    RelayServer server;
    PublicationConfig config("0", false, "feedA", PublicationConfig::ENABLE_SEND_SEQNUM);
    RelayHarness h(test::sandbox_endpoint(server), config);
    h.start();
    ASSERT_TRUE(h.log().wait_for("logged_in"));
    for (int i = 0; i < 100; ++i) h.publish(order(i));
    ASSERT_TRUE(server.wait_for_publications(100));

    server.stop_listening();
    server.drop_all_connections();
    ASSERT_TRUE(h.log().wait_for("disconnect alpha-relay"));
    for (int i = 100; i < 200; ++i) h.publish(order(i));  // while disconnected
    server.resume_listening();
    ASSERT_TRUE(h.log().wait_for("logged_in", 2, 15s));
    ASSERT_TRUE(server.wait_until(
        [](const sandbox::RelayState& s) {
            return !s.publications.empty() && s.publications.back().id == "o-199";
        },
        15s));

    const auto state = server.state();
    // The second connection starts with a new login (sequence 2), then every message published
    // while it was down, in order; duplicates of unconfirmed messages would be allowed, losses not.
    const auto& second = state.connections.at(state.last_connection);
    EXPECT_EQ(second.lines.at(0), "L#2|I=\"feedA\"");
    std::vector<bool> seen(200, false);
    for (const auto& p : state.publications) seen[std::stoi(p.id.substr(2))] = true;
    for (int i = 0; i < 200; ++i) EXPECT_TRUE(seen[i]) << "lost o-" << i;
    int last = -1;
    for (const auto& line : second.lines) {
        if (line.rfind("O|", 0) != 0) continue;
        const int i = std::stoi(line.substr(line.find("I=\"o-") + 5));
        EXPECT_GT(i, last) << "out of order on the new connection";
        last = i;
    }
    EXPECT_EQ(h.log().count_prefix("connect alpha-relay"), 2u);
}

TEST(RelaySession, PublicationsBeforeTheFirstLoginAreSentAfterIt) {
    RelayServer server;
    server.stop_listening();
    RelayHarness h(test::sandbox_endpoint(server));
    h.start();
    for (int i = 0; i < 5; ++i) h.publish(order(i));
    server.resume_listening();
    ASSERT_TRUE(server.wait_for_publications(5, 15s));
    const auto state = server.state();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(state.publications[i].id, "o-" + std::to_string(i));
}

TEST(RelaySession, DisabledAutoReconnectEndsTheLoopAfterOneDisconnect) {
    RelayServer server;
    PublicationConfig config("0", false, "feedA", PublicationConfig::DISABLE_AUTO_RECONNECT);
    RelayHarness h(test::sandbox_endpoint(server), config);
    h.start();
    ASSERT_TRUE(h.log().wait_for("logged_in"));
    ASSERT_TRUE(server.wait_for_logins(1));  // the server has read the login before it drops
    server.drop_all_connections();
    ASSERT_TRUE(h.log().wait_for("disconnect alpha-relay"));
    EXPECT_TRUE(h.loop_ended(5s));
    EXPECT_EQ(h.log().count_prefix("connect alpha-relay"), 1u);
    EXPECT_EQ(server.state().logins, 1u);
}

TEST(RelaySession, StopWritesTheLogoutAndRaisesNoDisconnect) {
    RelayServer server;
    PublicationConfig config("0", false, "feedA", PublicationConfig::ENABLE_SEND_SEQNUM);
    RelayHarness h(test::sandbox_endpoint(server), config);
    h.start();
    ASSERT_TRUE(h.log().wait_for("logged_in"));
    h.stop();
    ASSERT_TRUE(server.wait_until([](const sandbox::RelayState& s) {
        return !s.connections.empty() && s.connections.begin()->second.logged_out;
    }));
    EXPECT_EQ(server.state().connections.begin()->second.logout_seqnum, 2);
    ASSERT_TRUE(h.log().wait_for("sent alpha-relay X#2"));
    EXPECT_EQ(h.log().count_prefix("disconnect"), 0u);
    // Messages published after stop are dropped.
    h.publish(order(1));
    EXPECT_EQ(h.on_relay([](TyxClientRelay& r) { return r.kept_messages(); }), 0u);
}

}  // namespace
}  // namespace tyx
