// The accessor that Client::sql hands out: one cursor over the first table of every database
// shard that answered, merged in shard order, with the shards' messages, the failures of the
// shards that did not answer, and the counts. Owns the shard results it was built from. Not
// thread-safe: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/cursor.hpp"
#include "jdbc/jdbc_result.hpp"
#include "tyx/table.hpp"

namespace tyx {

class MultiShardTableAccessor final : public TableAccessor {
public:
    // Merges the shard results (in shard order; null entries are skipped): the first table
    // found gives the name, the column names and the first rows; a later shard's first table
    // with exactly the same column names appends its rows column by column where both hold the
    // same kind of values; a table with other names is left out. The columns' null masks are
    // merged the same way, each shard's marks moved down past the rows before its own.
    explicit MultiShardTableAccessor(std::vector<std::shared_ptr<jdbc::QueryResult>> results);
    // The same, with what failed: `shard_failures[i]` is shard i's failure ("" when it answered)
    // and `failure` one that concerns no shard (an unknown cluster).
    MultiShardTableAccessor(std::vector<std::shared_ptr<jdbc::QueryResult>> results,
                            std::vector<std::string> shard_failures, std::string failure);

    std::string table_name() const override { return table_name_; }
    const std::vector<std::string>& column_names() const override { return column_names_; }
    const std::vector<ColumnValues>& columns() const override { return columns_; }
    bool has_result_set() const override { return has_result_set_; }
    // The failure that concerns no shard, then, in shard order, "[shard i] failure" for a shard
    // that failed and "[shard i] message" for each message element of one that answered;
    // joined by "; ".
    std::string error_message() const override;
    // The sum of every element's count over all shards.
    std::int64_t affected_rows() const override;
    // The length of the first column that holds values.
    std::int64_t row_count() const override;

    std::int64_t cursor_position() const override { return cursor_.position; }
    bool cursor_advance() override { return cursor_.advance(row_count()); }
    bool cursor_advance(std::int64_t n) override { return cursor_.advance(n, row_count()); }
    bool cursor_rewind() override { return cursor_.rewind(row_count()); }
    bool cursor_move_to(std::int64_t i) override { return cursor_.move_to(i, row_count()); }
    bool cursor_move_by(std::int64_t n) override { return cursor_.advance(n, row_count()); }
    bool cursor_move_to_last() override { return cursor_.move_to_last(row_count()); }
    bool cursor_retreat(std::int64_t n) override { return cursor_.retreat(n, row_count()); }
    bool cursor_eof() const override { return cursor_.eof(row_count()); }
    std::int64_t cursor_row_number() const override { return cursor_.row_number(row_count()); }

    std::ostream& print(std::ostream& out) const override { return print_table_accessor(*this, out); }
    // One mask per column once a table was found (empty for a column without NULLs).
    const std::vector<NullMask>& null_masks() const override { return null_masks_; }

    const std::vector<std::shared_ptr<jdbc::QueryResult>>& results() const { return results_; }
    // The type code of each column, from the table that gave the column names.
    const std::vector<std::uint8_t>& column_types() const { return column_types_; }

private:
    std::vector<std::shared_ptr<jdbc::QueryResult>> results_;
    std::vector<std::string> shard_failures_;
    std::string failure_;
    std::string table_name_;
    std::vector<std::string> column_names_;
    std::vector<ColumnValues> columns_;
    std::vector<std::uint8_t> column_types_;
    std::vector<NullMask> null_masks_;
    bool has_result_set_ = false;
    RowCursor cursor_;
};

}  // namespace tyx
