// libFuzzer target for the CSV reader of the upload command. A file read whole must read back
// the same after being written out again as the sql command writes CSV, and its Table must hold
// every row in every column.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "csv.hpp"
#include "tool_error.hpp"

using namespace tyx::tool;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    CsvData csv;
    try {
        csv = read_csv(in);
    } catch (const ToolError&) {
        return 0;
    }
    const std::size_t rows = csv.row_count();
    if (csv.names.empty() || csv.cells.size() != csv.names.size() || csv.types.size() != csv.names.size())
        __builtin_trap();
    for (std::size_t c = 0; c < csv.names.size(); ++c) {
        if (csv.names[c].empty() || csv.cells[c].size() != rows) __builtin_trap();
        if (infer_column_type(csv.cells[c]) != csv.types[c]) __builtin_trap();
    }

    const tyx::Table table = csv.to_table("t", 0, rows);
    if (table.column_names() != csv.names || table.row_count() != static_cast<std::int64_t>(rows))
        __builtin_trap();

    // A byte order mark first: a first name that starts with one keeps it.
    std::string text = "\xEF\xBB\xBF" + csv_record(csv.names) + "\n";
    std::vector<std::string> row(csv.names.size());
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < row.size(); ++c) row[c] = csv.cells[c][r];
        text += csv_record(row) + "\n";
    }
    std::istringstream again(text);
    const CsvData back = read_csv(again);  // what was read once reads again: no ToolError
    if (back.names != csv.names || back.cells != csv.cells) __builtin_trap();
    return 0;
}
