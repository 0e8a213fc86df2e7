// Counts heap allocations, on every thread, while a center streams changes to a Client with two
// listeners: once the batches and the listeners' records are warm, a row travels from its frame
// to on_update without allocating.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>

#include "support/allocation_counter.hpp"
#include "support/center_harness.hpp"
#include "tyx/tyx.hpp"

namespace tyx {
namespace {

using test::CenterBytes;
using test::g_allocations;

struct CountingListener : ClientListener {
    std::atomic<long> updates{0};
    void on_update(Client&, std::string_view, const CenterIncrementalUpdate&) override {
        updates.fetch_add(1, std::memory_order_relaxed);
    }
};

// Quotes rows with qty (int), px (double), sym (pooled), note (a text longer than a short
// string keeps inline) and ts (long).
CenterBytes quote_rows(int first, int count) {
    CenterBytes entities;
    for (int i = first; i < first + count; ++i) {
        CenterBytes p;
        p.i64_be(i).u8(0x60).utf("quote-" + std::to_string(i % 100)).i16_be(5);
        p.i16_be(2).u8(13).i32_be(i);
        p.i16_be(3).u8(6).f64_be(100.25 + i);
        p.i16_be(4).u8(22).u8(static_cast<std::uint8_t>(i % 2));
        p.i16_be(5).u8(9).u8(24).raw("a note long enough to " + std::to_string(10 + i % 90));
        p.i16_be(6).u8(31).i64_be(1700000000000LL + i);
        entities.entity(1, p);
    }
    return entities;
}

bool wait_for(const std::atomic<long>& counter, long target) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (counter.load() < target)
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

TEST(SubscriptionAllocations, SteadyStateUpdatesAllocateNothingOnAnyThread) {
    test::FakeCenter server;
    auto first = std::make_shared<CountingListener>();
    auto second = std::make_shared<CountingListener>();
    {
        Client client;
        client.listener_add(first);
        client.listener_add(second);
        Cluster cluster("alpha", "127.0.0.1");
        cluster.subscription_config = SubscriptionConfig(std::to_string(server.port()), false);
        client.add_cluster(cluster, false);
        ASSERT_TRUE(server.wait_handshakes(2));
        client.subscribe("alpha", std::vector<std::string>{"Quotes"}, false);
        ASSERT_TRUE(server.wait_requests(1));
        CenterBytes pool;
        const char* keys[] = {"Quotes", "qty", "px", "sym", "note", "ts"};
        for (int k = 0; k < 6; ++k) pool.raw(test::pool_key(static_cast<std::int16_t>(k + 1), keys[k]));
        pool.u8(1).i32_be(0).utf("IBM").u8(1).i32_be(1).utf("a pooled symbol of some length");
        server.push(test::changes_frame({.seqnum = 1, .pool = pool}));
        server.push(test::snapshot_response_frame());

        // A round: frames of one row and a frame of 200, each waited for, so that batches
        // go round the pool while others are on their way.
        std::vector<std::vector<std::uint8_t>> frames;
        for (int f = 0; f < 4; ++f) frames.push_back(test::changes_frame({.seqnum = 2 + f, .added = quote_rows(f, 1)}));
        frames.push_back(test::changes_frame({.seqnum = 9, .updated = quote_rows(0, 200)}));
        const int fd = server.inbound_fd();
        ASSERT_GE(fd, 0);
        long expected = 0;
        auto round = [&] {
            for (const auto& frame : frames) {
                expected += frame.size() > 1000 ? 200 : 1;
                for (std::size_t written = 0; written < frame.size();) {
                    const ssize_t n = ::write(fd, frame.data() + written, frame.size() - written);
                    if (n <= 0) return false;
                    written += static_cast<std::size_t>(n);
                }
                if (!wait_for(first->updates, expected) || !wait_for(second->updates, expected)) return false;
            }
            return true;
        };
        for (int i = 0; i < 40; ++i) ASSERT_TRUE(round());

        const long before = g_allocations.load();
        for (int i = 0; i < 20; ++i) ASSERT_TRUE(round());
        const long after = g_allocations.load();
        EXPECT_EQ(after - before, 0) << "allocations while updates stream warm";
    }
}

}  // namespace
}  // namespace tyx
