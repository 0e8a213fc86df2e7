// The database session against the sandbox database on loopback: login and its events, column
// types, server errors, bulk inserts, the retry after a loss, concurrent callers, misbehaving
// servers, deadlines and stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <future>
#include <thread>

#include "database_server.hpp"
#include "jdbc/jdbc_session_messages.hpp"
#include "jdbc/tyx_client_jdbc.hpp"
#include "support/jdbc_bytes.hpp"
#include "support/scripted_socket.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using sandbox::DatabaseServer;
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

std::vector<Endpoint> database_endpoint(const DatabaseServer& server) {
    return {Endpoint{"127.0.0.1", std::to_string(server.port())}};
}

DatabaseConfig database_config(std::string db = {}) {
    DatabaseConfig config;
    config.username = "ann";
    config.password = "secret";
    config.db = std::move(db);
    return config;
}

// How a request run on the loop ended.
struct Outcome {
    bool done = false;
    Result result;
    std::string error;
};

// One database session on the test's loop, over the scripted network or over real sockets to a
// sandbox database.
struct JdbcSession : test::ScriptedSession<TyxClientJdbc> {
    explicit JdbcSession(DatabaseConfig config = database_config(), const DatabaseServer* server = nullptr) {
        real_time = server != nullptr;
        client = std::make_unique<TyxClientJdbc>(
            recorder, "alpha", real_time ? database_endpoint(*server) : std::vector<Endpoint>{{"db", "7100"}},
            config, io, real_time ? make_socket_factory(io, false, SslOptions{}) : network.factory());
    }
    explicit JdbcSession(const DatabaseServer& server) : JdbcSession(database_config(), &server) {}

    std::shared_ptr<Outcome> start(std::function<asio::awaitable<Result>()> task) {
        auto outcome = std::make_shared<Outcome>();
        asio::co_spawn(io, std::move(task), [outcome](std::exception_ptr e, Result r) {
            outcome->done = true;
            outcome->result = std::move(r);
            if (!e) return;
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& x) {
                outcome->error = x.what();
            }
        });
        return outcome;
    }
    Outcome finish(std::function<asio::awaitable<Result>()> task) {
        auto outcome = start(std::move(task));
        EXPECT_TRUE(run([&] { return outcome->done; }));
        return *outcome;
    }
    std::string connect() {
        return finish([this]() -> asio::awaitable<Result> {
                   co_await client->connect(io);
                   co_return nullptr;
               })
            .error;
    }
    std::function<asio::awaitable<Result>()> query(std::string text) {
        return [this, text]() -> asio::awaitable<Result> { co_return co_await client->sql(text); };
    }
    Outcome ask(std::string text) { return finish(query(std::move(text))); }
    Outcome bulk_insert(std::string table, const std::vector<jdbc::JdbcColumn>& columns, std::int32_t rows,
                        std::int64_t timeout_ms = -1) {
        return finish([&, table]() -> asio::awaitable<Result> {
            co_return co_await client->bulk_insert(table, columns, rows, timeout_ms);
        });
    }
    // The request bodies written on connection `i`, after the version bytes and the login.
    std::vector<ByteVector> requests(std::size_t i) const {
        const ByteVector& out = network.written(i);
        std::vector<ByteVector> bodies;
        for (std::size_t at = jdbc::kClientVersionBytes.size(); at + 4 <= out.size();) {
            const std::size_t n = load_be<std::uint32_t>(out.data() + at);
            bodies.emplace_back(out.begin() + static_cast<std::ptrdiff_t>(at + 4),
                                out.begin() + static_cast<std::ptrdiff_t>(std::min(at + 4 + n, out.size())));
            at += 4 + n;
        }
        if (!bodies.empty()) bodies.erase(bodies.begin());
        return bodies;
    }
    // The kind of every event so far, in order.
    std::vector<std::string> kinds() {
        std::vector<std::string> out;
        for (const auto& e : heard().events()) out.push_back(e.substr(0, e.find(' ')));
        return out;
    }
};

TEST(JdbcSession, LoginEventsInOrderWithTheImageTheServerRead) {
    for (const std::string db : {"", "x"}) {
        SCOPED_TRACE("db '" + db + "'");
        DatabaseServer server({.login_message = "welcome"});
        JdbcSession h(database_config(db), &server);
        EXPECT_EQ(h.connect(), "");
        const auto events = h.heard().events();
        ASSERT_EQ(h.kinds(), (std::vector<std::string>{"connect", "sent", "logged_in", "received"}));
        // The sent event carries the login image itself (its bytes are checked with the codec).
        EXPECT_EQ(events[1], "sent alpha-jdbc " + std::string(jdbc::Login(database_config(db)).view()));
        EXPECT_EQ(events[3], "received alpha-jdbc 0 0 0 welcome");

        const auto state = server.state();
        ASSERT_EQ(state.logins.size(), 1u);
        EXPECT_TRUE(state.logins[0].accepted);
        EXPECT_EQ(state.logins[0].entries.size(), db.empty() ? 4u : 5u);
        EXPECT_EQ(state.logins[0].entries.back().first, db.empty() ? "limit" : "db");
        EXPECT_TRUE(h.client->logged_in());
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
        JdbcSession h(server);
        EXPECT_EQ(h.connect(), c.text);
        EXPECT_FALSE(h.client->logged_in());
        EXPECT_EQ(h.heard().count_prefix("logged_in"), 0u);
    }
}

TEST(JdbcSession, EveryColumnTypeComesBackInItsAlternative) {
    DatabaseServer server;
    JdbcSession h(server);
    h.connect();
    auto created =
        h.ask(
             "CREATE PUBLIC TABLE all_types (bo Boolean, by Byte, sh Short, ch Character, i Integer, "
             "f Float, l Long, d Double, s String, dt Date, dn DateNanos, dm DateMillis, b Bytes, "
             "cx Complex, u UUID, bd BigDecimal, bi BigInteger, dp DatePart) USE InitialCapacity=2")
            .result;
    ASSERT_TRUE(created);
    ASSERT_EQ(created->elements.size(), 1u);
    EXPECT_EQ(created->elements[0].code, 3) << message_of(created);
    auto inserted =
        h.ask(
             "INSERT INTO all_types VALUES (1, 200, -2, 65, -7, 1.5, 5000000000, 101.25, 'abc', "
             "1700000000000, "
             "5, 6, x'0a0b', '1.9,-2.5', '01234567-89ab-cdef-fedc-ba9876543210', '-123.45', -129, 9);"
             "INSERT INTO all_types VALUES (0, 7, 300, 0, 2147483647, -0.25, -1, 1e300, '', 0, -5, -6, "
             "x'ff', "
             "'3,4', "
             "'ffffffff-ffff-ffff-ffff-ffffffffffff', '0.05', 65536, -1)")
            .result;
    ASSERT_EQ(inserted->elements.size(), 2u);
    EXPECT_EQ(inserted->elements[1].count, 1);

    const auto r = h.ask("SELECT * FROM all_types").result;
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
    JdbcSession h(server);
    h.connect();
    const auto r = h.ask("SELECT * FROM missing").result;
    ASSERT_TRUE(r);
    ASSERT_EQ(r->elements.size(), 1u);
    EXPECT_EQ(r->elements[0].code, 1);
    EXPECT_NE(message_of(r).find("no such table: missing"), std::string::npos) << message_of(r);
    // The raw response body was reported after the query text.
    const auto events = h.heard().events();
    EXPECT_EQ(events[events.size() - 2], "sent alpha-jdbc SELECT * FROM missing");
    EXPECT_EQ(events.back().rfind("received alpha-jdbc 0 0 0 ", 0), 0u);
    EXPECT_NE(events.back().find("no such table"), std::string::npos);
}

TEST(JdbcSession, BulkInsertOfOneHundredThousandRowsThenCount) {
    DatabaseServer server;
    JdbcSession h(server);
    h.connect();
    h.ask("CREATE PUBLIC TABLE bulk (id Long, v Double, s String) USE InitialCapacity=100000");
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
    const auto inserted = h.bulk_insert("bulk", columns, kRows).result;
    ASSERT_TRUE(inserted);
    ASSERT_EQ(inserted->elements.size(), 1u);
    EXPECT_EQ(inserted->elements[0].count, kRows) << message_of(inserted);

    EXPECT_EQ(single_long(h.ask("SELECT COUNT(*) FROM bulk").result), kRows);
    const auto last = h.ask("SELECT id, v, s FROM bulk WHERE id = 99999").result;
    EXPECT_EQ(column<double>(last, 1).at(0), 49999.5);
    EXPECT_EQ(column<std::string>(last, 2).at(0), "row-99999");
    // The sent event names the table.
    EXPECT_EQ(h.heard().count_prefix("sent alpha-jdbc bulk"), 1u);
}

TEST(JdbcSession, EightConcurrentCallersEachGetTheirOwnResult) {
    DatabaseServer server;
    JdbcSession h(server);
    h.connect();
    // A slow server keeps every caller waiting for its turn while the first one runs.
    server.set_response_delay(5ms);
    constexpr int kCallers = 8;
    std::vector<std::shared_ptr<Outcome>> results;
    for (int i = 0; i < kCallers; ++i)
        results.push_back(
            h.start(h.query("SELECT " + std::to_string(i * 1000) + " AS v, '" +
                            std::string(static_cast<std::size_t>(i) + 1, 'x') + "' AS s FROM (SELECT 1)")));
    ASSERT_TRUE(
        h.run([&] { return std::all_of(results.begin(), results.end(), [](auto& r) { return r->done; }); }));
    for (int i = 0; i < kCallers; ++i) {
        const auto r = results[static_cast<std::size_t>(i)]->result;
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
    EXPECT_EQ(h.client->active_requests(), 0u);
}

}  // namespace
}  // namespace tyx

// ---- The same session over scripted connections -------------------------------------------------

namespace tyx {
namespace {

using test::Conversation;
using test::jdbc_frame;
using test::JdbcBytes;
using test::run_until;
using test::ScriptedNetwork;

ByteVector count_body(std::int64_t n) {
    return JdbcBytes().u8(21).i32(1).u8(60).raw({0x0B, 0x03, 16}).i64(n);
}

// A connection that logs the client in, then answers its requests with `replies` in order.
Conversation login(std::vector<ByteVector> replies = {}, bool then_closes = false) {
    Conversation c;
    c.reads.emplace_back(jdbc::kServerVersionBytes.begin(), jdbc::kServerVersionBytes.end());
    c.reads.push_back(jdbc_frame(JdbcBytes().u8(21).i32(2).u8(60).str("scripted").u8(14).i32(2)));
    c.reads.insert(c.reads.end(), replies.begin(), replies.end());
    c.peer_closes = then_closes;
    return c;
}

// Whichever step fails, of the login or of the request (a refused connect, a lost write or
// read), a statement is never written twice. A failure before the request was written whole is
// retried on a fresh connection, and so is a read-only statement; a write lost after it was sent
// reports that it may have been executed, and counts as an unknown outcome.
TEST(ScriptedJdbc, AFailureAtAnyStepRetriesOnlyWhatTheServerCannotHaveExecuted) {
    for (const std::string statement : {"UPDATE t SET n = n + 1", "SELECT n FROM t"}) {
        SCOPED_TRACE(statement);
        const bool reads = statement.starts_with("SELECT");
        test::fail_each_step([&](std::optional<std::size_t> fail_at) -> std::size_t {
            JdbcSession s;
            s.network.then(login({jdbc_frame(count_body(5))})).then(login({jdbc_frame(count_body(5))}));
            s.network.fail_at(fail_at);
            s.connect();
            const Outcome r = s.ask(statement);
            std::size_t written = 0;
            for (std::size_t i = 0; i < s.network.made(); ++i) written += s.requests(i).size();
            const auto unknown = s.client->monitor()->unknown_outcomes.load();
            if (r.error.empty()) {
                EXPECT_TRUE(r.result && r.result->elements.at(0).count == 5);
                // A read may run once more after a lost answer; a write never does.
                EXPECT_GE(written, 1u);
                EXPECT_LE(written, reads ? 2u : 1u);
                EXPECT_EQ(unknown, 0u);
            } else {
                EXPECT_FALSE(reads) << r.error;
                EXPECT_TRUE(r.error.starts_with(
                    "the connection was lost after the request was sent; it may have been executed ("))
                    << r.error;
                EXPECT_EQ(written, 1u);
                EXPECT_EQ(unknown, 1u);
            }
            const auto kinds = s.kinds();
            const auto logins = std::count(kinds.begin(), kinds.end(), "logged_in");
            EXPECT_TRUE(fail_at ? logins == 1 || logins == 2 : logins == 1) << logins;
            return s.network.steps();
        });
    }
}

// Read-only by their text; anything else may write.
TEST(ReadsOnly, OnlyPlainReadsAfterCommentsCountAsReads) {
    for (const char* text : {"SELECT 1", "  select * from t", "-- note\n/* a */ SELECT n FROM t;  ",
                             "show tables", "EXPLAIN SELECT 1", "Describe t"})
        EXPECT_TRUE(jdbc::reads_only(text)) << text;
    for (const char* text :
         {"UPDATE t SET n = 1", "WITH x AS (SELECT 1) DELETE FROM t", "SELECT 1; DELETE FROM t",
          "SELECT * INTO t2 FROM t", "EXPLAIN ANALYZE DELETE FROM t", "/* SELECT */ INSERT INTO t",
          "/* unterminated SELECT", "selected", "PRAGMA user_version = 3", ""})
        EXPECT_FALSE(jdbc::reads_only(text)) << text;
}

TEST(ScriptedJdbc, ADroppedConnectionIsRetriedOnceWithOneNewLoginAndASecondDropReachesTheCaller) {
    JdbcSession s;
    s.network.then(login({}, true)).then(login({jdbc_frame(count_body(42))}));
    EXPECT_EQ(s.connect(), "");
    const Outcome r = s.ask("SELECT 42");
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.result->elements.at(0).count, 42);
    // The server had closed the idle connection: that is seen before anything is written.
    EXPECT_EQ(s.kinds(),
              (std::vector<std::string>{"connect", "sent", "logged_in", "received",  // first login
                                        "disconnect",                                // found closed
                                        "connect", "sent", "logged_in", "received",  // one new login
                                        "sent", "received"}));                       // the request
    const auto events = s.heard().events();
    EXPECT_EQ(events[9], "sent alpha-jdbc SELECT 42");
    EXPECT_EQ(events[6], events[1]);  // the same login image
    EXPECT_EQ(s.requests(0).size(), 0u);
    EXPECT_EQ(s.requests(1).size(), 1u);

    // Two drops in a row reach the caller; the next request finds its own answer.
    s.network.then(login({}, true)).then(login({jdbc_frame(count_body(2))}));
    s.network.socket(1).close_by_peer();
    EXPECT_NE(s.ask("SELECT 1").error, "");
    const Outcome next = s.ask("SELECT 2");
    ASSERT_TRUE(next.result);
    EXPECT_EQ(next.result->elements.at(0).count, 2);
}

TEST(ScriptedJdbc, AnEmptyBodyGivesAnEmptyResultAndConsumesExactlyOneMoreByte) {
    JdbcSession s;
    s.network.then(login({jdbc_frame({}), jdbc_frame(count_body(5))}));
    s.connect();
    EXPECT_EQ(s.ask("UPDATE nothing").result, nullptr);
    const Outcome next = s.ask("UPDATE t");
    ASSERT_TRUE(next.result);
    EXPECT_EQ(next.result->elements.at(0).count, 5);
    // No received event for the empty body: the second one is the count.
    EXPECT_EQ(s.kinds(), (std::vector<std::string>{"connect", "sent", "logged_in", "received", "sent", "sent",
                                                   "received"}));
    EXPECT_EQ(s.network.made(), 1u);
}

// Responses land in storage kept for the next one, up to a bound: a larger one's is given back.
TEST(ScriptedJdbc, ReceiveStorageIsKeptBetweenRequestsUpToItsBound) {
    const std::string text(20000, 'm');
    JdbcSession s;
    s.network.then(login({jdbc_frame(count_body(1)), jdbc_frame(JdbcBytes().u8(21).i32(1).u8(60).raw({0x0B, 0x01}).str(text)),
                          jdbc_frame(count_body(3))}));
    s.client->set_receive_keep(16384);
    s.connect();
    EXPECT_EQ(s.ask("SELECT 1").result->elements.at(0).count, 1);
    EXPECT_GT(s.client->kept_receive_bytes(), 0u);
    EXPECT_LE(s.client->kept_receive_bytes(), 16384u);
    const Outcome big = s.ask("SELECT text");
    ASSERT_TRUE(big.result && big.result->elements.at(0).message);
    EXPECT_EQ(big.result->elements.at(0).message->text, text);
    EXPECT_EQ(s.client->kept_receive_bytes(), 0u);
    EXPECT_EQ(s.ask("SELECT 3").result->elements.at(0).count, 3);
    EXPECT_GT(s.client->kept_receive_bytes(), 0u);
}

TEST(ScriptedJdbc, AnUndecodableResultIsRetriedOnANewConnectionForAReadOnly) {
    const ByteVector odd = jdbc_frame(JdbcBytes().u8(21).i32(1).u8(60).raw({0x0B, 0x07}));
    JdbcSession s;
    s.network.then(login({odd})).then(login({jdbc_frame(count_body(9)), odd}));
    s.connect();
    const Outcome r = s.ask("SELECT odd");
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.result->elements.at(0).count, 9);
    EXPECT_EQ(s.network.made(), 2u);
    // A write was executed by a server that answered it, however oddly: it is not sent again.
    const Outcome w = s.ask("DELETE FROM odd");
    EXPECT_TRUE(w.error.ends_with("; it may have been executed")) << w.error;
    EXPECT_EQ(s.network.made(), 2u);
    EXPECT_EQ(s.requests(1).size(), 2u);
}

TEST(ScriptedJdbc, BulkInsertSendsTheEffectiveTimeout) {
    auto config = database_config();
    config.query_timeout_ms = 4321;
    JdbcSession s(config);
    const ByteVector one = jdbc_frame(count_body(1));
    s.network.then(login({one, one, one}));
    s.connect();
    const std::vector<jdbc::JdbcColumn> columns = {make_column("id", 16, std::vector<std::int64_t>{1}, 1)};
    const std::int64_t cases[][2] = {{-1, 4321}, {0, 0}, {250, 250}};
    for (const auto& [given, sent] : cases) s.bulk_insert("t", columns, 1, given);
    const auto requests = s.requests(0);
    ASSERT_EQ(requests.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& body = requests[i];
        ASSERT_GE(body.size(), 9u);
        EXPECT_EQ(body[body.size() - 9], 16);
        EXPECT_EQ(load_be<std::int64_t>(body.data() + body.size() - 8), cases[i][1]) << cases[i][0];
    }
}

TEST(ScriptedJdbc, AServerThatNeverAnswersMeetsTheDeadlineOfEveryCallerAndTheNextCallerReadsItsOwnAnswer) {
    auto config = database_config();
    config.query_timeout_ms = 100;
    JdbcSession s(config);
    s.network.then(login()).then(login({jdbc_frame(count_body(2))}));
    s.connect();
    // The second caller waits for its turn behind the first; both end at their common deadline,
    // with no retry, since no reconnection could fit in it any more.
    const auto started = SessionClock::now();
    const auto first = s.start(s.query("SELECT 1"));
    const auto second = s.start(s.query("SELECT 1"));
    ASSERT_TRUE(s.run([&] { return first->done && second->done; }));
    EXPECT_EQ(first->error, "JDBC request timed out after 100 ms");
    EXPECT_EQ(second->error.rfind("JDBC request timed out after 100 ms", 0), 0u) << second->error;
    EXPECT_LT(SessionClock::now() - started, 100ms + jdbc::kRequestGrace + 50ms);
    EXPECT_EQ(s.requests(0).size(), 1u);
    // The connection the deadline closed is made anew at once, without waiting for a caller.
    ASSERT_TRUE(s.run([&] { return s.client->logged_in(); }));
    const Outcome next = s.ask("SELECT 2");
    ASSERT_TRUE(next.result) << next.error;
    EXPECT_EQ(next.result->elements.at(0).count, 2);
}

TEST(ScriptedJdbc, ARequestGivesUpOnAServerThatDoesNotComeBackWhileTheReconnectionGoesOn) {
    auto config = database_config();
    config.query_timeout_ms = 100;
    JdbcSession s(config);
    s.network.then(login({}, true));  // then nothing answers
    s.connect();
    // The reconnection's back-off alone is longer than the deadline.
    const auto started = SessionClock::now();
    const std::string error = s.ask("SELECT 1").error;
    EXPECT_EQ(error.rfind("JDBC request timed out after 100 ms waiting for a connection", 0), 0u) << error;
    EXPECT_LT(SessionClock::now() - started, 100ms + jdbc::kRequestGrace + 50ms);
    s.network.then(login({jdbc_frame(count_body(3))}));
    ASSERT_TRUE(s.run([&] { return s.client->logged_in(); }));
    const Outcome r = s.ask("SELECT 3");
    ASSERT_TRUE(r.result) << r.error;
    EXPECT_EQ(r.result->elements.at(0).count, 3);
}

TEST(ScriptedJdbc, StopEndsPendingAndQueuedRequests) {
    JdbcSession s;
    s.network.then(login());
    s.connect();
    std::vector<std::shared_ptr<Outcome>> results;
    for (int i = 0; i < 3; ++i) results.push_back(s.start(s.query("SELECT 1")));
    ASSERT_TRUE(run_until(
        s.io, [&] { return s.requests(0).size() == 1; }, SessionClock::duration::zero()));
    s.stop();
    for (const auto& r : results) {
        EXPECT_TRUE(r->done);
        EXPECT_NE(r->error, "");
    }
    EXPECT_EQ(s.requests(0).size(), 1u);
    EXPECT_EQ(s.ask("SELECT 1").error, "JDBC client is stopped");
}

}  // namespace
}  // namespace tyx
