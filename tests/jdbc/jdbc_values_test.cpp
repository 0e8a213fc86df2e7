#include <gtest/gtest.h>

#include <stdexcept>

#include "jdbc/jdbc_result.hpp"
#include "jdbc/jdbc_values.hpp"
#include "support/jdbc_bytes.hpp"

namespace tyx {
namespace {

using test::ExactBytes;
using test::jdbc_hex;
using test::JdbcBytes;

// Runs `read` over an exact-size copy of `input`; returns how many bytes it consumed.
template <typename Fn>
std::size_t consumed_by(const ByteVector& input, Fn&& read) {
    ExactBytes copy(input.data(), input.size());
    ByteView view = copy.view();
    read(view);
    return input.size() - view.size;
}

template <typename Fn>
std::string error_of(const ByteVector& input, Fn&& read) {
    try {
        consumed_by(input, read);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(JdbcStringForm, WritesAndReadsEveryShape) {
    const struct {
        std::size_t length;
        ByteVector head;
    } cases[] = {
        {0, {0x00, 0x01, 0xFF}},
        {1, {0x00, 0x01}},
        {65535, {0xFF, 0xFF}},
        {65536, {0x00, 0x01, 0x80, 0x00, 0x01, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        const std::string text(c.length, 'x');
        ByteVector out;
        append_utf_string(out, text);
        ASSERT_EQ(out.size(), c.head.size() + c.length) << c.length;
        EXPECT_EQ(ByteVector(out.begin(), out.begin() + c.head.size()), c.head) << c.length;
        std::string read;
        EXPECT_EQ(consumed_by(out, [&](ByteView& v) { read = StringField(v, false).text; }), out.size());
        EXPECT_EQ(read, text);
    }
}

TEST(JdbcStringForm, ReaderCases) {
    const struct {
        ByteVector input;
        bool typed;
        std::string text;
        std::size_t consumed;
    } cases[] = {
        {{}, true, "", 0},
        {{0x0E, 0x00, 0x01, 0x41}, true, "", 1},  // not a String: only the type byte goes
        {JdbcBytes().str("hello"), true, "hello", 8},
        {{0x00, 0x01}, false, "", 0},                    // too short for any form
        {{0x00, 0x01, 0x80, 0x00, 0x00}, false, "", 0},  // long form cut before its length
        {{0x00, 0x00, 0x41}, false, "", 2},
        {{0x00, 0x02, 0x41, 0x42, 0x43}, false, "AB", 4},
        {{0x00, 0x01, 0x80, 0x00, 0x00, 0x00, 0x02, 0x41, 0x42}, false, "AB", 9},
    };
    for (const auto& c : cases) {
        std::string text;
        const auto n = consumed_by(c.input, [&](ByteView& v) { text = StringField(v, c.typed).text; });
        EXPECT_EQ(text, c.text) << jdbc_hex(c.input);
        EXPECT_EQ(n, c.consumed) << jdbc_hex(c.input);
    }
    const std::pair<ByteVector, std::string> bad[] = {
        {{0x00, 0x05, 0x41}, "StringField: length 5 exceeds the 1 remaining bytes"},
        {{0x00, 0x01, 0x80, 0x7F, 0xFF, 0xFF, 0xFF, 0x00},
         "StringField: length 2147483647 exceeds the 1 remaining bytes"},
    };
    for (const auto& [input, text] : bad)
        EXPECT_EQ(error_of(input, [](ByteView& v) { StringField(v, false); }), text);
}

TEST(JdbcWriters, InstructionListMapAndColumnValues) {
    const std::vector<jdbc::StringView> names{"a", ""};
    const std::vector<std::pair<jdbc::StringView, jdbc::StringView>> map{{"k", "v"}};
    const auto image = [](auto write) {
        ByteVector out;
        write(out);
        return jdbc_hex(out);
    };
    EXPECT_EQ(image([](ByteVector& o) { append_instruction_as_variant_type(o, Instruction::BulkInsert); }),
              "0B 03");
    EXPECT_EQ(image([&](ByteVector& o) { append_list(o, names); }), "15 00 00 00 02 14 00 01 61 00 01 FF");
    EXPECT_EQ(image([&](ByteVector& o) { append_map_without_type(o, map); }),
              "00 00 00 01 14 14 00 01 6B 00 01 76");
    EXPECT_EQ(image([](ByteVector& o) { serialize_col_value_as<StringField>(o, "ab"); }), "00 02 61 62");
    EXPECT_EQ(image([](ByteVector& o) {
                  serialize_col_value_as<BytesField>(o, {1, 2, 3});
              }),
              "00 00 00 03 01 02 03");
    EXPECT_EQ(image([](ByteVector& o) { serialize_col_value_as<BytesField>(o, {}); }), "00 00 00 00");
    EXPECT_EQ(image([](ByteVector& o) { serialize_col_value_as<BigIntegerField>(o, {0xFF}); }), "01 FF");
}

TEST(JdbcBigInteger, CompactLengthAtTheEscapeBoundary) {
    const std::pair<std::size_t, ByteVector> cases[] = {
        {126, {0x7E}}, {127, {0x7F, 0x00, 0x00, 0x00, 0x7F}}, {200, {0x7F, 0x00, 0x00, 0x00, 0xC8}}};
    for (const auto& [n, head] : cases) {
        const BigIntegerField value(ByteVector(n, 0x5A));
        ByteVector out{code_of(TypeCode::BigInteger)};
        value.append_value_to(out);
        ASSERT_EQ(out.size(), 1 + head.size() + n);
        EXPECT_EQ(ByteVector(out.begin() + 1, out.begin() + 1 + head.size()), head) << n;
        BigIntegerField back;
        EXPECT_EQ(consumed_by(out, [&](ByteView& v) { back = BigIntegerField(v, true); }), out.size());
        EXPECT_EQ(back.bytes, value.bytes);
    }
}

TEST(JdbcBigNumbers, ReaderCases) {
    const struct {
        ByteVector input;
        std::int32_t scale;
        ByteVector bytes;
        std::size_t consumed;
    } decimals[] = {
        {{0x2D, 0x02, 0x02, 0x30, 0x39}, 2, {0x30, 0x39}, 5},
        {{0x2D, 0x02, 0x7F, 0x00, 0x00, 0x00, 0x02, 0x30, 0x39}, 2, {0x30, 0x39}, 9},
        {{0x2D, 0xFE, 0x01, 0x05}, -2, {0x05}, 4},
        {{0x2D}, 0, {}, 1},
        {{0x2E, 0x02, 0x01, 0x05}, 0, {}, 1},  // another type byte
        {{0x2D, 0x7F, 0x00, 0x00}, 0, {}, 2},  // 4-byte scale cut short
        {{0x2D, 0x03}, 3, {}, 2},
    };
    for (const auto& c : decimals) {
        BigDecimalField d;
        EXPECT_EQ(consumed_by(c.input, [&](ByteView& v) { d = BigDecimalField(v, true); }), c.consumed)
            << jdbc_hex(c.input);
        EXPECT_EQ(d.scale, c.scale) << jdbc_hex(c.input);
        EXPECT_EQ(d.bytes, c.bytes) << jdbc_hex(c.input);
    }
    const auto decimal = [](ByteView& v) { BigDecimalField(v, true); };
    const auto integer = [](ByteView& v) { BigIntegerField(v, true); };
    EXPECT_EQ(error_of({0x2D, 0x00, 0x05, 0x01}, decimal),
              "BigDecimalField: length 5 exceeds the 1 remaining bytes");
    EXPECT_EQ(error_of({0x2D, 0x00, 0xFF}, decimal), "BigDecimalField: negative length -1");
    EXPECT_EQ(error_of({0x2E, 0x7F, 0x7F, 0xFF, 0xFF, 0xFF}, integer),
              "BigIntegerField: length 2147483647 exceeds the 0 remaining bytes");
    EXPECT_EQ(error_of({0x2E, 0x7F, 0x00, 0x00}, integer), "(no error)");  // cut short: empty value
}

TEST(JdbcBigDecimal, DecimalText) {
    const struct {
        ByteVector bytes;
        std::int32_t scale;
        std::string text;
    } cases[] = {
        {{0x30, 0x39}, 2, "123.45"},
        {{0x05}, 3, "0.005"},
        {{0x00}, 2, "0.00"},
        {{}, 2, "0"},
        {{0xFB}, 0, "-5"},
        {{0xFB}, 2, "-0.05"},
        {{0xCF, 0xC7}, 2, "-123.45"},
        {{0x80}, 0, "-128"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, "-1"},
        {{0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, "9223372036854775807"},
        {{0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 0, "-9223372036854775808"},
        {{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 0, "18446744073709551616"},
        {{0x0D, 0xE0, 0xB6, 0xB3, 0xA7, 0x64, 0x00, 0x00}, 0, "1000000000000000000"},  // inner zero chunks
        {{0x0D, 0xE0, 0xB6, 0xB3, 0xA7, 0x64, 0x00, 0x00}, 18, "1.000000000000000000"},
        {{0x05}, -2, "500"},
        {{0x00}, -2, "0"},
        {{0x05}, 5000, "5E-5000"},
        {{0xFB}, -5000, "-5E+5000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BigDecimalField(c.scale, c.bytes).to_string(), c.text) << jdbc_hex(c.bytes);
    EXPECT_EQ(BigDecimalField(4097, {0x05}).to_string().size(), 4099u);  // still plain: 0. + 4096 zeros + 5
    ByteVector widest(4096, 0xFF);
    widest[0] = 0x7F;  // 2^32767 - 1
    EXPECT_EQ(BigDecimalField(0, widest).to_string().size(), 9864u);
    try {
        BigDecimalField(0, ByteVector(4097, 1)).to_string();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "BigDecimalField: unscaled value of 4097 bytes exceeds the 4096-byte limit");
    }
}

TEST(JdbcFixedFields, UuidComplexBytesAndNullMask) {
    const ByteVector uuid = JdbcBytes()
                                .code(TypeCode::UUID)
                                .raw({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98,
                                      0x76, 0x54, 0x32, 0x10});
    UUIDField u;
    EXPECT_EQ(consumed_by(uuid, [&](ByteView& v) { u = UUIDField(v, true); }), 17u);
    EXPECT_EQ(u.to_string(), "01234567-89ab-cdef-fedc-ba9876543210");
    EXPECT_EQ(UUIDField(0, 0).to_string(), "00000000-0000-0000-0000-000000000000");
    const ByteVector half(uuid.begin(), uuid.begin() + 12);  // second half missing: it reads as 0
    EXPECT_EQ(consumed_by(half, [&](ByteView& v) { u = UUIDField(v, true); }), 9u);
    EXPECT_EQ(u.least, 0u);
    EXPECT_EQ(consumed_by({0x26, 1, 2, 3}, [&](ByteView& v) { u = UUIDField(v, true); }), 1u);
    EXPECT_EQ(u.most, 0u);

    ComplexField c;
    EXPECT_EQ(consumed_by(JdbcBytes().code(TypeCode::Complex).i64(1).i64(-2),
                          [&](ByteView& v) { c = ComplexField(v, true); }),
              17u);
    EXPECT_EQ(c.real, 1.0);
    EXPECT_EQ(c.imag, -2.0);

    const struct {
        ByteVector input;
        ByteVector bytes;
        std::size_t consumed;
    } bytes_cases[] = {
        {{0x24, 0, 0, 0, 3, 0x41, 0x42, 0x43}, {0x41, 0x42, 0x43}, 8},
        {{0x24, 0, 0, 0, 0}, {}, 5},
        {{0x24, 0xFF, 0xFF, 0xFF, 0xFF}, {}, 5},
        {{0x25, 0, 0, 0, 3}, {}, 1},
        {{0x24, 0, 0, 0}, {}, 0},
    };
    for (const auto& b : bytes_cases) {
        BytesField f;
        EXPECT_EQ(consumed_by(b.input, [&](ByteView& v) { f = BytesField(v, true); }), b.consumed);
        EXPECT_EQ(f.bytes, b.bytes) << jdbc_hex(b.input);
    }
    EXPECT_EQ(error_of({0x24, 0, 0, 0, 9, 0x41}, [](ByteView& v) { BytesField(v, true); }),
              "BytesField: length 9 exceeds the 1 remaining bytes");

    const auto mask = [](AllowNullEnum allow, std::vector<std::uint64_t>& words) {
        return [allow, &words](ByteView& v) { words = NullMaskField(v, allow).words; };
    };
    std::vector<std::uint64_t> words;
    EXPECT_EQ(consumed_by(JdbcBytes().i32(1).u64(9), mask(AllowNullEnum::NotAllowed, words)), 0u);
    EXPECT_EQ(consumed_by(JdbcBytes().i32(2).u64(9).u64(1ull << 63), mask(AllowNullEnum::Allowed, words)),
              20u);
    EXPECT_EQ(words, (std::vector<std::uint64_t>{9, 1ull << 63}));
    EXPECT_EQ(consumed_by(JdbcBytes().i32(-1).u64(9), mask(AllowNullEnum::Allowed, words)), 4u);
    EXPECT_TRUE(words.empty());
    EXPECT_EQ(error_of(JdbcBytes().i32(3).u64(1).u64(2), mask(AllowNullEnum::Allowed, words)),
              "NullMaskField: 3 words exceed the 16 remaining bytes");
}

TEST(JdbcVariantValue, ScalarsAndFailures) {
    using V = jdbc::VariantValue::Value;
    const struct {
        ByteVector input;
        V value;
        std::size_t consumed;
    } cases[] = {
        {{0x0A, 0x02}, true, 2},
        {{0x0A}, false, 1},
        {{0x0B, 0xFF}, std::int64_t{255}, 2},
        {{0x0C, 0xFF, 0xFE}, std::int64_t{-2}, 3},
        {{0x0C, 0xFF}, std::int64_t{0}, 1},  // short: default, the byte stays
        {{0x0E, 0xFF, 0xFF, 0xFF, 0xFE}, std::int64_t{-2}, 5},
        {{0x0F, 0x3F, 0xC0, 0x00, 0x00}, 1.5, 5},
        {JdbcBytes().code(TypeCode::Long).i64(-7), std::int64_t{-7}, 9},
        {JdbcBytes().code(TypeCode::Double).f64(2.25), 2.25, 9},
        {JdbcBytes().code(TypeCode::String).utf("hi"), std::string("hi"), 5},
        {{0x34}, std::monostate{}, 1},
    };
    for (const auto& c : cases) {
        jdbc::VariantValue v;
        EXPECT_EQ(consumed_by(c.input, [&](ByteView& in) { v = jdbc::VariantValue(in); }), c.consumed)
            << jdbc_hex(c.input);
        EXPECT_EQ(v.type, c.input[0]);
        EXPECT_EQ(v.value, c.value) << jdbc_hex(c.input);
        EXPECT_EQ(v.table, nullptr);
    }
    jdbc::VariantValue t;
    const ByteVector nested =
        JdbcBytes().code(TypeCode::TableColumnar).table("t", 1, 1).column(TypeCode::Integer, "a").i32(4);
    EXPECT_EQ(consumed_by(nested, [&](ByteView& in) { t = jdbc::VariantValue(in); }), nested.size());
    ASSERT_NE(t.table, nullptr);
    EXPECT_EQ(t.table->name, "t");
    EXPECT_EQ(std::get<std::vector<std::int32_t>>(t.table->columns.at(0).values),
              std::vector<std::int32_t>{4});
    EXPECT_TRUE(std::holds_alternative<std::monostate>(t.value));

    const auto read = [](ByteView& in) { jdbc::VariantValue v(in); };
    EXPECT_EQ(error_of({}, read), "VariantValue: unsupported variant type 60");
    EXPECT_EQ(error_of({0x0D, 0x00, 0x41}, read), "VariantValue: unsupported variant type 13");
    EXPECT_EQ(error_of({0xC8}, read), "VariantValue: unsupported variant type 200");
}

}  // namespace
}  // namespace tyx
