// The center session against the sandbox center: rows published to the sandbox store reach the
// session's listener through real snapshot answers and live changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "center_server.hpp"
#include "support/center_session.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using test::CenterSession;

std::vector<Endpoint> endpoints_of(const sandbox::CenterServer& server) {
    return {Endpoint{"127.0.0.1", std::to_string(server.port())}};
}

TEST(CenterSandboxTest, SnapshotLiveChangesParseErrorsAndReconnection) {
    sandbox::CenterServer server;
    server.apply_lines({R"(O|T="Order"|I="o1"|qty=5|px=101.25D|venue="XNYS")",
                        R"(O|T="Order"|I="o2"|qty=7|px=99.5D|venue="XLON")"});
    CenterSession h(endpoints_of(server));
    h.start();
    ASSERT_TRUE(h.run([&] { return h.client->handshaken(); }));
    ASSERT_TRUE(server.wait_for_paired_clients(1));
    const std::string uid = h.client->process_uid();
    ASSERT_EQ(uid.size(), 65u);

    bool done = false;
    h.subscribe({SubscriptionRequest{"Order", {}, {}, false}}, done);
    // The rows of the answer reach the listener before the call is released.
    ASSERT_TRUE(h.run([&] { return done; }));
    const auto request = server.state().requests.at(0);
    ASSERT_TRUE(request.request.has_value()) << request.error;
    EXPECT_EQ(request.request->process_uid, uid);
    EXPECT_EQ(request.request->client, "tyx_client_cpp");
    ASSERT_EQ(request.request->tables.size(), 1u);
    EXPECT_EQ(request.request->tables[0].table, "Order");

    auto updates = h.events("update");
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_NE(updates[0].find(" 1 Order 1 o1 "), std::string::npos) << updates[0];
    EXPECT_NE(updates[1].find(" 1 Order 2 o2 "), std::string::npos) << updates[1];
    const auto schema = h.client->subscribed_tables().table_schema("Order");
    ASSERT_TRUE(schema.has_value());
    std::vector<std::string> columns;
    for (const auto& col : schema->columns) columns.push_back(col.name);
    EXPECT_EQ(columns, (std::vector<std::string>{"qty", "px", "venue"}));

    // Live changes, and a bad frame and a server exception between them.
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(server.send_raw(uid, {0, 0, 0, 0, 0, 0, 0, 3, 1, 2, 3}));
    ASSERT_TRUE(server.send_throwable(uid, "boom"));
    server.apply_lines({R"(O|T="Order"|I="o1"|qty=6|px=101.5D|venue="XNYS")", R"(D|T="Order"|I="o2")"});
    const bool live = h.run([&] { return h.events("update").size() >= 4; });
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(live);
    EXPECT_EQ(
        err,
        "[tyx_center:alpha-center] parse error: Error: Not enough data to read VID and type from message\n");
    updates = h.events("update");
    EXPECT_NE(updates[2].find(" 2 Order 1 o1 "), std::string::npos) << updates[2];
    EXPECT_NE(updates[3].find(" 3 Order 2 o2 "), std::string::npos) << updates[3];
    EXPECT_EQ(h.events("log alpha-center 3 Server returned an exception (Type::Throwable)").size(), 1u);

    // Both connections dropped: the session comes back with the same UID, asks for the table
    // again and receives its current rows again.
    server.drop_client(uid);
    ASSERT_TRUE(h.run([&] { return h.events("update").size() >= 5; }));
    EXPECT_EQ(h.events("disconnect alpha-center").size(), 1u);
    ASSERT_TRUE(server.wait_for_requests(2));
    const auto again = server.state().requests.at(1);
    ASSERT_TRUE(again.request.has_value()) << again.error;
    EXPECT_EQ(again.request->process_uid, uid);
    ASSERT_EQ(again.request->tables.size(), 1u);
    EXPECT_EQ(again.request->tables[0].table, "Order");
    updates = h.events("update");
    EXPECT_NE(updates[4].find(" 1 Order 1 o1 "), std::string::npos) << updates[4];
    const auto handshakes = server.state().handshakes;
    ASSERT_EQ(handshakes.size(), 4u);
    for (const auto& record : handshakes) EXPECT_EQ(record.greeting.process_uid, uid);
}

}  // namespace
}  // namespace tyx
