#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/center_session.hpp"
#include "support/scripted_socket.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using test::CenterBytes;
using test::ChangesParts;
using test::Conversation;
using test::FakeCenter;
using test::hex;
using test::run_until;
using test::ScriptedNetwork;

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

using test::CenterSession;
using test::hello;

class ScriptedCenter : public ::testing::Test, protected CenterSession {};

TEST_F(ScriptedCenter, HandshakesSubscriptionSnapshotOrderingAndLiveUpdates) {
    pair();
    start();
    ASSERT_TRUE(handshaken_on(0));
    const std::string uid = client->process_uid();
    EXPECT_EQ(uid.size(), 65u);
    EXPECT_EQ(uid.rfind("Y9-", 0), 0u);
    for (char c : uid.substr(3)) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << uid;
    EXPECT_EQ(hex(network.written(0)), hex(hello('W', uid)));
    EXPECT_EQ(hex(network.written(1)), hex(hello('R', uid)));
    EXPECT_EQ(network.endpoint(0).host, "center");
    EXPECT_EQ(events(), (std::vector<std::string>{"connect alpha-center", "logged_in alpha-center"}));

    bool subscribed = false;
    subscribe({req("Orders")}, subscribed);
    ASSERT_TRUE(requests_written(0, 1));
    const auto frame = requests(0).at(0);
    EXPECT_EQ(hex(frame), hex(expected_request({req("Orders")}, uid, stamp_of(frame))));
    const auto now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    EXPECT_NEAR(static_cast<double>(stamp_of(frame)), static_cast<double>(now_ms.count()), 60000.0);
    EXPECT_EQ(events("subscribe"), (std::vector<std::string>{"subscribe alpha-center Orders"}));

    // A live update that overtook the snapshot, then the snapshot rows with the schema, in pieces
    // that cut the frames anywhere.
    EXPECT_FALSE(client->subscribed_tables().table_schema("Orders"));
    auto stream = test::changes_frame({.seqnum = 4, .pool = orders_pool(), .updated = order(1, 5)});
    const auto second = test::changes_frame(
        {.seqnum = 7, .schema = orders_schema(), .added = order(1, 10).raw(order(2, 20))});
    stream.insert(stream.end(), second.begin(), second.end());
    for (std::size_t at = 0; at < stream.size(); at += 7)
        push(0, ByteVector(stream.begin() + static_cast<std::ptrdiff_t>(at),
                           stream.begin() + static_cast<std::ptrdiff_t>(std::min(at + 7, stream.size()))));
    ASSERT_TRUE(frames(2));
    const auto schema = client->subscribed_tables().table_schema("Orders");
    ASSERT_TRUE(schema.has_value());
    ASSERT_EQ(schema->columns.size(), 2u);
    EXPECT_EQ(schema->columns[1].name, "sym");
    EXPECT_EQ(schema->columns[1].type, 20);
    EXPECT_TRUE(events("update").empty());
    EXPECT_FALSE(subscribed);

    push(0, test::snapshot_response_frame());
    ASSERT_TRUE(run([&] { return subscribed; }));
    push(0, test::changes_frame({.seqnum = 8, .updated = order(2, 21)}));
    ASSERT_TRUE(frames(4));
    EXPECT_EQ(events("update"),
              (std::vector<std::string>{update_line(1, 1, 7), update_line(1, 2, 7), update_line(2, 2, 8)}));

    // An equal request sends nothing and completes at once; the next request names only the
    // new table.
    bool again = false;
    subscribe({req("Orders")}, again);
    EXPECT_TRUE(again);
    bool both = false;
    subscribe({req("Orders"), req("Quotes")}, both);
    ASSERT_TRUE(requests_written(0, 2));
    const auto quotes = requests(0).at(1);
    EXPECT_EQ(hex(quotes), hex(expected_request({req("Quotes")}, uid, stamp_of(quotes))));
}

TEST_F(ScriptedCenter, ParseErrorIsReportedAndTheNextFrameProcessed) {
    pair();
    start();
    ASSERT_TRUE(handshaken_on(0));
    bool subscribed = false;
    subscribe({req("Orders")}, subscribed);
    ::testing::internal::CaptureStderr();
    push(0, CenterBytes().preamble("Y9.ZZ.ZZ", 1).end_positional().framed());
    push(0, CenterBytes().u8(0).u8(0x29).framed());
    push(0, test::throwable_frame());
    push(0, test::changes_frame({.seqnum = 3, .pool = orders_pool(), .added = order(1, 10)}));
    push(0, test::snapshot_response_frame());
    const bool answered = run([&] { return subscribed; });
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(answered);
    EXPECT_EQ(err, "[tyx_center:alpha-center] parse error: Received message with unknown VID: " +
                       std::to_string(CenterBytes::vid_value("Y9.ZZ.ZZ")) +
                       "\n[tyx_center:alpha-center] parse error: Error: Not enough data to read VID and type "
                       "from message\n");
    EXPECT_EQ(events("update"), (std::vector<std::string>{update_line(1, 1, 3)}));
    EXPECT_EQ(
        events("log alpha"),
        (std::vector<std::string>{"log alpha-center 3 Server returned an exception (Type::Throwable); see "
                                  "TYX server log for details"}));
    EXPECT_TRUE(events("disconnect").empty());
}

// A changes message that fails part-way has lost its rows: the failure is logged, the frames
// behind it on that connection are left, and the next pair asks for every table again.
TEST_F(ScriptedCenter, AChangesMessageThatFailsPartWayIsLoggedAndEveryTableAskedForAgain) {
    pair();
    pair();
    start();
    ASSERT_TRUE(handshaken_on(0));
    bool subscribed = false;
    subscribe({req("Orders")}, subscribed);
    push(0, test::changes_frame(
                {.seqnum = 3, .pool = orders_pool(), .schema = orders_schema(), .added = order(1, 10)}));
    push(0, test::snapshot_response_frame());
    ASSERT_TRUE(run([&] { return subscribed; }));

    // The payload of a changes message cut in the middle of its row, and framed again.
    const std::vector<std::uint8_t> whole = test::changes_frame({.seqnum = 4, .updated = order(1, 11)});
    const std::vector<std::uint8_t> cut(whole.begin() + 8, whole.end() - 12);
    ::testing::internal::CaptureStderr();
    push(0, CenterBytes().raw(cut).framed());
    push(0, test::changes_frame({.seqnum = 5, .updated = order(1, 12)}));
    const bool again = requests_written(1, 1);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(again);
    EXPECT_EQ(err.rfind("[tyx_center:alpha-center] parse error: ", 0), 0u) << err;
    EXPECT_EQ(
        events("log alpha-center 3 Center message could not be decoded; reconnecting to subscribe again: ")
            .size(),
        1u);
    EXPECT_EQ(events("disconnect").size(), 1u);
    EXPECT_EQ(events("update"), (std::vector<std::string>{update_line(1, 1, 3)}));
    const auto request = requests(1).at(0);
    EXPECT_EQ(hex(request), hex(expected_request({req("Orders")}, client->process_uid(), stamp_of(request))));
}

// Whichever step of the first connection fails (a refused connect, a failed write or read of
// either handshake), the client comes back on a fresh pair with the same UID, introduced once.
TEST(ScriptedCenterSteps, AFailureAtAnyStepOfTheHandshakeIsRetriedOnAFreshPair) {
    test::fail_each_step([](std::optional<std::size_t> fail_at) -> std::size_t {
        CenterSession t;
        t.pair();
        t.pair();
        t.network.fail_at(fail_at);
        t.start();
        EXPECT_TRUE(t.handshaken_on(fail_at ? 1 : 0));
        const std::size_t steps = t.network.steps();
        if (!fail_at) return steps;
        EXPECT_TRUE(t.network.failed());
        const std::string uid = t.client->process_uid();
        EXPECT_EQ(hex(t.network.written(2)), hex(hello('W', uid)));
        EXPECT_EQ(hex(t.network.written(3)), hex(hello('R', uid)));
        // Whatever the first pair saw of the UID was the same one.
        for (std::size_t i = 0; i < 2; ++i) {
            const ByteVector& w = t.network.written(i);
            const ByteVector expected = hello(i == 0 ? 'W' : 'R', uid);
            EXPECT_TRUE(std::equal(
                w.begin(), w.end(), expected.begin(),
                expected.begin() + static_cast<std::ptrdiff_t>(std::min(w.size(), expected.size()))));
        }
        EXPECT_EQ(t.events("logged_in").size(), 1u);
        return steps;
    });
}

TEST_F(ScriptedCenter, RefusedHandshakesFirstAndOnReconnectionAreLoggedAndRetried) {
    const ByteVector nope = FakeCenter::reply_bytes("NOPE");
    pair(nope);
    pair();
    pair(nope);
    pair(FakeCenter::reply_bytes("XQDM|ok"));
    start();
    ASSERT_TRUE(handshaken_on(1));
    network.socket(2).close_by_peer();
    ASSERT_TRUE(handshaken_on(3));
    const std::string refused =
        "log alpha-center 3 Center handshake failed: Unexpected MsgDirect server response: NOPE";
    EXPECT_EQ(events("log alpha"), (std::vector<std::string>{refused, refused}));
    EXPECT_EQ(events("logged_in").size(), 2u);
}

TEST_F(ScriptedCenter, RepeatedHandshakeFailuresBackOffLongerAndAreLoggedOnce) {
    const ByteVector nope = FakeCenter::reply_bytes("NOPE");
    pair(nope);
    pair(nope);
    pair(nope);
    pair();
    start();
    ASSERT_TRUE(handshaken_on(3));
    EXPECT_EQ(events("log alpha").size(), 1u);
    // Never up in between: each back-off doubles, as for a connection that drops at once.
    std::vector<std::int64_t> pauses;
    for (const SessionStateEvent& e : recorder.states())
        if (e.state == SessionState::reconnecting) pauses.push_back(e.pause.count());
    EXPECT_EQ(pauses, (std::vector<std::int64_t>{1000, 2000, 4000}));
}

TEST_F(ScriptedCenter, ASilentCenterTimesOutAndIsRetried) {
    network.then({}).then({});  // accept, read the greeting, never answer
    pair();
    start();
    ASSERT_TRUE(handshaken_on(1));
    EXPECT_EQ(events("log alpha"),
              (std::vector<std::string>{
                  "log alpha-center 3 Center handshake timed out after 10000 ms waiting for the reply on the "
                  "inbound connection"}));
}

TEST_F(ScriptedCenter, AnAbsurdFrameLengthIsABrokenConnection) {
    pair();
    pair();
    start();
    ASSERT_TRUE(handshaken_on(0));
    push(0, CenterBytes().u32_be(0).u32_be(0xFFFFFFF0u).data());
    ASSERT_TRUE(handshaken_on(1));
    EXPECT_EQ(events("disconnect").size(), 1u);
}

TEST_F(ScriptedCenter, ReconnectsWithTheSameUidAndRequestsEveryTableAgain) {
    pair();
    pair();
    start();
    ASSERT_TRUE(handshaken_on(0));
    bool subscribed = false;
    subscribe({req("Quotes"), req("Orders")}, subscribed);
    const CenterBytes pool = orders_pool().raw(test::pool_key(4, "Quotes"));
    const CenterBytes quote = test::entity_bytes(4, 9, "q-9", {{2, 1}});
    push(0, test::changes_frame(
                {.seqnum = 5, .pool = pool, .schema = orders_schema(), .added = order(1, 10).raw(quote)}));
    push(0, test::snapshot_response_frame());
    ASSERT_TRUE(run([&] { return subscribed; }));

    network.socket(0).close_by_peer();
    ASSERT_TRUE(handshaken_on(1));
    const std::string uid = client->process_uid();
    EXPECT_EQ(hex(network.written(2)), hex(hello('W', uid)));
    ASSERT_TRUE(requests_written(1, 1));
    const auto again = requests(1).at(0);
    EXPECT_EQ(hex(again), hex(expected_request({req("Orders"), req("Quotes")}, uid, stamp_of(again))));
    // The schema is still known while the tables wait for their new snapshot.
    EXPECT_TRUE(client->subscribed_tables().table_schema("Orders"));

    // The rows come again with the new answer, and are delivered again.
    push(1, test::changes_frame({.seqnum = 6, .added = order(1, 10).raw(quote)}));
    push(1, test::snapshot_response_frame());
    ASSERT_TRUE(frames(4));
    const auto all = events();
    ASSERT_GE(all.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(all.end() - 6, all.end() - 2),
              (std::vector<std::string>{"disconnect alpha-center", "connect alpha-center",
                                        "logged_in alpha-center", "subscribe alpha-center Orders,Quotes"}));
    // Order is kept per table; tables released by one answer come in no particular order.
    std::vector<std::string> rows(all.end() - 2, all.end());
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<std::string>{update_line(1, 1, 6), update_line(1, 9, 6, "Quotes")}));
}

TEST_F(ScriptedCenter, SubscriptionsBeforeTheHandshakeAreRequestedAfterItAndStopReleasesWaiters) {
    pair();
    start();
    bool early = false;
    subscribe({req("Orders")}, early);
    ASSERT_TRUE(requests_written(0, 1));
    const std::string uid = client->process_uid();
    const auto frame = requests(0).at(0);
    EXPECT_EQ(hex(frame), hex(expected_request({req("Orders")}, uid, stamp_of(frame))));
    EXPECT_FALSE(early);
    push(0, test::snapshot_response_frame());
    ASSERT_TRUE(run([&] { return early; }));

    // Unsubscribing names only subscribed tables; nothing at all is not sent.
    client->unsubscribe({"Nope"});
    client->unsubscribe({"Nope", "Orders"});
    bool unanswered = false;
    subscribe({req("Quotes")}, unanswered);
    ASSERT_TRUE(requests_written(0, 3));
    const auto third = requests(0).at(2);
    EXPECT_EQ(hex(third), hex(expected_request({req("Quotes")}, uid, stamp_of(third))));
    stop();
    EXPECT_TRUE(unanswered);
    EXPECT_EQ(events("disconnect").size(), 1u);
}

}  // namespace
}  // namespace tyx
