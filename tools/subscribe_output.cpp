#include "subscribe_output.hpp"

#include "field_values.hpp"

namespace tyx::tool {

nlohmann::ordered_json update_json(const tyx::ClientListener::CenterIncrementalUpdate& update) {
    nlohmann::ordered_json line = nlohmann::ordered_json::object();
    switch (update.action) {
        case 1:
            line["action"] = "added";
            break;
        case 2:
            line["action"] = "updated";
            break;
        case 3:
            line["action"] = "removed";
            break;
        default:
            line["action"] = update.action;
    }
    line["table"] = update.table_name;
    line["id"] = update.id;
    line["object_id"] = update.object_id;
    line["seqnum"] = update.seqnum;
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < update.field_names.size(); ++i)
        fields[update.field_names[i]] = i < update.row_data.size()
                                            ? nlohmann::ordered_json(field_value_to_json(update.row_data[i]))
                                            : nullptr;
    line["fields"] = std::move(fields);
    return line;
}

}  // namespace tyx::tool
