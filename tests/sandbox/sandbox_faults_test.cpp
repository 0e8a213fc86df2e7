// The sandbox's fault injection, seen from a raw socket: each fault does what its header says
// and is counted, and the written plans read back as they were meant.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "database_server.hpp"
#include "relay_server.hpp"
#include "sandbox_faults.hpp"
#include "support/sandbox_test_socket.hpp"

namespace tyx::sandbox {
namespace {

using namespace std::chrono_literals;
using test::SandboxTestSocket;
using Kind = FaultInjector::Answer::Kind;

TEST(WrittenFaultPlan, ReadsEverySettingAndWritesItBack) {
    const auto faults = parse_fault_plan(
        "seed=7; relay:drop=0.25,stall=3s/200ms ;center:garbage=0.5,cut=0.125,drop-after-bytes=4096;"
        "database:delay=0.5/2s,withhold=0.75,refuse=10s/1s,truncate=1,drop-after-messages=3,drop-every=5s");
    EXPECT_EQ(faults.seed, 7u);
    EXPECT_EQ(faults.relay.drop_rate, 0.25);
    EXPECT_EQ(faults.relay.stall.every, 3s);
    EXPECT_EQ(faults.relay.stall.length, 200ms);
    EXPECT_EQ(faults.center.garbage_rate, 0.5);
    EXPECT_EQ(faults.center.drop_after_bytes, 4096u);
    EXPECT_EQ(faults.database.delay, 2s);
    EXPECT_EQ(faults.database.refuse.length, 1s);
    EXPECT_EQ(faults.database.drop_after_messages, 3u);
    const auto units = parse_fault_plan("relay:stall=1h/1ms;center:stall=2m/3");
    EXPECT_EQ(units.relay.stall.every, 1h);
    EXPECT_EQ(units.relay.stall.length, 1ms);
    EXPECT_EQ(units.center.stall.every, 2min);
    EXPECT_EQ(units.center.stall.length, 3ms);
    EXPECT_EQ(describe_faults(faults),
              "seed=7;relay:drop=0.25,stall=3000ms/200ms;center:drop-after-bytes=4096,garbage=0.5,cut=0.125;"
              "database:drop-after-messages=3,drop-every=5000ms,delay=0.5/2000ms,withhold=0.75,refuse=10000ms/1000ms,truncate=1");
    EXPECT_EQ(describe_faults(parse_fault_plan(describe_faults(faults))), describe_faults(faults));

    const auto all = parse_fault_plan("all:drop=0.5");
    EXPECT_EQ(all.relay.drop_rate, 0.5);
    EXPECT_EQ(all.database.drop_rate, 0.5);
    EXPECT_EQ(describe_faults(parse_fault_plan("")), "");
}

TEST(WrittenFaultPlan, NamesWhatIsWrong) {
    const auto error_of = [](const char* text) {
        try {
            parse_fault_plan(text);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(error_of("relay:drop=2"), "fault plan 'relay:drop=2': a rate is a number from 0 to 1, not 2");
    EXPECT_EQ(error_of("broker:drop=0.1"),
              "fault plan 'broker:drop=0.1': unknown server broker (relay, center, database or all)");
    EXPECT_NE(error_of("relay:stall=3s").find("wants two values"), std::string::npos);
    EXPECT_NE(error_of("relay:shake=1").find("unknown fault shake"), std::string::npos);
    EXPECT_NE(error_of("relay").find("seed=N or KIND:SETTINGS"), std::string::npos);
    EXPECT_NE(error_of("seed=x").find("not a whole number"), std::string::npos);
    EXPECT_NE(error_of("relay:stall=1d/1s").find("not a whole number: 1d"), std::string::npos);
}

// A relay connection that has logged in, with what it read up to its login answer.
struct LoggedIn {
    explicit LoggedIn(RelayServer& server, std::string_view login = "L|I=\"feed\"\n",
                      std::chrono::milliseconds timeout = 5s)
        : socket(server.port()) {
        socket.write(login);
        while (auto line = socket.read_line(timeout)) {
            text += *line;
            if (line->ends_with("M=\"logged in\"\n")) {
                answered = true;
                break;
            }
        }
    }
    SandboxTestSocket socket;
    std::string text;
    bool answered = false;
};

TEST(RelayFaults, DropsAConnectionAfterItsMessageCount) {
    RelayServerOptions options;
    options.faults.drop_after_messages = 3;
    RelayServer server(options);
    LoggedIn client(server);
    ASSERT_TRUE(client.answered);
    client.socket.write("O|T=\"t\"|I=\"1\"\nO|T=\"t\"|I=\"2\"\n");
    ASSERT_TRUE(client.socket.wait_closed());
    EXPECT_EQ(server.faults().counts().dropped, 1u);
    EXPECT_EQ(server.state().objects, 2u);  // the messages read before the drop are kept
}

TEST(RelayFaults, DropsEveryConnectionAtRandomGapsWhenAsked) {
    RelayServerOptions options;
    options.faults.drop_every = 100ms;
    RelayServer server(options);
    SandboxTestSocket first(server.port());
    SandboxTestSocket second(server.port());
    EXPECT_TRUE(first.wait_closed());
    EXPECT_TRUE(second.wait_closed());
    EXPECT_GE(server.faults().counts().dropped, 2u);
}

TEST(RelayFaults, TriggeredAnswerFaultsChangeOnlyTheAnswerTheyHit) {
    RelayServer server;
    auto& faults = server.faults();
    const std::size_t plain = LoggedIn(server).text.size();

    faults.withhold_answers(1);
    EXPECT_FALSE(LoggedIn(server, "L|I=\"feed\"\n", 200ms).answered);
    faults.corrupt_next_answer(Kind::garbage);
    {
        LoggedIn client(server);
        ASSERT_TRUE(client.answered);
        EXPECT_GT(client.text.size(), plain);  // random bytes came first
    }
    faults.corrupt_next_answer(Kind::cut);
    {
        SandboxTestSocket socket(server.port());
        socket.write("L|I=\"feed\"\n");
        EXPECT_TRUE(socket.wait_closed());
    }
    faults.corrupt_next_answer(Kind::truncate);
    {
        // The cut-short first answer runs into the whole second one.
        LoggedIn client(server, "L|I=\"feed\"\nL|I=\"feed\"\n");
        ASSERT_TRUE(client.answered);
        EXPECT_GT(client.text.size(), plain);
        EXPECT_LT(client.text.size(), 2 * plain);
    }
    faults.hold_answers(300ms);
    {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(LoggedIn(server).answered);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
    }
    const auto counts = faults.counts();
    EXPECT_EQ(counts.withheld, 1u);
    EXPECT_EQ(counts.garbage, 1u);
    EXPECT_EQ(counts.cut, 1u);
    EXPECT_EQ(counts.truncated, 1u);
    EXPECT_EQ(counts.delayed, 1u);
    EXPECT_EQ(counts.total(), 5u);
}

TEST(RelayFaults, AStallLeavesLinesUnreadAndARefusalRefusesThenListensAgain) {
    RelayServer server;
    LoggedIn client(server);
    ASSERT_TRUE(client.answered);
    server.faults().stall_reading(400ms);
    client.socket.write("O|T=\"t\"|I=\"1\"\n");
    EXPECT_FALSE(server.wait_for_objects(1, 150ms));
    EXPECT_TRUE(server.wait_for_objects(1, 5s));

    server.faults().refuse_connections(300ms);
    EXPECT_FALSE(SandboxTestSocket::can_connect(server.port()));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!SandboxTestSocket::can_connect(server.port()) && std::chrono::steady_clock::now() < deadline) {
    }
    EXPECT_TRUE(SandboxTestSocket::can_connect(server.port()));
    // An explicit stop during a refusal wins over its end.
    server.faults().refuse_connections(100ms);
    server.stop_listening();
    const auto accepted = server.state().accepted;
    EXPECT_FALSE(server.wait_until([&](const RelayState& s) { return s.accepted > accepted; }, 300ms));
    EXPECT_FALSE(SandboxTestSocket::can_connect(server.port()));
    const auto counts = server.faults().counts();
    EXPECT_EQ(counts.stalls, 1u);
    EXPECT_EQ(counts.refusals, 2u);
}

TEST(DatabaseFaults, AWithheldVersionAnswerLeavesTheClientWaitingOnAnOpenConnection) {
    DatabaseServer server;
    server.faults().withhold_answers(1);
    SandboxTestSocket socket(server.port());
    socket.write(std::string("\x1f\xf1", 2));
    EXPECT_TRUE(socket.quiet_for(200ms));
    server.faults().drop_connections();
    EXPECT_TRUE(socket.wait_closed());
    EXPECT_EQ(server.faults().counts().withheld, 1u);
    EXPECT_EQ(server.faults().counts().dropped, 1u);
}

}  // namespace
}  // namespace tyx::sandbox
