#include <gtest/gtest.h>

#include <stdexcept>

#include "jdbc/jdbc_result.hpp"
#include "support/jdbc_bytes.hpp"

namespace tyx::jdbc {
namespace {

using test::ExactBytes;
using test::jdbc_hex;
using test::JdbcBytes;

using U8s = std::vector<std::uint8_t>;

std::string error_of(const ByteVector& input) {
    ExactBytes copy(input.data(), input.size());
    ByteView view = copy.view();
    try {
        QueryResult r(view);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(JdbcQueryResultElement, Kinds) {
    {
        ByteVector in = JdbcBytes().raw({0x0B, 0x03, 0x10}).i64(5);
        ByteView v(in);
        QueryResultElement e(v);
        EXPECT_EQ(e.count, 5);
        EXPECT_TRUE(v.empty());
    }
    const struct {
        ByteVector input;
        std::size_t left;
    } zero_counts[] = {{{0x0B, 0x03, 0x0E, 0x00}, 1}, {{0x0B, 0x03, 0x10, 0, 0}, 2}, {{0x0B, 0x03}, 0}};
    for (const auto& c : zero_counts) {  // Integer instead of Long, Long cut short, nothing: count 0
        ByteView v(c.input);
        QueryResultElement e(v);
        EXPECT_EQ(e.count, 0) << jdbc_hex(c.input);
        EXPECT_EQ(v.size, c.left) << jdbc_hex(c.input);
    }
    {
        ByteVector in = JdbcBytes().raw({0x0B, 0x01, 0x14, 0x00, 0x05}).raw("hello");
        ByteView v(in);
        QueryResultElement e(v);
        ASSERT_TRUE(e.message);
        EXPECT_EQ(e.message->text, "hello");
        EXPECT_FALSE(e.count);
    }
    {
        ByteVector in = JdbcBytes().raw({0x0B, 0x04, 0x0B, 0xFF});
        ByteView v(in);
        QueryResultElement e(v);
        ASSERT_NE(e.value, nullptr);
        EXPECT_EQ(e.value->value, VariantValue::Value(std::int64_t{255}));
    }
    {
        ByteVector in = JdbcBytes()
                            .raw({0x0B, 0x05})
                            .code(TypeCode::List)
                            .i32(2)
                            .code(TypeCode::Undefined)
                            .raw({0x0E})
                            .i32(7)
                            .str("a");
        ByteView v(in);
        QueryResultElement e(v);
        ASSERT_EQ(e.values.size(), 2u);
        EXPECT_EQ(e.values[0].value, VariantValue::Value(std::int64_t{7}));
        EXPECT_EQ(e.values[1].value, VariantValue::Value(std::string("a")));
        EXPECT_TRUE(v.empty());
    }
    {  // list head cut short: list byte and one more byte consumed, no values
        ByteVector in{0x0B, 0x05, 0x15, 0x00, 0x00};
        ByteView v(in);
        QueryResultElement e(v);
        EXPECT_TRUE(e.values.empty());
        EXPECT_EQ(v.size, 1u);
    }
}

TEST(JdbcQueryResult, HeaderAndBadInput) {
    ByteVector head = JdbcBytes().result_head(3);
    ByteView v(head);
    QueryResult r(v);
    EXPECT_TRUE(r.elements.empty());
    EXPECT_EQ(r.count, 3);

    ByteVector two =
        JdbcBytes().result_head(1 << 30).raw({0x0B, 0x03, 0x10}).i64(2).raw({0x0B, 0x01}).str("m");
    ByteView tv(two);
    QueryResult t(tv);  // a count far above the body only sizes the reservation
    ASSERT_EQ(t.elements.size(), 2u);
    EXPECT_EQ(t.elements[1].message->text, "m");

    const std::pair<ByteVector, std::string> bad[] = {
        {JdbcBytes().result_head(1).raw({0x0B, 0x07}), "unsupported code in QueryResultElement: 7"},
        {JdbcBytes().result_head(1).raw({0x0C, 0x01}), "unsupported code in QueryResultElement: 0"},
        {JdbcBytes().result_head(1).raw({0x0B}), "unsupported code in QueryResultElement: 0"},
        {JdbcBytes().result_head(1).raw({0x0B, 0x04, 0x0D}), "VariantValue: unsupported variant type 13"},
        {JdbcBytes().result_head(-1), "QueryResult: negative element count -1"},
        {JdbcBytes().result_head(1).raw({0x0B, 0x05, 0x15}).i32(0x7FFFFFFF).u8(0x3C),
         "QueryResultElement: 2147483647 values exceed the 0 remaining bytes"},
        {JdbcBytes().result_head(1).raw({0x0B, 0x02, 0x15}).i32(1).u8(0x14),
         "Expected TableColumnar or Table type in ResultSet"},
        {JdbcBytes().result_head(1).result_set_head(-1), "ResultSet: negative table count -1"},
        {JdbcBytes().result_head(1).result_set_head(65536).i64(0),
         "ResultSet: 65536 tables exceed the 8 remaining bytes"},
        {JdbcBytes().result_head(1).result_set_head(1).table("t", -1, 0), "Table: negative column count -1"},
        {JdbcBytes().result_head(1).result_set_head(1).table("t", 1, -5), "Table: negative row count -5"},
        {JdbcBytes().result_head(1).result_set_head(1).table("t", 32767, 1).column(TypeCode::Long, "v"),
         "Table: 32767 columns exceed the 6 remaining bytes"},
        {JdbcBytes()
             .result_head(1)
             .result_set_head(1)
             .table("t", 1, 1000000)
             .column(TypeCode::Long, "v")
             .i64(1)
             .i64(2),
         "Table: 1000000 rows of column 'v' exceed the 16 remaining bytes"},
        {JdbcBytes()
             .result_head(1)
             .result_set_head(1)
             .table("t", 1, 1)
             .column(TypeCode::String, "v")
             .raw({0x00, 0x09, 0x41}),
         "StringField: length 9 exceeds the 1 remaining bytes"},
    };
    for (const auto& [input, text] : bad) EXPECT_EQ(error_of(input), text) << jdbc_hex(input);
}

// One single-column table per value form: the column's wire values and what they decode to.
TEST(JdbcTable, EveryColumnForm) {
    const ByteVector uuid =
        JdbcBytes().code(TypeCode::UUID).u64(0x0123456789ABCDEFull).u64(0xFEDCBA9876543210ull);
    const struct {
        TypeCode type;
        std::int32_t rows;
        ByteVector wire;
        ColumnValues values;
    } cases[] = {
        {TypeCode::Boolean, 3, {0x00, 0x02, 0xFF}, U8s{0, 1, 1}},
        {TypeCode::Byte, 3, {0x00, 0x02, 0xFF}, U8s{0, 2, 255}},
        {TypeCode::Short, 2, {0xFF, 0xFE, 0x00, 0x01}, std::vector<std::int16_t>{-2, 1}},
        {TypeCode::Character, 1, {0xFF, 0xFE}, std::vector<std::uint16_t>{65534}},
        {TypeCode::Integer, 1, JdbcBytes().i32(-3), std::vector<std::int32_t>{-3}},
        {TypeCode::DatePart, 1, JdbcBytes().i32(7), std::vector<std::int32_t>{7}},
        {TypeCode::Float, 1, JdbcBytes().f32(1.5f), std::vector<float>{1.5f}},
        {TypeCode::Long, 2, JdbcBytes().i64(-1).i64(1ll << 40), std::vector<std::int64_t>{-1, 1ll << 40}},
        {TypeCode::Date, 1, JdbcBytes().i64(5), std::vector<std::int64_t>{5}},
        {TypeCode::DateNanos, 1, JdbcBytes().i64(6), std::vector<std::int64_t>{6}},
        {TypeCode::DateMillis, 1, JdbcBytes().i64(7), std::vector<std::int64_t>{7}},
        {TypeCode::Double, 1, JdbcBytes().f64(-0.25), std::vector<double>{-0.25}},
        {TypeCode::String, 3, JdbcBytes().utf("ab").utf("").utf("c"),
         std::vector<std::string>{"ab", "", "c"}},
        {TypeCode::Bytes, 2, {0x24, 0, 0, 0, 2, 1, 2, 0x24, 0, 0, 0, 0}, std::vector<U8s>{{1, 2}, {}}},
        {TypeCode::Complex, 1, JdbcBytes().code(TypeCode::Complex).i64(1).i64(-2),
         std::vector<std::complex<double>>{{1.0, -2.0}}},
        {TypeCode::UUID, 1, uuid, std::vector<std::string>{"01234567-89ab-cdef-fedc-ba9876543210"}},
        {TypeCode::BigDecimal, 1, {0x2D, 0x02, 0x02, 0x30, 0x39}, std::vector<std::string>{"123.45"}},
        {TypeCode::BigInteger, 1, {0x2E, 0x02, 0x01, 0x00}, std::vector<U8s>{{1, 0}}},
    };
    for (const auto& c : cases) {
        const ByteVector in = JdbcBytes().table("t", 1, c.rows).column(c.type, "c").raw(c.wire);
        ExactBytes copy(in.data(), in.size());
        ByteView v = copy.view();
        const Table t(v);
        SCOPED_TRACE(tyx_type_to_tyx_string(c.type));
        EXPECT_TRUE(v.empty());
        ASSERT_EQ(t.columns.size(), 1u);
        EXPECT_EQ(t.columns[0].type, code_of(c.type));
        EXPECT_EQ(t.columns[0].name, "c");
        EXPECT_EQ(t.columns[0].row_count, c.rows);
        EXPECT_EQ(t.columns[0].values, c.values);
        EXPECT_TRUE(t.errors.empty());
    }
}

TEST(JdbcTable, MaskUnsupportedTypeAndEmptyShapes) {
    // A nullable column with a one-word mask, a column of unknown type 99 (its values are not
    // read), then a Long column read from the bytes right after the unknown column's header.
    const ByteVector in = JdbcBytes()
                              .table("t", 3, 1)
                              .code(TypeCode::Integer)
                              .str("n")
                              .u8(1)
                              .i32(1)
                              .u64(0x8000000000000001ull)
                              .i32(42)
                              .u8(99)
                              .str("x")
                              .u8(0)
                              .column(TypeCode::Long, "y")
                              .i64(9);
    ByteView v(in);
    const Table t(v);
    EXPECT_TRUE(v.empty());
    ASSERT_EQ(t.columns.size(), 3u);
    EXPECT_TRUE(t.columns[0].nullable);
    EXPECT_EQ(t.columns[0].allow_null, AllowNullEnum::Allowed);
    EXPECT_EQ(t.columns[0].null_mask, std::vector<std::uint64_t>{0x8000000000000001ull});
    EXPECT_EQ(t.columns[0].values, ColumnValues(std::vector<std::int32_t>{42}));
    EXPECT_EQ(t.columns[1].values, ColumnValues(std::vector<char>{}));
    EXPECT_EQ(t.errors, std::vector<std::string>{"Unsupported column type: 99"});
    EXPECT_EQ(t.columns[2].values, ColumnValues(std::vector<std::int64_t>{9}));

    const ByteVector no_columns = JdbcBytes().table("e", 0, 5);
    ByteView nv(no_columns);
    const Table e(nv);
    EXPECT_EQ(e.row_count, 5);
    EXPECT_TRUE(e.columns.empty());

    const ByteVector name_only = JdbcBytes().str("z").u8(0);
    ByteView zv(name_only);
    const Table z(zv);
    EXPECT_EQ(z.name, "z");
    EXPECT_EQ(z.row_count, 0);
    EXPECT_EQ(zv.size, 1u);
}

// A result using every element kind and every column form, cut at every length: each prefix
// must decode or fail with std::runtime_error, never read past its exact-size buffer.
TEST(JdbcQueryResult, EveryTruncatedPrefix) {
    JdbcBytes b;
    b.result_head(5).raw({0x0B, 0x01}).str("note").raw({0x0B, 0x03, 0x10}).i64(12);
    b.raw({0x0B, 0x04}).code(TypeCode::Double).f64(3.5);
    b.raw({0x0B, 0x05}).code(TypeCode::List).i32(2).code(TypeCode::Undefined).str("v").raw({0x0B, 0x09});
    b.result_set_head(2).table("t1", 8, 2);
    b.code(TypeCode::Long).str("l").u8(1).i32(1).u64(2).i64(1).i64(2);
    b.column(TypeCode::Double, "d").f64(0.5).f64(1.5);
    b.column(TypeCode::String, "s").utf("hello world!").utf(std::string(300, 'x'));
    b.column(TypeCode::Bytes, "b").raw({0x24, 0, 0, 0, 1, 7, 0x24, 0, 0, 0, 0});
    b.column(TypeCode::Complex, "c")
        .code(TypeCode::Complex)
        .i64(1)
        .i64(2)
        .code(TypeCode::Complex)
        .i64(3)
        .i64(4);
    b.column(TypeCode::UUID, "u").code(TypeCode::UUID).u64(1).u64(2).code(TypeCode::UUID).u64(3).u64(4);
    b.column(TypeCode::BigDecimal, "m")
        .raw({0x2D, 0x01, 0x01, 0x0F, 0x2D, 0x7F, 0, 0, 0, 2, 0x02, 0x30, 0x39});
    b.column(TypeCode::BigInteger, "g").raw({0x2E, 0x01, 0x05, 0x2E, 0x02, 0xFF, 0x00});
    b.table("t2", 1, 1).column(TypeCode::Boolean, "f").u8(1);
    const ByteVector full = b;

    ByteView fv(full);
    const QueryResult r(fv);
    ASSERT_EQ(r.elements.size(), 5u);
    const auto& tables = r.elements[4].result_set->tables;
    ASSERT_EQ(tables.size(), 2u);
    ASSERT_EQ(tables[0].columns.size(), 8u);
    EXPECT_EQ(tables[0].columns[6].values, ColumnValues(std::vector<std::string>{"1.5", "123.45"}));
    EXPECT_EQ(tables[1].columns[0].values, ColumnValues(U8s{1}));

    std::size_t decoded = 0;
    for (std::size_t n = 0; n < full.size(); ++n) {
        ExactBytes copy(full.data(), n);
        ByteView v = copy.view();
        try {
            QueryResult p(v);
            ++decoded;
        } catch (const std::runtime_error&) {
        }
        EXPECT_LE(v.size, n);
    }
    EXPECT_GT(decoded, 0u);
}

}  // namespace
}  // namespace tyx::jdbc
