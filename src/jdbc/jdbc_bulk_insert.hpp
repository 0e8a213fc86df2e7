// The bulk-insert request: a whole columnar table sent in one message. Built once on the caller's
// thread, then shared and immutable while sockets send it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "jdbc/jdbc_result.hpp"
#include "transport/qmessage.hpp"

namespace tyx::jdbc {

class BulkInsert : public QMessage {
public:
    // Builds the request image: length, a five-element list (instruction 3, the table name, the
    // column names, the columnar table, the timeout). `row_count` is written as given. Throws
    // std::invalid_argument for more than 32767 columns (the count travels as 16 bits) and
    // whatever JdbcColumn::serialize_to throws for a column that does not match its type.
    BulkInsert(std::string_view table_name, const std::vector<JdbcColumn>& columns, std::int32_t row_count,
               std::int64_t timeout_ms);

    // Bytes reserved up front: twice the name length + 256, and per column its name length + 64
    // + its row count times a width by type code.
    static std::size_t capacity_estimate(std::string_view table_name, const std::vector<JdbcColumn>& columns);

    std::string table_name;
};

}  // namespace tyx::jdbc
