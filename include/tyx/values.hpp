/// \file
/// Value types shared by the public API: one published field value, and one column of values.
/// Plain standard-library variants; no threading concerns of their own.
#pragma once

#include <complex>
#include <cstdint>
#include <cstddef>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace tyx {

/// One field of a published object, and one cell of a center row update. The alternative
/// chosen decides the wire form (for example std::int64_t is written with an `L` suffix).
using FieldValue = std::variant<char, std::uint8_t, std::int8_t, std::uint16_t, std::int16_t,
    std::uint32_t, std::int32_t, std::uint64_t, std::int64_t, float, double, std::string,
    std::vector<std::uint8_t>, std::monostate>;

/// One column of a query result or of a table to upload.
using ColumnValues = std::variant<std::vector<char>, std::vector<std::uint8_t>,
    std::vector<std::int8_t>, std::vector<std::uint16_t>, std::vector<std::int16_t>,
    std::vector<std::uint32_t>, std::vector<std::int32_t>, std::vector<std::uint64_t>,
    std::vector<std::int64_t>, std::vector<float>, std::vector<double>,
    std::vector<std::complex<double>>, std::vector<std::string>,
    std::vector<std::vector<std::uint8_t>>, std::monostate>;

/// The number of values in a column; 0 for an empty (std::monostate) one.
inline std::size_t column_length(const ColumnValues& values) {
    return std::visit(
        [](const auto& v) -> std::size_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::monostate>) {
                return 0;
            } else {
                return v.size();
            }
        },
        values);
}

}  // namespace tyx
