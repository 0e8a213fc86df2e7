#include "publish_input.hpp"

#include <limits>
#include <nlohmann/json.hpp>

#include "field_values.hpp"
#include "tool_error.hpp"

namespace tyx::tool {

namespace {

std::string text_key(const nlohmann::ordered_json& value, const char* key) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_number_integer()) return value.dump();
    throw ToolError(std::string("\"") + key + "\" must be a string");
}

std::int64_t integer_key(const nlohmann::ordered_json& value, const char* key) {
    // Unsigned values above the signed range would come back wrapped to negative numbers.
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        throw ToolError(std::string("\"") + key + "\" does not fit a signed 64-bit number");
    if (value.is_number_integer()) return value.get<std::int64_t>();
    throw ToolError(std::string("\"") + key + "\" must be a whole number");
}

}  // namespace

bool parse_publish_line(std::string_view line, const std::string& default_type, bool remove_all,
                        PublishItem& item) {
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) return false;
    nlohmann::ordered_json object;
    try {
        object = nlohmann::ordered_json::parse(line);
    } catch (const nlohmann::json::exception& e) {
        // A syntax error, or a number too large for a double (out_of_range).
        throw ToolError(std::string("not JSON: ") + e.what());
    }
    if (!object.is_object()) throw ToolError("a line must be a JSON object");
    item = PublishItem{};
    item.type = default_type;
    item.remove = remove_all;
    for (const auto& [key, value] : object.items()) {
        if (key == "type") {
            item.type = text_key(value, "type");
        } else if (key == "id") {
            item.id = text_key(value, "id");
        } else if (key == "remove") {
            if (!value.is_boolean()) throw ToolError("\"remove\" must be true or false");
            item.remove = item.remove || value.get<bool>();
        } else if (key == "seqnum") {
            item.seqnum = integer_key(value, "seqnum");
        } else if (key == "expires_on_ms") {
            item.expires_on_ms = integer_key(value, "expires_on_ms");
        } else if (key == "fields") {
            if (!value.is_object()) throw ToolError("\"fields\" must be an object");
            for (const auto& [name, field] : value.items()) {
                try {
                    item.field_values.push_back(json_to_field_value(nlohmann::json(field)));
                } catch (const ToolError& e) {
                    throw ToolError("field \"" + name + "\": " + e.what());
                }
                item.field_names.push_back(name);
            }
        } else {
            throw ToolError("unknown key \"" + key + "\" (type, id, fields, remove, seqnum, expires_on_ms)");
        }
    }
    if (item.type.empty()) throw ToolError("no \"type\" (and no --type)");
    if (item.id.empty()) throw ToolError("no \"id\"");
    return true;
}

}  // namespace tyx::tool
