// The public Client against the in-process sandbox: publish, subscribe and query the same data,
// uploads, listeners and shutdown. Only the public API is used on the client side.
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <limits>
#include <sstream>

#include "sandbox.hpp"
#include "support/client_recorder.hpp"
#include "tyx/tyx.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using test::ClientRecorder;

Cluster sandbox_cluster(sandbox::Sandbox& s, std::string name = "alpha") {
    Cluster c(std::move(name), "127.0.0.1");
    c.publication_config = PublicationConfig(std::to_string(s.relay_port()), false, "feedA");
    c.subscription_config = SubscriptionConfig(std::to_string(s.center_port()), false);
    c.database_config = DatabaseConfig(std::to_string(s.database_port()), false, "", "");
    return c;
}

std::vector<std::string> requests_of(sandbox::Sandbox& s) {
    std::vector<std::string> texts;
    for (const auto& r : s.database().state().requests) texts.push_back(r.text);
    return texts;
}

TEST(ClientEndToEnd, PublishSubscribeAndQueryTheSameData) {
    sandbox::Sandbox sandbox;
    auto events = std::make_shared<ClientRecorder>();
    {
        Client client;
        client.listener_add(events);
        client.add_cluster(sandbox_cluster(sandbox), true);
        client.subscribe("alpha", std::vector<std::string>{"Orders"}, true);
        ASSERT_TRUE(events->wait_for("subscribe alpha-center Orders"));

        client.publish_object("alpha", "Orders", "o-1", {"qty", "px", "venue"},
                              {std::int32_t{5}, 101.25, std::string("XNYS")});
        ASSERT_TRUE(events->wait_for("update alpha-center 1 Orders o-1"));
        client.publish_object("alpha", "Orders", "o-1", {"qty", "px", "venue"},
                              {std::int32_t{6}, 101.5, std::string("XNYS")});
        ASSERT_TRUE(events->wait_for("update alpha-center 2 Orders o-1"));
        ASSERT_TRUE(sandbox.wait_until_stored());

        auto result = client.sql("alpha", "SELECT qty, px, venue FROM Orders");
        ASSERT_TRUE(result->has_result_set()) << result->error_message();
        ASSERT_EQ(result->row_count(), 1);
        EXPECT_EQ(result->column_names(), (std::vector<std::string>{"qty", "px", "venue"}));
        ASSERT_TRUE(result->cursor_advance());
        const auto row = static_cast<std::size_t>(result->cursor_position());
        EXPECT_EQ(std::get<std::vector<std::int32_t>>(result->columns()[0])[row], 6);
        EXPECT_EQ(std::get<std::vector<double>>(result->columns()[1])[row], 101.5);
        EXPECT_EQ(std::get<std::vector<std::string>>(result->columns()[2])[row], "XNYS");

        // The identifier comes first in remove_object, then the type.
        client.remove_object("alpha", "o-1", "Orders");
        ASSERT_TRUE(events->wait_for("update alpha-center 3 Orders o-1"));
        ASSERT_TRUE(sandbox.relay().wait_until([](const sandbox::RelayState& s) {
            return !s.publications.empty() && s.publications.back().line == "D|I=\"o-1\"|T=\"Orders\"";
        }));
        const auto updates = events->updates();
        const auto& added = updates.front();
        EXPECT_EQ(added.field_names, (std::vector<std::string>{"qty", "px", "venue"}));
    }
}

TEST(ClientEndToEnd, ListenersAddedTwiceHearTwiceAndNullIsIgnored) {
    sandbox::Sandbox sandbox;
    auto events = std::make_shared<ClientRecorder>();
    {
        Client client;
        client.listener_add(nullptr);
        client.listener_add(events);
        client.listener_add(events);
        client.add_cluster(sandbox_cluster(sandbox), true);
        ASSERT_TRUE(events->wait_for("logged_in alpha-relay", 2));
        client.publish_raw("alpha", "O|T=\"T\"|I=\"x\"\n");
        ASSERT_TRUE(events->wait_for("sent alpha-relay O|T=\"T\"|I=\"x\"", 2));
    }
    EXPECT_EQ(events->count("sent alpha-relay O|T=\"T\"|I=\"x\""), 2u);
}

TEST(ClientEndToEnd, UnknownClusterSqlGivesAnEmptyAccessorAndALog) {
    auto events = std::make_shared<ClientRecorder>();
    Client client;
    client.listener_add(events);
    auto result = client.sql("nowhere", "SELECT 1");
    ASSERT_NE(result, nullptr);
    EXPECT_FALSE(result->has_result_set());
    EXPECT_EQ(result->row_count(), 0);
    EXPECT_EQ(result->error_message(), "Failed to execute SQL query: Cluster not found [nowhere]");
    ASSERT_TRUE(events->wait_for("log nowhere 3 Failed to execute SQL query: Cluster not found [nowhere]"));

    // An empty sql_async callback is refused at once and never reaches the notification thread.
    client.sql_async("nowhere", "SELECT 1", std::function<void(const TableAccessor&)>());
    ASSERT_TRUE(events->wait_for("log nowhere 3 Failed to execute SQL query: empty callback"));
}

TEST(ClientEndToEnd, SqlAsyncDeliversOnTheNotificationThread) {
    sandbox::Sandbox sandbox;
    Client client;
    client.add_cluster(sandbox_cluster(sandbox), true);
    std::promise<std::pair<std::int64_t, std::string>> got;
    client.sql_async("alpha", "SELECT 41 + 1 AS answer", [&got](const TableAccessor& a) {
        const auto& v = a.columns().at(0);
        got.set_value({std::get<std::vector<std::int64_t>>(v).at(0), a.column_names().at(0)});
    });
    auto future = got.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    const auto [value, name] = future.get();
    EXPECT_EQ(value, 42);
    EXPECT_EQ(name, "answer");
}

TEST(ClientEndToEnd, ReplaceCreatesOrEmptiesThenInserts) {
    sandbox::Sandbox sandbox;
    Client client;
    client.add_cluster(sandbox_cluster(sandbox), true);

    Table first("prices");
    first.add_column("sym", std::vector<std::string>{"A", "B", "C"}).add_column("px", std::vector<double>{1, 2, 3});
    client.sql_replace("alpha", std::move(first), "");
    auto texts = requests_of(sandbox);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "SELECT * FROM `prices` LIMIT 0");
    EXPECT_EQ(texts[1], "CREATE PUBLIC TABLE prices (sym String, px Double) USE InitialCapacity=3");
    EXPECT_EQ(texts[2], "prices");  // the bulk insert names its table

    Table second("prices");
    second.add_column("sym", std::vector<std::string>{"Z"}).add_column("px", std::vector<double>{9.5});
    client.sql_replace("alpha", std::move(second), "");
    texts = requests_of(sandbox);
    ASSERT_EQ(texts.size(), 6u);
    EXPECT_EQ(texts[3], "SELECT * FROM `prices` LIMIT 0");
    EXPECT_EQ(texts[4], "DELETE FROM `prices`");
    EXPECT_EQ(texts[5], "prices");

    auto result = client.sql("alpha", "SELECT sym, px FROM prices");
    ASSERT_EQ(result->row_count(), 1);
    EXPECT_EQ(std::get<std::vector<std::string>>(result->columns()[0])[0], "Z");
    EXPECT_EQ(std::get<std::vector<double>>(result->columns()[1])[0], 9.5);
}

TEST(ClientEndToEnd, InsertAsyncWithAndWithoutOnDone) {
    sandbox::Sandbox sandbox;
    auto events = std::make_shared<ClientRecorder>();
    Client client;
    client.listener_add(events);
    client.add_cluster(sandbox_cluster(sandbox), true);
    client.sql("alpha", "CREATE TABLE t (v Integer)");

    Table a("t");
    a.add_column("v", std::vector<std::int32_t>{1, 2});
    client.sql_insert_async("alpha", std::move(a));
    std::promise<void> done;
    Table b("t");
    b.add_column("v", std::vector<std::int32_t>{3});
    client.sql_insert_async("alpha", std::move(b), [&done] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
    // Requests on one database session run in turn, so the first insert is done as well.
    auto result = client.sql("alpha", "SELECT COUNT(*) FROM t");
    EXPECT_EQ(std::get<std::vector<std::int64_t>>(result->columns().at(0)).at(0), 3);

    // Anything but a Table is refused with a log and sends nothing.
    auto accessor = client.sql("alpha", "SELECT v FROM t");
    const auto before = sandbox.database().state().requests.size();
    client.sql_insert("alpha", std::move(*accessor));
    ASSERT_TRUE(events->wait_for("log alpha 3 Failed to insert table: the accessor is not a Table"));
    EXPECT_EQ(sandbox.database().state().requests.size(), before);
}

// Equal values, a NaN matching a NaN.
template <typename T>
bool same_value(const T& a, const T& b) {
    if constexpr (std::is_floating_point_v<T>)
        return a == b || (std::isnan(a) && std::isnan(b));
    else
        return a == b;
}

TEST(ClientEndToEnd, NullsAndNaNSurviveAnUploadAndAQuery) {
    sandbox::Sandbox sandbox;
    Client client;
    client.add_cluster(sandbox_cluster(sandbox), true);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Every column has a NULL, each in another row; the float columns also hold a NaN value.
    Table upload("nulls");
    upload.add_column_impl("flag", code_of(TypeCode::Boolean), std::vector<std::uint8_t>{1, 0, 1}, 3,
                           {0b001});
    upload.add_column("b", std::vector<std::uint8_t>{255, 7, 0}, {0b100})
        .add_column("s16", std::vector<std::int16_t>{-3, 0, 3}, {0b010})
        .add_column("ch", std::vector<std::uint16_t>{65535, 0, 66}, {0b010})
        .add_column("i32", std::vector<std::int32_t>{0, -7, 7}, {0b001})
        .add_column("i64", std::vector<std::int64_t>{1LL << 40, 0, -1}, {0b010})
        .add_column("f", std::vector<float>{0, static_cast<float>(nan), 1.5f}, {0b001})
        .add_column("d", std::vector<double>{nan, 0, 2.25}, {0b010})
        .add_column("cx", std::vector<std::complex<double>>{{0, 0}, {1, -2}, {3, 4}}, {0b001})
        .add_column("str", std::vector<std::string>{"a", "", ""}, {0b100})
        .add_column("raw", std::vector<std::vector<std::uint8_t>>{{}, {1, 2}, {3}}, {0b001});
    upload.add_column_impl("ns", code_of(TypeCode::DateNanos), std::vector<std::int64_t>{0, 5, 6}, 3,
                           {0b001});
    const Table sent = upload;
    client.sql_replace("alpha", std::move(upload), "");
    client.sql_insert("alpha", Table(sent));

    const auto result = client.sql("alpha", "SELECT * FROM nulls");
    ASSERT_EQ(result->row_count(), 6) << result->error_message();
    EXPECT_EQ(column_type_codes(*result), sent.column_types());
    for (std::size_t j = 0; j < sent.columns().size(); ++j) {
        ASSERT_EQ(result->columns()[j].index(), sent.columns()[j].index()) << sent.column_names()[j];
        std::visit(
            [&](const auto& want) {
                using V = std::decay_t<decltype(want)>;
                if constexpr (!std::is_same_v<V, std::monostate>) {
                    const auto& got = std::get<V>(result->columns()[j]);
                    for (std::int64_t r = 0; r < 6; ++r) {
                        const auto at = static_cast<std::size_t>(r % 3);
                        const bool null = sent.is_null(j, r % 3);
                        EXPECT_EQ(result->is_null(j, r), null) << sent.column_names()[j] << " row " << r;
                        if (!null) {
                            EXPECT_TRUE(same_value(got[static_cast<std::size_t>(r)], want[at]))
                                << sent.column_names()[j] << " row " << r;
                        }
                    }
                }
            },
            sent.columns()[j]);
    }
    std::ostringstream printed;
    result->print(printed);
    EXPECT_NE(printed.str().find("| 0 | NULL | 255  | -3   | 65535 | NULL | 1099511627776 | NULL | nan  |"),
              std::string::npos)
        << printed.str();
}

TEST(ClientEndToEnd, DestroyingTheClientDeliversTheCentersDisconnectFirst) {
    sandbox::Sandbox sandbox;
    auto events = std::make_shared<ClientRecorder>();
    {
        Client client;
        client.listener_add(events);
        client.add_cluster(sandbox_cluster(sandbox), true);
        ASSERT_TRUE(events->wait_for("connect alpha-center"));
    }
    EXPECT_GE(events->count("disconnect alpha-center"), 1u);
}

}  // namespace
}  // namespace tyx
