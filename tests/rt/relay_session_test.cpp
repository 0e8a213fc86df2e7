// The relay session against the sandbox relay on loopback (login texts, ordered publication),
// and over scripted connections: status and command lines, reconnection without loss at any
// step, stop.
#include <gtest/gtest.h>

#include "relay_server.hpp"
#include "rt/messages.hpp"
#include "rt/relay_parse.hpp"
#include "support/relay_harness.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using sandbox::RelayServer;
using test::RelayScript;

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
        {PublicationConfig::ENABLE_QUIET | PublicationConfig::UNIX_MODE, "L|I=\"feedA\"|O=\"QUIET,UNIX\"",
         ""},
        {7428, "L|I=\"feedA\"|O=\"QUIET,LOG,UNIX,WINDOWS,TTY\"", ""},
        {PublicationConfig::ENABLE_SEND_SEQNUM, "L#1|I=\"feedA\"", ""},
        {PublicationConfig::ENABLE_SEND_SEQNUM | PublicationConfig::ENABLE_SEND_TIMESTAMPS, "L#1@",
         "|I=\"feedA\""},
        {PublicationConfig::ENABLE_SEND_TIMESTAMPS | PublicationConfig::TTY, "L@", "|I=\"feedA\"|O=\"TTY\""},
    };
    for (const auto& c : cases) {
        RelayServer server;
        PublicationConfig config("0", false, "feedA", c.options);
        RelayScript h(config, test::sandbox_endpoint(server));
        h.start();
        ASSERT_TRUE(h.run([&] { return h.client->logged_in(); })) << c.options;
        ASSERT_TRUE(server.wait_for_logins(1));
        const std::string line = server.state().connections.begin()->second.lines.at(0);
        EXPECT_EQ(line.rfind(c.expected_prefix, 0), 0u) << line;
        if (*c.expected_rest)
            EXPECT_EQ(line.substr(line.find('|')), c.expected_rest) << line;
        else
            EXPECT_EQ(line, c.expected_prefix);
        // on_message_sent carries the login text without its line feed, before on_logged_in.
        const auto events = h.events();
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events[0], "connect alpha-relay");
        EXPECT_EQ(events[1], "sent alpha-relay " + line);
        EXPECT_EQ(events[2], "logged_in alpha-relay");
    }
}

TEST(RelaySession, TenThousandPublicationsArriveInOrderWithOneSentEventEach) {
    RelayServer server;
    RelayScript h({}, test::sandbox_endpoint(server));
    h.start();
    constexpr int kCount = 10000;
    for (int i = 0; i < kCount; ++i) h.client->send_async(order(i));
    ASSERT_TRUE(h.all_written());
    ASSERT_TRUE(server.wait_for_publications(kCount, 20s));
    const auto state = server.state();
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(state.publications[i].id, "o-" + std::to_string(i)) << i;
    EXPECT_EQ(h.heard().count_prefix("sent alpha-relay O|T=\"Order\""), static_cast<std::size_t>(kCount));
    EXPECT_EQ(h.heard().count_prefix("sent alpha-relay O|T=\"Order\"|I=\"o-0\"|qty=0"), 1u);
}

TEST(RelaySession, PublicationsBeforeTheFirstLoginAreSentAfterIt) {
    RelayServer server;
    server.stop_listening();
    RelayScript h({}, test::sandbox_endpoint(server));
    h.start();
    for (int i = 0; i < 5; ++i) h.client->send_async(order(i));
    server.resume_listening();
    ASSERT_TRUE(h.all_written());
    ASSERT_TRUE(server.wait_for_publications(5, 15s));
    const auto state = server.state();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(state.publications[i].id, "o-" + std::to_string(i));
}

// ---- Over scripted connections ------------------------------------------------------------------

using test::Conversation;
using test::run_until;
using test::ScriptedNetwork;

ByteVector line(std::string_view text) {
    return ByteVector(text.begin(), text.end());
}

std::vector<std::string> ids_from(int first, int last) {
    std::vector<std::string> out;
    for (int i = first; i <= last; ++i) out.push_back("o-" + std::to_string(i));
    return out;
}

TEST(ScriptedRelay, StatusCommandAndUnknownLinesBecomeEvents) {
    RelayScript s;
    s.network.then(
        {.reads = {
             line("M#7@1700000000000|S=0|Q=41|M=\"ok\"\nM@1|S=3|M=\"a"),
             line("|b\"\nE|I=\"r1\"|C=\"Cancel\"|U=\"ann\"|T=\"Order\"|O=\"o-17\"|x=\"1\"|x=\"2\"|y=3\n"),
             line("Zsomething odd\n\n")}});
    s.start();
    ASSERT_TRUE(s.run([&] { return s.client->lines_received() == 4; }));
    const auto events = s.events();
    EXPECT_EQ(std::vector<std::string>(events.end() - 4, events.end()),
              (std::vector<std::string>{
                  "received alpha-relay 1700000000000 41 0 ok", "received alpha-relay 1 0 3 a|b",
                  "command alpha-relay r1 Cancel ann Order o-17 x=1 y=3",
                  "log alpha-relay 2 Received message with unknown type: \"Zsomething odd\""}));
}

TEST(ScriptedRelay, WithoutListenersStatusAndCommandLinesAreNotDecoded) {
    RelayScript s({}, {}, /*listening=*/false);
    s.network.then({.reads = {line("M@1|S=0|M=\"ignored\"\nE|I=\"r\"|C=\"c\"\nZx\n")}});
    s.start();
    ASSERT_TRUE(s.run([&] { return s.client->lines_received() == 3; }));
    EXPECT_EQ(s.client->lines_decoded(), 0u);

    s.recorder.set_listening(true);
    s.network.socket(0).feed(line("M@2|S=0|M=\"heard\"\n"));
    ASSERT_TRUE(s.run([&] { return s.client->lines_received() == 4; }));
    EXPECT_EQ(s.events(), std::vector<std::string>{"received alpha-relay 2 0 0 heard"});
    EXPECT_EQ(s.client->lines_decoded(), 1u);
}

// Whichever step fails (the connect, the login, a write of the publications), the relay logs in
// again on a fresh connection and writes there everything not written before, in order.
TEST(ScriptedRelay, AFailureAtAnyStepLosesNothingPublished) {
    test::fail_each_step([](std::optional<std::size_t> fail_at) -> std::size_t {
        RelayScript s;
        s.network.then({}).then({});
        s.network.fail_at(fail_at);
        s.start();
        EXPECT_TRUE(s.run([&] { return s.client->logged_in(); }));
        for (int i = 0; i < 3; ++i) s.client->send_async(order(i));
        EXPECT_TRUE(s.run([&] {
            const std::size_t last = s.network.made() - 1;
            return s.client->logged_in() && s.client->kept_messages() == 0 && s.ids(last).size() >= 3 &&
                   s.ids(last).back() == "o-2";
        }));
        const std::size_t steps = s.network.steps();
        const std::size_t last = s.network.made() - 1;
        EXPECT_EQ(s.network.made(), fail_at ? 2u : 1u);
        // A login that was written counts, even on a connection that failed right after.
        const int logins = fail_at && *fail_at > 0 ? 2 : 1;
        EXPECT_EQ(s.lines(last).at(0), "L#" + std::to_string(logins) + "|I=\"feedA\"");
        // What the failed connection confirmed is not written again; nothing is written twice there.
        std::vector<std::string> all = fail_at ? s.ids(0) : std::vector<std::string>{};
        const auto again = s.ids(last);
        all.insert(all.end(), again.begin(), again.end());
        EXPECT_EQ(all, ids_from(0, 2));
        // The three go out in one write: when that write failed (after the login was written)
        // the three are written again, and counted as re-sent; otherwise nothing is.
        const RelayCounters c = s.client->monitor()->snapshot().relay;
        EXPECT_EQ(c.published_messages, 3u);
        EXPECT_EQ(c.written_messages, 3u);
        EXPECT_EQ(c.kept_messages, 0u);
        EXPECT_EQ(c.resent_messages, fail_at && !s.lines(0).empty() && s.ids(0).empty() ? 3u : 0u);
        return steps;
    });
}

// A reconnection whose login cannot be written is a lost connection like any other: the relay
// tries again, whichever of the steps after the first loss fails.
TEST(ScriptedRelay, AReconnectionWhoseLoginFailsTriesAgain) {
    for (std::size_t extra = 0; extra < 4; ++extra) {
        SCOPED_TRACE("step " + std::to_string(extra) + " after the loss fails");
        RelayScript s;
        s.network.then({}).then({}).then({});
        s.start();
        ASSERT_TRUE(s.run([&] { return s.client->logged_in(); }));
        s.network.fail_at(s.network.steps() + extra);
        s.network.socket(0).close_by_peer();
        EXPECT_TRUE(s.run([&] {
            return s.client->logged_in() && s.network.made() >= 2 && !s.lines(s.network.made() - 1).empty();
        }));
    }
}

// Without listeners a publisher writes straight to the idle connection. Whether that write
// fails, takes part of the message or all of it, the message reaches the relay whole and once:
// on that connection or, after a failure, on the next.
TEST(ScriptedRelay, ADirectWriteThatFailsOrStopsShortLosesNothing) {
    const std::vector<std::string> none, one = {"o-0"};
    // Steps: the connect (0), the login (1), the direct write (2), the writer's write of the rest (3).
    struct Case {
        const char* name;
        std::size_t direct_limit;
        std::optional<std::size_t> fail_at;
        std::vector<std::vector<std::string>> ids;  // of each connection
    } cases[] = {
        {"whole", std::string_view::npos, std::nullopt, {one}},
        {"failed", std::string_view::npos, 2, {none, one}},
        {"part, then the rest", 5, std::nullopt, {one}},
        {"part, then the rest fails", 5, 3, {none, one}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RelayScript s({}, {}, /*listening=*/false);
        s.network.then({}).then({});
        s.network.limit_write_now(c.direct_limit);
        s.network.fail_at(c.fail_at);
        s.start();
        ASSERT_TRUE(s.run([&] { return s.client->logged_in(); }));
        // Until the loop is idle: the writer has taken its first turn and lets publishers write.
        s.io.restart();
        while (s.io.poll() > 0) {
        }
        s.client->send_async(order(0));
        EXPECT_EQ(s.network.steps(), 3u);  // written directly, or tried
        const std::size_t last = c.ids.size() - 1;
        ASSERT_TRUE(s.run([&] {
            return s.network.made() == c.ids.size() && s.client->logged_in() &&
                   s.client->kept_messages() == 0 && !s.ids(last).empty();
        }));
        for (std::size_t i = 0; i < c.ids.size(); ++i) EXPECT_EQ(s.ids(i), c.ids[i]) << "connection " << i;
        // A message cut short on the lost connection goes out whole on the next one.
        EXPECT_EQ(s.lines(last).back(), std::string(rt::without_line_feed(order(0)->view())));
        const RelayCounters counters = s.client->monitor()->snapshot().relay;
        EXPECT_EQ(counters.written_messages, 1u);
        EXPECT_EQ(counters.kept_messages, 0u);
    }
}

TEST(ScriptedRelay, ReconnectsAfterADropAndDeliversEverythingPublishedMeanwhile) {
    RelayScript s;
    s.network.then({}).then({});
    s.start();
    ASSERT_TRUE(s.run([&] { return s.client->logged_in(); }));
    for (int i = 0; i < 100; ++i) s.client->send_async(order(i));
    ASSERT_TRUE(s.run([&] { return s.ids(0).size() == 100; }));
    s.network.socket(0).close_by_peer();
    ASSERT_TRUE(s.run([&] { return !s.client->logged_in(); }));
    for (int i = 100; i < 200; ++i) s.client->send_async(order(i));  // while disconnected
    ASSERT_TRUE(s.run([&] { return s.network.made() == 2 && s.ids(1).size() == 100; }));
    EXPECT_EQ(s.lines(1).at(0), "L#2|I=\"feedA\"");
    EXPECT_EQ(s.ids(1), ids_from(100, 199));
    EXPECT_EQ(s.events("connect").size(), 2u);
    EXPECT_EQ(s.events("disconnect").size(), 1u);
}

TEST(ScriptedRelay, DisabledAutoReconnectEndsTheLoopAfterOneDisconnect) {
    RelayScript s({"0", false, "feedA", PublicationConfig::DISABLE_AUTO_RECONNECT});
    s.network.then({.peer_closes = true}).then({});
    s.start();
    ASSERT_TRUE(s.run([&] { return s.loop_ended; }));
    EXPECT_EQ(s.network.made(), 1u);
    EXPECT_EQ(s.events("connect").size(), 1u);
    EXPECT_EQ(s.events("disconnect").size(), 1u);
}

TEST(ScriptedRelay, StopWritesEverythingThenTheLogoutAndRaisesNoDisconnect) {
    RelayScript s;
    s.network.then({});
    s.start();
    ASSERT_TRUE(s.run([&] { return s.client->logged_in(); }));
    for (int i = 0; i < 3; ++i) s.client->send_async(order(i));
    s.stop();
    const auto lines = s.lines(0);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines.back(), "X#2");
    EXPECT_EQ(s.ids(0), ids_from(0, 2));
    EXPECT_EQ(s.events("sent alpha-relay X#2").size(), 1u);
    EXPECT_TRUE(s.events("disconnect").empty());
    // Messages published after stop are dropped.
    s.client->send_async(order(9));
    EXPECT_EQ(s.client->kept_messages(), 0u);
}

// A stop that comes while the login is still being written waits for it: the writer the login
// starts sends what was published before the logout.
TEST(ScriptedRelay, AStopDuringTheLoginWritesEverythingPublishedBeforeTheLogout) {
    RelayScript s;
    s.network.then({.writes_held = true});
    s.start();
    ASSERT_TRUE(s.run([&] { return s.network.made() == 1; }));
    for (int i = 0; i < 3; ++i) s.client->send_async(order(i));
    bool stopped = false;
    asio::co_spawn(
        s.io, [c = s.client.get()]() -> asio::awaitable<void> { co_await c->stop(); },
        [&stopped](std::exception_ptr) { stopped = true; });
    s.stopped = true;
    // The stop begins while the written login is yet to complete, without session time passing.
    s.io.restart();
    while (s.io.poll() > 0) {
    }
    ASSERT_FALSE(stopped);
    s.network.socket(0).release_writes();
    ASSERT_TRUE(s.run([&] { return stopped && s.loop_ended; }));
    const auto lines = s.lines(0);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines.front(), "L#1|I=\"feedA\"");
    EXPECT_EQ(s.ids(0), ids_from(0, 2));
    EXPECT_EQ(lines.back(), "X#2");
    EXPECT_EQ(s.client->monitor()->snapshot().relay.discarded_messages, 0u);
}

}  // namespace
}  // namespace tyx
