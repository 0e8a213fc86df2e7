// CSV as the upload command reads it and the sql command writes it: RFC 4180 records (fields
// separated by commas; a field in double quotes may hold commas, line breaks and doubled
// quotes; records end with CRLF or LF), a header naming the columns, and each column's type
// inferred from its cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include <tyx/table.hpp>

namespace tyx::tool {

// Reads records one at a time. A UTF-8 byte order mark before the first record and blank lines
// are skipped. Malformed input (text after a closing quote, a quote left open at the end) throws
// ToolError naming the line.
class CsvReader {
public:
    explicit CsvReader(std::istream& in) : in_(in) {}

    // The next record into `fields`; false at the end of the input.
    bool next(std::vector<std::string>& fields);
    // The line on which the last record returned started (1 for the first line).
    std::size_t record_line() const { return record_line_; }

private:
    int get();

    std::istream& in_;
    std::size_t line_ = 1;
    std::size_t record_line_ = 0;
    bool started_ = false;
};

// One field written for CSV: quoted when it holds a comma, a quote, CR or LF, or starts or ends
// with a space.
std::string csv_field(std::string_view text);

// One record written for CSV, without its line end: the fields by csv_field, separated by
// commas. A record of one empty field is written as "": an empty line reads back as no record.
std::string csv_record(const std::vector<std::string>& fields);

enum class CsvColumnType { integer, floating, text };

// integer when every cell is a whole number that fits 64 bits (without leading zeros, so codes
// like "007" stay text), floating when every cell is a number, text otherwise. An empty cell
// makes the column text: there is no null to upload in its place.
CsvColumnType infer_column_type(const std::vector<std::string>& cells);
const char* column_type_name(CsvColumnType type);

// A CSV file held column by column, with the type of each column.
struct CsvData {
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> cells;  // one vector per column
    std::vector<CsvColumnType> types;

    std::size_t row_count() const { return cells.empty() ? 0 : cells.front().size(); }
    // Rows [first, first + count) as a Table named `table_name`, each column in its type
    // (integers as 64-bit, floating as double, text as strings).
    tyx::Table to_table(const std::string& table_name, std::size_t first, std::size_t count) const;
};

// Reads a whole CSV file: the header, then records of as many fields; a record of another length
// or a header with an empty or repeated name (compared without regard to ASCII case) throws
// ToolError.
// `on_record`, when given, hears the number of records read so far after each one.
CsvData read_csv(std::istream& in, const std::function<void(std::size_t)>& on_record = {});

}  // namespace tyx::tool
