// Request images, the login acknowledgement, the failure texts and the response deadline of the
// database session.
#include <gtest/gtest.h>

#include "jdbc/jdbc_session_messages.hpp"
#include "jdbc/tyx_client_jdbc.hpp"
#include "support/jdbc_bytes.hpp"

namespace tyx::jdbc {
namespace {

using test::jdbc_hex;
using test::JdbcBytes;

// Prefixes `body` with its 4-byte length.
ByteVector framed(const ByteVector& body) {
    JdbcBytes out;
    out.u32(static_cast<std::uint32_t>(body.size())).raw(body);
    return out;
}

ByteVector image(std::string_view view) {
    return ByteVector(view.begin(), view.end());
}

TEST(JdbcSessionMessages, LoginImageForEachConfiguration) {
    struct Case {
        const char* label;
        std::int32_t timeout;
        std::int32_t limit;
        const char* db;
        std::vector<std::pair<std::string, std::string>> entries;
    };
    const Case cases[] = {
        {"defaults, no db",
         30000,
         10000,
         "",
         {{"password", "pw"}, {"username", "ann"}, {"timeout", "30000"}, {"limit", "10000"}}},
        {"db last",
         30000,
         10000,
         "x",
         {{"password", "pw"}, {"username", "ann"}, {"timeout", "30000"}, {"limit", "10000"}, {"db", "x"}}},
        {"negative and zero limits",
         -5,
         0,
         "",
         {{"password", "pw"}, {"username", "ann"}, {"timeout", "-5"}, {"limit", "0"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        DatabaseConfig config;
        config.username = "ann";
        config.password = "pw";
        config.query_timeout_ms = c.timeout;
        config.query_limit = c.limit;
        config.db = c.db;
        JdbcBytes body;
        body.code(TypeCode::List).i32(3).code(TypeCode::Undefined).raw({11, 1});
        body.code(TypeCode::Map).i32(static_cast<std::int32_t>(c.entries.size())).raw({20, 20});
        for (const auto& [k, v] : c.entries) body.utf(k).utf(v);
        body.code(TypeCode::Integer).i32(2);
        const Login login(config);
        EXPECT_EQ(jdbc_hex(image(login.view())), jdbc_hex(framed(body)));
        EXPECT_GE(login.buffer.capacity(), 255u);
    }
}

TEST(JdbcSessionMessages, QueryImageCarriesTheTextInItsStringForm) {
    const std::string long_text(70000, 's');
    const std::string cases[] = {"SELECT 1", "", std::string(65535, 'q'), long_text};
    for (const auto& sql : cases) {
        SCOPED_TRACE(sql.size());
        JdbcBytes body;
        body.code(TypeCode::List).i32(2).code(TypeCode::Undefined).raw({11, 2}).str(sql);
        const Query query(sql);
        EXPECT_EQ(query.sql, sql);
        ASSERT_EQ(query.buffer, framed(body)) << jdbc_hex(framed(body)).substr(0, 80);
        // Texts of the short form fit the reservation exactly.
        if (!sql.empty() && sql.size() <= 65535) {
            EXPECT_EQ(query.buffer.capacity(), query.buffer.size());
        }
    }
}

TEST(JdbcSessionMessages, LoginAckReadsTypedAndUntypedForms) {
    struct Case {
        const char* label;
        ByteVector body;
        std::string message;
        std::int32_t version;
    };
    const Case cases[] = {
        {"typed", JdbcBytes().raw({21}).i32(2).u8(60).str("ready").u8(14).i32(2), "ready", 2},
        {"typed, version 3", JdbcBytes().raw({21}).i32(2).u8(60).str("r").u8(14).i32(3), "r", 3},
        {"typed, version not an Integer", JdbcBytes().raw({21}).i32(2).u8(60).str("r").u8(16).i32(2), "r", 0},
        {"untyped elements", JdbcBytes().raw({21}).i32(2).u8(20).utf("plain").i32(2), "plain", 2},
        {"message only", JdbcBytes().raw({21}).i32(1).u8(60).str("only"), "only", 0},
        {"version cut short", JdbcBytes().raw({21}).i32(2).u8(60).str("m").u8(14).raw({0, 0}), "m", 0},
        {"head only", JdbcBytes().raw({21, 0, 0}), "", 0},
        {"empty", {}, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const test::ExactBytes exact(c.body.data(), c.body.size());
        const LoginAck ack(exact.view());
        EXPECT_EQ(ack.message, c.message);
        EXPECT_EQ(ack.version, c.version);
    }
    // A message announced longer than the body is refused, not read past its end.
    const ByteVector cut = JdbcBytes().raw({21}).i32(2).u8(60).u8(20).raw({0, 9, 'a'});
    const test::ExactBytes exact(cut.data(), cut.size());
    EXPECT_THROW(LoginAck{exact.view()}, std::runtime_error);
}

TEST(JdbcSessionMessages, FailureTexts) {
    EXPECT_EQ(version_mismatch_text(63, 245), "Invalid JDBC version response: ?\xF5, expected: ?\xF4");
    constexpr char kWithZero[] = "Invalid JDBC version response: \0A, expected: ?\xF4";
    EXPECT_EQ(version_mismatch_text(0, 'A'), std::string(kWithZero, sizeof kWithZero - 1));
    EXPECT_EQ(server_version_text(3), "Unsupported JDBC server version: 3, expected: 2");
    EXPECT_EQ(server_version_text(-1), "Unsupported JDBC server version: -1, expected: 2");
}

TEST(JdbcSessionMessages, VersionChecksAndResponseHeaders) {
    const auto error_of = [](auto&& f) -> std::string {
        try {
            f();
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "";
    };
    const ByteVector good = {63, 244};
    const ByteVector bad = {63, 245};
    EXPECT_EQ(error_of([&] { check_server_version(ByteView(good)); }), "");
    EXPECT_EQ(error_of([&] { check_server_version(ByteView(bad)); }), version_mismatch_text(63, 245));
    EXPECT_EQ(error_of([] { check_protocol_version(2); }), "");
    EXPECT_EQ(error_of([] { check_protocol_version(0); }), server_version_text(0));

    struct Case {
        std::int32_t length;
        std::string error;  // empty: the length is the body's
    };
    const Case cases[] = {
        {0, ""},
        {5, ""},
        {(1 << 30) - 1, ""},  // with the byte more, exactly the limit
        {1 << 30, "JDBC response length 1073741824 exceeds the limit of 1073741824 bytes"},
        {INT32_MAX, "JDBC response length 2147483647 exceeds the limit of 1073741824 bytes"},
        {-1, "Invalid JDBC response length: -1"},
        {INT32_MIN, "Invalid JDBC response length: -2147483648"},
    };
    for (const auto& c : cases) {
        const ByteVector header = JdbcBytes().i32(c.length);
        std::size_t body = 0;
        EXPECT_EQ(error_of([&] { body = response_body_length(ByteView(header)); }), c.error) << c.length;
        if (c.error.empty()) {
            EXPECT_EQ(body, static_cast<std::size_t>(c.length));
            EXPECT_EQ(response_bytes_after(body), body + 1);
        }
    }
}

TEST(JdbcSessionMessages, ResponseDeadlineDoublesShortLimitsAndAddsFiveSecondsToLongOnes) {
    struct Case {
        std::int64_t timeout;
        std::int32_t configured;
        std::int64_t expected_ms;
    } cases[] = {
        {100, 30000, 200}, {30000, 100, 35000},      {0, 400, 800},    {-1, 400, 800}, {0, 0, 35000},
        {0, -7, 35000},    {INT64_MAX, 0, 86405000}, {5000, 0, 10000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(response_deadline(c.timeout, c.configured).count(), c.expected_ms)
            << c.timeout << " " << c.configured;
        // A request's limit is the server's own.
        const auto limit = request_limit(c.timeout, c.configured).count();
        EXPECT_EQ(limit + std::min<std::int64_t>(limit, 5000), c.expected_ms) << c.timeout << " " << c.configured;
    }
}

}  // namespace
}  // namespace tyx::jdbc
