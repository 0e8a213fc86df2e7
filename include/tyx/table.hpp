/// \file
/// Tables and the cursor interface over query results. `TableAccessor` is what `Client::sql`
/// hands out (one cursor over the rows of every database shard); `Table` is what applications
/// build column by column to upload. Both own their data; neither is thread-safe: use one
/// accessor from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "tyx/type_codes.hpp"
#include "tyx/values.hpp"

namespace tyx {

/// Which rows of one column are NULL, in the form the database wire carries it: bit `r % 64`
/// (the least significant bit is 0) of word `r / 64` marks row `r`. Rows past the last word are
/// not NULL, so an empty mask marks none.
using NullMask = std::vector<std::uint64_t>;

/// True when `mask` marks row `row` NULL (false for a negative row or one past the mask).
inline bool null_mask_bit(const NullMask& mask, std::int64_t row) {
    if (row < 0 || static_cast<std::uint64_t>(row) / 64 >= mask.size()) return false;
    const auto r = static_cast<std::uint64_t>(row);
    return ((mask[r / 64] >> (r % 64)) & 1u) != 0;
}

/// Marks row `row` NULL in `mask` (or clears its mark), growing the mask as needed.
inline void set_null_mask_bit(NullMask& mask, std::size_t row, bool null = true) {
    if (row / 64 >= mask.size()) {
        if (!null) return;
        mask.resize(row / 64 + 1, 0);
    }
    const std::uint64_t bit = std::uint64_t{1} << (row % 64);
    if (null)
        mask[row / 64] |= bit;
    else
        mask[row / 64] &= ~bit;
}

/// A column-oriented table with a row cursor. The cursor does not touch the data: read row
/// `cursor_position()` of each vector in `columns()`. The reading loop is
/// \code
///     while (t.cursor_advance()) { auto row = t.cursor_position(); ... }
/// \endcode
/// The position starts at -1 (before the first row).
class TableAccessor {
public:
    virtual ~TableAccessor() = default;

    /// The table's name: a Table's own, or that of a query's first result table.
    virtual std::string table_name() const = 0;
    /// The names of the columns, in column order.
    virtual const std::vector<std::string>& column_names() const = 0;
    /// The values of each column, in column order (parallel to column_names()).
    virtual const std::vector<ColumnValues>& columns() const = 0;
    /// True when there is a table to read: a query that returned one, or a Table with at
    /// least one column.
    virtual bool has_result_set() const = 0;
    /// A query's error messages, each prefixed by its shard ("[shard i] ..."), joined by "; ";
    /// empty when there are none (always for a Table).
    virtual std::string error_message() const = 0;
    /// The row counts the shards answered (rows a statement changed), added up; 0 for a Table.
    virtual std::int64_t affected_rows() const = 0;
    /// The number of rows the cursor walks.
    virtual std::int64_t row_count() const = 0;

    /// The cursor's position: -1 before the first row, row_count() once stepped past the last.
    virtual std::int64_t cursor_position() const = 0;
    /// Steps one row forward (never past row_count()); true while on a row.
    virtual bool cursor_advance() = 0;
    /// Moves n rows (never past row_count()); true when the target is a row.
    virtual bool cursor_advance(std::int64_t n) = 0;
    /// To the first row (0); true when there is one.
    virtual bool cursor_rewind() = 0;
    /// To row i, unchecked; true when i is a row.
    virtual bool cursor_move_to(std::int64_t i) = 0;
    /// The same as cursor_advance(n).
    virtual bool cursor_move_by(std::int64_t n) = 0;
    /// To the last row; true when there is one.
    virtual bool cursor_move_to_last() = 0;
    /// Moves n rows back; true when the target is a row.
    virtual bool cursor_retreat(std::int64_t n) = 0;
    /// True when the position is at or past row_count().
    virtual bool cursor_eof() const = 0;
    /// The position when it is a row, else -1.
    virtual std::int64_t cursor_row_number() const = 0;

    /// Writes the table as text (see print_table_accessor).
    virtual std::ostream& print(std::ostream& out) const = 0;

    /// The NULL cells: either empty (no column has one) or one mask per column, parallel to
    /// columns() (see NullMask). A NULL cell still has a placeholder in its column's values (0,
    /// 0.0, an empty text ...): test is_null before reading one. The default has none.
    virtual const std::vector<NullMask>& null_masks() const;
    /// True when the cell at `row` of column `column` holds no value: its column's mask marks
    /// it, or the row is outside the column's values (a column shorter than the others, or a
    /// row before the first). Throws std::out_of_range for a column past columns().
    bool is_null(std::size_t column, std::int64_t row) const;
};

/// A table built by the application, column by column, for upload with Client::sql_insert or
/// Client::sql_replace. A Table may hold columns of different lengths (its row count is the
/// longest, and printing shows the missing cells as NULL), but the upload refuses such a table,
/// with a level-3 on_log naming it and every column's length, and sends nothing. The upload
/// likewise refuses a table or column name that is empty or holds a control character, a space,
/// one of ` " ' ; , ( ) or a comment start (-- or /*): the statements that create or empty the
/// table carry the names as they are. Any other name, UTF-8 included, is sent unchanged.
/// Cells marked NULL (add_column with a NullMask, or set_null) upload as NULL; a column without
/// one travels with no null mask at all.
/// \snippet 04_upload.cpp upload
class Table final : public TableAccessor {
public:
    /// An empty table of the given name.
    explicit Table(std::string name);

    /// Appends a column; the values are stored in the form the database takes, with its type
    /// code: chars become one-character strings (String), signed 8-bit values become bytes
    /// (Byte), unsigned 32- and 64-bit values become signed (Integer, Long), the empty
    /// alternative is an empty String column. Returns the table for chaining.
    Table& add_column(std::string name, ColumnValues values);
    /// Appends a column as add_column does, with the rows that `nulls` marks NULL (their values
    /// are placeholders: an upload sends them, and the database stores NULL).
    Table& add_column(std::string name, ColumnValues values, NullMask nulls);
    /// Appends a column exactly as given.
    void add_column_impl(std::string name, std::uint8_t type_code, ColumnValues values,
                         std::int32_t row_count);
    /// Appends a column exactly as given, with the rows that `nulls` marks NULL.
    void add_column_impl(std::string name, std::uint8_t type_code, ColumnValues values,
                         std::int32_t row_count, NullMask nulls);
    /// Marks the cell at `row` of column `column` NULL (or, with `null` false, a value again);
    /// returns the table, for chaining. Throws std::out_of_range for a cell the table has not
    /// (a column past the last, a row past the column's row count).
    Table& set_null(std::size_t column, std::size_t row, bool null = true);

    /// The database type code of each column, in column order.
    const std::vector<std::uint8_t>& column_types() const { return types_; }
    /// The element count of each column, in column order.
    const std::vector<std::int32_t>& column_row_counts() const { return row_counts_; }
    /// Why Client::sql_insert and sql_replace would refuse this table (the text their level-3
    /// on_log gives after "Failed to insert table: "), or "" when they would send it: a name the
    /// statements cannot carry, or columns of different lengths.
    std::string upload_refusal() const;

    std::string table_name() const override { return name_; }
    const std::vector<std::string>& column_names() const override { return column_names_; }
    const std::vector<ColumnValues>& columns() const override { return columns_; }
    bool has_result_set() const override { return !columns_.empty(); }
    std::string error_message() const override { return {}; }
    std::int64_t affected_rows() const override { return 0; }
    std::int64_t row_count() const override;

    std::int64_t cursor_position() const override { return position_; }
    bool cursor_advance() override;
    bool cursor_advance(std::int64_t n) override;
    bool cursor_rewind() override;
    bool cursor_move_to(std::int64_t i) override;
    bool cursor_move_by(std::int64_t n) override;
    bool cursor_move_to_last() override;
    bool cursor_retreat(std::int64_t n) override;
    bool cursor_eof() const override;
    std::int64_t cursor_row_number() const override;

    std::ostream& print(std::ostream& out) const override;
    /// One mask per column (empty for a column without NULL cells).
    const std::vector<NullMask>& null_masks() const override { return null_masks_; }

private:
    std::string name_;
    std::vector<std::string> column_names_;
    std::vector<ColumnValues> columns_;
    std::vector<std::uint8_t> types_;
    std::vector<std::int32_t> row_counts_;
    std::vector<NullMask> null_masks_;
    std::int64_t position_ = -1;
};

/// Renders an accessor as a text table:
/// \code{.unparsed}
///     Table: <name>
///     [Affected rows: n]  [Error: text]
///     Rows: R, Columns: C
///     +---+-----+
///     | # | col |
///     +---+-----+
///     | 0 | v   |
///     +---+-----+
/// \endcode
/// Cells longer than 48 characters are cut to 45 and "..."; NULL cells (TableAccessor::is_null:
/// marked in a column's null mask, or missing from a shorter column) print as NULL; byte
/// vectors as 0x and up to 16 bytes in hexadecimal. Every row is printed. Returns `out`.
std::ostream& print_table_accessor(const TableAccessor& accessor, std::ostream& out);

/// The database type code of each column, in column order: a Table's own codes, or for a query
/// result those of the first table found (the one that gave the column names). Each byte is a
/// TypeCode value (compare with code_of(TypeCode::Integer) and the like). Empty for an accessor of
/// another kind or without a result set.
std::vector<std::uint8_t> column_type_codes(const TableAccessor& accessor);

}  // namespace tyx
