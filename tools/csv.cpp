#include "csv.hpp"

#include <algorithm>
#include <cctype>

#include "field_values.hpp"
#include "tool_error.hpp"

namespace tyx::tool {

int CsvReader::get() {
    const int c = in_.get();
    if (c == '\n') ++line_;
    return c;
}

bool CsvReader::next(std::vector<std::string>& fields) {
    if (!started_) {
        started_ = true;
        static constexpr char kBom[] = "\xEF\xBB\xBF";
        if (in_.peek() == static_cast<unsigned char>(kBom[0])) {
            char head[3] = {};
            in_.read(head, 3);
            if (in_.gcount() != 3 || std::string_view(head, 3) != std::string_view(kBom, 3)) {
                in_.clear();
                in_.seekg(0);
            }
        }
    }
    for (;;) {
        fields.clear();
        record_line_ = line_;
        int c = in_.peek();
        if (c == std::char_traits<char>::eof()) return false;
        // A blank line is no record.
        if (c == '\n' || c == '\r') {
            get();
            if (c == '\r' && in_.peek() == '\n') get();
            continue;
        }
        std::string field;
        for (;;) {
            c = get();
            if (c == '"' && field.empty()) {
                // Quoted field: up to the quote that is not doubled.
                for (;;) {
                    c = get();
                    if (c == std::char_traits<char>::eof())
                        throw ToolError("CSV line " + std::to_string(record_line_) +
                                        ": a quoted field is not closed before the end of the file");
                    if (c == '"') {
                        if (in_.peek() == '"') {
                            get();
                            field.push_back('"');
                            continue;
                        }
                        break;
                    }
                    field.push_back(static_cast<char>(c));
                }
                c = get();
                if (c == '\r' && in_.peek() == '\n') c = get();
                if (c != ',' && c != '\n' && c != std::char_traits<char>::eof())
                    throw ToolError("CSV line " + std::to_string(line_) + ": text after a closing quote");
                fields.push_back(std::move(field));
                field.clear();
                if (c == ',') continue;
                return true;
            }
            if (c == ',') {
                fields.push_back(std::move(field));
                field.clear();
                continue;
            }
            if (c == '\r' && (in_.peek() == '\n' || in_.peek() == std::char_traits<char>::eof())) continue;
            if (c == '\n' || c == std::char_traits<char>::eof()) {
                fields.push_back(std::move(field));
                return true;
            }
            field.push_back(static_cast<char>(c));
        }
    }
}

std::string csv_field(std::string_view text) {
    const bool quote = text.find_first_of(",\"\r\n") != std::string_view::npos ||
                       (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!quote) return std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string csv_record(const std::vector<std::string>& fields) {
    if (fields.size() == 1 && fields.front().empty()) return "\"\"";
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i) out.push_back(',');
        out += csv_field(fields[i]);
    }
    return out;
}

CsvColumnType infer_column_type(const std::vector<std::string>& cells) {
    if (cells.empty()) return CsvColumnType::text;
    bool integer = true;
    for (const auto& cell : cells) {
        std::int64_t i = 0;
        double d = 0;
        if (integer && read_integer(cell, i)) continue;
        // A whole number beyond the 64-bit range would lose digits as a float: it stays text.
        if (is_whole_number(cell) && !read_integer(cell, i)) return CsvColumnType::text;
        integer = false;
        if (!read_real(cell, d)) return CsvColumnType::text;
    }
    return integer ? CsvColumnType::integer : CsvColumnType::floating;
}

const char* column_type_name(CsvColumnType type) {
    switch (type) {
        case CsvColumnType::integer:
            return "integer";
        case CsvColumnType::floating:
            return "floating";
        case CsvColumnType::text:
            return "text";
    }
    return "text";
}

tyx::Table CsvData::to_table(const std::string& table_name, std::size_t first, std::size_t count) const {
    tyx::Table table(table_name);
    for (std::size_t c = 0; c < names.size(); ++c) {
        const auto& column = cells[c];
        const std::size_t begin = std::min(first, column.size());
        const std::size_t end = std::min(column.size(), begin + count);
        switch (types[c]) {
            case CsvColumnType::integer: {
                std::vector<std::int64_t> values;
                values.reserve(end - begin);
                for (std::size_t r = begin; r < end; ++r) {
                    std::int64_t v = 0;
                    read_integer(column[r], v);
                    values.push_back(v);
                }
                table.add_column(names[c], std::move(values));
                break;
            }
            case CsvColumnType::floating: {
                std::vector<double> values;
                values.reserve(end - begin);
                for (std::size_t r = begin; r < end; ++r) {
                    double v = 0;
                    read_real(column[r], v);
                    values.push_back(v);
                }
                table.add_column(names[c], std::move(values));
                break;
            }
            case CsvColumnType::text:
                table.add_column(names[c],
                                 std::vector<std::string>(column.begin() + static_cast<std::ptrdiff_t>(begin),
                                                          column.begin() + static_cast<std::ptrdiff_t>(end)));
                break;
        }
    }
    return table;
}

CsvData read_csv(std::istream& in, const std::function<void(std::size_t)>& on_record) {
    CsvReader reader(in);
    CsvData data;
    if (!reader.next(data.names)) throw ToolError("the CSV file is empty: it needs a header line");
    std::vector<std::string> seen;
    for (const auto& name : data.names) {
        if (name.empty()) throw ToolError("the CSV header has an empty column name");
        std::string folded = name;
        std::transform(folded.begin(), folded.end(), folded.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (std::find(seen.begin(), seen.end(), folded) != seen.end())
            throw ToolError("the CSV header names the column \"" + name + "\" twice");
        seen.push_back(std::move(folded));
    }
    data.cells.resize(data.names.size());
    std::vector<std::string> record;
    while (reader.next(record)) {
        if (record.size() != data.names.size())
            throw ToolError("CSV line " + std::to_string(reader.record_line()) + " has " +
                            std::to_string(record.size()) + " fields, the header has " +
                            std::to_string(data.names.size()));
        for (std::size_t c = 0; c < record.size(); ++c) data.cells[c].push_back(std::move(record[c]));
        if (on_record) on_record(data.row_count());
    }
    for (const auto& column : data.cells) data.types.push_back(infer_column_type(column));
    return data;
}

}  // namespace tyx::tool
