#include "table_output.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <complex>

#include "csv.hpp"
#include "field_values.hpp"

namespace tyx::tool {

namespace {

template <typename T>
std::string shortest(T value) {
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::string(buffer, end);
}

std::size_t column_size(const tyx::ColumnValues& column) {
    return std::visit(
        [](const auto& values) -> std::size_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(values)>, std::monostate>)
                return 0;
            else
                return values.size();
        },
        column);
}

}  // namespace

std::optional<TableFormat> table_format_named(const std::string& name) {
    if (name == "table") return TableFormat::table;
    if (name == "csv") return TableFormat::csv;
    if (name == "jsonl" || name == "json") return TableFormat::jsonl;
    return std::nullopt;
}

nlohmann::json cell_json(const tyx::ColumnValues& column, std::size_t row) {
    if (row >= column_size(column)) return nullptr;
    return std::visit(
        [row](const auto& values) -> nlohmann::json {
            using V = std::decay_t<decltype(values)>;
            if constexpr (std::is_same_v<V, std::monostate>) {
                return nullptr;
            } else {
                const auto& v = values[row];
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, std::complex<double>>)
                    return nlohmann::json::array({v.real(), v.imag()});
                else
                    return field_value_to_json(tyx::FieldValue(v));
            }
        },
        column);
}

std::string cell_text(const tyx::ColumnValues& column, std::size_t row) {
    if (row >= column_size(column)) return {};
    return std::visit(
        [row](const auto& values) -> std::string {
            using V = std::decay_t<decltype(values)>;
            if constexpr (std::is_same_v<V, std::monostate>) {
                return {};
            } else {
                const auto& v = values[row];
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, std::string>)
                    return v;
                else if constexpr (std::is_same_v<T, char>)
                    return std::string(1, v);
                else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>)
                    return hex_text(v);
                else if constexpr (std::is_same_v<T, std::complex<double>>)
                    return shortest(v.real()) + (v.imag() >= 0 ? "+" : "") + shortest(v.imag()) + "i";
                else if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::int8_t>)
                    return std::to_string(static_cast<int>(v));
                else if constexpr (std::is_floating_point_v<T>)
                    return std::isfinite(v) ? shortest(v)
                                            : (std::isnan(v) ? "NaN" : (v > 0 ? "Infinity" : "-Infinity"));
                else
                    return std::to_string(v);
            }
        },
        column);
}

std::string json_line(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void write_table(const tyx::TableAccessor& result, TableFormat format, std::ostream& out) {
    if (format == TableFormat::table) {
        tyx::print_table_accessor(result, out);
        return;
    }
    if (!result.has_result_set()) return;
    const auto& names = result.column_names();
    const auto& columns = result.columns();
    const std::size_t n = std::min(names.size(), columns.size());
    const auto rows = static_cast<std::size_t>(std::max<std::int64_t>(result.row_count(), 0));
    if (format == TableFormat::csv) {
        std::vector<std::string> record(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(n));
        out << csv_record(record) << "\n";
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < n; ++c)
                record[c] = result.is_null(c, static_cast<std::int64_t>(r)) ? std::string()
                                                                            : cell_text(columns[c], r);
            out << csv_record(record) << "\n";
        }
        return;
    }
    std::vector<std::string> keys;
    for (std::size_t c = 0; c < n; ++c) {
        std::string key = names[c];
        for (int suffix = 2; std::find(keys.begin(), keys.end(), key) != keys.end(); ++suffix)
            key = names[c] + "_" + std::to_string(suffix);
        keys.push_back(std::move(key));
    }
    for (std::size_t r = 0; r < rows; ++r) {
        nlohmann::ordered_json row = nlohmann::ordered_json::object();
        for (std::size_t c = 0; c < n; ++c)
            row[keys[c]] = result.is_null(c, static_cast<std::int64_t>(r)) ? nlohmann::json(nullptr)
                                                                           : cell_json(columns[c], r);
        out << json_line(row) << '\n';
    }
}

}  // namespace tyx::tool
