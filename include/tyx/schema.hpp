/// \file
/// Schemas of center tables as the center announces them; returned by Client::get_table_schema.
/// Plain values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tyx {

/// One column of a center table.
struct CenterColumnSchema {
    std::string name;        ///< the column's name
    std::uint8_t type = 0;   ///< the column's type code, as received
    std::uint8_t flags = 0;  ///< as received
};

/// One center table: its kind and its columns.
struct CenterTableSchema {
    std::uint8_t kind = 0;  ///< as received
    std::vector<CenterColumnSchema> columns;  ///< in the order announced
};

}  // namespace tyx
