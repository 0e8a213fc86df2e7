#include "client/table_sql.hpp"

#include <algorithm>
#include <functional>

#include "core/log_text.hpp"
#include "core/type_codes.hpp"

namespace tyx {

std::optional<std::string> name_refusal(std::string_view name) {
    if (name.empty()) return "is empty";
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const char next = i + 1 < name.size() ? name[i + 1] : '\0';
        switch (c) {
            case '`':
                return "holds a backquote";
            case '"':
                return "holds a double quote";
            case '\'':
                return "holds a single quote";
            case ';':
                return "holds a semicolon";
            case ',':
                return "holds a comma";
            case '(':
            case ')':
                return "holds a parenthesis";
            case ' ':
                return "holds a space";
            case '-':
                if (next == '-') return "holds a comment start (--)";
                break;
            case '/':
                if (next == '*') return "holds a comment start (/*)";
                break;
            default:
                if (c < 0x20 || c == 0x7F) return "holds a control character";
        }
    }
    return std::nullopt;
}

std::optional<std::string> upload_refusal(const Table& table) {
    const std::string table_name = table.table_name();
    if (auto why = name_refusal(table_name)) return "the table name " + log_quoted(table_name) + " " + *why;
    const auto& names = table.column_names();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (auto why = name_refusal(names[i])) {
            const std::string column = names[i].empty()
                                           ? "the name of the column at index " + std::to_string(i)
                                           : "the column name " + log_quoted(names[i]);
            return column + " of table " + log_quoted(table_name) + " " + *why;
        }
    }
    const auto& rows = table.column_row_counts();
    if (std::adjacent_find(rows.begin(), rows.end(), std::not_equal_to<>()) == rows.end())
        return std::nullopt;
    // The names passed the check above, so they need no quoting here.
    std::string lengths;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i != 0) lengths += ", ";
        lengths += names[i] + " " + std::to_string(rows[i]);
    }
    return "the columns of table " + log_quoted(table_name) + " differ in length (" + lengths + ")";
}

NullMask mask_for_upload(const NullMask& mask, std::int32_t row_count) {
    const auto rows = static_cast<std::size_t>(std::max(row_count, 0));
    NullMask out((rows + 63) / 64, 0);
    std::copy_n(mask.begin(), std::min(mask.size(), out.size()), out.begin());
    // Marks past the last row would tell the receiver of rows that do not exist.
    if (rows % 64 != 0) out.back() &= (std::uint64_t{1} << (rows % 64)) - 1;
    if (std::all_of(out.begin(), out.end(), [](std::uint64_t w) { return w == 0; })) return {};
    return out;
}

std::vector<jdbc::JdbcColumn> table_to_jdbc_columns(const Table& table) {
    std::vector<jdbc::JdbcColumn> columns;
    columns.reserve(table.columns().size());
    const auto& masks = table.null_masks();
    for (std::size_t i = 0; i < table.columns().size(); ++i) {
        jdbc::JdbcColumn c;
        c.name = table.column_names()[i];
        c.type = table.column_types()[i];
        c.values = table.columns()[i];
        c.row_count = table.column_row_counts()[i];
        if (i < masks.size()) c.null_mask = mask_for_upload(masks[i], c.row_count);
        // A column without NULL cells carries no mask, as it always has.
        c.nullable = !c.null_mask.empty();
        c.allow_null = c.nullable ? AllowNullEnum::Allowed : AllowNullEnum::NotAllowed;
        columns.push_back(std::move(c));
    }
    return columns;
}

std::string make_create_table_sql(const Table& table, std::string_view suffix) {
    std::string sql = "CREATE PUBLIC TABLE " + table.table_name() + " (";
    const auto& names = table.column_names();
    const auto& types = table.column_types();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) sql += ", ";
        sql += names[i];
        sql += ' ';
        sql += tyx_type_to_tyx_string(types[i]);
    }
    sql += ") USE";
    sql += suffix;
    sql += " InitialCapacity=";
    sql += std::to_string(table.row_count());
    return sql;
}

std::string make_probe_table_sql(std::string_view table_name) {
    std::string sql = "SELECT * FROM `";
    sql += table_name;
    sql += "` LIMIT 0";
    return sql;
}

std::string make_delete_table_sql(std::string_view table_name) {
    std::string sql = "DELETE FROM `";
    sql += table_name;
    sql += '`';
    return sql;
}

}  // namespace tyx
