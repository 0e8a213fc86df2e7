// Publication through Client against the sandbox relay: what the outbox keeps while a relay is
// unreachable (bounded, with the full-buffer policies), nothing lost around add_cluster and
// remove_cluster, call order across message kinds, the distribution function's contract, and
// latest-value conflation of what waits.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <numeric>
#include <random>
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

class SentRecorder : public ClientListener, public test::EventLines {
public:
    void on_message_sent(Client&, std::string_view, std::string_view message) override {
        add(std::string(message));
    }
};
class SentRecorderSubclass : public SentRecorder {};

TEST(Publication, OnlyListenersOverridingOnMessageSentHaveWrittenMessagesReportedAndHearEachOnce) {
    EXPECT_FALSE(LogRecorder().hears_message_sent());
    EXPECT_FALSE(ClientListener().hears_message_sent());
    EXPECT_TRUE(SentRecorder().hears_message_sent());
    EXPECT_TRUE(SentRecorderSubclass().hears_message_sent());
    EXPECT_FALSE(SentRecorder().hears_message_received());
    struct Receiving : ClientListener {
        void on_message_received(Client&, std::string_view, std::int64_t, std::int64_t, std::int32_t,
                                 std::string_view) override {}
    };
    EXPECT_TRUE(Receiving().hears_message_received());
    EXPECT_FALSE(Receiving().hears_message_sent());

    RelayServer server;
    auto log = std::make_shared<LogRecorder>();
    Client client;
    client.listener_add(log);  // hears no written message: publishers may write directly
    Cluster cluster("alpha", "127.0.0.1");
    cluster.publication_config = PublicationConfig(std::to_string(server.port()), false, "feed");
    client.add_cluster(cluster, true);
    auto publish = [&](int from, int to) {
        for (int i = from; i < to; ++i) client.publish_object("alpha", "T", std::to_string(i), {"v"}, {std::int32_t{i}});
        ASSERT_EQ(client.flush(10s), 0u);
    };
    publish(0, 1000);
    // From its addition on, a listener that hears them gets every written message once, as written.
    auto sent = std::make_shared<SentRecorderSubclass>();
    client.listener_add(sent);
    publish(1000, 2000);
    ASSERT_TRUE(sent->wait_for("O|", 1000));
    const auto heard = sent->events();
    ASSERT_EQ(heard.size(), 1000u);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(heard[static_cast<std::size_t>(i)], "O|T=\"T\"|I=\"" + std::to_string(1000 + i) + "\"|v=" + std::to_string(1000 + i));
    EXPECT_TRUE(server.wait_for_lines(2001));
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

// The lines a relay read on its first connection, the login and logout left out.
std::vector<std::string> published_lines(const RelayServer& server) {
    return server.inspect([](const sandbox::RelayState& s) {
        std::vector<std::string> out;
        if (s.connections.empty()) return out;
        for (const auto& line : s.connections.begin()->second.lines)
            if (line.rfind("L|", 0) != 0 && line != "X") out.push_back(line);
        return out;
    });
}

const RelayCounters& relay_counters(const Health& health) {
    for (const auto& s : health.sessions)
        if (s.kind == SessionKind::relay) return s.relay;
    throw std::logic_error("no relay session");
}

TEST(Conflation, AThousandVersionsOfAThousandObjectsArriveOnceEachWithTheLastValuesInFirstPublicationOrder) {
    for (const bool conflate : {true, false}) {
        SCOPED_TRACE(conflate ? "conflating" : "keeping every version");
        // Without conflation the same feed is kept whole: fewer of it, for time.
        const int objects = conflate ? 1000 : 100;
        const int versions = conflate ? 1000 : 10;
        RelayServer server;
        server.stop_listening();
        auto log = std::make_shared<LogRecorder>();
        Client client;
        client.listener_add(log);
        // Room for twice the distinct objects and for far fewer than all their versions: with
        // conflation the limit is never reached.
        Cluster cluster = relay_cluster(server, conflate ? 64u << 10 : 0, PublicationConfig::FullBufferPolicy::drop_newest);
        cluster.publication_config.conflate_objects = conflate;
        client.add_cluster(cluster, false);

        std::vector<int> first_order(static_cast<std::size_t>(objects));
        std::iota(first_order.begin(), first_order.end(), 0);
        std::shuffle(first_order.begin(), first_order.end(), std::mt19937(7));
        std::vector<std::string> expected;
        for (int v = 0; v < versions; ++v) {
            // Later versions come in reverse order: no object overtakes one published before it.
            for (int k = 0; k < objects; ++k) {
                const int object = first_order[static_cast<std::size_t>(v == 0 ? k : objects - 1 - k)];
                const std::string id = std::to_string(object);
                const std::vector<FieldValue> values = {std::int64_t{v}, std::string(v % 3 == 0 ? "longer" : "s")};
                client.publish_object("alpha", "T", id, {"v", "pad"}, values);
                if (!conflate) expected.push_back(client.serialize_object("T", id, {"v", "pad"}, values));
            }
        }
        if (conflate) {
            for (const int object : first_order) {
                const std::vector<FieldValue> last = {std::int64_t{versions - 1},
                                                      std::string((versions - 1) % 3 == 0 ? "longer" : "s")};
                expected.push_back(client.serialize_object("T", std::to_string(object), {"v", "pad"}, last));
            }
            const RelayCounters waiting = relay_counters(client.health());
            EXPECT_EQ(waiting.waiting_objects, std::uint64_t(objects));
            EXPECT_EQ(waiting.kept_messages, std::uint64_t(objects));
            EXPECT_EQ(waiting.replaced_versions, std::uint64_t(objects) * (versions - 1));
            EXPECT_EQ(waiting.kept_bytes, [&] {
                std::size_t n = 0;
                for (const auto& line : expected) n += line.size();
                return n;
            }());
        }
        for (auto& line : expected) line.pop_back();  // the line feed

        server.resume_listening();
        ASSERT_TRUE(server.wait_for_publications(expected.size(), 30s));
        client.remove_cluster("alpha", true);
        EXPECT_EQ(published_lines(server), expected);
        EXPECT_EQ(log->count_prefix("log"), 0u);
    }
}

// A conflating cluster on a relay that does not listen yet: what is published waits.
struct ConflatingOutage {
    RelayServer server;
    std::shared_ptr<LogRecorder> log = std::make_shared<LogRecorder>();
    Client client;

    explicit ConflatingOutage(std::size_t limit = 0,
                              PublicationConfig::FullBufferPolicy policy = PublicationConfig::FullBufferPolicy::drop_newest) {
        server.stop_listening();
        client.listener_add(log);
        Cluster cluster = relay_cluster(server, limit, policy);
        cluster.publication_config.conflate_objects = true;
        client.add_cluster(cluster, false);
    }
};

TEST(Conflation, ARemovalTakesTheWaitingVersionsPlaceAndNothingCrossesARawMessage) {
    ConflatingOutage outage;
    auto& [server, log, client] = outage;
    const auto version = [&](const char* id, int v) { client.publish_object("alpha", "T", id, {"v"}, {v}); };
    version("a", 1);
    version("b", 1);
    version("a", 2);
    client.remove_object("alpha", "a", "T");  // in a's place; no older version of a follows it
    version("a", 3);                          // behind the removal, which the relay must see
    client.publish_raw("alpha", "O|T=\"R\"|I=\"raw\"\n");
    version("b", 2);  // b 1 waits before the raw message: this one waits behind it
    version("a", 4);
    version("b", 3);
    client.publish_object("alpha", "T", "", {"v"}, {1});  // no id: never replaced, never crossed
    version("b", 4);
    client.remove_object("alpha", "c", "T");
    client.remove_object("alpha", "c", "T");

    server.resume_listening();
    ASSERT_TRUE(server.wait_for_publications(9, 30s));
    EXPECT_EQ(relay_counters(client.health()).replaced_versions, 4u);
    client.remove_cluster("alpha", true);
    const std::vector<std::string> expected = {
        "D|I=\"a\"|T=\"T\"", "O|T=\"T\"|I=\"b\"|v=1", "O|T=\"T\"|I=\"a\"|v=3", "O|T=\"R\"|I=\"raw\"",
        "O|T=\"T\"|I=\"b\"|v=3", "O|T=\"T\"|I=\"a\"|v=4", "O|T=\"T\"|v=1",     "O|T=\"T\"|I=\"b\"|v=4",
        "D|I=\"c\"|T=\"T\""};
    EXPECT_EQ(published_lines(server), expected);
    EXPECT_EQ(log->count_prefix("log"), 0u);
}

TEST(Conflation, DropOldestDropsWaitingObjectsAndAVersionOfADroppedObjectWaitsAnew) {
    const std::size_t size = Client().serialize_object("T", "a", {"v"}, {1}).size();
    ConflatingOutage outage(3 * size, PublicationConfig::FullBufferPolicy::drop_oldest);
    auto& [server, log, client] = outage;
    for (const char* id : {"a", "b", "c", "d"}) client.publish_object("alpha", "T", id, {"v"}, {1});  // a dropped
    client.publish_object("alpha", "T", "a", {"v"}, {2});  // b dropped
    client.publish_object("alpha", "T", "c", {"v"}, {2});  // replaces c 1, drops nothing
    server.resume_listening();
    ASSERT_TRUE(server.wait_for_publications(3, 30s));
    ASSERT_TRUE(log->wait_for("log alpha-relay 3 Publication buffer has room again: alpha-relay shard 0 dropped 2 messages"));
    client.remove_cluster("alpha", true);
    const std::vector<std::string> expected = {"O|T=\"T\"|I=\"c\"|v=2", "O|T=\"T\"|I=\"d\"|v=1",
                                               "O|T=\"T\"|I=\"a\"|v=2"};
    EXPECT_EQ(published_lines(server), expected);
}

TEST(Conflation, WhileTheRelayReadsEachObjectsVersionsArriveInOrderEndingWithItsLast) {
    RelayServer server;
    Client client;
    Cluster cluster = relay_cluster(server, 0, PublicationConfig::FullBufferPolicy::drop_newest);
    cluster.publication_config.conflate_objects = true;
    client.add_cluster(cluster, true);
    constexpr int kObjects = 500;
    constexpr int kVersions = 400;
    // Two threads on objects of their own, racing the writer that takes what waits.
    auto feed = [&](const std::string& prefix) {
        for (int v = 0; v < kVersions; ++v)
            for (int k = 0; k < kObjects; ++k)
                client.publish_object("alpha", "T", prefix + std::to_string(k), {"v"}, {v});
    };
    std::thread a(feed, "a");
    std::thread b(feed, "b");
    a.join();
    b.join();
    client.publish_raw("alpha", "O|T=\"End\"|I=\"end\"\n");
    ASSERT_TRUE(server.wait_until([](const sandbox::RelayState& s) {
        return !s.publications.empty() && s.publications.back().id == "end";
    }, 30s));
    const RelayCounters counters = relay_counters(client.health());
    server.inspect([&](const sandbox::RelayState& s) {
        std::map<std::string, std::int64_t> last;
        for (const auto& p : s.publications) {
            if (p.id == "end") continue;
            const std::int64_t v = p.field("v")->value.integer;
            auto [it, first] = last.emplace(p.id, v);
            if (!first) {
                EXPECT_GT(v, it->second) << p.id;
            }
            it->second = v;
        }
        EXPECT_EQ(last.size(), std::size_t{2 * kObjects});
        for (const auto& [id, v] : last) EXPECT_EQ(v, kVersions - 1) << id;
        EXPECT_EQ(s.publications.size() - 1 + counters.replaced_versions, std::size_t{2 * kObjects * kVersions});
        return 0;
    });
}

}  // namespace
}  // namespace tyx
