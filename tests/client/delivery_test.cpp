// Delivery of publications to a relay's host: flush waits for its TCP acknowledgements, every
// message's fate is counted, and what a stop gives up is counted and logged with the reason.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "relay_server.hpp"
#include "tyx/tyx.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Cluster relay_cluster(std::uint16_t port, std::int64_t stop_flush_ms = 10000) {
    Cluster c("d", "127.0.0.1");
    c.publication_config = PublicationConfig(std::to_string(port), false, "delivery");
    c.publication_config.stop_flush_ms = stop_flush_ms;
    return c;
}

RelayCounters relay_counters(Client& client) {
    for (const auto& s : client.health().sessions)
        if (s.kind == SessionKind::relay) return s.relay;
    return {};
}

void expect_every_fate_counted(const RelayCounters& c) {
    EXPECT_EQ(c.published_messages, c.acknowledged_messages + c.kept_messages + c.dropped_messages +
                                        c.replaced_versions + c.discarded_messages);
}

// Level-3 logs only; listening also turns off the publishers' direct writes.
struct LogRecorder : ClientListener {
    void on_log(Client&, std::string_view, std::uint8_t level, std::string_view message) override {
        std::lock_guard lock(mutex);
        if (level == 3) logs.emplace_back(message);
    }
    std::vector<std::string> taken() {
        std::lock_guard lock(mutex);
        return logs;
    }
    std::mutex mutex;
    std::vector<std::string> logs;
};

void publish_numbered(Client& client, int count, const std::string& pad = {}) {
    for (int i = 0; i < count; ++i)
        client.publish_object("d", "T", std::to_string(i), {"v", "pad"},
                              {FieldValue(std::int64_t{i}), FieldValue(pad)});
}

TEST(Delivery, FlushReturnsOnceTheRelaysHostHasEveryMessage) {
    constexpr int kMessages = 20000;
    for (const bool listening : {false, true}) {
        SCOPED_TRACE(listening ? "with a listener" : "without listeners");
        sandbox::RelayServerOptions options;
        options.object_ids_only = true;
        sandbox::RelayServer relay(options);
        Client client;
        if (listening) client.listener_add(std::make_shared<LogRecorder>());
        client.add_cluster(relay_cluster(relay.port()), true);
        publish_numbered(client, kMessages);
        EXPECT_EQ(client.flush(5s), 0u);
        const auto c = relay_counters(client);
        EXPECT_EQ(c.acknowledged_messages, std::uint64_t{kMessages});
        EXPECT_EQ(c.kept_messages, 0u);
        expect_every_fate_counted(c);
        EXPECT_TRUE(relay.wait_for_objects(kMessages, 5s));
    }
}

TEST(Delivery, ARelayThatStopsReadingHoldsFlushAndStopToTheirDeadlinesWithExactCounts) {
    sandbox::RelayServerOptions options;
    options.counting_only = true;
    options.receive_buffer_bytes = 64 << 10;
    sandbox::RelayServer relay(options);
    auto logs = std::make_shared<LogRecorder>();
    constexpr int kMessages = 100000;  // about 25 MB: more than both sides' socket buffers hold
    std::size_t left = 0;
    Clock::time_point stop_started;
    {
        Client client;
        client.listener_add(logs);
        client.add_cluster(relay_cluster(relay.port(), 300), true);
        relay.faults().stall_reading(1h);
        publish_numbered(client, kMessages, std::string(200, 'x'));
        const auto start = Clock::now();
        left = client.flush(500ms);
        const auto took = Clock::now() - start;
        EXPECT_GE(took, 500ms);
        EXPECT_LT(took, 1500ms);
        const auto c = relay_counters(client);
        EXPECT_GT(left, 0u);
        EXPECT_EQ(left, c.kept_messages);
        EXPECT_EQ(left + c.acknowledged_messages, std::uint64_t{kMessages});
        expect_every_fate_counted(c);
        stop_started = Clock::now();
    }
    EXPECT_LT(Clock::now() - stop_started, 1300ms);
    // The stop's last writes may still have been taken in; nothing else.
    const auto found = logs->taken();
    ASSERT_EQ(found.size(), 1u);
    const std::string tail =
        " unacknowledged messages for relay d-relay shard 0 (127.0.0.1:" + std::to_string(relay.port()) +
        "): its host had not acknowledged them within 300 ms of the stop";
    ASSERT_TRUE(found[0].starts_with("Discarded ") && found[0].ends_with(tail)) << found[0];
    const auto discarded = std::stoull(found[0].substr(10));
    EXPECT_GT(discarded, 0u);
    EXPECT_LE(discarded, left);
}

TEST(Delivery, AStopWithTheRelayDownLogsWhatItDiscards) {
    std::uint16_t port = 0;
    {
        sandbox::RelayServer gone;
        port = gone.port();
    }
    auto logs = std::make_shared<LogRecorder>();
    const auto start = Clock::now();
    std::size_t left = 0;
    {
        Client client;
        client.listener_add(logs);
        client.add_cluster(relay_cluster(port), true);
        publish_numbered(client, 1000);
        left = client.flush(100ms);
        const auto c = relay_counters(client);
        EXPECT_EQ(c.kept_messages, 1000u);
        expect_every_fate_counted(c);
    }
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(left, 1000u);
    const auto found = logs->taken();
    const std::string expected =
        "Discarded 1000 unacknowledged messages for relay d-relay shard 0 (127.0.0.1:" +
        std::to_string(port) + "): it was not connected when the session stopped";
    EXPECT_NE(std::find(found.begin(), found.end(), expected), found.end())
        << ::testing::PrintToString(found);
}

}  // namespace
}  // namespace tyx
