#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>

#include "client/table_sql.hpp"
#include "core/type_codes.hpp"
#include "tyx/table.hpp"

namespace tyx {
namespace {

std::string printed(const TableAccessor& t) {
    std::ostringstream os;
    t.print(os);
    return os.str();
}

Table rows_table(int rows) {
    Table t("t");
    std::vector<std::int32_t> v(static_cast<std::size_t>(rows));
    t.add_column("a", v);
    return t;
}

TEST(TableCursor, ReadingLoopAndEndOfRows) {
    Table t = rows_table(2);
    EXPECT_EQ(t.cursor_position(), -1);
    EXPECT_EQ(t.cursor_row_number(), -1);
    EXPECT_TRUE(t.cursor_advance());
    EXPECT_EQ(t.cursor_position(), 0);
    EXPECT_TRUE(t.cursor_advance());
    EXPECT_EQ(t.cursor_position(), 1);
    EXPECT_FALSE(t.cursor_advance());
    EXPECT_EQ(t.cursor_position(), 2);
    EXPECT_FALSE(t.cursor_advance());  // never past the row count
    EXPECT_EQ(t.cursor_position(), 2);
    EXPECT_TRUE(t.cursor_eof());
    EXPECT_EQ(t.cursor_row_number(), -1);
}

TEST(TableCursor, MovesAndTheirResults) {
    struct Step {
        const char* what;
        std::function<bool(Table&)> op;
        bool result;
        std::int64_t position;
    };
    const std::vector<std::pair<int, std::vector<Step>>> scripts = {
        {2,
         {{"rewind", [](Table& t) { return t.cursor_rewind(); }, true, 0},
          {"last", [](Table& t) { return t.cursor_move_to_last(); }, true, 1},
          {"move_to 5", [](Table& t) { return t.cursor_move_to(5); }, false, 5},
          {"move_to -3", [](Table& t) { return t.cursor_move_to(-3); }, false, -3},
          {"advance 3 from -3", [](Table& t) { return t.cursor_advance(3); }, true, 0},
          {"move_by -2", [](Table& t) { return t.cursor_move_by(-2); }, false, -2}}},
        {3,
         {{"advance 10", [](Table& t) { return t.cursor_advance(10); }, false, 3},
          {"retreat 1", [](Table& t) { return t.cursor_retreat(1); }, true, 2},
          {"retreat -5", [](Table& t) { return t.cursor_retreat(-5); }, false, 3}}},
        {0,
         {{"advance", [](Table& t) { return t.cursor_advance(); }, false, 0},
          {"last", [](Table& t) { return t.cursor_move_to_last(); }, false, -1},
          {"rewind", [](Table& t) { return t.cursor_rewind(); }, false, 0}}},
    };
    for (const auto& [rows, steps] : scripts) {
        Table t = rows_table(rows);
        for (const auto& s : steps) {
            EXPECT_EQ(s.op(t), s.result) << rows << " rows: " << s.what;
            EXPECT_EQ(t.cursor_position(), s.position) << rows << " rows: " << s.what;
        }
    }
}

TEST(TableColumns, StoredFormsTypeCodesAndRowCount) {
    Table t("t");
    t.add_column("c", std::vector<char>{'a', 'b'})
        .add_column("s8", std::vector<std::int8_t>{-1})
        .add_column("u32", std::vector<std::uint32_t>{4294967295u})
        .add_column("u64", std::vector<std::uint64_t>{1, 2, 3, 4, 5})
        .add_column("e", std::monostate{})
        .add_column("cx", std::vector<std::complex<double>>{{1, 2}})
        .add_column("b", std::vector<std::vector<std::uint8_t>>{{1}});
    EXPECT_EQ(std::get<std::vector<std::string>>(t.columns()[0]), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(std::get<std::vector<std::uint8_t>>(t.columns()[1]), std::vector<std::uint8_t>{255});
    EXPECT_EQ(std::get<std::vector<std::int32_t>>(t.columns()[2]), std::vector<std::int32_t>{-1});
    EXPECT_EQ(std::get<std::vector<std::int64_t>>(t.columns()[3]).size(), 5u);
    EXPECT_EQ(t.column_types(), (std::vector<std::uint8_t>{20, 11, 14, 16, 20, 37, 36}));
    EXPECT_EQ(t.column_row_counts(), (std::vector<std::int32_t>{2, 1, 1, 5, 0, 1, 1}));
    EXPECT_EQ(t.row_count(), 5);
    EXPECT_TRUE(t.has_result_set());
    EXPECT_FALSE(Table("x").has_result_set());
}

TEST(TablePrint, ExactLayoutWithNullsCutCellsAndBytes) {
    Table t("orders");
    t.add_column("id", std::vector<std::int32_t>{1, 2, 3})
        .add_column("name", std::vector<std::string>{"a", std::string(50, 'x'), "c", "d", "e"})
        .add_column("raw", std::vector<std::vector<std::uint8_t>>{std::vector<std::uint8_t>(20, 0xAB), {0x01}})
        .add_column("px", std::vector<double>{1.5, 1.0 / 3})
        .add_column("ch", std::vector<char>{'A', '\n'});
    // add_column turns chars into strings; print a raw char column through add_column_impl.
    t.add_column_impl("rc", code_of(TypeCode::Character), std::vector<char>{'A', '\n'}, 2);

    const std::string bytes20 = "0xABABABABABABABABABABABABABABABAB...(4 more)";  // 16 bytes shown
    const std::string pad_raw(bytes20.size() - 4, ' ');
    const std::string cut50 = std::string(45, 'x') + "...";
    const std::string sep = "+---+------+" + std::string(50, '-') + "+" + std::string(bytes20.size() + 2, '-') +
                            "+-------------+------+------+\n";
    const std::string expected =
        "Table: orders\n"
        "Rows: 5, Columns: 6\n" +
        sep + "| # | id   | name" + std::string(44, ' ') + " | raw" + std::string(bytes20.size() - 3, ' ') + " | px          | ch   | rc   |\n" + sep +
        "| 0 | 1    | a" + std::string(47, ' ') + " | " + bytes20 + " | 1.5         | A    | A    |\n" +
        "| 1 | 2    | " + cut50 + " | 0x01" + pad_raw + " | 0.333333333 | \n    | \\x0A |\n";
    const std::string out = printed(t);
    ASSERT_EQ(out.substr(0, expected.size()), expected) << out;
    EXPECT_NE(out.find("| 4 | NULL | e" + std::string(47, ' ') + " | NULL" + pad_raw +
                       " | NULL        | NULL | NULL |\n" + sep),
              std::string::npos)
        << out;
}

TEST(TablePrint, SmallTableExactly) {
    Table t("t");
    t.add_column("n", std::vector<std::int8_t>{-1})
        .add_column("z", std::vector<std::complex<double>>{{1.5, -2}, {0, 0}});
    EXPECT_EQ(printed(t),
              "Table: t\n"
              "Rows: 2, Columns: 2\n"
              "+---+------+--------+\n"
              "| # | n    | z      |\n"
              "+---+------+--------+\n"
              "| 0 | 255  | 1.5-2i |\n"
              "| 1 | NULL | 0+0i   |\n"
              "+---+------+--------+\n");
    EXPECT_EQ(printed(Table("nothing")), "Table: nothing\nNo result set\n");
}

TEST(TablePrint, PadsAndCutsUtf8TextByCharacters) {
    std::string long_text;
    for (int i = 0; i < 50; ++i) long_text += "\xC3\xA9";  // 50 e-acute, 100 bytes
    std::string cut_text;
    for (int i = 0; i < 45; ++i) cut_text += "\xC3\xA9";
    Table t("t");
    t.add_column("caf\xC3\xA9",
                 std::vector<std::string>{"\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", long_text});
    const std::string sep = "+---+" + std::string(50, '-') + "+\n";
    EXPECT_EQ(printed(t), "Table: t\nRows: 3, Columns: 1\n" + sep + "| # | caf\xC3\xA9" +
                              std::string(44, ' ') + " |\n" + sep + "| 0 | \xC3\xA9" + std::string(47, ' ') +
                              " |\n" + "| 1 | \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E" + std::string(45, ' ') +
                              " |\n" + "| 2 | " + cut_text + "... |\n" + sep);
}

// An accessor whose names and columns disagree, with an error and a count.
class Mismatched final : public TableAccessor {
public:
    std::string table_name() const override { return "m"; }
    const std::vector<std::string>& column_names() const override { return names_; }
    const std::vector<ColumnValues>& columns() const override { return columns_; }
    bool has_result_set() const override { return true; }
    std::string error_message() const override { return "[shard 1] boom"; }
    std::int64_t affected_rows() const override { return 7; }
    std::int64_t row_count() const override { return 0; }
    std::int64_t cursor_position() const override { return -1; }
    bool cursor_advance() override { return false; }
    bool cursor_advance(std::int64_t) override { return false; }
    bool cursor_rewind() override { return false; }
    bool cursor_move_to(std::int64_t) override { return false; }
    bool cursor_move_by(std::int64_t) override { return false; }
    bool cursor_move_to_last() override { return false; }
    bool cursor_retreat(std::int64_t) override { return false; }
    bool cursor_eof() const override { return true; }
    std::int64_t cursor_row_number() const override { return -1; }
    std::ostream& print(std::ostream& out) const override { return print_table_accessor(*this, out); }

private:
    std::vector<std::string> names_{"a", "b"};
    std::vector<ColumnValues> columns_{std::vector<std::int32_t>{}};
};

TEST(TablePrint, ColumnCountMismatchAfterCountAndError) {
    EXPECT_EQ(printed(Mismatched()),
              "Table: m\nAffected rows: 7\nError: [shard 1] boom\nColumn count mismatch: 2 names vs 1 columns\n");
}

TEST(TableNulls, MarkedCellsReadAndPrintAsNullAndBadCellsAreRefused) {
    Table t("t");
    t.add_column("n", std::vector<std::int32_t>{1, 0, 3}, NullMask{0b010})
        .add_column("s", std::vector<std::string>{"a", "b"})
        .set_null(1, 0);
    EXPECT_FALSE(t.is_null(0, 0));
    EXPECT_TRUE(t.is_null(0, 1));
    EXPECT_TRUE(t.is_null(1, 0));
    EXPECT_TRUE(t.is_null(1, 2));  // past the shorter column
    EXPECT_TRUE(t.is_null(0, -1));
    EXPECT_THROW(t.is_null(2, 0), std::out_of_range);
    EXPECT_THROW(t.set_null(2, 0), std::out_of_range);
    EXPECT_THROW(t.set_null(1, 2), std::out_of_range);
    t.set_null(1, 0, false);
    EXPECT_FALSE(t.is_null(1, 0));
    t.set_null(1, 0);
    EXPECT_EQ(printed(t),
              "Table: t\nRows: 3, Columns: 2\n"
              "+---+------+------+\n| # | n    | s    |\n+---+------+------+\n"
              "| 0 | 1    | NULL |\n| 1 | NULL | b    |\n| 2 | 3    | NULL |\n+---+------+------+\n");
}

TEST(TableNulls, UploadColumnsCarryAMaskOnlyWhenACellIsNull) {
    // Word count follows the rows; marks past the last row are dropped; no mark, no mask.
    struct Case {
        NullMask mask;
        std::int32_t rows;
        NullMask sent;
    };
    const Case masks[] = {
        {{0b101}, 3, {0b101}},
        {{0b1000}, 3, {}},
        {{0, 0, 1}, 3, {}},
        {NullMask{}, 70, NullMask{}},
        {{0, 0b11}, 66, {0, 0b11}},
        {{1}, 130, {1, 0, 0}},
        {{~std::uint64_t{0}}, 64, {~std::uint64_t{0}}},
        {{1}, 0, {}},
    };
    for (const auto& [mask, rows, sent] : masks) EXPECT_EQ(mask_for_upload(mask, rows), sent) << rows;

    Table t("t");
    t.add_column("a", std::vector<double>{1, 2}, NullMask{0b10}).add_column("b", std::vector<double>{1, 2});
    t.add_column_impl("c", code_of(TypeCode::Long), std::vector<std::int64_t>{5, 6}, 2, NullMask{0b100});
    const auto columns = table_to_jdbc_columns(t);
    EXPECT_TRUE(columns[0].nullable);
    EXPECT_EQ(columns[0].allow_null, AllowNullEnum::Allowed);
    EXPECT_EQ(columns[0].null_mask, NullMask{0b10});
    for (std::size_t i : {1u, 2u}) {
        EXPECT_FALSE(columns[i].nullable) << i;
        EXPECT_EQ(columns[i].allow_null, AllowNullEnum::NotAllowed) << i;
        EXPECT_TRUE(columns[i].null_mask.empty()) << i;
    }
}

TEST(CreateTableSql, TypeNamesSuffixAndRowCount) {
    Table t("t");
    t.add_column("a", std::vector<std::int32_t>{1, 2, 3}).add_column("b", std::vector<std::string>{"x"});
    EXPECT_EQ(make_create_table_sql(t, ""), "CREATE PUBLIC TABLE t (a Integer, b String) USE InitialCapacity=3");
    EXPECT_EQ(make_create_table_sql(t, " Partition=p"),
              "CREATE PUBLIC TABLE t (a Integer, b String) USE Partition=p InitialCapacity=3");
    EXPECT_EQ(make_create_table_sql(Table("e"), ""), "CREATE PUBLIC TABLE e () USE InitialCapacity=0");

    Table all("all");
    all.add_column("c", std::vector<char>{})
        .add_column("u8", std::vector<std::uint8_t>{})
        .add_column("s8", std::vector<std::int8_t>{})
        .add_column("u16", std::vector<std::uint16_t>{})
        .add_column("s16", std::vector<std::int16_t>{})
        .add_column("u32", std::vector<std::uint32_t>{})
        .add_column("u64", std::vector<std::uint64_t>{})
        .add_column("f", std::vector<float>{})
        .add_column("d", std::vector<double>{})
        .add_column("cx", std::vector<std::complex<double>>{})
        .add_column("by", std::vector<std::vector<std::uint8_t>>{})
        .add_column("none", std::monostate{});
    EXPECT_EQ(make_create_table_sql(all, ""),
              "CREATE PUBLIC TABLE all (c String, u8 Byte, s8 Byte, u16 Character, s16 Short, u32 Integer, "
              "u64 Long, f Float, d Double, cx Complex, by Bytes, none String) USE InitialCapacity=0");
    Table negative("n");
    negative.add_column_impl("x", code_of(TypeCode::Long), std::vector<std::int64_t>{}, -4);
    EXPECT_EQ(make_create_table_sql(negative, ""), "CREATE PUBLIC TABLE n (x Long) USE InitialCapacity=-4");
    EXPECT_EQ(make_probe_table_sql("t"), "SELECT * FROM `t` LIMIT 0");
    EXPECT_EQ(make_delete_table_sql("t"), "DELETE FROM `t`");
}

}  // namespace
}  // namespace tyx

namespace tyx {
namespace {

TEST(UploadRefusal, NamesTheStatementsCannotCarryAndUnevenColumns) {
    for (const char* name :
         {"prices", "px_usd", "px-usd", "a.b", "$x", "#t", "a/b", "x*y", "prix\xE2\x82\xAC", "\xFF"})
        EXPECT_EQ(name_refusal(name), std::nullopt) << name;
    const std::pair<std::string, const char*> refused[] = {
        {"", "is empty"},
        {"a`b", "holds a backquote"},
        {"a\"b", "holds a double quote"},
        {"it's", "holds a single quote"},
        {"x; DROP TABLE y", "holds a semicolon"},
        {"a,b", "holds a comma"},
        {"f(x)", "holds a parenthesis"},
        {"a b", "holds a space"},
        {"a\tb", "holds a control character"},
        {std::string("a\0b", 3), "holds a control character"},
        {"a\x7F", "holds a control character"},
        {"a--b", "holds a comment start (--)"},
        {"a/*b", "holds a comment start (/*)"},
    };
    for (const auto& [name, why] : refused) EXPECT_EQ(name_refusal(name), why) << name;

    EXPECT_EQ(upload_refusal(Table("empty")), std::nullopt);
    Table even("t");
    even.add_column("a", std::vector<std::int32_t>{1, 2}).add_column("b", std::vector<std::string>{"x", "y"});
    EXPECT_EQ(upload_refusal(even), std::nullopt);
    // The empty alternative is a column of no values.
    Table uneven("t");
    uneven.add_column("a", std::vector<std::int32_t>{1}).add_column("e", std::monostate{});
    EXPECT_EQ(upload_refusal(uneven), "the columns of table \"t\" differ in length (a 1, e 0)");
    Table named("bad\nname");
    named.add_column("a", std::vector<std::int32_t>{1});
    EXPECT_EQ(upload_refusal(named), "the table name \"bad\\nname\" holds a control character");
}

TEST(TableUploadColumns, OnePerColumnWithTypeValuesAndOwnRowCount) {
    Table t("t");
    t.add_column("c", std::vector<char>{'a', 'b', 'c'}).add_column("v", std::vector<std::uint32_t>{7});
    const auto columns = table_to_jdbc_columns(t);
    ASSERT_EQ(columns.size(), 2u);
    EXPECT_EQ(columns[0].name, "c");
    EXPECT_EQ(columns[0].type, code_of(TypeCode::String));
    EXPECT_EQ(columns[0].row_count, 3);
    EXPECT_FALSE(columns[0].nullable);
    EXPECT_EQ(columns[0].allow_null, AllowNullEnum::NotAllowed);
    EXPECT_EQ(std::get<std::vector<std::string>>(columns[0].values), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(columns[1].type, code_of(TypeCode::Integer));
    EXPECT_EQ(columns[1].row_count, 1);
    // Each column serialises as the bulk insert expects its type.
    ByteVector out;
    for (const auto& c : columns) c.serialize_to(out);
    EXPECT_FALSE(out.empty());
}

}  // namespace
}  // namespace tyx
