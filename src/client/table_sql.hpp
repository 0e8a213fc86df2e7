// What the table upload sends: bulk-insert columns built from a Table, and the SQL texts (the
// CREATE statement from the table's columns, the probe and DELETE statements of a replace).
// Pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "jdbc/jdbc_result.hpp"
#include "tyx/table.hpp"

namespace tyx {

// One bulk-insert column per table column, in order: name, type code, not nullable, a copy of
// the values, no null mask, the column's own row count.
std::vector<jdbc::JdbcColumn> table_to_jdbc_columns(const Table& table);

// "CREATE PUBLIC TABLE name (col Type, ...) USE" + suffix + " InitialCapacity=" + rows.
// Names are not quoted; a non-empty suffix brings its own leading space.
std::string make_create_table_sql(const Table& table, std::string_view suffix);

// "SELECT * FROM `name` LIMIT 0": answers with a result set on every shard that knows the table.
std::string make_probe_table_sql(std::string_view table_name);

// "DELETE FROM `name`".
std::string make_delete_table_sql(std::string_view table_name);

}  // namespace tyx
