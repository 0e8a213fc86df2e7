#include "sandbox.hpp"

#include "support/sandbox_center_bytes.hpp"
#include "support/sandbox_db_bytes.hpp"
#include "support/sandbox_test_socket.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace tyx::sandbox {
namespace {

using namespace std::chrono_literals;
using test::SandboxTestSocket;
namespace cb = test::centerbytes;
namespace dbb = test::dbbytes;

std::vector<dbb::Element> sql(std::uint16_t port, std::string_view text, std::string_view user = "u",
                              std::string_view password = "p") {
    SandboxTestSocket s(port);
    s.write(std::vector<std::uint8_t>{31, 241});
    if (!s.read_exact(2)) throw std::runtime_error("no version answer");
    auto response = [&] {
        auto head = s.read_exact(4);
        if (!head) throw std::runtime_error("no response");
        const auto n = std::uint32_t{(*head)[0]} << 24 | std::uint32_t{(*head)[1]} << 16 |
                       std::uint32_t{(*head)[2]} << 8 | std::uint32_t{(*head)[3]};
        auto body = s.read_exact(n + 1);
        if (!body) throw std::runtime_error("short response");
        body->pop_back();
        return *body;
    };
    s.write(dbb::login_request(user, password));
    response();
    s.write(dbb::query_request(text));
    return dbb::read_result(response());
}

TEST(Sandbox, PublishedObjectsBecomeRowsForSqlAndChangesForSubscribers) {
    Sandbox sb({.database_user = "ann", .database_password = "pw"});
    EXPECT_NE(sb.relay_port(), sb.center_port());
    EXPECT_NE(sb.center_port(), sb.database_port());

    SandboxTestSocket in(sb.center_port()), out(sb.center_port());
    in.write(cb::greeting('W', "Y9-e2e"));
    out.write(cb::greeting('R', "Y9-e2e"));
    ASSERT_TRUE(in.read_exact(29));
    ASSERT_TRUE(out.read_exact(29));
    out.write(cb::request_frame({{"Order"}}, false, "Y9-e2e"));
    cb::Reader reader;
    ASSERT_TRUE(cb::read_payload(in));  // no rows yet
    auto sr = cb::read_payload(in);
    ASSERT_TRUE(sr);
    EXPECT_EQ(reader.read(*sr).vid, cb::vid("Y9.VE.SR"));

    SandboxTestSocket relay(sb.relay_port());
    relay.write("L#1|I=\"feed\"\n");
    ASSERT_TRUE(relay.read_line());
    relay.write("O#2|T=\"Order\"|I=\"o1\"|qty=5|px=1.25D\nO#3|T=\"Order\"|I=\"o1\"|qty=6|px=1.5D\n");
    ASSERT_TRUE(sb.wait_for_stored(2));

    // The two publications may arrive as one batch or two: gather the changes either way.
    std::vector<cb::Entity> changes;
    while (changes.size() < 2) {
        auto payload = cb::read_payload(in);
        ASSERT_TRUE(payload);
        for (auto& e : reader.read(*payload).entities) changes.push_back(e);
    }
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].action, 1);
    EXPECT_EQ(changes[1].action, 2);
    EXPECT_EQ(changes[1].object_id, "o1");
    EXPECT_EQ(changes[1].fields.at(0).second.i, 6);

    const auto rows = sql(sb.database_port(), "SELECT id, qty, px FROM \"Order\"", "ann", "pw");
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].rows, 1);
    ASSERT_EQ(rows[0].columns.size(), 3u);
    EXPECT_EQ(rows[0].columns[0].values, (std::vector<std::string>{"o1"}));
    EXPECT_EQ(rows[0].columns[1].type, 14);
    EXPECT_EQ(rows[0].columns[1].values, (std::vector<std::string>{"6"}));
    EXPECT_EQ(rows[0].columns[2].values, (std::vector<std::string>{"1.5"}));

    relay.write("D#4|T=\"Order\"|I=\"o1\"\n");
    auto removal = cb::read_payload(in);
    ASSERT_TRUE(removal);
    const auto m = reader.read(*removal);
    ASSERT_EQ(m.entities.size(), 1u);
    EXPECT_EQ(m.entities[0].action, 3);
    ASSERT_TRUE(sb.wait_until_stored());
    EXPECT_EQ(sql(sb.database_port(), "SELECT COUNT(*) FROM \"Order\"", "ann", "pw")[0].columns[0].values,
              (std::vector<std::string>{"0"}));
}

// A subscriber that does not read holds the feed back: the center stops applying, the relay stops
// reading and the publisher's writes wait, with the sandbox holding only bounded amounts; once it
// reads, every change arrives, in order. Small socket buffers keep the amounts to fill small.
TEST(Sandbox, SubscriberThatDoesNotReadHoldsThePublisherBack) {
    constexpr std::size_t kFeed = 64 << 10, kHold = 32 << 10;
    SandboxOptions options{.feed_bytes = kFeed};
    options.relay.receive_buffer_bytes = 16 << 10;
    options.center.feed_hold_bytes = kHold;
    options.center.send_buffer_bytes = 16 << 10;
    Sandbox sb(options);
    SandboxTestSocket in(sb.center_port(), 16 << 10), out(sb.center_port());
    in.write(cb::greeting('W', "Y9-slow"));
    out.write(cb::greeting('R', "Y9-slow"));
    ASSERT_TRUE(in.read_exact(29));
    ASSERT_TRUE(out.read_exact(29));
    out.write(cb::request_frame({{"Q"}}, false, "Y9-slow"));
    ASSERT_TRUE(cb::read_payload(in));
    ASSERT_TRUE(cb::read_payload(in));  // the snapshot response

    constexpr int kUpdates = 100'000;
    std::string feed;
    for (int i = 0; i < kUpdates; ++i)
        feed += "O|T=\"Q\"|I=\"q" + std::to_string(i % 64) + "\"|n=" + std::to_string(i) + "\n";
    std::atomic<bool> all_written{false};
    std::thread publisher([&] {
        SandboxTestSocket relay(sb.relay_port(), 0, 16 << 10);
        // The login's answer is read first: closing with it unread would reset the connection.
        relay.write("L|I=\"feed\"\n");
        relay.read_line();
        relay.write(feed);
        all_written = true;
    });
    // Should an assertion end the test early, the subscriber goes, which lets the feed go on.
    struct Join {
        Sandbox& sb;
        std::thread& t;
        ~Join() {
            if (!t.joinable()) return;
            sb.center().drop_client("Y9-slow");
            t.join();
        }
    } join{sb, publisher};
    ASSERT_TRUE(sb.center().wait_until([](const CenterState& s) { return s.feed_held; }, 30s));
    ASSERT_TRUE(sb.relay().wait_until([](const RelayState& s) { return s.reading_held; }, 30s));
    const auto relay = sb.relay().state();
    const auto center = sb.center().state();
    EXPECT_FALSE(all_written);
    EXPECT_LT(relay.bytes, feed.size() / 4);
    // Bounded: a chunk of reading past the hand-off's limit; a batch's message past the hold's.
    EXPECT_LE(sb.most_feed_bytes_in_flight(), kFeed + 64 * 1024 * 5);
    EXPECT_LE(center.clients.at("Y9-slow").pending_write_bytes, kHold + kFeed * 2);

    cb::Reader reader;
    std::int64_t next = 0;  // each object's first publication adds its row, the others update it
    while (next < kUpdates) {
        auto payload = cb::read_payload(in, 30s);
        ASSERT_TRUE(payload) << next;
        for (const auto& e : reader.read(*payload).entities) {
            ASSERT_EQ(e.action, next < 64 ? 1 : 2) << next;
            ASSERT_EQ(e.fields.at(0).second.i, next) << "a change missing or out of order";
            ++next;
        }
    }
    publisher.join();
    EXPECT_TRUE(all_written);
    EXPECT_TRUE(sb.wait_until_stored());
}

TEST(Sandbox, CountingRelayStoresNothing) {
    Sandbox sb({.relay_counting_only = true});
    SandboxTestSocket relay(sb.relay_port());
    relay.write("L|I=\"feed\"\nO|T=\"T\"|I=\"a\"|n=1\nO|T=\"T\"|I=\"b\"|n=2\n");
    ASSERT_TRUE(sb.relay().wait_for_lines(3));
    EXPECT_EQ(sb.center().state().publications_applied, 0u);
    const auto tables = sql(sb.database_port(), "SELECT name FROM sqlite_master WHERE type = 'table'");
    EXPECT_EQ(tables.at(0).rows, 0);
}

}  // namespace
}  // namespace tyx::sandbox
