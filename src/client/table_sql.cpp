#include "client/table_sql.hpp"

#include "core/type_codes.hpp"

namespace tyx {

std::vector<jdbc::JdbcColumn> table_to_jdbc_columns(const Table& table) {
    std::vector<jdbc::JdbcColumn> columns;
    columns.reserve(table.columns().size());
    for (std::size_t i = 0; i < table.columns().size(); ++i) {
        jdbc::JdbcColumn c;
        c.name = table.column_names()[i];
        c.type = table.column_types()[i];
        c.nullable = false;
        c.values = table.columns()[i];
        c.allow_null = AllowNullEnum::NotAllowed;
        c.row_count = table.column_row_counts()[i];
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
