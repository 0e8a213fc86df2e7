#include "jdbc/jdbc_bulk_insert.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <variant>

namespace tyx::jdbc {

namespace {

template <typename T>
void store_be(std::uint8_t* p, T value) {
    using U = std::conditional_t<
        sizeof(T) == 1, std::uint8_t,
        std::conditional_t<sizeof(T) == 2, std::uint16_t,
                           std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;
    auto bits = std::bit_cast<U>(value);
    if constexpr (std::endian::native == std::endian::little && sizeof(T) > 1) bits = detail::byteswap(bits);
    std::memcpy(p, &bits, sizeof bits);
}

// Appends the first n values in one block, most significant byte first.
template <typename T>
void append_fixed(ByteVector& out, const std::vector<T>& values, std::size_t n) {
    const std::size_t at = out.size();
    out.resize(at + n * sizeof(T));
    std::uint8_t* p = out.data() + at;
    for (std::size_t i = 0; i < n; ++i) store_be<T>(p + i * sizeof(T), values[i]);
}

// Complex parts travel as integers truncated toward zero. NaN becomes 0 and values beyond the
// 64-bit range saturate, where a plain conversion would be undefined.
std::int64_t truncate_part(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (v <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
}

// How a bulk insert writes the values of one column alternative: the type codes written from it,
// and `append`, which writes its first n values for one of those codes. Alternatives that no
// type code is written from keep the empty list.
template <typename Values>
struct BulkForm {
    static constexpr std::array<TypeCode, 0> codes{};
};

// Values of a fixed width, most significant byte first.
template <typename T, TypeCode... Codes>
struct FixedWidthForm {
    static constexpr std::array codes{Codes...};
    static void append(ByteVector& out, TypeCode, const std::vector<T>& v, std::size_t n) {
        append_fixed(out, v, n);
    }
};

template <>
struct BulkForm<std::vector<std::int16_t>> : FixedWidthForm<std::int16_t, TypeCode::Short> {};
template <>
struct BulkForm<std::vector<std::uint16_t>> : FixedWidthForm<std::uint16_t, TypeCode::Character> {};
template <>
struct BulkForm<std::vector<std::int32_t>>
    : FixedWidthForm<std::int32_t, TypeCode::Integer, TypeCode::DatePart> {};
template <>
struct BulkForm<std::vector<float>> : FixedWidthForm<float, TypeCode::Float> {};
template <>
struct BulkForm<std::vector<std::int64_t>> : FixedWidthForm<std::int64_t, TypeCode::Long, TypeCode::Date,
                                                            TypeCode::DateNanos, TypeCode::DateMillis> {};
template <>
struct BulkForm<std::vector<double>> : FixedWidthForm<double, TypeCode::Double> {};

template <>
struct BulkForm<std::vector<std::uint8_t>> {
    static constexpr std::array codes{TypeCode::Boolean, TypeCode::Byte};
    static void append(ByteVector& out, TypeCode code, const std::vector<std::uint8_t>& v, std::size_t n) {
        if (code == TypeCode::Byte) return append_bytes(out, v.data(), n);
        for (std::size_t i = 0; i < n; ++i) append_u8(out, v[i] != 0 ? 1 : 0);  // a Boolean is 0 or 1
    }
};

template <>
struct BulkForm<std::vector<std::string>> {
    static constexpr std::array codes{TypeCode::String, TypeCode::UUID, TypeCode::BigDecimal};
    static void append(ByteVector& out, TypeCode, const std::vector<std::string>& v, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) serialize_col_value_as<StringField>(out, v[i]);
    }
};

template <>
struct BulkForm<std::vector<std::vector<std::uint8_t>>> {
    static constexpr std::array codes{TypeCode::Bytes, TypeCode::BigInteger};
    static void append(ByteVector& out, TypeCode code, const std::vector<std::vector<std::uint8_t>>& v,
                       std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (code == TypeCode::BigInteger)
                serialize_col_value_as<BigIntegerField>(out, v[i]);
            else
                serialize_col_value_as<BytesField>(out, v[i]);
        }
    }
};

template <>
struct BulkForm<std::vector<std::complex<double>>> {
    static constexpr std::array codes{TypeCode::Complex};
    static void append(ByteVector& out, TypeCode, const std::vector<std::complex<double>>& v, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            append_be<std::int64_t>(out, truncate_part(v[i].real()));
            append_be<std::int64_t>(out, truncate_part(v[i].imag()));
        }
    }
};

template <typename Values>
constexpr bool written_from(TypeCode code) {
    return std::ranges::find(BulkForm<Values>::codes, code) != BulkForm<Values>::codes.end();
}

// Whether some alternative of the column variant is written for `code`.
template <typename... Alternatives>
constexpr bool has_value_form(const std::variant<Alternatives...>&, TypeCode code) {
    return (written_from<Alternatives>(code) || ...);
}

// Raises the exception std::get gives for an alternative that is not held, text included: the
// one documented for values of another alternative than the type code takes.
template <typename Held>
[[noreturn]] void throw_wrong_alternative(const ColumnValues& values) {
    using NotHeld =
        std::conditional_t<std::is_same_v<Held, std::monostate>, std::vector<char>, std::monostate>;
    (void)std::get<NotHeld>(values);
    throw std::bad_variant_access();  // not reached
}

}  // namespace

void JdbcColumn::serialize_to(ByteVector& out) const {
    append_u8(out, type);
    append_u8(out, code_of(TypeCode::String));
    append_utf_string(out, name);
    append_u8(out, nullable ? 1 : 0);
    if (allow_null != AllowNullEnum::NotAllowed) {
        append_be<std::uint32_t>(out, static_cast<std::uint32_t>(null_mask.size()));
        append_fixed(out, null_mask, null_mask.size());
    }
    // The row count must be covered by the values held: writing fewer values than announced
    // would desynchronise the receiver.
    auto rows_of = [this](const auto& vec) {
        if (row_count < 0 || static_cast<std::size_t>(row_count) > vec.size()) {
            throw std::invalid_argument("JdbcColumn '" + name + "': row count " + std::to_string(row_count) +
                                        " does not fit the " + std::to_string(vec.size()) + " values held");
        }
        return static_cast<std::size_t>(row_count);
    };
    const auto code = static_cast<TypeCode>(type);
    std::visit(
        [&](const auto& held) {
            using Values = std::decay_t<decltype(held)>;
            if constexpr (!BulkForm<Values>::codes.empty()) {
                if (written_from<Values>(code))
                    return BulkForm<Values>::append(out, code, held, rows_of(held));
            }
            // Values this code is not written from: wrong when another alternative would be; else
            // the type has no value form and the header alone is written.
            if (has_value_form(values, code)) throw_wrong_alternative<Values>(values);
        },
        values);
}

std::size_t BulkInsert::capacity_estimate(std::string_view table_name,
                                          const std::vector<JdbcColumn>& columns) {
    std::size_t n = 2 * table_name.size() + 256;
    for (const auto& c : columns) {
        n += c.name.size() + 64 +
             static_cast<std::size_t>(std::max(c.row_count, 0)) * value_width(c.type).expected;
    }
    return n;
}

BulkInsert::BulkInsert(std::string_view name, const std::vector<JdbcColumn>& columns, std::int32_t row_count,
                       std::int64_t timeout_ms)
    : table_name(name) {
    if (columns.size() > static_cast<std::size_t>(std::numeric_limits<std::int16_t>::max())) {
        throw std::invalid_argument("BulkInsert: " + std::to_string(columns.size()) +
                                    " columns exceed the 32767 a table can carry");
    }
    ByteVector& out = buffer;
    out.reserve(capacity_estimate(name, columns));
    append_be<std::uint32_t>(out, 0);  // length, written last

    append_u8(out, code_of(TypeCode::List));
    append_be<std::int32_t>(out, 5);
    append_u8(out, code_of(TypeCode::Undefined));

    append_instruction_as_variant_type(out, Instruction::BulkInsert);

    append_u8(out, code_of(TypeCode::String));
    append_utf_string(out, name);

    std::vector<StringView> names;
    names.reserve(columns.size());
    for (const auto& c : columns) names.emplace_back(c.name);
    append_list(out, names);

    append_u8(out, code_of(TypeCode::TableColumnar));
    append_u8(out, code_of(TypeCode::String));
    append_utf_string(out, name);
    append_be<std::int16_t>(out, static_cast<std::int16_t>(columns.size()));
    append_be<std::int32_t>(out, row_count);
    for (const auto& c : columns) c.serialize_to(out);

    append_u8(out, code_of(TypeCode::Long));
    append_be<std::int64_t>(out, timeout_ms);

    store_be<std::uint32_t>(out.data(), static_cast<std::uint32_t>(out.size() - 4));
}

}  // namespace tyx::jdbc
