#include <gtest/gtest.h>

#include <stdexcept>
#include <variant>

#include "jdbc/jdbc_bulk_insert.hpp"
#include "support/jdbc_bytes.hpp"

namespace tyx::jdbc {
namespace {

using test::jdbc_hex;
using test::JdbcBytes;

using U8s = std::vector<std::uint8_t>;

JdbcColumn column(TypeCode type, std::string name, ColumnValues values, std::int32_t rows) {
    JdbcColumn c;
    c.name = std::move(name);
    c.type = code_of(type);
    c.values = std::move(values);
    c.row_count = rows;
    return c;
}

std::string image_of(const JdbcColumn& c) {
    ByteVector out;
    c.serialize_to(out);
    return jdbc_hex(out);
}

TEST(JdbcBulkInsert, ImageWithoutColumns) {
    const BulkInsert bulk("t", {}, 0, 30000);
    const ByteVector body = JdbcBytes()
                                .code(TypeCode::List)
                                .i32(5)
                                .code(TypeCode::Undefined)
                                .raw({0x0B, 0x03})
                                .str("t")
                                .raw({0x15, 0, 0, 0, 0, 0x14})
                                .code(TypeCode::TableColumnar)
                                .str("t")
                                .i16(0)
                                .i32(0)
                                .raw({0x10, 0, 0, 0, 0, 0, 0, 0x75, 0x30});
    const ByteVector expected = JdbcBytes().u32(static_cast<std::uint32_t>(body.size())).raw(body);
    EXPECT_EQ(jdbc_hex(bulk.buffer), jdbc_hex(expected));
    EXPECT_EQ(bulk.table_name, "t");
}

TEST(JdbcBulkInsert, ColumnImages) {
    const struct {
        JdbcColumn column;
        ByteVector values;
    } cases[] = {
        {column(TypeCode::Boolean, "b", U8s{0, 7}, 2), {0x00, 0x01}},
        {column(TypeCode::Byte, "b", U8s{0, 7, 9}, 2), {0x00, 0x07}},  // only row_count values
        {column(TypeCode::Short, "b", std::vector<std::int16_t>{-2}, 1), {0xFF, 0xFE}},
        {column(TypeCode::Character, "b", std::vector<std::uint16_t>{65}, 1), {0x00, 0x41}},
        {column(TypeCode::DatePart, "b", std::vector<std::int32_t>{-1}, 1), {0xFF, 0xFF, 0xFF, 0xFF}},
        {column(TypeCode::Float, "b", std::vector<float>{1.5f}, 1), {0x3F, 0xC0, 0, 0}},
        {column(TypeCode::DateMillis, "b", std::vector<std::int64_t>{258}, 1), JdbcBytes().i64(258)},
        {column(TypeCode::Date, "b", std::vector<std::int64_t>{-3}, 1), JdbcBytes().i64(-3)},
        {column(TypeCode::DateNanos, "b", std::vector<std::int64_t>{7}, 1), JdbcBytes().i64(7)},
        {column(TypeCode::Double, "b", std::vector<double>{-0.25}, 1), JdbcBytes().f64(-0.25)},
        {column(TypeCode::String, "b", std::vector<std::string>{"", "ab"}, 2),
         {0, 1, 0xFF, 0, 2, 0x61, 0x62}},
        {column(TypeCode::BigDecimal, "b", std::vector<std::string>{"1.5"}, 1), JdbcBytes().utf("1.5")},
        {column(TypeCode::UUID, "b", std::vector<std::string>{"u"}, 1), JdbcBytes().utf("u")},
        {column(TypeCode::Bytes, "b", std::vector<U8s>{{1, 2, 3}, {}}, 2), {0, 0, 0, 3, 1, 2, 3, 0, 0, 0, 0}},
        {column(TypeCode::BigInteger, "b", std::vector<U8s>{U8s(200, 0xAB)}, 1),
         JdbcBytes().raw({0x7F, 0, 0, 0, 0xC8}).raw(U8s(200, 0xAB))},
        {column(TypeCode::Complex, "b", std::vector<std::complex<double>>{{1.9, -2.5}}, 1),
         JdbcBytes().i64(1).i64(-2)},
        {column(TypeCode::Complex, "b", std::vector<std::complex<double>>{{1e300, -1e300}}, 1),
         JdbcBytes().i64(INT64_MAX).i64(INT64_MIN)},
        {column(static_cast<TypeCode>(99), "b", std::vector<std::int64_t>{1}, 1), {}},
        {column(TypeCode::Undefined, "b", std::monostate{}, 1), {}},
    };
    for (const auto& c : cases) {
        const ByteVector expected = JdbcBytes().u8(c.column.type).str("b").u8(0).raw(c.values);
        EXPECT_EQ(image_of(c.column), jdbc_hex(expected)) << int(c.column.type);
    }
    JdbcColumn masked = column(TypeCode::Integer, "n", std::vector<std::int32_t>{5}, 1);
    masked.nullable = true;
    masked.allow_null = AllowNullEnum::Allowed;
    masked.null_mask = {3};
    EXPECT_EQ(image_of(masked),
              jdbc_hex(JdbcBytes().code(TypeCode::Integer).str("n").u8(1).i32(1).u64(3).i32(5)));
}

TEST(JdbcBulkInsert, CallerErrors) {
    // Values in an alternative that another code takes, or that no code takes.
    for (const ColumnValues& values :
         {ColumnValues(std::vector<std::int32_t>{1}), ColumnValues(std::monostate{}),
          ColumnValues(std::vector<char>{'a'})}) {
        try {
            image_of(column(TypeCode::Long, "x", values, 1));
            ADD_FAILURE() << values.index();
        } catch (const std::bad_variant_access& e) {
            EXPECT_STREQ(e.what(), "std::get: wrong index for variant");
        }
    }
    EXPECT_THROW(image_of(column(TypeCode::Long, "x", std::vector<std::int64_t>{1}, 2)),
                 std::invalid_argument);
    EXPECT_THROW(image_of(column(TypeCode::String, "x", std::vector<std::string>{}, -1)),
                 std::invalid_argument);
    EXPECT_THROW(BulkInsert("t", std::vector<JdbcColumn>(32768), 0, 0), std::invalid_argument);
}

// The columnar table inside the image reads back through the response decoder unchanged (for the
// forms both directions share: the self-typed forms of responses differ), and a typical table fits
// the reserved capacity.
TEST(JdbcBulkInsert, RoundTripThroughTheDecoder) {
    const int rows = 1000;
    std::vector<std::int64_t> longs(rows);
    std::vector<double> doubles(rows);
    std::vector<std::string> texts(rows);
    for (int i = 0; i < rows; ++i) {
        longs[i] = std::int64_t{i} * 1000003 - 7;
        doubles[i] = i / 8.0;
        texts[i] = "row-" + std::to_string(100000 + i) + "xx";
    }
    const std::vector<JdbcColumn> columns{
        column(TypeCode::Long, "id", longs, rows), column(TypeCode::Double, "px", doubles, rows),
        column(TypeCode::String, "sym", texts, rows), column(TypeCode::Boolean, "ok", U8s(rows, 1), rows)};
    const BulkInsert bulk("quotes", columns, rows, -1);
    EXPECT_EQ(bulk.buffer.capacity(), BulkInsert::capacity_estimate("quotes", columns));
    EXPECT_EQ(load_be<std::uint32_t>(bulk.buffer.data()), bulk.buffer.size() - 4);

    ByteView v(bulk.buffer);
    v.skip(4 + 6);
    EXPECT_EQ(VariantValue(v).value, VariantValue::Value(std::int64_t{3}));
    EXPECT_EQ(VariantValue(v).value, VariantValue::Value(std::string("quotes")));
    ASSERT_EQ(v.take_u8(), code_of(TypeCode::List));
    ASSERT_EQ(v.take_be<std::int32_t>(), static_cast<std::int32_t>(columns.size()));
    ASSERT_EQ(v.take_u8(), code_of(TypeCode::String));
    for (const auto& c : columns) EXPECT_EQ(read_string_form(v), c.name);
    const VariantValue table(v);
    ASSERT_NE(table.table, nullptr);
    EXPECT_EQ(table.table->name, "quotes");
    ASSERT_EQ(table.table->columns.size(), columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        EXPECT_EQ(table.table->columns[i].name, columns[i].name);
        EXPECT_EQ(table.table->columns[i].values, columns[i].values) << columns[i].name;
    }
    EXPECT_EQ(VariantValue(v).value, VariantValue::Value(std::int64_t{-1}));
    EXPECT_TRUE(v.empty());
}

}  // namespace
}  // namespace tyx::jdbc
