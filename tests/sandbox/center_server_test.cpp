#include "center_server.hpp"

#include "support/sandbox_center_bytes.hpp"
#include "support/sandbox_test_socket.hpp"

#include <gtest/gtest.h>

namespace tyx::sandbox {
namespace {

using namespace std::chrono_literals;
using test::SandboxTestSocket;
using namespace test::centerbytes;
using Buf = std::vector<std::uint8_t>;

constexpr const char* kUid = "Y9-0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

Buf reply_with_uid() {
    return test::centerbytes::Builder().java_utf("XQDM|dTP").java_utf("Y9-sandbox-center").b;
}

// A hand-driven center client: the connection the center writes to ('W') and the request
// connection ('R'), each opened with its greeting.
struct CenterClient {
    SandboxTestSocket in;
    SandboxTestSocket out;
    Reader reader;
    std::string uid;

    CenterClient(std::uint16_t port, std::string id = kUid) : in(port), out(port), uid(std::move(id)) {
        in.write(greeting('W', uid));
        EXPECT_EQ(in.read_exact(29), reply_with_uid());
        out.write(greeting('R', uid));
        EXPECT_EQ(out.read_exact(29), reply_with_uid());
    }
    void subscribe(const std::vector<TableRequest>& tables) { out.write(request_frame(tables, false, uid)); }
    void unsubscribe(const std::vector<TableRequest>& tables) { out.write(request_frame(tables, true, uid)); }
    Message next() {
        auto payload = read_payload(in);
        if (!payload) throw std::runtime_error("no frame from the center");
        return reader.read(*payload);
    }
};

const std::vector<std::string> kOrders = {
    R"(O|T="Order"|I="o1"|qty=5|px=101.25D|venue="XNYS")",
    R"(O|T="Order"|I="o2"|qty=7|px=99.5D|venue="XLON")",
};

TEST(CenterServer, GreetingsPairTwoConnectionsByProcessUid) {
    CenterServer center;
    CenterClient client(center.port());
    ASSERT_TRUE(center.wait_for_paired_clients(1));
    const auto state = center.state();
    ASSERT_EQ(state.handshakes.size(), 2u);
    EXPECT_EQ(state.handshakes[0].greeting.direction, 'W');
    EXPECT_EQ(state.handshakes[0].greeting.channel, std::string("center.to.web$") + kUid);
    EXPECT_EQ(state.handshakes[1].greeting.direction, 'R');
    EXPECT_EQ(state.handshakes[1].greeting.channel, "web.to.center");
    const auto& c = state.clients.at(kUid);
    EXPECT_EQ(c.inbound, state.handshakes[0].connection);
    EXPECT_EQ(c.outbound, state.handshakes[1].connection);
}

TEST(CenterServer, GreetingsOutsideTheFormAreRefused) {
    CenterServer center;
    const std::vector<std::pair<const char*, Buf>> cases = {
        {"wrong magic", test::centerbytes::Builder().java_utf("HELLO").b},
        {"zero length", test::centerbytes::Builder().be16(0).b},
        {"direction X",
         test::centerbytes::Builder().java_utf("XQDM|dTP").u8(0).u8('X').java_utf("c").java_utf("u").b},
    };
    for (const auto& [what, bytes] : cases) {
        SandboxTestSocket s(center.port());
        s.write(bytes);
        EXPECT_TRUE(s.wait_closed()) << what;
    }
    EXPECT_TRUE(center.wait_until([](const CenterState& s) { return s.refused_greetings.size() == 3; }));
    EXPECT_TRUE(center.state().clients.empty());
}

TEST(CenterServer, ReplyWithoutTrailingPCarriesNoServerUid) {
    CenterServer center({.handshake_reply = "XQDM|ok"});
    SandboxTestSocket s(center.port());
    s.write(greeting('W', kUid));
    EXPECT_EQ(s.read_exact(9), test::centerbytes::Builder().java_utf("XQDM|ok").b);
    EXPECT_TRUE(s.quiet_for(50ms));
}

TEST(CenterServer, SubscriptionGetsRowsThenSnapshotResponse) {
    CenterServer center;
    center.apply_lines(kOrders);
    CenterClient client(center.port());
    const auto frame = request_frame({{"Order", {"a", "b"}, true, {"c"}}, {"Missing"}}, false, kUid);
    client.out.write(frame);

    const auto rows = client.next();
    EXPECT_EQ(rows.vid, vid("Y9.VE.CH"));
    EXPECT_EQ(rows.fields, (std::vector<std::string>{"seqNum", "tyxValuesStringPoolMap", "schemaChanges",
                                                     "tyxEntitiesAdded"}));
    EXPECT_EQ(rows.seqnum, 1);
    ASSERT_EQ(rows.schemas.size(), 1u);  // "Missing" does not exist
    EXPECT_EQ(rows.schemas[0].table, "Order");
    ASSERT_EQ(rows.schemas[0].columns.size(), 3u);
    const std::vector<std::pair<std::string, int>> columns = {{"qty", 14}, {"px", 17}, {"venue", 20}};
    for (std::size_t i = 0; i < columns.size(); ++i) {
        EXPECT_EQ(rows.schemas[0].columns[i].name, columns[i].first);
        EXPECT_EQ(rows.schemas[0].columns[i].type, columns[i].second);
    }
    ASSERT_EQ(rows.entities.size(), 2u);
    const auto& o2 = rows.entities[1];
    EXPECT_EQ(o2.action, 1);
    EXPECT_EQ(o2.table, "Order");
    EXPECT_EQ(o2.id, 2);
    EXPECT_EQ(o2.object_id, "o2");
    ASSERT_EQ(o2.fields.size(), 3u);
    EXPECT_EQ(o2.fields[0].first, "qty");
    EXPECT_EQ(o2.fields[0].second.code, 13);
    EXPECT_EQ(o2.fields[0].second.i, 7);
    EXPECT_EQ(o2.fields[1].second.code, 6);
    EXPECT_EQ(o2.fields[1].second.d, 99.5);
    EXPECT_EQ(o2.fields[2].second.code, 8);
    EXPECT_EQ(o2.fields[2].second.s, "XLON");

    auto done = read_payload(client.in);
    ASSERT_TRUE(done);
    EXPECT_EQ(*done, test::centerbytes::Builder().u8(0).u8(0x29).vid("Y9.VE.SR").u8(0).be16(0).b);

    ASSERT_TRUE(center.wait_for_requests(1));
    const auto state = center.state();
    const auto& record = state.requests.at(0);
    EXPECT_EQ(record.frame, frame);
    ASSERT_TRUE(record.request) << record.error;
    EXPECT_EQ(record.request->process_uid, kUid);
    EXPECT_EQ(record.request->client, "tyx_client_cpp");
    EXPECT_EQ(record.request->value, 20000);
    EXPECT_EQ(record.request->timestamp_ms, 1700000000000);
    EXPECT_FALSE(record.request->remove);
    ASSERT_EQ(record.request->tables.size(), 2u);
    EXPECT_EQ(record.request->tables[0].first_list, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(record.request->tables[0].second_list, (std::vector<std::string>{"c"}));
    EXPECT_TRUE(record.request->tables[0].flag);
    EXPECT_EQ(state.clients.at(kUid).tables, (std::set<std::string>{"Missing", "Order"}));
}

TEST(CenterServer, SubscriptionToNothingKnownStillEndsWithSnapshotResponse) {
    CenterServer center;
    CenterClient client(center.port());
    client.subscribe({{"Nothing"}});
    const auto rows = client.next();
    EXPECT_EQ(rows.fields, (std::vector<std::string>{"seqNum"}));
    EXPECT_EQ(client.next().vid, vid("Y9.VE.SR"));
}

TEST(CenterServer, LiveChangesKeepTheirOrderAndReachOnlySubscribers) {
    CenterServer center;
    center.apply_lines(kOrders);
    CenterClient client(center.port());
    CenterClient other(center.port(), "Y9-other");
    client.subscribe({{"Order"}});
    client.next();
    client.next();

    center.apply_lines({
        R"(O|T="Order"|I="o1"|qty=6|px=101.5D)",             // updated: venue becomes null
        R"(O|T="Order"|I="o3"|qty=1|px=1D|side=B|lots=3L)",  // added, with two new columns
        R"(D|T="Order"|I="o2")",                             // removed
        R"(D|T="Order"|I="nobody")",                         // nothing to remove
        R"(O|T="Order"|I="o4"|qty=2|px=2D)",                 // added again after the removal
        R"(O|T="Fill"|I="f1"|n=1)",                          // a table nobody subscribed
    });
    const auto live = client.next();
    EXPECT_EQ(live.seqnum, 2);
    EXPECT_EQ(live.fields, (std::vector<std::string>{"seqNum", "tyxValuesStringPoolMap", "schemaChanges",
                                                     "tyxEntitiesUpdated", "tyxEntitiesAdded",
                                                     "tyxEntitiesRemoved", "tyxEntitiesAdded"}));
    ASSERT_EQ(live.schemas.size(), 1u);
    ASSERT_EQ(live.schemas[0].columns.size(), 5u);
    EXPECT_EQ(live.schemas[0].columns[3].name, "side");
    EXPECT_EQ(live.schemas[0].columns[4].type, 16);
    // Only the two new names are pooled again; the others were sent with the snapshot.
    ASSERT_EQ(live.pool.size(), 2u);
    EXPECT_EQ(live.pool[0].second, "side");

    ASSERT_EQ(live.entities.size(), 4u);
    const std::vector<std::tuple<int, std::string, std::int64_t>> expected = {
        {2, "o1", 1}, {1, "o3", 3}, {3, "o2", 2}, {1, "o4", 4}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(live.entities[i].action, std::get<0>(expected[i])) << i;
        EXPECT_EQ(live.entities[i].object_id, std::get<1>(expected[i])) << i;
        EXPECT_EQ(live.entities[i].id, std::get<2>(expected[i])) << i;
    }
    // o1 was written before the batch added two columns, so it carries the three of its time.
    const auto& o1 = live.entities[0];
    ASSERT_EQ(o1.fields.size(), 3u);
    EXPECT_EQ(o1.fields[0].second.i, 6);
    EXPECT_EQ(o1.fields[2].first, "venue");
    EXPECT_EQ(o1.fields[2].second.code, 1);
    EXPECT_EQ(live.entities[1].fields[4].second.code, 31);
    EXPECT_EQ(live.entities[1].fields[4].second.i, 3);
    EXPECT_TRUE(live.entities[2].fields.empty());
    EXPECT_TRUE(other.in.quiet_for(50ms));

    client.unsubscribe({{"Order"}});
    ASSERT_TRUE(center.wait_for_requests(2));
    EXPECT_TRUE(center.state().requests[1].request->remove);
    center.apply_lines({R"(O|T="Order"|I="o5"|qty=1)"});
    EXPECT_TRUE(client.in.quiet_for(50ms));
}

TEST(CenterServer, PositionalChangesUsePids) {
    CenterServer center({.positional_changes = true});
    center.apply_lines({kOrders[0]});
    CenterClient client(center.port());
    client.subscribe({{"Order"}});
    const auto rows = client.next();
    EXPECT_TRUE(rows.by_position);
    EXPECT_EQ(rows.fields, (std::vector<std::string>{"20", "28", "27", "24"}));
    ASSERT_EQ(rows.entities.size(), 1u);
    EXPECT_EQ(rows.entities[0].object_id, "o1");
}

TEST(CenterServer, MalformedRequestIsRecordedAndTheConnectionGoesOn) {
    CenterServer center;
    CenterClient client(center.port());
    const std::vector<Buf> bad = {
        frame(
            test::centerbytes::Builder().u8(0).u8(0x29).vid("Y9.ST.MS").u8(1).pid(1, 99).b),  // unknown type
        frame(test::centerbytes::Builder().u8(0).u8(0x28).b),                                 // no preamble
        frame(test::centerbytes::Builder().u8(0).u8(0x29).vid("Y9.VE.CH").u8(0).be16(0).b),   // not a request
    };
    for (const auto& f : bad) client.out.write(f);
    client.out.write(Buf(8, 0));  // an empty frame is skipped
    client.subscribe({{"T"}});
    client.next();
    EXPECT_EQ(client.next().vid, vid("Y9.VE.SR"));
    const auto state = center.state();
    ASSERT_EQ(state.requests.size(), 4u);
    for (std::size_t i = 0; i < bad.size(); ++i) {
        EXPECT_FALSE(state.requests[i].request) << i;
        EXPECT_FALSE(state.requests[i].error.empty()) << i;
        EXPECT_EQ(state.requests[i].frame, bad[i]) << i;
    }
}

TEST(CenterServer, TestHooksSendRawFramesAndThrowables) {
    CenterServer center;
    CenterClient client(center.port());
    ASSERT_TRUE(center.wait_for_paired_clients(1));
    EXPECT_TRUE(center.send_throwable(kUid, "boom"));
    auto payload = read_payload(client.in);
    ASSERT_TRUE(payload);
    EXPECT_EQ(*payload, test::centerbytes::Builder()
                            .u8(0)
                            .u8(0x29)
                            .vid("Y9.ST.PT")
                            .u8(0)
                            .named("exception", 53)
                            .text("boom")
                            .b);

    EXPECT_TRUE(center.send_raw(kUid, {1, 2, 3}));
    EXPECT_EQ(client.in.read_exact(3), (Buf{1, 2, 3}));
    EXPECT_FALSE(center.send_raw("Y9-unknown", {1}));

    center::CenterEntity e{
        .action = 2, .table = "X", .id = 9, .object_id = "x", .field_names = {"f"}, .values = {}};
    EXPECT_TRUE(center.send_changes(kUid, {}, {e}));
    const auto m = client.next();
    ASSERT_EQ(m.entities.size(), 1u);
    EXPECT_EQ(m.entities[0].action, 2);
    EXPECT_EQ(m.entities[0].fields.at(0).second.code, 1);
}

TEST(CenterServer, HeldSnapshotResponseLetsLiveChangesOvertakeIt) {
    CenterServer center;
    center.apply_lines({kOrders[0]});
    CenterClient client(center.port());
    center.hold_snapshot_responses();
    client.subscribe({{"Order"}});
    EXPECT_EQ(client.next().seqnum, 1);
    center.apply_lines({kOrders[1]});
    const auto live = client.next();
    EXPECT_EQ(live.seqnum, 2);
    ASSERT_EQ(live.entities.size(), 1u);
    EXPECT_TRUE(client.in.quiet_for(50ms));
    center.release_snapshot_responses();
    EXPECT_EQ(client.next().vid, vid("Y9.VE.SR"));

    // A chosen sequence number leaves the center's own count where it was.
    EXPECT_TRUE(center.send_changes(kUid, {}, {}, 1));
    EXPECT_EQ(client.next().seqnum, 1);
    EXPECT_EQ(center.state().seqnum, 2);
}

TEST(CenterServer, ClientThatDoesNotReadIsLetGo) {
    CenterServer center({.max_pending_write_bytes = 1000});
    center.apply_lines({R"(O|T="Big"|I="b"|s=")" + std::string(2000, 'x') + "\""});
    CenterClient client(center.port());
    client.subscribe({{"Big"}});
    EXPECT_TRUE(client.in.wait_closed());
    EXPECT_TRUE(center.wait_until([](const CenterState& s) { return !s.clients.at(kUid).inbound_open; }));
}

TEST(CenterServer, DroppedClientLosesItsSubscriptionsAndMayComeBack) {
    CenterServer center;
    center.apply_lines({kOrders[0]});
    {
        CenterClient client(center.port());
        client.subscribe({{"Order"}});
        client.next();
        client.next();
        center.drop_client(kUid);
        EXPECT_TRUE(client.in.wait_closed());
        EXPECT_TRUE(client.out.wait_closed());
    }
    ASSERT_TRUE(center.wait_until([](const CenterState& s) { return s.open_connections == 0; }));
    EXPECT_TRUE(center.state().clients.at(kUid).tables.empty());

    center.stop_listening();
    EXPECT_FALSE(SandboxTestSocket::can_connect(center.port()));
    center.resume_listening();
    CenterClient again(center.port());
    again.subscribe({{"Order"}});
    const auto rows = again.next();
    // A new connection is sent the names again.
    EXPECT_EQ(rows.pool.size(), 4u);
    EXPECT_EQ(rows.entities.size(), 1u);
}

}  // namespace
}  // namespace tyx::sandbox
