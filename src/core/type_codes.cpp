#include "core/type_codes.hpp"

#include <array>

namespace tyx {
namespace {

constexpr std::array<std::string_view, 110> make_names() {
    std::array<std::string_view, 110> n{};
    for (auto& s : n) s = "Custom";
    const char* named[] = {"PrimitiveBoolean", "PrimitiveByte", "PrimitiveShort", "PrimitiveChar",
                           "PrimitiveInt", "PrimitiveFloat", "PrimitiveLong", "PrimitiveDouble",
                           "PrimitiveObject", "PrimitiveVoid", "Boolean", "Byte", "Short", "Character",
                           "Integer", "Float", "Long", "Double", "Object", "Void", "String", "List", "Set",
                           "Map", "Password"};
    for (std::size_t i = 0; i < std::size(named); ++i) n[i] = named[i];
    const char* from30[] = {"Date", "Day", "DayTime", "TimeZone", "DateNanos", "DateMillis", "Bytes",
                            "Complex", "UUID", "TableColumnar", "Ideable", "Message", "MapMessage", "Table",
                            "FixPoint", "BigDecimal", "BigInteger", "ValuedEnum", "PersistableMap",
                            "PersistableList", "PersistableSet", "Class", "Null", "Throwable", "Enum",
                            "Tuple", "Array", "StringArray", "ByteArrayArray", "StringBuilder", "Undefined"};
    for (std::size_t i = 0; i < std::size(from30); ++i) n[30 + i] = from30[i];
    n[62] = "ColorGradient";
    n[63] = "DatePart";
    n[70] = "LongKeyMap";
    n[101] = "PrimitiveByteArray";
    n[104] = "PrimitiveIntArray";
    n[106] = "PrimitiveLongArray";
    n[107] = "PrimitiveCharArray";
    n[108] = "PrimitiveDoubleArray";
    n[109] = "PrimitiveFloatArray";
    return n;
}

constexpr auto kNames = make_names();

}  // namespace

std::string_view tyx_type_to_tyx_string(std::uint8_t code) {
    return code < kNames.size() ? kNames[code] : std::string_view("Custom");
}

}  // namespace tyx
