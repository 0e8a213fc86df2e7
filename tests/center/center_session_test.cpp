#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/center_harness.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using test::CenterBytes;
using test::CenterHarness;
using test::ChangesParts;
using test::FakeCenter;
using test::hex;

SubscriptionRequest req(std::string table) {
    return SubscriptionRequest{std::move(table), {}, {}, false};
}

// The request frame as the center must receive it, with the time stamp `ms`.
std::vector<std::uint8_t> expected_request(const std::vector<SubscriptionRequest>& requests,
                                           std::string_view uid, std::int64_t ms) {
    CenterBytes b;
    b.preamble("Y9.ST.MS", 1).pid(1, 41).vid("Y9.BA.RQ").u8(0).named("action", 41);
    b.vid("Y9.VE.SQ").u8(1).pid(2, 4).u32_be(20000).pid(4, 0).u8(1);
    b.pid(3, 21).u32_be(static_cast<std::uint32_t>(requests.size())).u8(41);
    for (const auto& r : requests)
        b.vid("Y9.VE.UR").u8(1).pid(1, 20).utf(r.table_name).pid(3, 0).u8(0).end_positional();
    b.pid(51, 20).utf("tyx_client_cpp").pid(54, 6).i64_be(ms).end_positional().end_named();
    b.pid(2, 52).pid(3, 20).utf(uid).pid(4, 52).pid(5, 52).end_positional();
    return b.framed();
}

// The time stamp of a received request frame: it sits 79 bytes before the end, after which
// come only the end markers, the nulls and the 65-character process UID.
std::int64_t stamp_of(const std::vector<std::uint8_t>& frame) {
    std::int64_t ms = 0;
    for (std::size_t i = frame.size() - 79 - 8; i < frame.size() - 79; ++i) ms = (ms << 8) | frame[i];
    return ms;
}

// A table "Orders" (key 1) with fields qty (key 2, int) and sym (key 3, string).
CenterBytes orders_pool() {
    return CenterBytes()
        .raw(test::pool_key(1, "Orders"))
        .raw(test::pool_key(2, "qty"))
        .raw(test::pool_key(3, "sym"));
}
CenterBytes order(std::int64_t id, std::int32_t qty) {
    return test::entity_bytes(1, id, "ord-" + std::to_string(id), {{2, qty}, {3, std::string("IBM")}});
}
CenterBytes orders_schema() {
    return CenterBytes().i16_be(1).u8(2).i16_be(2).i16_be(2).u8(4).u8(0).i16_be(3).u8(20).u8(1);
}

std::string update_line(int action, std::int64_t id, std::int64_t seq, std::string table = "Orders") {
    const std::string object = table == "Orders" ? "ord-" + std::to_string(id) : "q-" + std::to_string(id);
    return "update alpha-center " + std::to_string(action) + " " + table + " " + std::to_string(id) + " " +
           object + " seq=" + std::to_string(seq);
}

// Waits until the session has taken `n` frames off its connection.
bool wait_frames(CenterHarness& h, std::uint64_t n) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (h.on_center([](TyxClientCenter& c) { return c.frames_received(); }) >= n) return true;
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

// Waits until every event raised so far has reached the listener.
void flush_events(CenterHarness& h) {
    const std::size_t before = h.log().with_prefix("sentinel").size();
    h.multiplex().notify_listeners(
        [](TyxClientListener& l) { static_cast<test::EventLog&>(l).add("sentinel"); });
    ASSERT_TRUE(h.log().wait_for("sentinel", before + 1));
}

TEST(CenterSessionTest, HandshakesSubscriptionSnapshotOrderingAndLiveUpdates) {
    FakeCenter server;
    CenterHarness h(server.endpoints());
    h.start();
    ASSERT_TRUE(h.log().wait_for("logged_in alpha-center"));
    ASSERT_TRUE(server.wait_handshakes(2));
    const auto hs = server.handshakes();
    ASSERT_EQ(hs.size(), 2u);
    const std::string uid = hs[0].uid;
    EXPECT_EQ(uid.size(), 65u);
    EXPECT_EQ(uid, h.on_center([](TyxClientCenter& c) { return c.process_uid(); }));
    EXPECT_EQ(hs[0].tag, "XQDM|dTP");
    EXPECT_EQ(hs[0].direction, 'W');
    EXPECT_EQ(hs[0].channel, "center.to.web$" + uid);
    EXPECT_EQ(hs[1].tag, "XQDM|dTP");
    EXPECT_EQ(hs[1].direction, 'R');
    EXPECT_EQ(hs[1].channel, "web.to.center");
    EXPECT_EQ(hs[1].uid, uid);
    EXPECT_EQ(h.log().events(), (std::vector<std::string>{"connect alpha-center", "logged_in alpha-center"}));

    auto subscribed = h.subscribe({req("Orders")});
    ASSERT_TRUE(server.wait_requests(1));
    const auto frame = server.requests().at(0);
    EXPECT_EQ(hex(frame), hex(expected_request({req("Orders")}, uid, stamp_of(frame))));
    const auto now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    EXPECT_NEAR(static_cast<double>(stamp_of(frame)), static_cast<double>(now_ms.count()), 60000.0);
    ASSERT_TRUE(h.log().wait_for("subscribe alpha-center Orders"));
    EXPECT_EQ(subscribed.wait_for(0ms), std::future_status::timeout);

    // A live update that overtook the snapshot, then the snapshot rows with the schema.
    EXPECT_FALSE(
        h.on_center([](TyxClientCenter& c) { return c.subscribed_tables().table_schema("Orders"); }));
    server.push(test::changes_frame({.seqnum = 4, .pool = orders_pool(), .updated = order(1, 5)}));
    server.push(test::changes_frame(
        {.seqnum = 7, .schema = orders_schema(), .added = order(1, 10).raw(order(2, 20))}));
    ASSERT_TRUE(wait_frames(h, 2));
    const auto schema =
        h.on_center([](TyxClientCenter& c) { return c.subscribed_tables().table_schema("Orders"); });
    ASSERT_TRUE(schema.has_value());
    ASSERT_EQ(schema->columns.size(), 2u);
    EXPECT_EQ(schema->columns[1].name, "sym");
    EXPECT_EQ(schema->columns[1].type, 20);
    flush_events(h);
    EXPECT_EQ(h.log().with_prefix("update").size(), 0u);
    EXPECT_EQ(subscribed.wait_for(0ms), std::future_status::timeout);

    server.push(test::snapshot_response_frame());
    ASSERT_EQ(subscribed.wait_for(10s), std::future_status::ready);
    server.push(test::changes_frame({.seqnum = 8, .updated = order(2, 21)}));
    ASSERT_TRUE(h.log().wait_for("update", 3));
    EXPECT_EQ(h.log().with_prefix("update"),
              (std::vector<std::string>{update_line(1, 1, 7), update_line(1, 2, 7), update_line(2, 2, 8)}));

    // An equal request sends nothing and completes at once; the next request names only the
    // new table.
    EXPECT_EQ(h.subscribe({req("Orders")}).wait_for(0ms), std::future_status::ready);
    h.subscribe({req("Orders"), req("Quotes")});
    ASSERT_TRUE(server.wait_requests(2));
    const auto second = server.requests().at(1);
    EXPECT_EQ(hex(second), hex(expected_request({req("Quotes")}, uid, stamp_of(second))));
}

TEST(CenterSessionTest, ParseErrorIsReportedAndTheNextFrameProcessed) {
    FakeCenter server;
    CenterHarness h(server.endpoints());
    h.start();
    ASSERT_TRUE(h.log().wait_for("logged_in"));
    auto subscribed = h.subscribe({req("Orders")});
    ASSERT_TRUE(server.wait_requests(1));

    ::testing::internal::CaptureStderr();
    server.push(CenterBytes().preamble("Y9.ZZ.ZZ", 1).end_positional().framed());
    server.push(CenterBytes().u8(0).u8(0x29).framed());
    server.push(test::throwable_frame());
    server.push(test::changes_frame({.seqnum = 3, .pool = orders_pool(), .added = order(1, 10)}));
    server.push(test::snapshot_response_frame());
    const bool delivered = h.log().wait_for("update", 1);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(delivered);
    EXPECT_EQ(err, "[tyx_center:alpha-center] parse error: Received message with unknown VID: " +
                       std::to_string(CenterBytes::vid_value("Y9.ZZ.ZZ")) +
                       "\n[tyx_center:alpha-center] parse error: Error: Not enough data to read VID and type "
                       "from message\n");
    EXPECT_EQ(h.log().with_prefix("update"), (std::vector<std::string>{update_line(1, 1, 3)}));
    EXPECT_EQ(
        h.log().with_prefix("log alpha"),
        (std::vector<std::string>{"log alpha-center 3 Server returned an exception (Type::Throwable); see "
                                  "TYX server log for details"}));
    EXPECT_EQ(subscribed.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(h.log().with_prefix("disconnect").size(), 0u);
}

TEST(CenterSessionTest, ReconnectsWithTheSameUidAndRequestsEveryTableAgain) {
    FakeCenter server;
    CenterHarness h(server.endpoints());
    h.start();
    ASSERT_TRUE(h.log().wait_for("logged_in"));
    h.subscribe({req("Quotes"), req("Orders")});
    ASSERT_TRUE(server.wait_requests(1));
    const CenterBytes pool = orders_pool().raw(test::pool_key(4, "Quotes"));
    const CenterBytes quote = test::entity_bytes(4, 9, "q-9", {{2, 1}});
    server.push(test::changes_frame(
        {.seqnum = 5, .pool = pool, .schema = orders_schema(), .added = order(1, 10).raw(quote)}));
    server.push(test::snapshot_response_frame());
    ASSERT_TRUE(h.log().wait_for("update", 2));

    server.drop_connections();
    ASSERT_TRUE(h.log().wait_for("disconnect alpha-center"));
    ASSERT_TRUE(server.wait_handshakes(4));
    const auto hs = server.handshakes();
    for (const auto& x : hs) EXPECT_EQ(x.uid, hs[0].uid);
    EXPECT_EQ(hs[2].direction, 'W');
    EXPECT_EQ(hs[3].direction, 'R');
    ASSERT_TRUE(server.wait_requests(2));
    const auto again = server.requests().at(1);
    EXPECT_EQ(hex(again), hex(expected_request({req("Orders"), req("Quotes")}, hs[0].uid, stamp_of(again))));
    ASSERT_TRUE(h.log().wait_for("subscribe", 2));
    EXPECT_EQ(h.log().with_prefix("subscribe").back(), "subscribe alpha-center Orders,Quotes");
    // The schema is still known while the tables wait for their new snapshot.
    EXPECT_TRUE(h.on_center([](TyxClientCenter& c) { return c.subscribed_tables().table_schema("Orders"); }));

    // The rows come again with the new answer, and are delivered again.
    server.push(test::changes_frame({.seqnum = 6, .added = order(1, 10).raw(quote)}));
    server.push(test::snapshot_response_frame());
    ASSERT_TRUE(h.log().wait_for("update", 4));
    // Order is kept per table; tables released by one answer come in no particular order.
    const auto events = h.log().events();
    ASSERT_GE(events.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(events.end() - 6, events.end() - 2),
              (std::vector<std::string>{"disconnect alpha-center", "connect alpha-center",
                                        "logged_in alpha-center", "subscribe alpha-center Orders,Quotes"}));
    std::vector<std::string> rows(events.end() - 2, events.end());
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<std::string>{update_line(1, 1, 6), update_line(1, 9, 6, "Quotes")}));
}

TEST(CenterSessionTest, ARequestLostWithTheConnectionIsAnsweredOnTheNextOne) {
    FakeCenter server;
    CenterHarness h(server.endpoints());
    h.start();
    ASSERT_TRUE(h.log().wait_for("logged_in"));
    auto done = h.subscribe({req("Orders")});
    ASSERT_TRUE(server.wait_requests(1));
    // The connection goes before the answer; the single answer on the new connection must
    // release both the table and the waiting caller.
    server.drop_connections();
    ASSERT_TRUE(server.wait_requests(2));
    server.push(test::changes_frame({.seqnum = 2, .pool = orders_pool(), .added = order(1, 10)}));
    server.push(test::snapshot_response_frame());
    EXPECT_EQ(done.wait_for(10s), std::future_status::ready);
    ASSERT_TRUE(h.log().wait_for("update", 1));
    EXPECT_EQ(h.log().with_prefix("update"), (std::vector<std::string>{update_line(1, 1, 2)}));
}

TEST(CenterSessionTest, AFailedHandshakeOnReconnectionIsRetried) {
    FakeCenter server;
    CenterHarness h(server.endpoints());
    h.start();
    ASSERT_TRUE(h.log().wait_for("logged_in"));
    server.set_reply(FakeCenter::reply_bytes("NOPE"));
    server.drop_connections();
    ASSERT_TRUE(h.log().wait_for(
        "log alpha-center 3 Center handshake failed: Unexpected MsgDirect server response: NOPE"));
    server.set_reply(FakeCenter::reply_bytes("XQDM|ok"));
    ASSERT_TRUE(h.log().wait_for("logged_in", 2));
}

TEST(CenterSessionTest, AFailedFirstHandshakeIsRetried) {
    FakeCenter server;
    server.set_reply(FakeCenter::reply_bytes("NOPE"));
    CenterHarness h(server.endpoints());
    h.start();
    ASSERT_TRUE(h.log().wait_for(
        "log alpha-center 3 Center handshake failed: Unexpected MsgDirect server response: NOPE"));
    server.set_reply(FakeCenter::reply_bytes("XQDM|ok"));
    ASSERT_TRUE(h.log().wait_for("logged_in"));
}

TEST(CenterSessionTest, ASilentCenterTimesOutAndIsRetried) {
    FakeCenter server;
    server.set_reply({});  // accepts, reads the greeting, never answers
    CenterHarness h(server.endpoints());
    h.on_center([](TyxClientCenter& c) {
        c.set_handshake_timeout(300ms);
        return 0;
    });
    h.start();
    ASSERT_TRUE(h.log().wait_for(
        "log alpha-center 3 Center handshake failed: Center handshake timed out after 300 ms"));
    server.set_reply(FakeCenter::reply_bytes("XQDM|ok"));
    ASSERT_TRUE(h.log().wait_for("logged_in"));
}

TEST(CenterSessionTest, AnAbsurdFrameLengthIsABrokenConnection) {
    FakeCenter server;
    CenterHarness h(server.endpoints());
    h.start();
    ASSERT_TRUE(h.log().wait_for("logged_in"));
    server.push(CenterBytes().u32_be(0).u32_be(0xFFFFFFF0u).data());
    ASSERT_TRUE(h.log().wait_for("disconnect alpha-center"));
    ASSERT_TRUE(h.log().wait_for("logged_in", 2));
    ASSERT_TRUE(server.wait_handshakes(4));
}

TEST(CenterSessionTest, HandshakeReplies) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> reply;
        std::string error;  // empty: the handshake completes
    };
    const std::string long_ok = "XQDM|" + std::string(1019, 'x');
    const Case cases[] = {
        {"reply of 1024 bytes", FakeCenter::reply_bytes(long_ok), ""},
        {"reply not ending in P: no server UID", FakeCenter::reply_bytes("XQDM|ok"), ""},
        {"reply ending in P with server UID", FakeCenter::reply_bytes("XQDM|dTP", "Y9-srv"), ""},
        {"reply length 1025", CenterBytes().u16_be(1025).data(), "Invalid handshake message length: 1025"},
        {"reply length 0", CenterBytes().u16_be(0).data(), "Invalid handshake message length: 0"},
        {"tag not at the start", FakeCenter::reply_bytes("xXQDM|a"),
         "Unexpected MsgDirect server response: xXQDM|a"},
        {"short reply", FakeCenter::reply_bytes("XQD"), "Unexpected MsgDirect server response: XQD"},
        {"server UID length 0", CenterBytes().raw(FakeCenter::reply_bytes("XQDM|P")).u16_be(0).data(),
         "Invalid MsgDirect server process UID length: 0"},
        {"server UID length 1025", CenterBytes().raw(FakeCenter::reply_bytes("XQDM|P")).u16_be(1025).data(),
         "Invalid MsgDirect server process UID length: 1025"},
    };
    for (const auto& c : cases) {
        FakeCenter server;
        server.set_reply(c.reply);
        CenterHarness h(server.endpoints());
        std::string error;
        try {
            test::run_on(h.center().io_context(), [&]() -> asio::awaitable<void> {
                co_await h.center().connect(h.center().io_context());
            });
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_EQ(h.on_center([](TyxClientCenter& c) { return c.handshaken(); }), c.error.empty()) << c.what;
    }
}

TEST(CenterSessionTest, SubscriptionsBeforeTheHandshakeAreRequestedAfterItAndStopReleasesWaiters) {
    FakeCenter server;
    CenterHarness h(server.endpoints());
    auto early = h.subscribe({req("Orders")});
    h.start();
    ASSERT_TRUE(server.wait_requests(1));
    const auto frame = server.requests().at(0);
    const std::string uid = server.handshakes().at(0).uid;
    EXPECT_EQ(hex(frame), hex(expected_request({req("Orders")}, uid, stamp_of(frame))));
    EXPECT_EQ(early.wait_for(0ms), std::future_status::timeout);
    server.push(test::snapshot_response_frame());
    EXPECT_EQ(early.wait_for(10s), std::future_status::ready);

    // Unsubscribing names only subscribed tables; nothing at all is not sent.
    h.on_center([](TyxClientCenter& c) { c.unsubscribe({"Nope"}); });
    h.on_center([](TyxClientCenter& c) { c.unsubscribe({"Nope", "Orders"}); });
    auto unanswered = h.subscribe({req("Quotes")});
    ASSERT_TRUE(server.wait_requests(3));
    const auto third = server.requests().at(2);
    EXPECT_EQ(hex(third), hex(expected_request({req("Quotes")}, uid, stamp_of(third))));
    h.stop();
    EXPECT_EQ(unanswered.wait_for(0ms), std::future_status::ready);
    // Everything raised before the sentinel reaches the listener first: one disconnect only.
    h.multiplex().notify_listeners(
        [](TyxClientListener& l) { static_cast<test::EventLog&>(l).add("sentinel"); });
    ASSERT_TRUE(h.log().wait_for("sentinel"));
    EXPECT_EQ(h.log().with_prefix("disconnect").size(), 1u);
}

}  // namespace
}  // namespace tyx
