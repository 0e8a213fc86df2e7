#include "jdbc/jdbc_bulk_insert.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

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

std::size_t estimate_width(std::uint8_t type) {
    switch (type) {
        case 10:
            return 1;
        case 12:
            return 2;
        case 14:
        case 15:
            return 4;
        case 16:
        case 17:
            return 8;
        case 20:
            return 32;
        default:
            return 16;
    }
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
    switch (static_cast<TypeCode>(type)) {
        case TypeCode::Boolean: {
            const auto& v = std::get<std::vector<std::uint8_t>>(values);
            const std::size_t n = rows_of(v);
            for (std::size_t i = 0; i < n; ++i) append_u8(out, v[i] != 0 ? 1 : 0);
            break;
        }
        case TypeCode::Byte: {
            const auto& v = std::get<std::vector<std::uint8_t>>(values);
            append_bytes(out, v.data(), rows_of(v));
            break;
        }
        case TypeCode::Short: {
            const auto& v = std::get<std::vector<std::int16_t>>(values);
            append_fixed(out, v, rows_of(v));
            break;
        }
        case TypeCode::Character: {
            const auto& v = std::get<std::vector<std::uint16_t>>(values);
            append_fixed(out, v, rows_of(v));
            break;
        }
        case TypeCode::Integer:
        case TypeCode::DatePart: {
            const auto& v = std::get<std::vector<std::int32_t>>(values);
            append_fixed(out, v, rows_of(v));
            break;
        }
        case TypeCode::Float: {
            const auto& v = std::get<std::vector<float>>(values);
            append_fixed(out, v, rows_of(v));
            break;
        }
        case TypeCode::Long:
        case TypeCode::Date:
        case TypeCode::DateNanos:
        case TypeCode::DateMillis: {
            const auto& v = std::get<std::vector<std::int64_t>>(values);
            append_fixed(out, v, rows_of(v));
            break;
        }
        case TypeCode::Double: {
            const auto& v = std::get<std::vector<double>>(values);
            append_fixed(out, v, rows_of(v));
            break;
        }
        case TypeCode::String:
        case TypeCode::UUID:
        case TypeCode::BigDecimal: {
            const auto& v = std::get<std::vector<std::string>>(values);
            const std::size_t n = rows_of(v);
            for (std::size_t i = 0; i < n; ++i) serialize_col_value_as<StringField>(out, v[i]);
            break;
        }
        case TypeCode::Bytes: {
            const auto& v = std::get<std::vector<std::vector<std::uint8_t>>>(values);
            const std::size_t n = rows_of(v);
            for (std::size_t i = 0; i < n; ++i) serialize_col_value_as<BytesField>(out, v[i]);
            break;
        }
        case TypeCode::BigInteger: {
            const auto& v = std::get<std::vector<std::vector<std::uint8_t>>>(values);
            const std::size_t n = rows_of(v);
            for (std::size_t i = 0; i < n; ++i) serialize_col_value_as<BigIntegerField>(out, v[i]);
            break;
        }
        case TypeCode::Complex: {
            const auto& v = std::get<std::vector<std::complex<double>>>(values);
            const std::size_t n = rows_of(v);
            for (std::size_t i = 0; i < n; ++i) {
                append_be<std::int64_t>(out, truncate_part(v[i].real()));
                append_be<std::int64_t>(out, truncate_part(v[i].imag()));
            }
            break;
        }
        default:
            break;  // no value form: the header alone is written
    }
}

std::size_t BulkInsert::capacity_estimate(std::string_view table_name,
                                          const std::vector<JdbcColumn>& columns) {
    std::size_t n = 2 * table_name.size() + 256;
    for (const auto& c : columns) {
        n += c.name.size() + 64 + static_cast<std::size_t>(std::max(c.row_count, 0)) * estimate_width(c.type);
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
