// One decoded center row change, as handed to subscribed tables and listeners. Created once by
// the change decoder and shared read-only between the table buffers and every listener event.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tyx/values.hpp"

namespace tyx {

struct TyxCenterIncrementalUpdate {
    std::int64_t seqnum = 0;               // sequence number of the changes message that carried the row
    std::uint8_t action = 0;               // 1 added, 2 updated, 3 removed
    std::int64_t id = 0;                   // the row's numeric identifier, 0 when the entity carries none
    std::string table_name;                // empty when the string pool has no text for the table key
    std::string object_id;                 // empty when absent
    std::vector<std::string> field_names;  // names of the carried fields, in wire order
    std::vector<FieldValue> row_data;      // values, parallel to field_names
};

using TyxCenterIncrementalUpdatePtr = std::shared_ptr<const TyxCenterIncrementalUpdate>;

}  // namespace tyx
