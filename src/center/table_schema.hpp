// Schema of a subscribed center table as announced in changes messages. Plain values carried as
// received; kept by the subscribed-table registry and copied out on request. Standard library only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tyx {

struct CenterColumnSchema {
    std::string name;        // empty when the string pool had no text for the column key
    std::uint8_t type = 0;   // type byte as received
    std::uint8_t flags = 0;  // flag byte as received
};

struct CenterTableSchema {
    std::uint8_t kind = 0;  // table kind byte as received
    std::vector<CenterColumnSchema> columns;
};

}  // namespace tyx
