// SQL texts that the table upload sends: the CREATE statement built from a Table's columns,
// and the probe and DELETE statements of a replace. Pure functions.
#pragma once

#include <string>
#include <string_view>

#include "tyx/table.hpp"

namespace tyx {

// "CREATE PUBLIC TABLE name (col Type, ...) USE" + suffix + " InitialCapacity=" + rows.
// Names are not quoted; a non-empty suffix brings its own leading space.
std::string make_create_table_sql(const Table& table, std::string_view suffix);

// "SELECT * FROM `name` LIMIT 0": answers with a result set on every shard that knows the table.
std::string make_probe_table_sql(std::string_view table_name);

// "DELETE FROM `name`".
std::string make_delete_table_sql(std::string_view table_name);

}  // namespace tyx
