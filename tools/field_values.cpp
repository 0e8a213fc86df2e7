#include "field_values.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include "tool_error.hpp"

namespace tyx::tool {

namespace {

// Strips one leading '+': from_chars takes '-' only.
std::string_view without_plus(std::string_view text) {
    if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
    return text;
}

bool has_leading_zero(std::string_view digits) {
    if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
    return digits.size() > 1 && digits[0] == '0' && digits[1] >= '0' && digits[1] <= '9';
}

template <typename T>
bool read_whole(std::string_view text, T& out) {
    text = without_plus(text);
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

template <typename T>
T checked_integer(std::string_view text, std::string_view type) {
    if constexpr (std::is_signed_v<T>) {
        std::int64_t v = 0;
        if (read_whole(text, v) && v >= std::numeric_limits<T>::min() && v <= std::numeric_limits<T>::max())
            return static_cast<T>(v);
    } else {
        std::uint64_t v = 0;
        if (read_whole(text, v) && v <= std::numeric_limits<T>::max()) return static_cast<T>(v);
    }
    throw ToolError("\"" + std::string(text) + "\" is not a " + std::string(type) + " value");
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<std::uint8_t> parse_hex(std::string_view text) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    if (text.size() % 2 != 0)
        throw ToolError("\"" + std::string(text) + "\" is not an even number of hex digits");
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = hex_digit(text[i]);
        const int lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) throw ToolError("\"" + std::string(text) + "\" is not hexadecimal");
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return bytes;
}

FieldValue inferred(std::string_view text) {
    std::int64_t i = 0;
    if (read_integer(text, i)) {
        if (i >= std::numeric_limits<std::int32_t>::min() && i <= std::numeric_limits<std::int32_t>::max())
            return static_cast<std::int32_t>(i);
        return i;
    }
    std::uint64_t u = 0;
    if (!has_leading_zero(text) && read_whole(text, u)) return u;
    // A whole number no integer type holds stays text rather than losing digits as a float.
    if (is_whole_number(text)) return std::string(text);
    double d = 0;
    if (read_real(text, d)) return d;
    return std::string(text);
}

}  // namespace

bool is_whole_number(std::string_view text) {
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool read_integer(std::string_view text, std::int64_t& out) {
    return !has_leading_zero(without_plus(text)) && read_whole(text, out);
}

bool read_real(std::string_view text, double& out) {
    const std::string_view body = without_plus(text);
    if (has_leading_zero(body)) {
        // "0.5" is a real; "007.5" keeps its zeros as text.
        const auto digits = body.front() == '-' ? body.substr(1) : body;
        if (digits.size() < 2 || digits[1] != '.') return false;
    }
    bool digit = false;
    for (char c : body) digit = digit || (c >= '0' && c <= '9');
    return digit && read_whole(text, out) && std::isfinite(out);
}

FieldValue parse_field_value(std::string_view text, std::string_view type) {
    if (type.empty()) return inferred(text);
    if (type == "str" || type == "string") return std::string(text);
    if (type == "char") {
        if (text.size() != 1) throw ToolError("\"" + std::string(text) + "\" is not a single char");
        return text[0];
    }
    if (type == "u8") return checked_integer<std::uint8_t>(text, type);
    if (type == "i8") return checked_integer<std::int8_t>(text, type);
    if (type == "u16") return checked_integer<std::uint16_t>(text, type);
    if (type == "i16") return checked_integer<std::int16_t>(text, type);
    if (type == "u32") return checked_integer<std::uint32_t>(text, type);
    if (type == "i32" || type == "int") return checked_integer<std::int32_t>(text, type);
    if (type == "u64") return checked_integer<std::uint64_t>(text, type);
    if (type == "i64" || type == "long") return checked_integer<std::int64_t>(text, type);
    if (type == "f32" || type == "float") {
        float f = 0;
        if (read_whole(text, f)) return f;
        throw ToolError("\"" + std::string(text) + "\" is not a " + std::string(type) + " value");
    }
    if (type == "f64" || type == "double") {
        double d = 0;
        if (read_whole(text, d)) return d;
        throw ToolError("\"" + std::string(text) + "\" is not a " + std::string(type) + " value");
    }
    if (type == "bytes") return parse_hex(text);
    if (type == "null") {
        if (!text.empty()) throw ToolError("a null value takes no text, got \"" + std::string(text) + "\"");
        return std::monostate{};
    }
    throw ToolError("unknown value type \"" + std::string(type) +
                    "\" (char, u8, i8, u16, i16, u32, i32, u64, i64, f32, f64, str, bytes, null)");
}

std::pair<std::string, FieldValue> parse_field_argument(std::string_view argument) {
    const auto eq = argument.find('=');
    if (eq == std::string_view::npos || eq == 0)
        throw ToolError("field \"" + std::string(argument) + "\" is not NAME=VALUE or NAME:TYPE=VALUE");
    std::string_view name = argument.substr(0, eq);
    std::string_view type;
    if (const auto colon = name.find(':'); colon != std::string_view::npos) {
        type = name.substr(colon + 1);
        name = name.substr(0, colon);
        if (name.empty() || type.empty())
            throw ToolError("field \"" + std::string(argument) + "\" is not NAME=VALUE or NAME:TYPE=VALUE");
    }
    return {std::string(name), parse_field_value(argument.substr(eq + 1), type)};
}

FieldValue json_to_field_value(const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::null:
            return std::monostate{};
        case nlohmann::json::value_t::boolean:
            return static_cast<std::uint8_t>(value.get<bool>() ? 1 : 0);
        case nlohmann::json::value_t::string:
            return value.get<std::string>();
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned: {
            if (value.is_number_unsigned()) {
                const auto u = value.get<std::uint64_t>();
                if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return u;
            }
            const auto i = value.get<std::int64_t>();
            if (i >= std::numeric_limits<std::int32_t>::min() &&
                i <= std::numeric_limits<std::int32_t>::max())
                return static_cast<std::int32_t>(i);
            return i;
        }
        case nlohmann::json::value_t::number_float:
            return value.get<double>();
        case nlohmann::json::value_t::object: {
            const auto type = value.find("type");
            const auto inner = value.find("value");
            if (type == value.end() || !type->is_string() || value.size() != (inner == value.end() ? 1u : 2u))
                throw ToolError("a typed value is {\"type\": NAME, \"value\": V}, got " + value.dump());
            if (inner == value.end()) return parse_field_value("", type->get<std::string>());
            const std::string text = inner->is_string() ? inner->get<std::string>() : inner->dump();
            return parse_field_value(text, type->get<std::string>());
        }
        default:
            throw ToolError("no field type takes the JSON value " + value.dump() +
                            " (use {\"type\": NAME, \"value\": V})");
    }
}

std::string hex_text(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text = "0x";
    text.reserve(2 + 2 * bytes.size());
    for (auto b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 15]);
    }
    return text;
}

nlohmann::json field_value_to_json(const FieldValue& value) {
    return std::visit(
        [](const auto& v) -> nlohmann::json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, char>) {
                return std::string(1, v);
            } else if constexpr (std::is_same_v<T, float>) {
                // Through the shortest decimal form, so 1.1f prints as 1.1 and not 1.100000023841858.
                char buffer[32];
                const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
                double d = 0;
                std::from_chars(buffer, end, d);
                return d;
            } else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>) {
                return hex_text(v);
            } else if constexpr (std::is_same_v<T, std::monostate>) {
                return nullptr;
            } else {
                return v;
            }
        },
        value);
}

}  // namespace tyx::tool
