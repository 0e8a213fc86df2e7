// What the table upload sends: bulk-insert columns built from a Table, and the SQL texts (the
// CREATE statement from the table's columns, the probe and DELETE statements of a replace).
// Pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jdbc/jdbc_result.hpp"
#include "tyx/table.hpp"

namespace tyx {

// Why a name cannot be a table or column name of an upload, or nothing. The CREATE statement
// writes names bare, the probe and DELETE statements between backquotes, so a name is refused
// when it is empty or holds a control character, a space, one of ` " ' ; , ( ) or the start of a
// comment (-- or /*): any of those would change what the statements mean. Everything else,
// UTF-8 included, passes unchanged.
std::optional<std::string> name_refusal(std::string_view name);

// Why `table` must not be uploaded, or nothing: its name or a column name is refused (see
// name_refusal), or its columns differ in length (each would send its own number of values
// while the insert announces the longest). The text names the table and, for uneven columns,
// every column with its length.
std::optional<std::string> upload_refusal(const Table& table);

// The mask a bulk insert sends for a column of `row_count` rows: one word per 64 rows, marks past
// the last row dropped; empty when it marks no row.
NullMask mask_for_upload(const NullMask& mask, std::int32_t row_count);

// One bulk-insert column per table column, in order: name, type code, a copy of the values, the
// column's own row count. A column with NULL cells is nullable and carries its mask
// (mask_for_upload); any other is not nullable and has no mask.
std::vector<jdbc::JdbcColumn> table_to_jdbc_columns(const Table& table);

// "CREATE PUBLIC TABLE name (col Type, ...) USE" + suffix + " InitialCapacity=" + rows.
// Names are not quoted (upload_refusal keeps out those that cannot stand bare); a non-empty
// suffix brings its own leading space.
std::string make_create_table_sql(const Table& table, std::string_view suffix);

// "SELECT * FROM `name` LIMIT 0": answers with a result set on every shard that knows the table.
std::string make_probe_table_sql(std::string_view table_name);

// "DELETE FROM `name`".
std::string make_delete_table_sql(std::string_view table_name);

}  // namespace tyx
