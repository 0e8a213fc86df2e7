#include "relay_server.hpp"

#include "support/sandbox_test_socket.hpp"

#include <gtest/gtest.h>

#include <atomic>

namespace tyx::sandbox {
namespace {

using namespace std::chrono_literals;
using test::SandboxTestSocket;

constexpr const char* kWorkedObject =
    "O#42|T=\"Order\"|I=\"o-17\"|qty=5|px=101.25D|side=B|venue=\"XNYS\"|lots=3L|flag=\n";

TEST(RelayServer, LoginIsRecordedAndAnsweredWithAStatusLine) {
    RelayServer relay;
    ASSERT_NE(relay.port(), 0);
    SandboxTestSocket client(relay.port());
    client.write("L#1@1700000000123|I=\"feedA\"|O=\"QUIET,LOG,UNIX,WINDOWS,TTY\"\n");
    auto answer = client.read_line();
    ASSERT_TRUE(answer);
    // M@<13-digit milliseconds>|S=0|Q=<login #>|M="logged in"
    ASSERT_EQ(answer->size(), 15u + 23u) << *answer;
    EXPECT_EQ(answer->substr(0, 2), "M@");
    EXPECT_EQ(answer->substr(2, 13).find_first_not_of("0123456789"), std::string::npos) << *answer;
    EXPECT_EQ(answer->substr(15), "|S=0|Q=1|M=\"logged in\"\n");

    auto state = relay.state();
    ASSERT_EQ(state.connections.size(), 1u);
    const auto& conn = state.connections.begin()->second;
    EXPECT_TRUE(conn.logged_in);
    EXPECT_EQ(conn.login_id, "feedA");
    EXPECT_EQ(conn.login_words, (std::vector<std::string>{"QUIET", "LOG", "UNIX", "WINDOWS", "TTY"}));
    EXPECT_EQ(conn.login_seqnum, 1);
    EXPECT_EQ(conn.login_timestamp, 1700000000123);

    client.write("X#2\n");
    ASSERT_TRUE(
        relay.wait_until([](const RelayState& s) { return s.connections.begin()->second.logged_out; }));
    EXPECT_EQ(relay.state().connections.begin()->second.logout_seqnum, 2);
}

TEST(RelayServer, LoginAnswerCanBeSilencedOrWorded) {
    RelayServer quiet({.answer_login = false});
    SandboxTestSocket a(quiet.port());
    a.write("L|I=\"x\"\n");
    ASSERT_TRUE(quiet.wait_for_logins(1));
    EXPECT_TRUE(a.quiet_for(50ms));

    RelayServer worded({.login_message = "welcome"});
    SandboxTestSocket b(worded.port());
    b.write("L|I=\"x\"\n");
    auto answer = b.read_line();
    ASSERT_TRUE(answer);
    EXPECT_NE(answer->find("|Q=0|M=\"welcome\"\n"), std::string::npos) << *answer;
}

TEST(RelayServer, ObjectsAndRemovalsAreRecordedWithTypedFields) {
    RelayServer relay;
    SandboxTestSocket client(relay.port());
    client.write("L|I=\"feedA\"\n");
    client.write(kWorkedObject);
    client.write("O|T=\"Order\"|I=\"o-18\"|E=1700000060000L|qty=6\n");
    client.write("D#43|I=\"o-17\"|T=\"Order\"\n");
    client.write("Zsomething raw\n");
    ASSERT_TRUE(relay.wait_for_objects(2));
    ASSERT_TRUE(relay.wait_for_lines(5));

    auto state = relay.state();
    ASSERT_EQ(state.publications.size(), 3u);
    EXPECT_EQ(state.objects, 2u);
    EXPECT_EQ(state.removals, 1u);

    const auto& obj = state.publications[0];
    EXPECT_EQ(obj.kind, RelayPublication::Kind::Object);
    EXPECT_EQ(obj.type, "Order");
    EXPECT_EQ(obj.id, "o-17");
    EXPECT_EQ(obj.seqnum, 42);
    EXPECT_FALSE(obj.expiry);
    EXPECT_EQ(obj.line + "\n", kWorkedObject);
    ASSERT_EQ(obj.fields().size(), 6u);
    EXPECT_EQ(obj.field("qty")->value.kind, RelayValue::Kind::Integer);
    EXPECT_EQ(obj.field("qty")->value.integer, 5);
    EXPECT_EQ(obj.field("px")->value.kind, RelayValue::Kind::Double);
    EXPECT_EQ(obj.field("px")->value.real, 101.25);
    EXPECT_EQ(obj.field("side")->value.text, "B");
    EXPECT_EQ(obj.field("venue")->value.kind, RelayValue::Kind::String);
    EXPECT_EQ(obj.field("venue")->raw, "\"XNYS\"");
    EXPECT_EQ(obj.field("lots")->value.kind, RelayValue::Kind::Long);
    EXPECT_EQ(obj.field("flag")->value.kind, RelayValue::Kind::Empty);

    EXPECT_EQ(state.publications[1].expiry, 1700000060000);
    ASSERT_EQ(state.publications[1].fields().size(), 1u);
    const auto& removal = state.publications[2];
    EXPECT_EQ(removal.kind, RelayPublication::Kind::Removal);
    EXPECT_EQ(removal.id, "o-17");
    EXPECT_EQ(removal.type, "Order");
    EXPECT_EQ(removal.seqnum, 43);

    EXPECT_EQ(state.current_object("Order", "o-17"), nullptr);
    ASSERT_NE(state.current_object("Order", "o-18"), nullptr);
    const auto& lines = state.connections.begin()->second.lines;
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[4], "Zsomething raw");
}

TEST(RelayServer, SplitAndCoalescedInputGiveTheSameLines) {
    const std::string input =
        std::string("L|I=\"a\"\n") + kWorkedObject + "D|I=\"o-17\"|T=\"Order\"\n" + kWorkedObject;
    RelayServer relay;
    {
        SandboxTestSocket bytewise(relay.port());
        for (char c : input) bytewise.write(std::string_view(&c, 1));
        SandboxTestSocket whole(relay.port());
        whole.write(input);
        ASSERT_TRUE(relay.wait_for_lines(8));
    }
    auto state = relay.state();
    ASSERT_EQ(state.connections.size(), 2u);
    EXPECT_EQ(state.connections.at(1).lines, state.connections.at(2).lines);
    EXPECT_EQ(state.connections.at(1).lines.size(), 4u);
    EXPECT_EQ(state.publications.size(), 6u);
    EXPECT_EQ(state.connections.at(1).bytes, input.size());
}

TEST(RelayServer, SendsStatusCommandAndRawLines) {
    RelayServer relay;
    SandboxTestSocket client(relay.port());
    client.write("L|I=\"a\"\n");
    ASSERT_TRUE(client.read_line());
    const auto id = relay.state().last_connection;
    relay.send_status(id, {1700000000000, 0, 41, "ok", 7});
    relay.send_execute_command(id, {"r1", "go", "ann", "T", "o", {{"x", "1"}}});
    relay.send_line(id, "Zraw\n");
    relay.broadcast_line("Zall\n");
    EXPECT_EQ(client.read_line(), "M#7@1700000000000|S=0|Q=41|M=\"ok\"\n");
    EXPECT_EQ(client.read_line(), "E|I=\"r1\"|C=\"go\"|U=\"ann\"|T=\"T\"|O=\"o\"|x=\"1\"\n");
    EXPECT_EQ(client.read_line(), "Zraw\n");
    EXPECT_EQ(client.read_line(), "Zall\n");
}

TEST(RelayServer, AcknowledgesPublicationsWhenAsked) {
    RelayServer relay({.answer_login = false, .acknowledge_publications = true});
    SandboxTestSocket client(relay.port());
    client.write(kWorkedObject);
    auto ack = client.read_line();
    ASSERT_TRUE(ack);
    EXPECT_NE(ack->find("|S=0|Q=42|M=\"ok\"\n"), std::string::npos) << *ack;
}

TEST(RelayServer, DropStopAndResume) {
    RelayServer relay;
    const auto port = relay.port();
    SandboxTestSocket a(port);
    SandboxTestSocket b(port);
    ASSERT_TRUE(relay.wait_for_connections(2));
    relay.drop_connection(1);
    EXPECT_TRUE(a.wait_closed());
    ASSERT_TRUE(relay.wait_for_connections(1));

    relay.stop_listening();
    EXPECT_FALSE(SandboxTestSocket::can_connect(port));
    b.write("L|I=\"still\"\n");  // an accepted connection outlives the listener
    ASSERT_TRUE(relay.wait_for_logins(1));

    relay.resume_listening();
    EXPECT_EQ(relay.port(), port);
    SandboxTestSocket c(port);
    ASSERT_TRUE(relay.wait_for_connections(2));
    relay.drop_all_connections();
    EXPECT_TRUE(b.wait_closed());
    EXPECT_TRUE(c.wait_closed());
    ASSERT_TRUE(relay.wait_for_connections(0));
    EXPECT_FALSE(relay.state().connections.at(1).open);
}

TEST(RelayServer, ADroppedConnectionCountsWhatItsHostReceivedAndTheServerNeverRead) {
    RelayServer relay;
    SandboxTestSocket client(relay.port());
    client.write("L|I=\"feed\"\n");
    ASSERT_TRUE(relay.wait_for_logins(1));
    relay.faults().stall_reading(std::chrono::hours(1));
    // Whatever the stalled reader took in before the drop is read after it; the rest, the line
    // begun included, is counted as never read.
    client.write(std::string(kWorkedObject) + kWorkedObject + kWorkedObject);
    client.write(std::string(kWorkedObject) + kWorkedObject + "O#1|T=\"Order\"|I=\"ha");
    relay.drop_all_connections();
    ASSERT_TRUE(relay.wait_for_connections(0));
    EXPECT_EQ(relay.state().objects + relay.faults().counts().unread, 6u);
}

TEST(RelayServer, OverlongLineClosesOnlyThatConnection) {
    RelayServer relay({.max_line_bytes = 1024});
    SandboxTestSocket bad(relay.port());
    SandboxTestSocket good(relay.port());
    bad.write(std::string(4096, 'O'));
    EXPECT_TRUE(bad.wait_closed());
    good.write(kWorkedObject);
    ASSERT_TRUE(relay.wait_for_publications(1));
}

TEST(RelayServer, ClientThatDoesNotReadItsAnswersIsClosed) {
    RelayServer relay({.max_pending_write_bytes = 1 << 20});
    SandboxTestSocket client(relay.port());
    ASSERT_TRUE(relay.wait_for_connections(1));
    const auto id = relay.state().last_connection;
    const std::string line = std::string(1 << 20, 'Z') + "\n";
    auto open = [&] { return relay.inspect([](const RelayState& s) { return s.open_connections(); }); };
    // The kernel's buffers take some megabytes first; after them the answers queue up.
    for (int i = 0; i < 200 && open() == 1; ++i) relay.send_line(id, line);
    EXPECT_TRUE(relay.wait_for_connections(0));
}

TEST(RelayServer, CountingModeCountsLinesAndStillAnswersLogin) {
    RelayServer relay({.counting_only = true});
    SandboxTestSocket client(relay.port());
    std::string burst = "L|I=\"bench\"\n";
    for (int i = 0; i < 1000; ++i) burst += kWorkedObject;
    client.write(burst);
    ASSERT_TRUE(client.read_line());
    ASSERT_TRUE(relay.wait_for_lines(1001));
    auto state = relay.state();
    EXPECT_EQ(state.line_count, 1001u);
    EXPECT_EQ(state.bytes, burst.size());
    EXPECT_EQ(state.logins, 1u);
    EXPECT_TRUE(state.publications.empty());
}

TEST(RelayServer, ObserverReceivesPublicationsInBatches) {
    SandboxLoop loop;
    RelayServer relay(loop);
    std::vector<RelayPublication> seen;  // touched on the loop only
    std::atomic<std::size_t> count{0};
    relay.set_observer([&](std::vector<RelayPublication> batch) {
        EXPECT_TRUE(loop.in_loop_thread());
        for (auto& p : batch) seen.push_back(std::move(p));
        count = seen.size();
        loop.notify_changed();
    });
    SandboxTestSocket client(relay.port());
    std::string input;
    for (int i = 0; i < 100; ++i) input += "O|T=\"t\"|I=\"" + std::to_string(i) + "\"|v=1\n";
    input += "D|I=\"5\"|T=\"t\"\n";
    client.write(input);
    ASSERT_TRUE(loop.wait_until([&] { return count == 101; }, 5s));
    loop.call([&] {
        EXPECT_EQ(seen[42].id, "42");
        EXPECT_EQ(seen[100].kind, RelayPublication::Kind::Removal);
    });
}

// Publications given back lend their storage to the next ones: each new line is its own text,
// longer or shorter than the one whose room it takes.
TEST(RelayServerObserver, RecycledPublicationsCarryOnlyTheirOwnLines) {
    SandboxLoop loop;
    RelayServer relay(loop);
    std::vector<std::string> lines;  // touched on the loop only
    std::atomic<std::size_t> count{0};
    relay.set_observer([&](std::vector<RelayPublication> batch) {
        for (const auto& p : batch) lines.push_back(p.line);
        count = lines.size();
        relay.recycle(std::move(batch));
        loop.notify_changed();
    });
    SandboxTestSocket client(relay.port());
    std::vector<std::string> sent;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 50; ++i)
            sent.push_back("O|T=\"t\"|I=\"" + std::to_string(i) + "\"|v=\"" +
                           std::string(static_cast<std::size_t>((i * 37 + round * 11) % 90), 'x') + "\"");
        std::string input;
        for (std::size_t i = sent.size() - 50; i < sent.size(); ++i) input += sent[i] + "\n";
        client.write(input);
        ASSERT_TRUE(loop.wait_until([&] { return count == sent.size(); }, 5s));
    }
    loop.call([&] { EXPECT_EQ(lines, sent); });
}

}  // namespace
}  // namespace tyx::sandbox
