// libFuzzer target for the publish command's input: every line is read as a JSON-lines
// publication and as a NAME[:TYPE]=VALUE field argument. The first byte picks the flags.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "field_values.hpp"
#include "publish_input.hpp"
#include "tool_error.hpp"

using namespace tyx::tool;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string default_type = data[0] & 1 ? "Orders" : "";
    const bool remove_all = (data[0] & 2) != 0;
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

        PublishItem item;
        try {
            if (parse_publish_line(line, default_type, remove_all, item)) {
                if (item.type.empty() || item.id.empty() ||
                    item.field_names.size() != item.field_values.size())
                    __builtin_trap();
                if (remove_all && !item.remove) __builtin_trap();
            }
        } catch (const ToolError&) {
        }
        try {
            const auto [name, value] = parse_field_argument(line);
            if (name.empty() || name.size() >= line.size()) __builtin_trap();
        } catch (const ToolError&) {
        }
    }
    return 0;
}
