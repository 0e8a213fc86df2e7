// The database session against the sandbox database on loopback: login and its events, column
// types, server errors, bulk inserts, the retry after a loss, concurrent callers, misbehaving
// servers, deadlines and stop.
#include <gtest/gtest.h>

#include <complex>
#include <future>
#include <thread>

#include "database_server.hpp"
#include "jdbc/jdbc_session_messages.hpp"
#include "support/jdbc_bytes.hpp"
#include "support/jdbc_harness.hpp"
#include "support/jdbc_scripted_server.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using sandbox::DatabaseServer;
using test::JdbcHarness;
using Result = std::shared_ptr<jdbc::QueryResult>;

const jdbc::Table& only_table(const Result& r) {
    if (!r || r->elements.size() != 1 || !r->elements[0].result_set ||
        r->elements[0].result_set->tables.size() != 1)
        throw std::runtime_error("expected one result set with one table");
    return r->elements[0].result_set->tables[0];
}

template <typename T>
const std::vector<T>& column(const Result& r, std::size_t i) {
    return std::get<std::vector<T>>(only_table(r).columns.at(i).values);
}

std::int64_t single_long(const Result& r) {
    return column<std::int64_t>(r, 0).at(0);
}

jdbc::JdbcColumn make_column(std::string name, std::uint8_t type, ColumnValues values, std::int32_t rows) {
    jdbc::JdbcColumn c;
    c.name = std::move(name);
    c.type = type;
    c.values = std::move(values);
    c.row_count = rows;
    return c;
}

// The message text of a one-element result, or "" when it is something else.
std::string message_of(const Result& r) {
    if (!r || r->elements.size() != 1 || !r->elements[0].message) return {};
    return r->elements[0].message->text;
}

TEST(JdbcSession, LoginEventsInOrderWithTheExactImage) {
    for (const std::string db : {"", "x"}) {
        SCOPED_TRACE("db '" + db + "'");
        DatabaseServer server({.login_message = "welcome"});
        JdbcHarness h(test::database_endpoint(server), test::database_config(db));
        h.connect();
        ASSERT_TRUE(h.log().wait_for("received"));
        const auto events = h.log().events();
        ASSERT_EQ(h.log().kinds(), (std::vector<std::string>{"connect", "sent", "logged_in", "received"}));
        for (const auto& e : events) EXPECT_EQ(e.name, "alpha-jdbc");

        test::JdbcBytes body;
        body.u8(21).i32(3).u8(60).raw({11, 1}).u8(23).i32(db.empty() ? 4 : 5).raw({20, 20});
        body.utf("password").utf("secret").utf("username").utf("ann");
        body.utf("timeout").utf("30000").utf("limit").utf("10000");
        if (!db.empty()) body.utf("db").utf(db);
        body.u8(14).i32(2);
        test::JdbcBytes expected;
        expected.u32(static_cast<std::uint32_t>(body.bytes.size())).raw(body.bytes);
        EXPECT_EQ(test::jdbc_hex(ByteVector(events[1].text.begin(), events[1].text.end())),
                  test::jdbc_hex(expected.bytes));
        EXPECT_EQ(events[3].text, "welcome");
        EXPECT_EQ(events[3].numbers, "0 0 0");

        const auto state = server.state();
        ASSERT_EQ(state.logins.size(), 1u);
        EXPECT_TRUE(state.logins[0].accepted);
        EXPECT_EQ(state.logins[0].entries.size(), db.empty() ? 4u : 5u);
        EXPECT_EQ(state.logins[0].entries.back().first, db.empty() ? "limit" : "db");
        EXPECT_TRUE(h.client().logged_in());
    }
}

TEST(JdbcSession, RefusedVersionsAndLoginsEndTheConnectWithTheirTexts) {
    struct Case {
        const char* label;
        sandbox::DatabaseServerOptions options;
        std::string text;
    };
    const Case cases[] = {
        {"version bytes",
         {.version_answer = {63, 245}},
         "Invalid JDBC version response: ?\xF5, expected: ?\xF4"},
        {"server version", {.server_version = 3}, "Unsupported JDBC server version: 3, expected: 2"},
        {"refused login", {.password = "other"}, "Unsupported JDBC server version: 0, expected: 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        DatabaseServer server(c.options);
        JdbcHarness h(test::database_endpoint(server));
        try {
            h.connect();
            ADD_FAILURE() << "connect succeeded";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.text);
        }
        EXPECT_FALSE(h.client().logged_in());
        EXPECT_EQ(h.log().count("logged_in"), 0u);
    }
}

TEST(JdbcSession, EveryColumnTypeComesBackInItsAlternative) {
    DatabaseServer server;
    JdbcHarness h(test::database_endpoint(server));
    h.connect();
    auto created = h.sql(
        "CREATE PUBLIC TABLE all_types (bo Boolean, by Byte, sh Short, ch Character, i Integer, f Float, "
        "l Long, d Double, s String, dt Date, dn DateNanos, dm DateMillis, b Bytes, cx Complex, u UUID, "
        "bd BigDecimal, bi BigInteger, dp DatePart) USE InitialCapacity=2");
    ASSERT_TRUE(created);
    ASSERT_EQ(created->elements.size(), 1u);
    EXPECT_EQ(created->elements[0].code, 3) << message_of(created);
    auto inserted = h.sql(
        "INSERT INTO all_types VALUES (1, 200, -2, 65, -7, 1.5, 5000000000, 101.25, 'abc', 1700000000000, "
        "5, 6, x'0a0b', '1.9,-2.5', '01234567-89ab-cdef-fedc-ba9876543210', '-123.45', -129, 9);"
        "INSERT INTO all_types VALUES (0, 7, 300, 0, 2147483647, -0.25, -1, 1e300, '', 0, -5, -6, x'ff', "
        "'3,4', "
        "'ffffffff-ffff-ffff-ffff-ffffffffffff', '0.05', 65536, -1)");
    ASSERT_EQ(inserted->elements.size(), 2u);
    EXPECT_EQ(inserted->elements[1].count, 1);

    const auto r = h.sql("SELECT * FROM all_types");
    const auto& t = only_table(r);
    EXPECT_EQ(t.name, "all_types");
    EXPECT_EQ(t.row_count, 2);
    EXPECT_TRUE(t.errors.empty());
    const int types[] = {10, 11, 12, 13, 14, 15, 16, 17, 20, 30, 34, 35, 36, 37, 38, 45, 46, 63};
    ASSERT_EQ(t.columns.size(), std::size(types));
    for (std::size_t i = 0; i < std::size(types); ++i)
        EXPECT_EQ(t.columns[i].type, types[i]) << t.columns[i].name;

    using Bytes = std::vector<std::uint8_t>;
    EXPECT_EQ(column<std::uint8_t>(r, 0), (Bytes{1, 0}));
    EXPECT_EQ(column<std::uint8_t>(r, 1), (Bytes{200, 7}));
    EXPECT_EQ(column<std::int16_t>(r, 2), (std::vector<std::int16_t>{-2, 300}));
    EXPECT_EQ(column<std::uint16_t>(r, 3), (std::vector<std::uint16_t>{65, 0}));
    EXPECT_EQ(column<std::int32_t>(r, 4), (std::vector<std::int32_t>{-7, 2147483647}));
    EXPECT_EQ(column<float>(r, 5), (std::vector<float>{1.5f, -0.25f}));
    EXPECT_EQ(column<std::int64_t>(r, 6), (std::vector<std::int64_t>{5000000000, -1}));
    EXPECT_EQ(column<double>(r, 7), (std::vector<double>{101.25, 1e300}));
    EXPECT_EQ(column<std::string>(r, 8), (std::vector<std::string>{"abc", ""}));
    EXPECT_EQ(column<std::int64_t>(r, 9), (std::vector<std::int64_t>{1700000000000, 0}));
    EXPECT_EQ(column<std::int64_t>(r, 10), (std::vector<std::int64_t>{5, -5}));
    EXPECT_EQ(column<std::int64_t>(r, 11), (std::vector<std::int64_t>{6, -6}));
    EXPECT_EQ(column<Bytes>(r, 12), (std::vector<Bytes>{{0x0a, 0x0b}, {0xff}}));
    // Complex parts travel as integers.
    EXPECT_EQ(column<std::complex<double>>(r, 13), (std::vector<std::complex<double>>{{1, -2}, {3, 4}}));
    EXPECT_EQ(column<std::string>(r, 14), (std::vector<std::string>{"01234567-89ab-cdef-fedc-ba9876543210",
                                                                    "ffffffff-ffff-ffff-ffff-ffffffffffff"}));
    EXPECT_EQ(column<std::string>(r, 15), (std::vector<std::string>{"-123.45", "0.05"}));
    EXPECT_EQ(column<Bytes>(r, 16), (std::vector<Bytes>{{0xff, 0x7f}, {0x01, 0x00, 0x00}}));
    EXPECT_EQ(column<std::int32_t>(r, 17), (std::vector<std::int32_t>{9, -1}));
}

TEST(JdbcSession, ServerErrorsComeBackAsMessageElements) {
    DatabaseServer server;
    JdbcHarness h(test::database_endpoint(server));
    h.connect();
    const auto r = h.sql("SELECT * FROM missing");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->elements.size(), 1u);
    EXPECT_EQ(r->elements[0].code, 1);
    EXPECT_NE(message_of(r).find("no such table: missing"), std::string::npos) << message_of(r);
    // The raw response body was reported after the query text.
    ASSERT_TRUE(h.log().wait_for("received", 2));
    const auto events = h.log().events();
    EXPECT_EQ(events[events.size() - 2].kind, "sent");
    EXPECT_EQ(events[events.size() - 2].text, "SELECT * FROM missing");
    EXPECT_NE(events.back().text.find("no such table"), std::string::npos);
    EXPECT_EQ(events.back().numbers, "0 0 0");
}

TEST(JdbcSession, BulkInsertOfOneHundredThousandRowsThenCount) {
    DatabaseServer server;
    JdbcHarness h(test::database_endpoint(server));
    h.connect();
    h.sql("CREATE PUBLIC TABLE bulk (id Long, v Double, s String) USE InitialCapacity=100000");
    constexpr std::int32_t kRows = 100000;
    std::vector<std::int64_t> ids(kRows);
    std::vector<double> values(kRows);
    std::vector<std::string> texts(kRows);
    for (std::int32_t i = 0; i < kRows; ++i) {
        ids[static_cast<std::size_t>(i)] = i;
        values[static_cast<std::size_t>(i)] = i * 0.5;
        texts[static_cast<std::size_t>(i)] = "row-" + std::to_string(i);
    }
    std::vector<jdbc::JdbcColumn> columns(3);
    columns[0] = make_column("id", 16, ids, kRows);
    columns[1] = make_column("v", 17, values, kRows);
    columns[2] = make_column("s", 20, texts, kRows);
    const auto inserted = h.bulk_insert("bulk", columns, kRows);
    ASSERT_TRUE(inserted);
    ASSERT_EQ(inserted->elements.size(), 1u);
    EXPECT_EQ(inserted->elements[0].count, kRows) << message_of(inserted);

    EXPECT_EQ(single_long(h.sql("SELECT COUNT(*) FROM bulk")), kRows);
    const auto last = h.sql("SELECT id, v, s FROM bulk WHERE id = 99999");
    EXPECT_EQ(column<double>(last, 1).at(0), 49999.5);
    EXPECT_EQ(column<std::string>(last, 2).at(0), "row-99999");
    // The sent event names the table.
    bool table_named = false;
    for (const auto& e : h.log().events()) table_named |= e.kind == "sent" && e.text == "bulk";
    EXPECT_TRUE(table_named);
}

TEST(JdbcSession, ADroppedConnectionIsRetriedOnceWithOneNewLogin) {
    DatabaseServer server;
    JdbcHarness h(test::database_endpoint(server));
    h.connect();
    ASSERT_TRUE(h.log().wait_for("received"));
    server.drop_next_requests(1);
    const auto r = h.sql("SELECT 42");
    EXPECT_EQ(single_long(r), 42);
    ASSERT_TRUE(h.log().wait_for("received", 3));
    const std::vector<std::string> expected = {
        "connect", "sent",    "logged_in", "received",  // first login
        "sent",                                         // SELECT 42, dropped
        "connect", "sent",    "logged_in", "received",  // one new login
        "sent",    "received"};                         // the retry
    EXPECT_EQ(h.log().kinds(), expected);
    const auto events = h.log().events();
    EXPECT_EQ(events[4].text, "SELECT 42");
    EXPECT_EQ(events[6].text, events[1].text);  // the same login image
    EXPECT_EQ(events[9].text, "SELECT 42");
    EXPECT_EQ(server.state().logins.size(), 2u);
}

TEST(JdbcSession, ASecondFailureReachesTheCaller) {
    DatabaseServer server;
    JdbcHarness h(test::database_endpoint(server));
    h.connect();
    server.drop_next_requests(2);
    EXPECT_THROW(h.sql("SELECT 1"), std::exception);
    // The next request finds its own answer.
    EXPECT_EQ(single_long(h.sql("SELECT 2")), 2);
}

TEST(JdbcSession, EightConcurrentCallersEachGetTheirOwnResult) {
    DatabaseServer server;
    JdbcHarness h(test::database_endpoint(server));
    h.connect();
    // A slow server keeps every caller waiting for its turn while the first one runs.
    server.set_response_delay(5ms);
    constexpr int kCallers = 8;
    std::vector<std::future<test::JdbcOutcome<Result>>> results;
    for (int i = 0; i < kCallers; ++i)
        results.push_back(h.start_sql("SELECT " + std::to_string(i * 1000) + " AS v, '" +
                                      std::string(static_cast<std::size_t>(i) + 1, 'x') +
                                      "' AS s FROM (SELECT 1)"));
    for (int i = 0; i < kCallers; ++i) {
        ASSERT_EQ(results[static_cast<std::size_t>(i)].wait_for(10s), std::future_status::ready) << i;
        const auto r = results[static_cast<std::size_t>(i)].get().get();
        EXPECT_EQ(column<std::int64_t>(r, 0).at(0), i * 1000) << i;
        EXPECT_EQ(column<std::string>(r, 1).at(0), std::string(static_cast<std::size_t>(i) + 1, 'x')) << i;
    }
    // One connection, in call order, one request at a time.
    const auto state = server.state();
    EXPECT_EQ(state.logins.size(), 1u);
    ASSERT_EQ(state.requests.size(), static_cast<std::size_t>(kCallers));
    for (int i = 0; i < kCallers; ++i)
        EXPECT_EQ(
            state.requests[static_cast<std::size_t>(i)].text.rfind("SELECT " + std::to_string(i * 1000), 0),
            0u);
    EXPECT_EQ(h.client().active_requests(), 0u);
}

TEST(JdbcSession, ABadResponseLengthIsRetriedOnAFreshConnection) {
    const std::int32_t lengths[] = {-1, INT32_MIN, INT32_MAX};
    for (const auto length : lengths) {
        SCOPED_TRACE(length);
        DatabaseServer server;
        JdbcHarness h(test::database_endpoint(server));
        h.connect();
        server.send_negative_length_next(length);
        EXPECT_EQ(single_long(h.sql("SELECT 7")), 7);
        EXPECT_EQ(server.state().logins.size(), 2u);
        EXPECT_EQ(h.log().count("connect"), 2u);
    }
}

TEST(JdbcSession, AServerThatNeverAnswersMeetsTheDeadline) {
    DatabaseServer server;
    auto config = test::database_config();
    config.query_timeout_ms = 100;  // a deadline of 200 ms
    JdbcHarness h(test::database_endpoint(server), config);
    h.connect();
    server.set_response_delay(3s);
    const auto started = std::chrono::steady_clock::now();
    try {
        h.sql("SELECT 1");
        ADD_FAILURE() << "no timeout";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "JDBC request timed out after 200 ms");
    }
    // Two attempts and one reconnection, not the server's delay.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2900ms);
    // The late answers go to closed connections: the next caller reads its own.
    server.set_response_delay(0ms);
    EXPECT_EQ(single_long(h.sql("SELECT 2")), 2);
}

TEST(JdbcSession, ARequestGivesUpOnAServerThatDoesNotComeBack) {
    DatabaseServer server;
    auto config = test::database_config();
    config.query_timeout_ms = 100;
    JdbcHarness h(test::database_endpoint(server), config);
    h.connect();
    server.stop_listening();
    server.drop_all_connections();
    try {
        h.sql("SELECT 1");
        ADD_FAILURE() << "answered without a server";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "JDBC reconnection did not complete within 1200 ms");
    }
    // The reconnection went on and finds the server once it listens again.
    server.resume_listening();
    ASSERT_TRUE(h.log().wait_for("logged_in", 2, 15s));
    EXPECT_EQ(single_long(h.sql("SELECT 3")), 3);
}

TEST(JdbcSession, StopEndsPendingAndQueuedRequests) {
    DatabaseServer server;
    JdbcHarness h(test::database_endpoint(server));
    h.connect();
    server.set_response_delay(3s);
    std::vector<std::future<test::JdbcOutcome<Result>>> results;
    for (int i = 0; i < 3; ++i) results.push_back(h.start_sql("SELECT 1"));
    ASSERT_TRUE(server.wait_for_requests(1));
    const auto started = std::chrono::steady_clock::now();
    h.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms);
    for (auto& f : results) {
        ASSERT_EQ(f.wait_for(0s), std::future_status::ready);
        EXPECT_TRUE(f.get().failed);
    }
    EXPECT_EQ(server.state().requests.size(), 1u);
    EXPECT_THROW(h.sql("SELECT 1"), std::runtime_error);
}

}  // namespace
}  // namespace tyx

namespace tyx {
namespace {

using test::jdbc_frame;
using test::JdbcBytes;
using test::ScriptedDatabase;

std::vector<Endpoint> scripted_endpoint(const ScriptedDatabase& server) {
    return {Endpoint{"127.0.0.1", std::to_string(server.port())}};
}

ByteVector count_body(std::int64_t n) {
    return JdbcBytes().u8(21).i32(1).u8(60).raw({0x0B, 0x03, 16}).i64(n);
}

TEST(JdbcSessionScripted, AnEmptyBodyGivesAnEmptyResultAndConsumesExactlyOneMoreByte) {
    ScriptedDatabase server({jdbc_frame({}), jdbc_frame(count_body(5))});
    JdbcHarness h(scripted_endpoint(server));
    h.connect();
    EXPECT_EQ(h.sql("UPDATE nothing"), nullptr);
    const auto next = h.sql("UPDATE t");
    ASSERT_TRUE(next);
    EXPECT_EQ(next->elements.at(0).count, 5);
    ASSERT_TRUE(h.log().wait_for("received", 2));
    // No received event for the empty body: the second one is the count.
    const std::vector<std::string> kinds = {"connect", "sent", "logged_in", "received",
                                            "sent",    "sent", "received"};
    EXPECT_EQ(h.log().kinds(), kinds);
    EXPECT_EQ(server.logins(), 1u);
}

TEST(JdbcSessionScripted, AnUndecodableResultIsRetriedOnANewConnection) {
    ScriptedDatabase server(
        {jdbc_frame(JdbcBytes().u8(21).i32(1).u8(60).raw({0x0B, 0x07})), jdbc_frame(count_body(9))});
    JdbcHarness h(scripted_endpoint(server));
    h.connect();
    const auto r = h.sql("SELECT odd");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->elements.at(0).count, 9);
    EXPECT_EQ(server.logins(), 2u);
}

TEST(JdbcSessionScripted, BulkInsertSendsTheEffectiveTimeout) {
    ScriptedDatabase server({jdbc_frame(count_body(1))});
    auto config = test::database_config();
    config.query_timeout_ms = 4321;
    JdbcHarness h(scripted_endpoint(server), config);
    h.connect();
    jdbc::JdbcColumn id;
    id.name = "id";
    id.type = 16;
    id.values = std::vector<std::int64_t>{1};
    id.row_count = 1;
    const std::vector<jdbc::JdbcColumn> columns = {id};
    const std::int64_t cases[][2] = {{-1, 4321}, {0, 0}, {250, 250}};
    for (const auto& [given, sent] : cases) h.bulk_insert("t", columns, 1, given);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& body = requests[i];
        ASSERT_GE(body.size(), 9u);
        EXPECT_EQ(body[body.size() - 9], 16);
        EXPECT_EQ(load_be<std::int64_t>(body.data() + body.size() - 8), cases[i][1]) << cases[i][0];
    }
}

}  // namespace
}  // namespace tyx
