// Publication through Client against the sandbox relay: what the outbox keeps while a relay is
// unreachable (bounded, with the full-buffer policies), nothing lost around add_cluster and
// remove_cluster, call order across message kinds, and the distribution function's contract.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "relay_server.hpp"
#include "support/event_lines.hpp"
#include "tyx/tyx.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using sandbox::RelayServer;

class LogRecorder : public ClientListener, public test::EventLines {
public:
    void on_log(Client&, std::string_view name, std::uint8_t level, std::string_view text) override {
        add("log " + std::string(name) + " " + std::to_string(level) + " " + std::string(text));
    }
};

Cluster relay_cluster(const RelayServer& server, std::size_t limit, PublicationConfig::FullBufferPolicy policy,
                      std::int64_t block_ms = 0) {
    Cluster cluster("alpha", "127.0.0.1");
    cluster.publication_config = PublicationConfig(std::to_string(server.port()), false, "feed");
    cluster.publication_config.max_buffered_bytes = limit;
    cluster.publication_config.full_buffer_policy = policy;
    cluster.publication_config.full_buffer_block_ms = block_ms;
    return cluster;
}

[[maybe_unused]] std::size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Every publication the server holds has the ids first, first + 1, ... in order.
bool ids_in_order(const RelayServer& server, std::size_t first, std::size_t count) {
    return server.inspect([&](const sandbox::RelayState& s) {
        if (s.publications.size() != count) return false;
        for (std::size_t i = 0; i < count; ++i)
            if (s.publications[i].id != std::to_string(first + i)) return false;
        return true;
    });
}

const std::vector<std::string> kPadName = {"pad"};

TEST(PublicationBuffer, KeepsAtMostItsLimitWhileTheRelayIsDownThenDeliversWhatItKeptInOrder) {
    constexpr std::size_t kLimit = std::size_t{64} << 20;
    constexpr std::size_t kCount = 5'000'000;
    RelayServer server;
    server.stop_listening();
    auto log = std::make_shared<LogRecorder>();
    Client client;
    client.listener_add(log);
    client.add_cluster(relay_cluster(server, kLimit, PublicationConfig::FullBufferPolicy::drop_newest), false);

    // Messages of one size (ids of seven digits), so the number that fits is known.
    const std::vector<FieldValue> pad = {std::string(600, 'x')};
    const std::size_t size = client.serialize_object("T", "1000000", kPadName, pad).size();
    for (std::size_t i = 0; i < kCount; ++i) client.publish_object("alpha", "T", std::to_string(1'000'000 + i), kPadName, pad);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Sanitizers keep shadow memory beside every byte the process touches.
    EXPECT_LT(resident_bytes(), 2 * kLimit);
#endif

    const std::size_t kept = kLimit / size;
    server.resume_listening();
    ASSERT_TRUE(log->wait_for("log alpha-relay 3 Publication buffer has room again", 1, 60s));
    ASSERT_TRUE(server.wait_for_publications(kept, 30s));
    EXPECT_TRUE(ids_in_order(server, 1'000'000, kept));
    EXPECT_EQ(log->with_prefix("log alpha-relay 3 Publication buffer full: alpha-relay shard 0 keeps at most " +
                               std::to_string(kLimit) + " bytes; dropping new messages after waiting up to 0 ms")
                  .size(),
              1u);
    EXPECT_EQ(log->with_prefix("log alpha-relay 3 Publication buffer has room again: alpha-relay shard 0 dropped " +
                               std::to_string(kCount - kept) + " messages")
                  .size(),
              1u);
    EXPECT_EQ(log->count_prefix("log"), 2u);
}

TEST(PublicationBuffer, DropOldestKeepsTheNewestAndABlockingPublisherWaitsForRoom) {
    const std::vector<FieldValue> pad = {std::string(100, 'x')};
    std::size_t size = 0;
    {
        Client probe;
        size = probe.serialize_object("T", "100", kPadName, pad).size();
    }
    {
        RelayServer server;
        server.stop_listening();
        auto log = std::make_shared<LogRecorder>();
        Client client;
        client.listener_add(log);
        client.add_cluster(relay_cluster(server, 10 * size, PublicationConfig::FullBufferPolicy::drop_oldest), false);
        for (int i = 100; i < 130; ++i) client.publish_object("alpha", "T", std::to_string(i), kPadName, pad);
        server.resume_listening();
        ASSERT_TRUE(server.wait_for_publications(10, 30s));
        ASSERT_TRUE(log->wait_for("log alpha-relay 3 Publication buffer has room again: alpha-relay shard 0 dropped 20 "
                                  "messages"));
        EXPECT_TRUE(ids_in_order(server, 120, 10));
        EXPECT_EQ(log->count_prefix("log alpha-relay 3 Publication buffer full: alpha-relay shard 0 keeps at most " +
                                    std::to_string(10 * size) + " bytes; dropping the oldest messages"),
                  1u);
    }
    {
        // A publisher that may wait long enough loses nothing: its call returns once the relay
        // has taken what was kept.
        RelayServer server;
        server.stop_listening();
        auto log = std::make_shared<LogRecorder>();
        Client client;
        client.listener_add(log);
        client.add_cluster(
            relay_cluster(server, 10 * size, PublicationConfig::FullBufferPolicy::drop_newest, 60'000), false);
        std::atomic<bool> done{false};
        std::thread publisher([&] {
            for (int i = 100; i < 111; ++i) client.publish_object("alpha", "T", std::to_string(i), kPadName, pad);
            done = true;
        });
        EXPECT_FALSE(done.load());
        server.resume_listening();
        ASSERT_TRUE(server.wait_for_publications(11, 30s));
        publisher.join();
        EXPECT_TRUE(ids_in_order(server, 100, 11));
        EXPECT_EQ(log->count_prefix("log"), 0u);
    }
}

TEST(Publication, NothingIsLostAroundANonWaitingAddAndRemoveAndEveryKindKeepsCallOrder) {
    RelayServer server;
    auto log = std::make_shared<LogRecorder>();
    Client client;
    client.listener_add(log);
    Cluster cluster("alpha", "127.0.0.1");
    cluster.publication_config = PublicationConfig(std::to_string(server.port()), false, "feed");
    // The first half is published while the relay session is still connecting, the second
    // half right before a non-waiting remove: all of it goes out before the logout.
    client.add_cluster(cluster, false);
    constexpr int kRounds = 500;
    for (int i = 0; i < kRounds; ++i) {
        if (i == kRounds / 2) {
            ASSERT_TRUE(server.wait_for_logins(1));
        }
        client.publish_object("alpha", "T", std::to_string(4 * i), {"v"}, {std::int32_t{i}});
        client.remove_object("alpha", std::to_string(4 * i + 1), "T");
        client.publish_raw("alpha", "O|T=\"T\"|I=\"" + std::to_string(4 * i + 2) + "\"\n");
        client.send_command_response("alpha", std::to_string(4 * i + 3), 0, "ok");
    }
    client.remove_cluster("alpha", false);
    client.publish_object("alpha", "T", "after-remove", {}, {});  // no cluster any more: dropped
    ASSERT_TRUE(server.wait_until([](const sandbox::RelayState& s) {
        return !s.connections.empty() && s.connections.begin()->second.logged_out;
    }));
    const auto lines = server.state().connections.begin()->second.lines;
    ASSERT_EQ(lines.size(), 2u + 4 * kRounds);
    EXPECT_EQ(lines.front(), "L|I=\"feed\"");
    EXPECT_EQ(lines.back(), "X");
    for (int i = 0; i < kRounds; ++i) {
        const auto n = [&](int k) { return std::to_string(4 * i + k); };
        ASSERT_EQ(lines[1 + 4 * i], "O|T=\"T\"|I=\"" + n(0) + "\"|v=" + std::to_string(i)) << i;
        ASSERT_EQ(lines[2 + 4 * i], "D|I=\"" + n(1) + "\"|T=\"T\"") << i;
        ASSERT_EQ(lines[3 + 4 * i], "O|T=\"T\"|I=\"" + n(2) + "\"") << i;
        ASSERT_EQ(lines[4 + 4 * i].rfind("R|I=\"" + n(3) + "\"", 0), 0u) << lines[4 + 4 * i];
    }
    EXPECT_EQ(log->count_prefix("log"), 0u);
}

TEST(Publication, TheDistributionFunctionIsNeverCalledConcurrentlyFromTwoPublishingThreads) {
    RelayServer first;
    RelayServer second;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    Cluster cluster("alpha", "127.0.0.1");
    cluster.publication_config = PublicationConfig(std::to_string(first.port()), false, "feed");
    cluster.publication_config.add_shard(std::to_string(second.port()), false);
    cluster.publication_config.set_distribution_function([&](std::string_view, std::string_view message) {
        if (inside.fetch_add(1) != 0) ++overlaps;
        const std::size_t shard = message.find("I=\"b") != std::string_view::npos ? 1 : 0;
        inside.fetch_sub(1);
        return std::vector<std::size_t>{shard};
    });
    Client client;
    client.add_cluster(cluster, true);
    constexpr int kEach = 20'000;
    auto publish = [&](const char* prefix) {
        for (int i = 0; i < kEach; ++i) client.publish_object("alpha", "T", prefix + std::to_string(i), {}, {});
    };
    std::thread a(publish, "a");
    std::thread b(publish, "b");
    a.join();
    b.join();
    ASSERT_TRUE(first.wait_for_publications(kEach, 30s));
    ASSERT_TRUE(second.wait_for_publications(kEach, 30s));
    EXPECT_EQ(overlaps.load(), 0);
    // Each thread's messages reach their relay in call order.
    EXPECT_TRUE(second.inspect([](const sandbox::RelayState& s) {
        for (int i = 0; i < kEach; ++i)
            if (s.publications[static_cast<std::size_t>(i)].id != "b" + std::to_string(i)) return false;
        return true;
    }));
}

}  // namespace
}  // namespace tyx
