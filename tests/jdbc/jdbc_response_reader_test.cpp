// The database session's response framing: a length, then the body and one byte more, read
// from a stream cut anywhere.
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <stdexcept>

#include "jdbc/jdbc_response_reader.hpp"
#include "support/jdbc_bytes.hpp"

namespace tyx::jdbc {
namespace {

using test::jdbc_hex;
using test::JdbcBytes;

// A response as the server sends it: the length, the body, then the byte it does not count.
ByteVector response(const ByteVector& body, std::uint8_t extra = 0) {
    return JdbcBytes().i32(static_cast<std::int32_t>(body.size())).raw(body).u8(extra);
}

ByteVector join(std::initializer_list<ByteVector> parts) {
    ByteVector out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct Fed {
    std::vector<ByteVector> bodies;
    std::string error;
};

// Feeds `stream` in pieces of `chunk` bytes, taking each response as it completes.
Fed feed_in_pieces(const ByteVector& stream, std::size_t chunk) {
    ResponseReader reader;
    Fed fed;
    try {
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            ByteView piece(stream.data() + at, std::min(chunk, stream.size() - at));
            while (!piece.empty()) {
                piece.skip(reader.feed(piece));
                if (reader.complete()) fed.bodies.push_back(reader.take());
            }
        }
    } catch (const std::runtime_error& e) {
        fed.error = e.what();
    }
    return fed;
}

TEST(JdbcResponseReader, SameResponsesWhateverTheReadsCarry) {
    const ByteVector result = JdbcBytes().result_head(1).u8(0x0B).u8(3).code(TypeCode::Integer).i32(7);
    struct Case {
        const char* label;
        ByteVector stream;
        std::vector<ByteVector> bodies;
        std::string error;  // raised once the bodies before it were taken
    };
    const Case cases[] = {
        {"empty body", response({}), {{}}, ""},
        {"the extra byte is not the body's", response({1, 2, 3}, 0xFF), {{1, 2, 3}}, ""},
        {"a result", response(result), {result}, ""},
        {"two in one read", join({response(result, 9), response({4})}), {result, {4}}, ""},
        {"an empty one between", join({response({5}), response({}), response({6})}), {{5}, {}, {6}}, ""},
        {"negative length after a good one",
         join({response({1}), JdbcBytes().i32(-1).raw({1, 2})}),
         {{1}},
         "Invalid JDBC response length: -1"},
        {"smallest negative", JdbcBytes().i32(INT32_MIN), {}, "Invalid JDBC response length: -2147483648"},
        {"past the limit with the byte more",
         JdbcBytes().i32(1 << 30),
         {},
         "JDBC response length 1073741824 exceeds the limit of 1073741824 bytes"},
        {"largest length",
         JdbcBytes().i32(INT32_MAX).raw({1}),
         {},
         "JDBC response length 2147483647 exceeds the limit of 1073741824 bytes"},
    };
    for (const auto& c : cases) {
        for (std::size_t chunk : {c.stream.size(), std::size_t{1}, std::size_t{2}, std::size_t{5}}) {
            const Fed fed = feed_in_pieces(c.stream, chunk);
            EXPECT_EQ(fed.error, c.error) << c.label << ", chunk " << chunk;
            ASSERT_EQ(fed.bodies.size(), c.bodies.size()) << c.label << ", chunk " << chunk;
            for (std::size_t i = 0; i < c.bodies.size(); ++i)
                EXPECT_EQ(fed.bodies[i], c.bodies[i]) << c.label << ", chunk " << chunk << "\n"
                                                      << jdbc_hex(fed.bodies[i]) << "\n"
                                                      << jdbc_hex(c.bodies[i]);
        }
    }
}

// Reads the rest of `stream`, from `at`, as the session does: exactly the room offered each time,
// which must never reach past the stream's one response. Yields the size of each read.
std::vector<std::size_t> read_rest(ResponseReader& reader, const ByteVector& stream, std::size_t at) {
    std::vector<std::size_t> reads;
    while (!reader.complete()) {
        const auto room = reader.room();
        if (at + room.size() > stream.size()) ADD_FAILURE() << "room past the response at " << at;
        if (room.empty() || at + room.size() > stream.size()) break;
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at), room.size(), room.begin());
        reader.commit(room.size());
        at += room.size();
        reads.push_back(room.size());
    }
    return reads;
}

TEST(JdbcResponseReader, TruncatedResponsesWaitForTheirEnd) {
    const ByteVector body = JdbcBytes().result_head(1).u8(0x0B).u8(3).code(TypeCode::Long).i64(-2);
    const ByteVector whole = response(body);
    for (std::size_t n = 0; n < whole.size(); ++n) {
        const ByteVector prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));  // exact size
        ResponseReader reader;
        EXPECT_EQ(reader.feed(ByteView(prefix)), n);
        EXPECT_FALSE(reader.complete()) << n;
        read_rest(reader, whole, n);
        ASSERT_TRUE(reader.complete()) << n;
        EXPECT_EQ(reader.take(), body) << n;
    }
}

TEST(JdbcResponseReader, BodyIsReadInStepsThatGrowWithWhatArrived) {
    // A 20-byte body and its extra byte, from a first step of 4: each step doubles what arrived.
    ResponseReader small(4);
    EXPECT_EQ(read_rest(small, response(ByteVector(20, 0x61)), 0), (std::vector<std::size_t>{4, 4, 4, 8, 5}));
    EXPECT_EQ(small.take(), ByteVector(20, 0x61));

    // A header announcing the most there may be asks only for the first step.
    ResponseReader big;
    EXPECT_EQ(big.feed(ByteView(JdbcBytes().i32((1 << 30) - 1).bytes)), 4u);
    EXPECT_EQ(big.room().size(), kFirstReadStep);
}

// The storage of one response serves the next; it is given back by trim only between responses.
TEST(JdbcResponseReader, StorageIsKeptForTheNextResponseUntilTrimmed) {
    ResponseReader reader;
    const ByteVector text(10000, 0x62);
    reader.feed(ByteView(response(text)));
    ASSERT_TRUE(reader.complete());
    const std::uint8_t* storage = reader.body().data;
    EXPECT_EQ(ByteVector(storage, storage + reader.body().size), text);
    reader.reset();
    reader.trim(reader.capacity());
    reader.feed(ByteView(response({7, 8})));
    EXPECT_EQ(reader.body().data, storage);
    EXPECT_EQ(reader.take(), (ByteVector{7, 8}));

    reader.feed(ByteView(JdbcBytes().i32(3).raw({1}).bytes));
    reader.trim(0);  // a response in progress keeps its storage
    EXPECT_GT(reader.capacity(), 0u);
    reader.feed(ByteView(ByteVector{2, 3, 0}));
    EXPECT_EQ(reader.take(), (ByteVector{1, 2, 3}));
    reader.trim(0);
    EXPECT_EQ(reader.capacity(), 0u);
    // Empty again, it reads the next response as well.
    reader.feed(ByteView(response({9})));
    EXPECT_EQ(reader.take(), (ByteVector{9}));
}

}  // namespace
}  // namespace tyx::jdbc
