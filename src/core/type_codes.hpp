// Names of the one-byte type codes (the codes themselves are public: tyx/type_codes.hpp).
// Pure functions over static text; usable from any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "tyx/type_codes.hpp"

namespace tyx {

// Name of a type code; "Custom" for a code without a name (and for every code above 109).
// The view points at static text.
std::string_view tyx_type_to_tyx_string(std::uint8_t code);
inline std::string_view tyx_type_to_tyx_string(TypeCode code) {
    return tyx_type_to_tyx_string(code_of(code));
}

}  // namespace tyx
