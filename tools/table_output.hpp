// Query results as the sql command prints them: the library's text table, CSV with a header,
// or one JSON object per row.
#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>
#include <tyx/table.hpp>

namespace tyx::tool {

enum class TableFormat { table, csv, jsonl };

std::optional<TableFormat> table_format_named(const std::string& name);

// Writes the rows of `result` (its result set only; the caller reports errors). The text table
// is print_table_accessor's. CSV: a header of column names, then one record per row, a NULL or
// missing value as an empty field. JSON lines: one object per row with the columns in order (a
// repeated column name gets "_2", "_3", ... appended), a NULL or missing value as null.
void write_table(const tyx::TableAccessor& result, TableFormat format, std::ostream& out);

// The value of `column` at `row` as JSON: null past the end of the column or for the empty
// alternative, complex numbers as [real, imaginary], byte vectors as "0x" and hex digits.
nlohmann::json cell_json(const tyx::ColumnValues& column, std::size_t row);

// The value as a CSV field's text (empty for a missing value).
std::string cell_text(const tyx::ColumnValues& column, std::size_t row);

// JSON text of one line; invalid UTF-8 in strings is replaced rather than thrown on.
std::string json_line(const nlohmann::ordered_json& value);

}  // namespace tyx::tool
