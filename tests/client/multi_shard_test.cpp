#include <gtest/gtest.h>

#include "client/multi_shard_table_accessor.hpp"

namespace tyx {
namespace {

using Results = std::vector<std::shared_ptr<jdbc::QueryResult>>;

jdbc::JdbcColumn column(std::string name, ColumnValues values) {
    jdbc::JdbcColumn c;
    c.name = std::move(name);
    c.values = std::move(values);
    return c;
}

// A shard result holding one result-set element with one table.
std::shared_ptr<jdbc::QueryResult> table_result(std::string table, std::vector<jdbc::JdbcColumn> columns) {
    auto result = std::make_shared<jdbc::QueryResult>();
    jdbc::QueryResultElement element;
    element.code = static_cast<std::uint8_t>(jdbc::ElementCode::ResultSet);
    element.result_set = std::make_unique<jdbc::ResultSet>();
    jdbc::Table t;
    t.name = std::move(table);
    t.columns = std::move(columns);
    element.result_set->tables.push_back(std::move(t));
    result->elements.push_back(std::move(element));
    return result;
}

std::shared_ptr<jdbc::QueryResult> message_result(std::string text, std::optional<std::int64_t> count = {}) {
    auto result = std::make_shared<jdbc::QueryResult>();
    jdbc::QueryResultElement element;
    element.code = static_cast<std::uint8_t>(jdbc::ElementCode::Message);
    element.message = StringField(std::move(text));
    result->elements.push_back(std::move(element));
    if (count) {
        jdbc::QueryResultElement c;
        c.code = static_cast<std::uint8_t>(jdbc::ElementCode::Count);
        c.count = count;
        result->elements.push_back(std::move(c));
    }
    return result;
}

TEST(MultiShardMerge, SameNamesAppendInShardOrderAndMismatchedKindsGetNothing) {
    Results results{
        table_result("orders", {column("id", std::vector<std::int64_t>{1, 2}), column("px", std::vector<double>{1.5, 2.5})}),
        nullptr,
        table_result("orders", {column("id", std::vector<std::int64_t>{3}), column("px", std::vector<float>{9.f})}),
    };
    MultiShardTableAccessor a(std::move(results));
    ASSERT_TRUE(a.has_result_set());
    EXPECT_EQ(a.table_name(), "orders");
    EXPECT_EQ(a.column_names(), (std::vector<std::string>{"id", "px"}));
    EXPECT_EQ(std::get<std::vector<std::int64_t>>(a.columns()[0]), (std::vector<std::int64_t>{1, 2, 3}));
    EXPECT_EQ(std::get<std::vector<double>>(a.columns()[1]), (std::vector<double>{1.5, 2.5}));
    EXPECT_EQ(a.row_count(), 3);
}

jdbc::JdbcColumn nullable(std::string name, ColumnValues values, NullMask mask) {
    auto c = column(std::move(name), std::move(values));
    c.nullable = true;
    c.null_mask = std::move(mask);
    return c;
}

TEST(MultiShardMerge, NullMasksFollowTheirShardsRows) {
    std::vector<std::int64_t> seventy(70, 1);
    MultiShardTableAccessor a(Results{
        // 70 rows: rows 3 and 69 are NULL; the mark past the last row is not a row.
        table_result("t",
                     {nullable("n", seventy, {0b1000, (std::uint64_t{1} << 5) | (std::uint64_t{1} << 6)}),
                      column("s", std::vector<std::string>(70, "x"))}),
        // Its rows follow at 70: row 71 of n is NULL; a mask without the nullable flag is not read.
        table_result("t", {nullable("n", std::vector<std::int64_t>{0, 0}, {0b10}),
                           [] {
                               auto c = column("s", std::vector<std::string>{"y", "z"});
                               c.null_mask = {0b11};
                               return c;
                           }()}),
        // Another kind of values: neither its rows nor its marks are taken.
        table_result(
            "t", {nullable("n", std::vector<double>{0}, {1}), column("s", std::vector<std::string>{"w"})}),
    });
    ASSERT_EQ(a.null_masks().size(), 2u);
    std::vector<std::int64_t> null_rows;
    for (std::int64_t r = 0; r < 80; ++r)
        if (a.is_null(0, r)) null_rows.push_back(r);
    // Rows 72 on are past the column's values.
    EXPECT_EQ(null_rows, (std::vector<std::int64_t>{3, 69, 71, 72, 73, 74, 75, 76, 77, 78, 79}));
    for (std::int64_t r = 0; r < 74; ++r) EXPECT_EQ(a.is_null(1, r), r == 73) << r;
}

TEST(MultiShardMerge, OtherNamesOrOrderAreLeftOut) {
    MultiShardTableAccessor a(Results{
        table_result("t", {column("a", std::vector<std::int32_t>{1}), column("b", std::vector<std::int32_t>{2})}),
        table_result("t", {column("b", std::vector<std::int32_t>{3}), column("a", std::vector<std::int32_t>{4})}),
        table_result("t", {column("a", std::vector<std::int32_t>{5})}),
    });
    EXPECT_EQ(std::get<std::vector<std::int32_t>>(a.columns()[0]), std::vector<std::int32_t>{1});
    EXPECT_EQ(a.row_count(), 1);
}

TEST(MultiShardMerge, RowCountSkipsEmptyColumnsAndCopiesWhenResultsAreShared) {
    auto shared = table_result("t", {column("n", std::monostate{}), column("s", std::vector<std::string>{"x", "y"})});
    MultiShardTableAccessor a(Results{shared});
    EXPECT_EQ(a.row_count(), 2);
    // The caller still holds the result, so its values were copied, not moved out.
    auto& kept = shared->elements[0].result_set->tables[0].columns[1].values;
    EXPECT_EQ(std::get<std::vector<std::string>>(kept).size(), 2u);
}

TEST(MultiShardMerge, MessagesAndCountsFromEveryShard) {
    MultiShardTableAccessor a(Results{message_result("boom", 2), nullptr, message_result("bad table", 5)});
    EXPECT_FALSE(a.has_result_set());
    EXPECT_EQ(a.error_message(), "[shard 0] boom; [shard 2] bad table");
    EXPECT_EQ(a.affected_rows(), 7);
    EXPECT_EQ(a.row_count(), 0);
    EXPECT_FALSE(a.cursor_advance());

    MultiShardTableAccessor one(Results{nullptr, message_result("m")});
    EXPECT_EQ(one.error_message(), "[shard 1] m");
    MultiShardTableAccessor none(Results{});
    EXPECT_EQ(none.error_message(), "");
    EXPECT_FALSE(none.has_result_set());

    // Shards that failed take their place in shard order; a failure of no shard comes first.
    MultiShardTableAccessor failed(Results{message_result("boom"), nullptr, message_result("bad table")},
                                   {"", "lost", ""}, "");
    EXPECT_EQ(failed.error_message(), "[shard 0] boom; [shard 1] lost; [shard 2] bad table");
    MultiShardTableAccessor unknown(Results{}, {}, "Cluster not found [x]");
    EXPECT_EQ(unknown.error_message(), "Cluster not found [x]");
}

TEST(MultiShardMerge, CursorWalksTheMergedRows) {
    MultiShardTableAccessor a(Results{table_result("t", {column("v", std::vector<std::int32_t>{7, 8})})});
    EXPECT_TRUE(a.cursor_advance());
    EXPECT_TRUE(a.cursor_advance());
    EXPECT_FALSE(a.cursor_advance());
    EXPECT_TRUE(a.cursor_eof());
    EXPECT_EQ(a.cursor_row_number(), -1);
    EXPECT_TRUE(a.cursor_retreat(1));
    EXPECT_EQ(a.cursor_row_number(), 1);
}

TEST(ColumnTypeCodes, FromTheFirstTableOfAResultOrATablesOwnCodes) {
    auto typed = [](std::string name, std::uint8_t type, ColumnValues values) {
        auto c = column(std::move(name), std::move(values));
        c.type = type;
        return c;
    };
    MultiShardTableAccessor merged(Results{
        message_result("no table here"),
        table_result("t", {typed("when", 34, std::vector<std::int64_t>{1}), typed("n", 14, std::vector<std::int32_t>{2})}),
        table_result("t", {typed("when", 16, std::vector<std::int64_t>{3}), typed("n", 14, std::vector<std::int32_t>{4})})});
    EXPECT_EQ(column_type_codes(merged), (std::vector<std::uint8_t>{34, 14}));
    EXPECT_TRUE(column_type_codes(MultiShardTableAccessor(Results{})).empty());

    Table table("u");
    table.add_column("s", std::vector<char>{'a'}).add_column("u", std::vector<std::uint32_t>{1});
    EXPECT_EQ(column_type_codes(table), (std::vector<std::uint8_t>{20, 14}));
}

}  // namespace
}  // namespace tyx
