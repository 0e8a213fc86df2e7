// The outbox's delivery bookkeeping without a socket: what was written is kept until the
// connection's acknowledged offset covers it, a lost connection gives back exactly what was not
// covered, in order and ahead of what was still pending, and a flush mark counts what is still
// outstanding of what was kept before it.
#include "rt/relay_outbox.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace tyx::rt {
namespace {

std::string texts(const RelayOutbox::BlockList& blocks) {
    std::string all;
    for (const RelayOutbox::Block* b = blocks.front(); b != nullptr; b = b->next)
        b->for_each_message([&](std::string_view text) { all += text; });
    return all;
}

void expect_fates_add_up(const RelayCounters& c) {
    EXPECT_EQ(c.published_messages, c.acknowledged_messages + c.kept_messages + c.dropped_messages +
                                        c.replaced_versions + c.discarded_messages);
}

TEST(RelayOutbox, KeepsWrittenMessagesUntilAcknowledgedAndGivesBackTheRestInOrder) {
    RelayOutbox outbox({}, "relay shard 0", nullptr);
    outbox.begin_connection(10);  // after a 10-byte login: "a\n" ends at 12, "bb\n" at 15, "ccc\n" at 19
    for (const char* m : {"a\n", "bb\n", "ccc\n"}) outbox.append(m);
    auto taken = outbox.take(false);
    outbox.written(taken, false);
    EXPECT_TRUE(taken.empty());
    EXPECT_EQ(outbox.unacknowledged(), 3u);
    EXPECT_EQ(outbox.acknowledge(11), 0u);  // a byte short of the first message
    EXPECT_EQ(outbox.acknowledge(14), 1u);
    EXPECT_EQ(outbox.kept_messages(), 2u);
    outbox.append("dd\n");

    // The connection ends: bb and ccc go out again first, then what was never written.
    EXPECT_EQ(outbox.connection_lost(), 2u);
    EXPECT_EQ(outbox.unacknowledged(), 0u);
    auto again = outbox.take(false);
    EXPECT_EQ(texts(again), "bb\nccc\ndd\n");
    outbox.begin_connection(10);
    outbox.written(again, false);
    EXPECT_EQ(outbox.acknowledge(10 + 3 + 4 + 3), 3u);

    const RelayCounters c = outbox.counters();
    EXPECT_EQ(c.published_messages, 4u);
    EXPECT_EQ(c.acknowledged_messages, 4u);
    EXPECT_EQ(c.acknowledged_bytes, 12u);
    EXPECT_EQ(c.written_messages, 6u);
    EXPECT_EQ(c.resent_messages, 2u);
    EXPECT_EQ(c.kept_messages, 0u);
    expect_fates_add_up(c);
}

TEST(RelayOutbox, AcknowledgementsPassPackedAndWholeBlocksAlike) {
    // Small writes are packed together while they wait; a large one is kept as it was written.
    RelayOutbox outbox({}, "relay shard 0", nullptr);
    outbox.begin_connection(0);
    const std::string large = std::string(RelayOutbox::kBlockSize / 2 + 1, 'x') + "\n";
    std::uint64_t total = 0;
    for (const std::string& m : {std::string("a\n"), std::string("b\n"), large, std::string("c\n")}) {
        outbox.append(m);
        auto taken = outbox.take(false);
        outbox.written(taken, false);
        total += m.size();
        EXPECT_EQ(outbox.acknowledge(total), 1u) << m.size();
        EXPECT_EQ(outbox.unacknowledged(), 0u);
    }
    EXPECT_EQ(outbox.kept_bytes(), 0u);
}

TEST(RelayOutbox, AFlushMarkWaitsOnlyForWhatWasKeptBeforeIt) {
    RelayOutbox outbox({}, "relay shard 0", nullptr);
    outbox.begin_connection(0);
    for (const char* m : {"a\n", "b\n", "c\n"}) outbox.append(m);
    const std::uint64_t mark = outbox.accepted();
    for (const char* m : {"d\n", "e\n"}) outbox.append(m);
    auto taken = outbox.take(false);
    outbox.written(taken, false);
    outbox.acknowledge(4);  // a and b
    const auto now = std::chrono::steady_clock::now();
    EXPECT_EQ(outbox.wait_settled(mark, now), 1u);
    outbox.acknowledge(6);  // c: d and e are not waited for
    EXPECT_EQ(outbox.wait_settled(mark, now + std::chrono::seconds(10)), 0u);
    EXPECT_EQ(outbox.kept_messages(), 2u);
}

TEST(RelayOutbox, ClosingDiscardsAndCountsEverythingKept) {
    RelayOutbox outbox({}, "relay shard 0", nullptr);
    outbox.begin_connection(0);
    for (const char* m : {"a\n", "b\n"}) outbox.append(m);
    auto taken = outbox.take(false);
    outbox.written(taken, true);  // held for on_message_sent as well
    outbox.append("c\n");
    outbox.acknowledge(2);
    EXPECT_EQ(outbox.close(), 2u);
    EXPECT_EQ(outbox.close(), 0u);
    outbox.recycle(std::move(taken));
    EXPECT_FALSE(outbox.append("d\n"));
    const RelayCounters c = outbox.counters();
    EXPECT_EQ(c.discarded_messages, 2u);
    EXPECT_EQ(c.acknowledged_messages, 1u);
    expect_fates_add_up(c);
}

TEST(RelayOutbox, MessagesListenersHaveYetToHearOfCountTowardTheLimit) {
    RelayOutbox::Limits limits;
    limits.max_bytes = 6;
    RelayOutbox outbox(limits, "relay shard 0", nullptr);
    outbox.begin_connection(0);
    for (const char* m : {"a\n", "b\n", "c\n"}) EXPECT_TRUE(outbox.append(m));
    EXPECT_FALSE(outbox.append("d\n"));
    auto reported = outbox.take(false);
    outbox.written(reported, true);
    outbox.acknowledge(6);
    // Delivered, but a slow listener still holds them for on_message_sent.
    EXPECT_EQ(outbox.kept_bytes(), 0u);
    EXPECT_FALSE(outbox.append("e\n"));
    outbox.recycle(std::move(reported));
    EXPECT_TRUE(outbox.append("f\n"));
    EXPECT_EQ(outbox.counters().dropped_messages, 2u);
}

// A connection that takes everything written to it directly.
struct Connection : DirectWriteTarget {
    std::string written;
    std::size_t try_write_now(std::string_view data) override {
        written += data;
        return data.size();
    }
};

TEST(RelayOutbox, AMessageWrittenStraightToTheConnectionIsKeptAndResentInOrder) {
    Connection connection;
    RelayOutbox outbox({}, "relay shard 0", nullptr);
    outbox.begin_connection(0);
    EXPECT_TRUE(outbox.take(true, &connection).empty());  // an idle writer lets publishers write
    outbox.append("a\n");
    EXPECT_EQ(connection.written, "a\n");
    EXPECT_TRUE(outbox.take(false).empty());  // nothing for the writer; no direct writes now
    outbox.append("b\n");
    auto taken = outbox.take(false);
    EXPECT_EQ(texts(taken), "b\n");
    outbox.written(taken, false);
    EXPECT_EQ(outbox.unacknowledged(), 2u);
    EXPECT_EQ(outbox.acknowledge(1), 0u);
    EXPECT_EQ(outbox.connection_lost(), 2u);
    EXPECT_EQ(texts(outbox.take(false)), "a\nb\n");
    EXPECT_EQ(outbox.counters().written_messages, 2u);
}

}  // namespace
}  // namespace tyx::rt
