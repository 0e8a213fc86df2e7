#include <gtest/gtest.h>

#include "core/type_codes.hpp"

namespace tyx {
namespace {

TEST(TypeCodeNames, NamedUnnamedAndOutOfRange) {
    const std::pair<int, std::string_view> cases[] = {
        {0, "PrimitiveBoolean"}, {24, "Password"}, {25, "Custom"}, {29, "Custom"}, {30, "Date"},
        {39, "TableColumnar"}, {60, "Undefined"}, {61, "Custom"}, {62, "ColorGradient"}, {63, "DatePart"},
        {64, "Custom"}, {70, "LongKeyMap"}, {100, "Custom"}, {101, "PrimitiveByteArray"}, {102, "Custom"},
        {105, "Custom"}, {109, "PrimitiveFloatArray"}, {110, "Custom"}, {200, "Custom"}, {255, "Custom"},
    };
    for (auto [code, name] : cases) EXPECT_EQ(tyx_type_to_tyx_string(static_cast<std::uint8_t>(code)), name) << code;
    EXPECT_EQ(tyx_type_to_tyx_string(TypeCode::BigInteger), "BigInteger");
}

}  // namespace
}  // namespace tyx
