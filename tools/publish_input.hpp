// One publication as the publish command reads it from a JSON line:
//   {"type": "Orders", "id": "o-1", "fields": {"qty": 10, "px": 101.5, "side": "B"}}
// with the optional keys "remove" (true: remove the object; no fields then), "seqnum" and
// "expires_on_ms". Field values are read by json_to_field_value, in the order written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <tyx/values.hpp>

namespace tyx::tool {

struct PublishItem {
    std::string type;
    std::string id;
    std::vector<std::string> field_names;
    std::vector<FieldValue> field_values;
    bool remove = false;
    std::int64_t seqnum = 0;
    std::int64_t expires_on_ms = 0;
};

// Reads `line` into `item`; false for a blank line. `default_type` stands in for a missing
// "type"; `remove_all` makes every line a removal. Throws ToolError on anything else.
bool parse_publish_line(std::string_view line, const std::string& default_type, bool remove_all,
                        PublishItem& item);

}  // namespace tyx::tool
