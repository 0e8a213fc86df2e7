#include "db_codec.hpp"
#include "sqlite_database.hpp"

#include <gtest/gtest.h>

namespace tyx::sandbox {
namespace {

TEST(SqliteTranslation, CreateTableStatements) {
    const std::pair<const char*, const char*> cases[] = {
        {"CREATE PUBLIC TABLE t (a Integer, b String) USE InitialCapacity=3",
         "CREATE TABLE \"t\" (\"a\" Integer INTEGER, \"b\" String TEXT)"},
        {"CREATE PUBLIC TABLE t (a Integer, b String) USE PersistEngine=\"x\" InitialCapacity=-1",
         "CREATE TABLE \"t\" (\"a\" Integer INTEGER, \"b\" String TEXT)"},
        {"CREATE PUBLIC TABLE t () USE InitialCapacity=0", "CREATE TABLE \"t\" ()"},
        {"create public table `q t` (`x, y` Bytes, index Complex)USE InitialCapacity=1",
         "CREATE TABLE `q t` (`x, y` Bytes BLOB, \"index\" Complex TEXT)"},
        {"CREATE TABLE t (a Long NOT NULL, b Double(10,2), PRIMARY KEY (a)) WITHOUT ROWID",
         "CREATE TABLE t (\"a\" Long INTEGER NOT NULL, \"b\" Double REAL(10,2), PRIMARY KEY (a)) WITHOUT "
         "ROWID"},
        {"CREATE TABLE t (a INTEGER, b text)", "CREATE TABLE t (a INTEGER, b text)"},
        {"CREATE INDEX i ON t (a)", "CREATE INDEX i ON t (a)"},
        {"SELECT 1", "SELECT 1"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(translate_create_table(in), out) << in;
}

TEST(SqliteTranslation, DecimalTexts) {
    struct Case {
        const char* text;
        std::vector<std::uint8_t> unscaled;
        std::int32_t scale;
    };
    const Case cases[] = {
        {"123.45", {0x30, 0x39}, 2}, {"-123.45", {0xCF, 0xC7}, 2},
        {"0.005", {0x05}, 3},        {"0.00", {0x00}, 2},
        {"-5", {0xFB}, 0},           {"128", {0x00, 0x80}, 0},
        {"-128", {0x80}, 0},         {"1.5e3", {0x05, 0xDC}, 0},
        {"-0", {0x00}, 0},
    };
    for (const auto& c : cases) {
        Bytes unscaled;
        std::int32_t scale = -99;
        ASSERT_TRUE(decimal_to_unscaled(c.text, unscaled, scale)) << c.text;
        EXPECT_EQ(unscaled, c.unscaled) << c.text;
        EXPECT_EQ(scale, c.scale) << c.text;
    }
    for (const char* bad : {"", "-", "1.2.3", "12x", "1e", "."}) {
        Bytes unscaled;
        std::int32_t scale = 0;
        EXPECT_FALSE(decimal_to_unscaled(bad, unscaled, scale)) << bad;
    }
    EXPECT_EQ(int64_to_twos_complement(-129), (Bytes{0xFF, 0x7F}));
    EXPECT_EQ(int64_to_twos_complement(0), (Bytes{0x00}));
    EXPECT_EQ(int64_to_twos_complement(255), (Bytes{0x00, 0xFF}));
}

Bytes sample_bulk_insert() {
    Bytes image;
    put_u8(image, 21);
    put_i32(image, 5);
    put_u8(image, 60);
    put_u8(image, 11);
    put_u8(image, 3);
    put_u8(image, 20);
    put_string(image, "t");
    put_u8(image, 21);
    put_i32(image, 2);
    put_u8(image, 20);
    put_string(image, "s");
    put_string(image, "big");
    put_u8(image, 39);
    put_u8(image, 20);
    put_string(image, "t");
    put_i16(image, 2);
    put_i32(image, 2);
    put_u8(image, 20);  // String column with a null mask: row 1 is NULL
    put_u8(image, 20);
    put_string(image, "s");
    put_u8(image, 1);
    put_i32(image, 1);
    put_i64(image, 2);
    put_string(image, "abc");
    put_string(image, "");
    put_u8(image, 46);  // BigInteger column
    put_u8(image, 20);
    put_string(image, "big");
    put_u8(image, 0);
    put_compact(image, 2);
    put_u8(image, 1);
    put_u8(image, 2);
    put_compact(image, 0);
    put_u8(image, 16);
    put_i64(image, 30000);
    return image;
}

// Every prefix of a valid bulk insert either decodes or is refused as malformed; none reads past
// its end (the buffer is exactly the prefix, so AddressSanitizer catches any overread).
TEST(SqliteTranslation, TruncatedBulkInsertsAreRefused) {
    const Bytes image = sample_bulk_insert();
    auto full = decode_request(image);
    ASSERT_EQ(full.bulk.columns.size(), 2u);
    EXPECT_TRUE(full.bulk.columns[0].is_null(1));
    EXPECT_EQ(full.bulk.timeout_ms, 30000);
    for (std::size_t n = 0; n < image.size(); ++n) {
        Bytes prefix(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_THROW(decode_request(prefix), MalformedInput) << n;
    }
}

// Corrupted requests are refused or, when they still decode, inserted without reading outside
// the request: the server's whole path for untrusted bytes.
TEST(SqliteTranslation, CorruptedBulkInsertsNeverReadOutsideTheRequest) {
    SqliteDatabase db;
    db.execute("CREATE PUBLIC TABLE t (s String, big BigInteger) USE InitialCapacity=2");
    const Bytes image = sample_bulk_insert();
    std::uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    int decoded = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes mutated = image;
        for (int flips = 1 + static_cast<int>(next() % 3); flips > 0; --flips)
            mutated[next() % mutated.size()] = static_cast<std::uint8_t>(next() >> 24);
        try {
            auto request = decode_request(mutated);
            ++decoded;
            if (request.instruction == 3) db.bulk_insert(request.bulk);
        } catch (const MalformedInput&) {
        }
    }
    EXPECT_GT(decoded, 0);
}

}  // namespace
}  // namespace tyx::sandbox
