#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "center/center_codec.hpp"
#include "center/subscriptions.hpp"
#include "support/center_bytes.hpp"

namespace tyx {
namespace {

using test::CenterBytes;
using test::hex;

struct RecordingSubscriber : Subscriber {
    std::vector<TyxCenterIncrementalUpdatePtr> delivered;
    void update(TyxCenterIncrementalUpdatePtr u) override { delivered.push_back(std::move(u)); }
    // "table:id@seq" of each delivered update.
    std::vector<std::string> seen() const {
        std::vector<std::string> out;
        for (const auto& u : delivered)
            out.push_back(u->table_name + ":" + std::to_string(u->id) + "@" + std::to_string(u->seqnum));
        return out;
    }
};

TyxCenterIncrementalUpdatePtr row(std::string table, std::int64_t id, std::int64_t seq) {
    auto u = std::make_shared<TyxCenterIncrementalUpdate>();
    u->table_name = std::move(table);
    u->id = id;
    u->seqnum = seq;
    u->action = 1;
    return u;
}

SubscriptionRequest req(std::string table) {
    return SubscriptionRequest{std::move(table), {}, {}, false};
}

TEST(SubscribedTablesTest, AddForSubscriptionSendsOnlyWhatChanged) {
    RecordingSubscriber sub;
    SubscribedTables tables(sub);
    EXPECT_EQ(tables.add_for_subscription({req("A"), req("B")}).size(), 2u);
    EXPECT_EQ(tables.request_counter(), 1u);

    // Equal requests: nothing to send, and no request number used up.
    EXPECT_TRUE(tables.add_for_subscription({req("B"), req("A")}).empty());
    EXPECT_TRUE(tables.add_for_subscription({}).empty());
    EXPECT_EQ(tables.request_counter(), 1u);

    // A changed request replaces the table (its buffer goes) and is requested anew.
    tables.add_update(row("A", 1, 5));
    SubscriptionRequest changed{"A", {"x"}, {}, true};
    const auto sent = tables.add_for_subscription({req("B"), changed});
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], changed);
    EXPECT_EQ(tables.request_counter(), 2u);
    EXPECT_EQ(tables.find("A")->request_number(), 2u);
    EXPECT_EQ(tables.find("A")->buffered(), 0u);
    EXPECT_EQ(tables.find("B")->request_number(), 1u);

    EXPECT_EQ(tables.remove({"C", "B", "B"}), (std::vector<std::string>{"B"}));
    EXPECT_EQ(tables.find("B"), nullptr);
    const auto all = tables.aquire_current_tables();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0], changed);
    EXPECT_EQ(tables.size(), 0u);

    // Routing remembers the table it found, but not past a change of the tables.
    TyxCenterIncrementalUpdate record;
    record.table_name = "D";
    EXPECT_FALSE(tables.route(record));
    tables.add_for_subscription({req("D")});
    record.table_name = "D";
    EXPECT_FALSE(tables.route(record));  // waits for its snapshot: taken into the buffer
    EXPECT_EQ(tables.find("D")->buffered(), 1u);
    tables.remove({"D"});
    tables.add_for_subscription({req("D")});
    record.table_name = "D";
    EXPECT_FALSE(tables.route(record));
    EXPECT_EQ(tables.find("D")->buffered(), 1u);
}

TEST(SubscribedTablesTest, RowsWaitForTheirOwnSnapshotAnswerAndOlderUpdatesAreDropped) {
    RecordingSubscriber sub;
    SubscribedTables tables(sub);
    tables.add_for_subscription({req("A")});  // request 1
    // Live updates that overtook the snapshot, then the snapshot rows (seq 10), then an
    // update for a table nobody subscribed.
    tables.add_update(row("A", 1, 8));
    tables.add_update(row("A", 2, 9));
    tables.add_update(row("A", 3, 10));
    tables.add_update(row("A", 4, 10));
    tables.add_update(row("Z", 9, 10));
    tables.add_for_subscription({req("B")});  // request 2
    tables.add_update(row("B", 7, 10));
    EXPECT_TRUE(sub.delivered.empty());

    tables.snapshot_received(1, 10);
    EXPECT_EQ(sub.seen(), (std::vector<std::string>{"A:3@10", "A:4@10"}));
    EXPECT_TRUE(tables.find("A")->live());
    EXPECT_FALSE(tables.find("B")->live());

    // Live table: at once, whatever its sequence number. B still waits for answer 2.
    tables.add_update(row("A", 5, 11));
    tables.add_update(row("B", 8, 11));
    EXPECT_EQ(sub.delivered.size(), 3u);
    tables.snapshot_received(2, 11);
    EXPECT_EQ(sub.seen(), (std::vector<std::string>{"A:3@10", "A:4@10", "A:5@11", "B:8@11"}));
    // Snapshot rows of B older than its answer's last sequence number were dropped (B:7@10).
}

TEST(SubscribedTablesTest, SchemasOnlyForSubscribedTables) {
    RecordingSubscriber sub;
    SubscribedTables tables(sub);
    tables.add_for_subscription({req("A")});
    EXPECT_FALSE(tables.table_schema("A").has_value());
    CenterTableSchema s;
    s.kind = 3;
    s.columns.push_back({"price", 6, 1});
    tables.set_schema("A", s);
    tables.set_schema("Z", s);
    ASSERT_TRUE(tables.table_schema("A").has_value());
    EXPECT_EQ(tables.table_schema("A")->columns.at(0).name, "price");
    EXPECT_FALSE(tables.table_schema("Z").has_value());
    EXPECT_EQ(tables.schemas().size(), 1u);
}

// After a reconnection every table is asked for again; the one answer to that request releases
// every caller, whichever earlier request it waited for, and the schemas stay known.
TEST(SubscriptionStateTest, ReconnectionRequestsEveryTableOnceAndItsAnswerReleasesEveryWaiter) {
    RecordingSubscriber sub;
    SubscriptionState state(sub);
    std::vector<std::string> released;
    auto note = [&](std::string who) { return [&released, who] { released.push_back(who); }; };
    EXPECT_EQ(state.subscribe({req("B"), req("A")}, note("first")).size(), 2u);
    // Nothing new: waits for the answer A waits for.
    EXPECT_EQ(state.subscribe({req("A")}, note("equal")).size(), 0u);
    EXPECT_EQ(state.subscribe({req("C")}, note("second")).size(), 1u);
    EXPECT_TRUE(released.empty());
    CenterTableSchema schema;
    schema.columns.push_back({"qty", 4, 0});
    state.tables().set_schema("A", schema);

    // The first request is answered; the second is lost with the connection.
    state.tables().add_update(row("A", 1, 5));
    state.snapshot_answered(0);
    state.release_answered();
    EXPECT_EQ(released, (std::vector<std::string>{"first", "equal"}));
    EXPECT_EQ(sub.seen(), (std::vector<std::string>{"A:1@5"}));
    // A live table: at once.
    EXPECT_EQ(state.subscribe({req("A")}, note("live")).size(), 0u);
    EXPECT_EQ(released.back(), "live");

    const std::vector<SubscriptionRequest> again = state.reconnected();
    ASSERT_EQ(again.size(), 3u);
    EXPECT_EQ(again[0].table_name + again[1].table_name + again[2].table_name, "ABC");
    EXPECT_TRUE(state.tables().table_schema("A").has_value());
    EXPECT_FALSE(state.tables().find("A")->live());
    EXPECT_EQ(state.waiting_calls(), 1u);
    state.tables().add_update(row("A", 2, 7));
    EXPECT_EQ(sub.seen(), (std::vector<std::string>{"A:1@5"}));  // held for the new answer
    state.snapshot_answered(0);
    state.release_answered();
    EXPECT_EQ(released, (std::vector<std::string>{"first", "equal", "live", "second"}));
    EXPECT_EQ(sub.seen(), (std::vector<std::string>{"A:1@5", "A:2@7"}));

    // Without tables a reconnection asks for nothing; stopping releases whoever still waits.
    SubscriptionState empty(sub);
    EXPECT_TRUE(empty.reconnected().empty());
    empty.subscribe({req("D")}, note("stopped"));
    empty.release_all();
    EXPECT_EQ(released.back(), "stopped");
    EXPECT_EQ(empty.waiting_calls(), 0u);
}

// The request frame written independently of the library's writer.
CenterBytes query_entry(const SubscriptionRequest& r, bool remove) {
    CenterBytes b;
    b.vid("Y9.VE.UR").u8(1).pid(1, 20).utf(r.table_name);
    if (!r.first_list.empty()) {
        b.pid(2, 21).u32_be(static_cast<std::uint32_t>(r.first_list.size())).u8(20);
        for (const auto& s : r.first_list) b.utf(s);
    }
    b.pid(3, 0).u8(r.flag ? 1 : 0);
    if (!r.second_list.empty()) {
        b.pid(4, 21).u32_be(static_cast<std::uint32_t>(r.second_list.size())).u8(20);
        for (const auto& s : r.second_list) b.utf(s);
    }
    if (remove) b.pid(5, 0).u8(1);
    return b.end_positional();
}

std::vector<std::uint8_t> expected_request(const std::vector<SubscriptionRequest>& requests, bool remove,
                                           std::string_view uid, std::int64_t ms) {
    CenterBytes b;
    b.preamble("Y9.ST.MS", 1).pid(1, 41).vid("Y9.BA.RQ").u8(0).named("action", 41);
    b.vid("Y9.VE.SQ").u8(1).pid(2, 4).u32_be(20000).pid(4, 0).u8(1);
    b.pid(3, 21).u32_be(static_cast<std::uint32_t>(requests.size()));
    if (!requests.empty()) {
        b.u8(41);
        for (const auto& r : requests) b.raw(query_entry(r, remove));
    }
    b.pid(51, 20).utf("tyx_client_cpp").pid(54, 6).i64_be(ms).end_positional().end_named();
    b.pid(2, 52).pid(3, 20).utf(uid).pid(4, 52).pid(5, 52).end_positional();
    return b.framed();
}

TEST(SnapshotRequestTest, FrameBytes) {
    const std::string uid = "Y9-" + std::string(62, 'q');
    struct Case {
        const char* what;
        std::vector<SubscriptionRequest> requests;
        bool remove;
    };
    const Case cases[] = {
        {"one table by name", {req("Orders")}, false},
        {"lists and flag",
         {SubscriptionRequest{"Orders", {"a", ""}, {"k1", "k2", "k3"}, true}, req("Q")},
         false},
        {"only the second list", {SubscriptionRequest{"T", {}, {"x"}, false}}, false},
        {"removal", {req("Orders"), req("Quotes")}, true},
        {"no tables", {}, false},
    };
    for (const auto& c : cases) {
        ByteVector out;
        center::build_snapshot_request(out, c.requests, c.remove, 20000, uid, 1700000000123);
        EXPECT_EQ(hex(out), hex(expected_request(c.requests, c.remove, uid, 1700000000123))) << c.what;
    }
}

// The reply is checked as it arrives: each step is given exactly the bytes it asked for.
TEST(HandshakeTest, Replies) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> reply;
        std::string error;  // empty: the handshake completes
        std::size_t consumed = 0;
    };
    const auto reply = [](std::string_view text) {
        return CenterBytes().u16_be(static_cast<std::uint16_t>(text.size())).raw(text);
    };
    const std::string long_ok = "XQDM|" + std::string(1019, 'x');
    const Case cases[] = {
        {"reply of 1024 bytes", reply(long_ok).data(), "", 1026},
        {"reply not ending in P: no server UID", reply("XQDM|ok").u8(9).data(), "", 9},
        {"reply ending in P with server UID", reply("XQDM|dTP").raw(reply("Y9-srv")).data(), "", 18},
        {"reply length 1025", CenterBytes().u16_be(1025).data(), "Invalid handshake message length: 1025"},
        {"reply length 0", CenterBytes().u16_be(0).data(), "Invalid handshake message length: 0"},
        {"tag not at the start", reply("xXQDM|a").data(), "Unexpected MsgDirect server response: xXQDM|a"},
        {"short reply", reply("XQD").data(), "Unexpected MsgDirect server response: XQD"},
        {"server UID length 0", reply("XQDM|P").u16_be(0).data(),
         "Invalid MsgDirect server process UID length: 0"},
        {"server UID length 1025", reply("XQDM|P").u16_be(1025).data(),
         "Invalid MsgDirect server process UID length: 1025"},
    };
    for (const auto& c : cases) {
        center::HandshakeReply check;
        std::size_t at = 0;
        std::string error;
        try {
            while (const std::size_t n = check.wanted()) {
                ASSERT_LE(at + n, c.reply.size()) << c.what;
                check.take(ByteView(c.reply.data() + at, n));
                at += n;
            }
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.error) << c.what;
        if (c.error.empty()) {
            EXPECT_EQ(at, c.consumed) << c.what;  // nothing read past the reply
        }
    }
}

}  // namespace
}  // namespace tyx
