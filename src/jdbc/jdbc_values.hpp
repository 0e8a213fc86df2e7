// Value forms of the database protocol: writers for requests (instructions, string lists and maps,
// column values) and readers for responses (strings, null masks, big numbers, complex, UUID, bytes,
// single typed values). Plain value types and pure functions; usable from any thread.
//
// Readers take a ByteView by reference and consume from its front. They never read past its end.
// Input that merely stops early yields the documented defaults (an empty string, a zero), so a
// sequence of readers can walk a short message. A declared length or count that the remaining
// bytes cannot hold is malformed input: the reader throws std::runtime_error naming the reader,
// the declared figure and the bytes left, and never reserves memory from such a figure.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/byte_buffer.hpp"
#include "core/type_codes.hpp"

namespace tyx {

namespace jdbc {
using StringView = std::string_view;
class Table;
}  // namespace jdbc

// Instruction numbers of database requests.
enum class Instruction : std::uint8_t { Login = 1, Query = 2, BulkInsert = 3 };

// Writes the instruction as a typed Byte: 11, number.
void append_instruction_as_variant_type(ByteVector& out, std::uint8_t number);
inline void append_instruction_as_variant_type(ByteVector& out, Instruction i) {
    append_instruction_as_variant_type(out, static_cast<std::uint8_t>(i));
}

// Writes a list of strings: 21, 4-byte count, 20, then each string form.
void append_list(ByteVector& out, std::span<const jdbc::StringView> strings);

// Writes a string map without its Map type byte: 4-byte count, 20, 20, then key and value forms.
void append_map_without_type(ByteVector& out,
                             std::span<const std::pair<jdbc::StringView, jdbc::StringView>> pairs);

// The compact length of the big-number fields: one byte 0..126, or 127 and a 4-byte value.
void append_compact_length(ByteVector& out, std::int32_t n);

// Reads one string form (no type byte) and returns a view into `in`. Fewer than 3 bytes, or a
// long-form escape with fewer than 7 bytes, give an empty text and consume nothing.
std::string_view read_string_form(ByteView& in);

struct StringField {
    std::string text;

    StringField() = default;
    explicit StringField(std::string t) : text(std::move(t)) {}
    // `typed`: a type byte precedes the form; a byte other than 20 gives an empty text (consumed).
    StringField(ByteView& in, bool typed);
};

enum class AllowNullEnum : std::uint8_t { NotAllowed = 0, Allowed = 1 };

struct NullMaskField {
    AllowNullEnum allow = AllowNullEnum::NotAllowed;
    std::vector<std::uint64_t> words;

    NullMaskField() = default;
    // No type byte; when allow is non-zero, a 4-byte word count and the 8-byte words.
    NullMaskField(ByteView& in, AllowNullEnum allow_null);
};

struct BigDecimalField {
    std::int32_t scale = 0;
    std::vector<std::uint8_t> bytes;  // unscaled value, two's complement, most significant first

    BigDecimalField() = default;
    BigDecimalField(std::int32_t s, std::vector<std::uint8_t> b) : scale(s), bytes(std::move(b)) {}
    BigDecimalField(ByteView& in, bool typed);

    // Plain decimal text ("123.45", "-0.05", "0.00"; "0" without value bytes). A negative scale
    // appends zeros ("500" for 5 with scale -2). When more than 4096 padding zeros would be needed
    // the text takes the exponent shape instead ("5E-5000", "5E+5000"). Throws std::runtime_error
    // for an unscaled value longer than 4096 bytes (about 9,860 digits): rendering takes time
    // quadratic in the length, and no database column holds such a number.
    std::string to_string() const;
};

struct BigIntegerField {
    std::vector<std::uint8_t> bytes;  // two's complement, most significant first

    BigIntegerField() = default;
    explicit BigIntegerField(std::vector<std::uint8_t> b) : bytes(std::move(b)) {}
    BigIntegerField(ByteView& in, bool typed);

    // Compact length of the value bytes, then the bytes (no type byte).
    void append_value_to(ByteVector& out) const { append_value(out, bytes); }
    static void append_value(ByteVector& out, std::span<const std::uint8_t> value);
};

struct ComplexField {
    double real = 0;
    double imag = 0;

    ComplexField() = default;
    ComplexField(double r, double i) : real(r), imag(i) {}
    // Each part travels as a 64-bit integer (the value truncated toward zero), not as IEEE bits.
    ComplexField(ByteView& in, bool typed);
};

struct UUIDField {
    std::uint64_t most = 0;
    std::uint64_t least = 0;

    UUIDField() = default;
    UUIDField(std::uint64_t hi, std::uint64_t lo) : most(hi), least(lo) {}
    UUIDField(ByteView& in, bool typed);

    // 36 characters, lower-case: 01234567-89ab-cdef-fedc-ba9876543210.
    std::string to_string() const;
};

struct BytesField {
    std::vector<std::uint8_t> bytes;

    BytesField() = default;
    explicit BytesField(std::vector<std::uint8_t> b) : bytes(std::move(b)) {}
    // Table value form: 36, 4-byte length, the bytes. A missing or wrong type byte, fewer than 5
    // bytes or a length of 0 or less give an empty value (what was read stays consumed).
    BytesField(ByteView& in, bool typed);
};

// The element type of the column vector that a field type is written from in a bulk insert.
template <typename Field>
struct FieldToColVec;
template <>
struct FieldToColVec<StringField> {
    using type = std::vector<std::string>;
};
template <>
struct FieldToColVec<BytesField> {
    using type = std::vector<std::vector<std::uint8_t>>;
};
template <>
struct FieldToColVec<BigIntegerField> {
    using type = std::vector<std::vector<std::uint8_t>>;
};

// One column value in the untyped bulk-insert form of `Field`.
template <typename Field>
void serialize_col_value_as(ByteVector& out, const typename FieldToColVec<Field>::type::value_type& value) {
    if constexpr (std::is_same_v<Field, StringField>) {
        append_utf_string(out, value);
    } else if constexpr (std::is_same_v<Field, BytesField>) {
        append_be<std::uint32_t>(out, static_cast<std::uint32_t>(value.size()));
        append_bytes(out, value.data(), value.size());
    } else {
        BigIntegerField::append_value(out, value);
    }
}

namespace jdbc {

// The bytes one value of a column type takes, in the two figures the two directions need.
// `least`: the fewest one value of a response column can take; the result decoder bounds a
// declared row count with it before reserving anything, and 0 marks a type it does not read.
// Self-typed values count 1: a wrong type byte alone reads as an empty value. `expected`: a
// guess at one value of a request column, for reserving a bulk insert's buffer once.
struct ValueWidth {
    std::size_t least;
    std::size_t expected;
};

// A table reads better here than one figure per line.
// clang-format off
constexpr ValueWidth value_width(std::uint8_t type) {
    switch (static_cast<TypeCode>(type)) {
        case TypeCode::Boolean:    return {1, 1};
        case TypeCode::Byte:       return {1, 16};
        case TypeCode::Short:      return {2, 2};
        case TypeCode::Character:  return {2, 16};
        case TypeCode::Integer:    return {4, 4};
        case TypeCode::Float:      return {4, 4};
        case TypeCode::DatePart:   return {4, 16};
        case TypeCode::Long:       return {8, 8};
        case TypeCode::Double:     return {8, 8};
        case TypeCode::Date:       return {8, 16};
        case TypeCode::DateNanos:  return {8, 16};
        case TypeCode::DateMillis: return {8, 16};
        case TypeCode::String:     return {2, 32};
        case TypeCode::Bytes:      return {1, 16};
        case TypeCode::Complex:    return {1, 16};
        case TypeCode::UUID:       return {1, 16};
        case TypeCode::BigDecimal: return {1, 16};
        case TypeCode::BigInteger: return {1, 16};
        default:                   return {0, 16};
    }
}
// clang-format on

// One typed scalar of a response. Codes 39 and 43 carry a nested table instead of a scalar.
class VariantValue {
public:
    using Value = std::variant<std::monostate, bool, std::int64_t, double, std::string>;

    VariantValue();
    // Throws "VariantValue: unsupported variant type <code>" for a code it cannot read (60 for
    // an empty view).
    explicit VariantValue(ByteView& in);
    VariantValue(VariantValue&&) noexcept;
    VariantValue& operator=(VariantValue&&) noexcept;
    ~VariantValue();

    std::uint8_t type = code_of(TypeCode::Null);
    Value value;
    std::unique_ptr<Table> table;
};

}  // namespace jdbc
}  // namespace tyx
