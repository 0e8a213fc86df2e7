// Counts heap allocations, on every thread, while relay messages are built and released in a
// loop, while status lines are cut from reads and while Client::publish_object publishes to a
// relay: once the pool, the buffers and the outbox are warm, none of them allocates.
#include <gtest/gtest.h>

#include <atomic>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "rt/messages.hpp"
#include "support/allocation_counter.hpp"
#include "transport/line_reader.hpp"
#include "tyx/tyx.hpp"

namespace tyx::rt {
namespace {

using test::g_allocations;

TEST(MessageAllocations, SteadyStateBuildingAllocatesNothing) {
    const std::vector<std::string> names = {"qty", "px", "side", "venue", "lots", "flag"};
    const std::vector<FieldValue> values = {std::int32_t{5},     101.25,          'B',
                                            std::string("XNYS"), std::int64_t{3}, std::monostate{}};
    PublicationConfig config("1", false, "feedA", PublicationConfig::ENABLE_QUIET);
    auto build_all = [&] {
        std::size_t bytes = 0;
        bytes += make_object_message("Order", "o-17", names, values, 42, 1700000060000)->size();
        bytes += make_remove_message("o-17", "Order", 43)->size();
        bytes += make_login_message(config, 1)->size();
        bytes += make_raw_message("O|T=\"x\"\n")->size();
        return bytes;
    };
    build_all();  // warm-up: the pool creates its messages once

    const long before = g_allocations.load();
    std::size_t total = 0;
    for (int i = 0; i < 10000; ++i) total += build_all();
    const long after = g_allocations.load();
    EXPECT_GT(total, 0u);
    EXPECT_EQ(after - before, 0) << "allocations while building warm messages";
}

TEST(LineAllocations, SteadyStateStatusLinesAllocateNothing) {
    // Status lines as reads bring them: several in one read, one cut across two reads.
    const std::string_view reads[] = {"M|I=1|S=0|M=ok\nM|I=2|S=0|M=fine\nM|I=3|S=",
                                      "0|M=a longer status text\nM|I=4|S=1|M=no\n"};
    LineReader reader(std::size_t{1} << 20);
    std::vector<char> line;
    auto read_all = [&] {
        std::size_t lines = 0;
        for (std::string_view bytes : reads) {
            while (!bytes.empty()) {
                bytes.remove_prefix(reader.feed(bytes));
                while (const auto next = reader.next_line()) {
                    line.assign(next->begin(), next->end());
                    ++lines;
                }
            }
        }
        return lines;
    };
    read_all();  // warm-up: the buffers grow once

    const long before = g_allocations.load();
    std::size_t total = 0;
    for (int i = 0; i < 10000; ++i) total += read_all();
    EXPECT_EQ(total, 40000u);
    EXPECT_EQ(g_allocations.load() - before, 0) << "allocations while reading lines";
}

// Binds a loopback port at once but accepts (one connection, read into one buffer, counting
// bytes) only from start(): until then a client's connection attempts are refused.
class CountingSink {
public:
    CountingSink() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    void start() {
        ::listen(listener_, 1);
        reader_ = std::thread([this] {
            const int connection = ::accept(listener_, nullptr, nullptr);
            static char buffer[1 << 16];
            for (;;) {
                const ssize_t n = ::read(connection, buffer, sizeof buffer);
                if (n <= 0) break;
                bytes_.fetch_add(static_cast<std::uint64_t>(n));
            }
            ::close(connection);
        });
    }
    ~CountingSink() {
        if (reader_.joinable()) reader_.join();
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }
    // Spins (without allocating) until `n` bytes have arrived; false after 20 s.
    bool wait_for_bytes(std::uint64_t n) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (bytes_.load() < n)
            if (std::chrono::steady_clock::now() > deadline) return false;
        return true;
    }
    std::uint64_t bytes() const { return bytes_.load(); }

private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<std::uint64_t> bytes_{0};
    std::thread reader_;
};

TEST(PublishAllocations, SteadyStatePublishObjectAllocatesNothingOnAnyThread) {
    const std::vector<std::string> names = {"qty", "px", "side", "venue", "lots", "flag"};
    const std::vector<FieldValue> values = {std::int32_t{5},     101.25,          'B',
                                            std::string("XNYS"), std::int64_t{3}, std::monostate{}};
    CountingSink sink;
    {
        Client client;
        Cluster cluster("alpha", "127.0.0.1");
        cluster.publication_config = PublicationConfig(std::to_string(sink.port()), false, "feedA");
        client.add_cluster(cluster, false);
        const std::size_t size = client.serialize_object("Order", "o-17", names, values, 42).size();
        auto publish = [&](int n) {
            for (int i = 0; i < n; ++i) client.publish_object("alpha", "Order", "o-17", names, values, 42);
        };
        // Warm-up: while the relay still refuses connections the outbox keeps four rounds at
        // once, so it later holds more idle blocks than a round (plus a lagging one) can need.
        constexpr int kRound = 10000;
        publish(4 * kRound);
        sink.start();
        ASSERT_TRUE(sink.wait_for_bytes(4 * kRound * size));
        auto publish_round = [&] {
            const std::uint64_t target = sink.bytes() + kRound * size;
            publish(kRound);
            return sink.wait_for_bytes(target);
        };
        // A few connected rounds for the relay loop's job and coroutine memory, and as many as it
        // takes for the connection to leave the moments after its login (when the relay could
        // still refuse it, written messages are kept even once its host has acknowledged them).
        const auto acknowledged = [&] { return client.health().sessions.at(0).relay.acknowledged_messages; };
        for (int i = 0; i < 5 || acknowledged() == 0; ++i) {
            ASSERT_LT(i, 1000) << "the relay's host acknowledged nothing";
            ASSERT_TRUE(publish_round());
        }

        const long before = g_allocations.load();
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(publish_round());
        const long after = g_allocations.load();
        EXPECT_EQ(after - before, 0) << "allocations while publishing warm";
    }
}

}  // namespace
}  // namespace tyx::rt
