#include "database_server.hpp"

#include "support/sandbox_db_bytes.hpp"
#include "support/sandbox_test_socket.hpp"

#include <gtest/gtest.h>

namespace tyx::sandbox {
namespace {

using namespace std::chrono_literals;
using test::SandboxTestSocket;
using test::dbbytes::Builder;
using test::dbbytes::Element;
using test::dbbytes::login_request;
using test::dbbytes::query_request;
using test::dbbytes::read_result;
using Buf = std::vector<std::uint8_t>;

// A hand-driven client: version bytes, login, then framed requests and responses.
struct DbClient {
    SandboxTestSocket socket;
    explicit DbClient(std::uint16_t port) : socket(port) {}

    Buf hello() {
        socket.write(Buf{31, 241});
        return socket.read_exact(2).value_or(Buf{});
    }
    // One response: a 4-byte length N, then N + 1 bytes of which the first N are the body.
    std::optional<Buf> response() {
        auto head = socket.read_exact(4);
        if (!head) return std::nullopt;
        const auto n =
            static_cast<std::int32_t>((*head)[0] << 24 | (*head)[1] << 16 | (*head)[2] << 8 | (*head)[3]);
        if (n < 0) return std::nullopt;
        auto body = socket.read_exact(static_cast<std::size_t>(n) + 1);
        if (!body) return std::nullopt;
        body->pop_back();
        return body;
    }
    void login(std::string_view user = "u", std::string_view password = "p") {
        ASSERT_EQ(hello(), (Buf{63, 244}));
        socket.write(login_request(user, password));
        ASSERT_TRUE(response());
    }
    std::vector<Element> query(std::string_view sql) {
        socket.write(query_request(sql));
        auto body = response();
        if (!body) throw std::runtime_error("no response to " + std::string(sql));
        return read_result(*body);
    }
};

TEST(DatabaseServer, VersionExchangeAndLoginAnswer) {
    DatabaseServer db({.login_message = "hi"});
    DbClient c(db.port());
    EXPECT_EQ(c.hello(), (Buf{63, 244}));
    c.socket.write(login_request("ann", "secret"));
    auto ack = c.response();
    ASSERT_TRUE(ack);
    EXPECT_EQ(*ack, Builder().u8(21).i32_be(2).u8(60).typed_utf("hi").u8(14).i32_be(2).b);

    auto state = db.state();
    ASSERT_EQ(state.logins.size(), 1u);
    EXPECT_TRUE(state.logins[0].accepted);
    EXPECT_EQ(state.logins[0].version, 2);
    const std::vector<std::pair<std::string, std::string>> entries = {
        {"password", "secret"}, {"username", "ann"}, {"timeout", "30000"}, {"limit", "10000"}};
    EXPECT_EQ(state.logins[0].entries, entries);
}

TEST(DatabaseServer, RefusedLoginAnswersVersionZeroThenCloses) {
    DatabaseServer db({.username = "ann", .password = "secret"});
    DbClient bad(db.port());
    bad.hello();
    bad.socket.write(login_request("ann", "wrong"));
    auto ack = bad.response();
    ASSERT_TRUE(ack);
    EXPECT_EQ(*ack, Builder()
                        .u8(21)
                        .i32_be(2)
                        .u8(60)
                        .typed_utf("Login refused: wrong username or password")
                        .u8(14)
                        .i32_be(0)
                        .b);
    EXPECT_TRUE(bad.socket.wait_closed());

    DbClient good(db.port());
    good.login("ann", "secret");
    EXPECT_EQ(good.query("SELECT 1")[0].code, 2);
}

TEST(DatabaseServer, BadVersionBytesOrRequestBeforeLoginClose) {
    DatabaseServer db;
    DbClient wrong(db.port());
    wrong.socket.write(Buf{31, 240});
    EXPECT_TRUE(wrong.socket.wait_closed());

    DbClient early(db.port());
    early.hello();
    early.socket.write(query_request("SELECT 1"));
    EXPECT_TRUE(early.socket.wait_closed());
}

TEST(DatabaseServer, EveryColumnTypeComesBackWithItsCode) {
    DatabaseServer db;
    DbClient c(db.port());
    c.login();
    auto created = c.query(
        "CREATE PUBLIC TABLE all_types (bo Boolean, by Byte, sh Short, ch Character, i Integer, f Float, "
        "l Long, d Double, s String, dt Date, dn DateNanos, dm DateMillis, b Bytes, cx Complex, u UUID, "
        "bd BigDecimal, bi BigInteger, dp DatePart) USE InitialCapacity=2");
    ASSERT_EQ(created.size(), 1u);
    ASSERT_EQ(created[0].code, 3) << created[0].message;
    auto inserted = c.query(
        "INSERT INTO `all_types` VALUES (1, 200, -2, 65, -7, 1.5, 5000000000, 101.25, '0123', 1700000000000, "
        "5, 6, x'0a0b', '1.9,-2.5', '01234567-89ab-cdef-fedc-ba9876543210', '-123.45', -129, 9);"
        "INSERT INTO all_types (s) VALUES (NULL)");
    ASSERT_EQ(inserted.size(), 2u);
    EXPECT_EQ(inserted[0].count, 1);
    EXPECT_EQ(inserted[1].count, 1);

    auto rows = c.query("SELECT * FROM `all_types`");
    ASSERT_EQ(rows.size(), 1u);
    const auto& t = rows[0];
    ASSERT_EQ(t.code, 2);
    EXPECT_EQ(t.table_name, "all_types");
    EXPECT_EQ(t.rows, 2);
    struct Expect {
        const char* name;
        int type;
        const char* first;
        const char* null_form;
    };
    const Expect expected[] = {
        {"bo", 10, "1", "0"},
        {"by", 11, "200", "0"},
        {"sh", 12, "-2", "0"},
        {"ch", 13, "65", "0"},
        {"i", 14, "-7", "0"},
        {"f", 15, "1.5", "0"},
        {"l", 16, "5000000000", "0"},
        {"d", 17, "101.25", "0"},
        {"s", 20, "0123", ""},
        {"dt", 30, "1700000000000", "0"},
        {"dn", 34, "5", "0"},
        {"dm", 35, "6", "0"},
        {"b", 36, "0a0b", ""},
        {"cx", 37, "1,-2", "0,0"},
        {"u", 38, "0123456789abcdeffedcba9876543210", "00000000000000000000000000000000"},
        {"bd", 45, "2:cfc7", "0:"},
        {"bi", 46, "ff7f", ""},
        {"dp", 63, "9", "0"},
    };
    ASSERT_EQ(t.columns.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const auto& col = t.columns[i];
        SCOPED_TRACE(col.name);
        EXPECT_EQ(col.name, expected[i].name);
        EXPECT_EQ(col.type, expected[i].type);
        ASSERT_EQ(col.values.size(), 2u);
        EXPECT_EQ(col.values[0], expected[i].first);
        EXPECT_EQ(col.values[1], expected[i].null_form);
        EXPECT_TRUE(col.nullable);
        EXPECT_FALSE(col.is_null(0));
        EXPECT_TRUE(col.is_null(1));
    }
}

TEST(DatabaseServer, ExpressionsTakeTheirValuesStorageClass) {
    DatabaseServer db;
    DbClient c(db.port());
    c.login();
    auto r =
        c.query("SELECT 1 AS a, 2.5 AS b, 'x' AS c, x'ff' AS d, NULL AS e, count(*) AS n FROM (SELECT 1)");
    ASSERT_EQ(r.size(), 1u);
    const int types[] = {16, 17, 20, 36, 20, 16};
    ASSERT_EQ(r[0].columns.size(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(r[0].columns[static_cast<std::size_t>(i)].type, types[i]) << i;
    EXPECT_FALSE(r[0].columns[0].nullable);
    EXPECT_TRUE(r[0].columns[4].is_null(0));
    EXPECT_EQ(r[0].table_name, "");
}

TEST(DatabaseServer, ErrorsBecomeMessagesAndStopTheText) {
    DatabaseServer db;
    DbClient c(db.port());
    c.login();
    auto probe = c.query("SELECT * FROM `missing` LIMIT 0");
    ASSERT_EQ(probe.size(), 1u);
    EXPECT_EQ(probe[0].code, 1);
    EXPECT_EQ(probe[0].message, "no such table: missing");

    auto mixed =
        c.query("CREATE TABLE t (a Integer); INSERT INTO t VALUES (1); SELEC 1; INSERT INTO t VALUES (2)");
    ASSERT_EQ(mixed.size(), 3u);
    EXPECT_EQ(mixed[2].code, 1);
    EXPECT_NE(mixed[2].message.find("syntax error"), std::string::npos) << mixed[2].message;
    auto count = c.query("SELECT COUNT(*) FROM t");
    EXPECT_EQ(count[0].columns[0].values[0], "1");

    // The probe of an existing empty table is a result set with the declared codes and no rows.
    auto empty = c.query("SELECT * FROM `t` LIMIT 0");
    ASSERT_EQ(empty[0].code, 2);
    EXPECT_EQ(empty[0].rows, 0);
    EXPECT_EQ(empty[0].columns[0].type, 14);
    EXPECT_TRUE(c.query("  ").empty());
}

// The statements of a table upload, with names SQLite reserves.
TEST(DatabaseServer, UploadStatementsAcceptReservedNames) {
    DatabaseServer db;
    DbClient c(db.port());
    c.login();
    EXPECT_EQ(c.query("SELECT * FROM `order` LIMIT 0")[0].code, 1);
    auto created = c.query("CREATE PUBLIC TABLE order (index Integer, group String) USE InitialCapacity=0");
    ASSERT_EQ(created[0].code, 3) << created[0].message;
    auto probe = c.query("SELECT * FROM `order` LIMIT 0");
    ASSERT_EQ(probe[0].code, 2);
    ASSERT_EQ(probe[0].columns.size(), 2u);
    EXPECT_EQ(probe[0].columns[0].name, "index");
    EXPECT_EQ(probe[0].columns[1].type, 20);
    auto deleted = c.query("DELETE FROM `order`");
    EXPECT_EQ(deleted[0].code, 3);
    EXPECT_EQ(deleted[0].count, 0);
}

// A bulk insert image as a client builds it.
Buf bulk_insert_image() {
    Builder r;
    r.u8(21).i32_be(5).u8(60);
    r.u8(11).u8(3);
    r.typed_utf("t");
    r.u8(21).i32_be(5).u8(20).utf("flag").utf("n").utf("s").utf("b").utf("c");
    r.u8(39).typed_utf("t").i16_be(5).i32_be(2);
    r.u8(10).typed_utf("flag").u8(0).u8(0x00).u8(0x07);
    r.u8(14).typed_utf("n").u8(0).i32_be(-1).i32_be(70000);
    r.u8(20).typed_utf("s").u8(0).utf("a|b").utf("");
    r.u8(36).typed_utf("b").u8(0).i32_be(3).raw("xyz").i32_be(0);
    r.u8(37).typed_utf("c").u8(0).i64_be(1).i64_be(-2).i64_be(0).i64_be(0);
    r.u8(16).i64_be(30000);
    return r.framed();
}

TEST(DatabaseServer, BulkInsertIsInsertedAndCounted) {
    DatabaseServer db;
    DbClient c(db.port());
    c.login();
    ASSERT_EQ(c.query("CREATE PUBLIC TABLE t (flag Boolean, n Integer, s String, b Bytes, c Complex) USE "
                      "InitialCapacity=2")[0]
                  .code,
              3);
    c.socket.write(bulk_insert_image());
    auto body = c.response();
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, Builder().u8(21).i32_be(1).u8(60).u8(11).u8(3).u8(16).i64_be(2).b);
    auto state = db.state();
    ASSERT_EQ(state.requests.size(), 2u);
    EXPECT_EQ(state.requests[1].instruction, 3);
    EXPECT_EQ(state.requests[1].text, "t");
    EXPECT_EQ(state.requests[1].rows, 2);

    auto rows = c.query("SELECT * FROM t");
    const auto& cols = rows[0].columns;
    ASSERT_EQ(cols.size(), 5u);
    EXPECT_EQ(cols[0].values, (std::vector<std::string>{"0", "1"}));
    EXPECT_EQ(cols[1].values, (std::vector<std::string>{"-1", "70000"}));
    EXPECT_EQ(cols[2].values, (std::vector<std::string>{"a|b", ""}));
    EXPECT_EQ(cols[3].values, (std::vector<std::string>{"78797a", ""}));
    EXPECT_EQ(cols[4].values, (std::vector<std::string>{"1,-2", "0,0"}));
    EXPECT_FALSE(cols[3].nullable);  // an empty byte string is not NULL

    // Into a missing table: SQLite's text, nothing else happens.
    auto image = bulk_insert_image();
    c.socket.write(Buf(image));
    ASSERT_TRUE(c.response());
    c.query("DROP TABLE t");
    c.socket.write(image);
    auto error = c.response();
    ASSERT_TRUE(error);
    auto elements = read_result(*error);
    ASSERT_EQ(elements.size(), 1u);
    EXPECT_EQ(elements[0].message, "no such table: t");
}

TEST(DatabaseServer, BulkInsertKeepsNullsAndNaNApart) {
    DatabaseServer db;
    DbClient c(db.port());
    c.login();
    c.query("CREATE PUBLIC TABLE t (d Double, n Integer, s String) USE InitialCapacity=3");
    const auto nan_bits = static_cast<std::int64_t>(0x7FF8000000000000ULL);
    const auto two_and_a_half = static_cast<std::int64_t>(0x4004000000000000ULL);
    Builder r;
    r.u8(21).i32_be(5).u8(60).u8(11).u8(3).typed_utf("t");
    r.u8(21).i32_be(3).u8(20).utf("d").utf("n").utf("s");
    r.u8(39).typed_utf("t").i16_be(3).i32_be(3);
    // Row 1 of d, row 0 of n and rows 0 and 2 of s are NULL; row 0 of d is a NaN.
    r.u8(17).typed_utf("d").u8(1).i32_be(1).i64_be(0b010).i64_be(nan_bits).i64_be(0).i64_be(two_and_a_half);
    r.u8(14).typed_utf("n").u8(1).i32_be(1).i64_be(0b001).i32_be(0).i32_be(5).i32_be(6);
    r.u8(20).typed_utf("s").u8(1).i32_be(1).i64_be(0b101).utf("").utf("x").utf("");
    r.u8(16).i64_be(30000);
    c.socket.write(r.framed());
    ASSERT_TRUE(c.response());

    auto rows = c.query("SELECT d, n, s, d IS NULL FROM t");
    const auto& cols = rows[0].columns;
    ASSERT_EQ(cols.size(), 4u);
    EXPECT_EQ(cols[0].values, (std::vector<std::string>{"nan", "0", "2.5"}));
    EXPECT_EQ(cols[0].mask, std::vector<std::uint64_t>{0b010});
    EXPECT_EQ(cols[1].mask, std::vector<std::uint64_t>{0b001});
    EXPECT_EQ(cols[2].mask, std::vector<std::uint64_t>{0b101});
    EXPECT_EQ(cols[3].values, (std::vector<std::string>{"0", "1", "0"}));
}

TEST(DatabaseServer, DropDelayAndNegativeLength) {
    DatabaseServer db;
    {
        DbClient c(db.port());
        c.login();
        db.drop_next_requests(1);
        c.socket.write(query_request("SELECT 1"));
        EXPECT_TRUE(c.socket.wait_closed());
    }
    DbClient c(db.port());
    c.login();
    db.set_response_delay(20ms);
    EXPECT_EQ(c.query("SELECT 2")[0].columns[0].values[0], "2");
    db.set_response_delay(0ms);

    db.send_negative_length_next(-5);
    c.socket.write(query_request("SELECT 3"));
    EXPECT_EQ(c.socket.read_exact(4), (Buf{0xFF, 0xFF, 0xFF, 0xFB}));
    EXPECT_TRUE(c.socket.quiet_for(30ms));
    EXPECT_EQ(c.query("SELECT 4")[0].columns[0].values[0], "4");
    EXPECT_EQ(db.state().requests.size(), 4u);
}

TEST(DatabaseServer, StopAndResumeListening) {
    DatabaseServer db;
    const auto port = db.port();
    DbClient kept(port);
    kept.login();
    db.stop_listening();
    EXPECT_FALSE(SandboxTestSocket::can_connect(port));
    EXPECT_EQ(kept.query("SELECT 1").size(), 1u);
    db.resume_listening();
    DbClient again(port);
    again.login();
    db.drop_all_connections();
    EXPECT_TRUE(kept.socket.wait_closed());
    EXPECT_TRUE(db.wait_until([](const DatabaseState& s) { return s.open_connections == 0; }));
}

TEST(DatabaseServer, MalformedRequestsCloseOnlyTheirConnection) {
    DatabaseServer db({.max_request_bytes = 1 << 20});
    DbClient good(db.port());
    good.login();
    const Buf bad_inputs[] = {
        Builder().i32_be(-1).b,                                                            // negative length
        Builder().i32_be(0x7FFFFFFF).b,                                                    // over the limit
        Builder().u8(21).i32_be(2).u8(60).u8(11).u8(2).u8(20).u8(0xFF).u8(0xFF).framed(),  // string past the
                                                                                           // end
        Builder().u8(22).framed(),                                                         // not a list
        Builder()
            .u8(21)
            .i32_be(5)
            .u8(60)
            .u8(11)
            .u8(3)
            .typed_utf("t")
            .u8(21)
            .i32_be(0)
            .u8(20)
            .u8(39)
            .typed_utf("t")
            .i16_be(1)
            .i32_be(0x7FFFFFFF)
            .u8(16)
            .typed_utf("x")
            .u8(0)
            .framed(),  // rows past the end
    };
    for (const auto& input : bad_inputs) {
        DbClient c(db.port());
        c.login();
        c.socket.write(input);
        EXPECT_TRUE(c.socket.wait_closed());
    }
    EXPECT_EQ(good.query("SELECT 1").size(), 1u);
}

TEST(DatabaseServer, SharedLoopAndDatabase) {
    SandboxLoop loop;
    auto shared = std::make_shared<SqliteDatabase>();
    DatabaseServer a(loop, {}, shared);
    DatabaseServer b(loop, {}, shared);
    DbClient ca(a.port());
    ca.login();
    ca.query("CREATE TABLE s (v Long); INSERT INTO s VALUES (42)");
    DbClient cb(b.port());
    cb.login();
    EXPECT_EQ(cb.query("SELECT v FROM s")[0].columns[0].values[0], "42");
    EXPECT_EQ(b.exec([](SqliteDatabase& d) { return d.execute("SELECT COUNT(*) FROM s").size(); }), 1u);
}

}  // namespace
}  // namespace tyx::sandbox
