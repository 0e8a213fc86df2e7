#include "jdbc/jdbc_result.hpp"

#include <algorithm>
#include <compare>
#include <iterator>
#include <stdexcept>

namespace tyx::jdbc {

namespace {

// Smallest byte counts a well-formed item can occupy. They bound every declared count against
// the bytes left before anything is reserved, so a few bad bytes cannot demand gigabytes.
constexpr std::size_t kMinTableBytes = 9;   // 20 + 2-byte name length + column count + row count
constexpr std::size_t kMinColumnBytes = 5;  // type + 20 + 2-byte name length + nullable

// Walks big-endian values in place, so a vector is built from them in one pass with no zero fill.
template <typename T>
class BigEndianIterator {
public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = T;

    explicit BigEndianIterator(const std::uint8_t* p) : p_(p) {}
    T operator*() const { return load_be<T>(p_); }
    T operator[](difference_type n) const { return load_be<T>(p_ + n * difference_type{sizeof(T)}); }
    BigEndianIterator& operator++() {
        p_ += sizeof(T);
        return *this;
    }
    BigEndianIterator operator++(int) {
        auto old = *this;
        ++*this;
        return old;
    }
    BigEndianIterator& operator--() {
        p_ -= sizeof(T);
        return *this;
    }
    BigEndianIterator operator--(int) {
        auto old = *this;
        --*this;
        return old;
    }
    BigEndianIterator& operator+=(difference_type n) {
        p_ += n * difference_type{sizeof(T)};
        return *this;
    }
    BigEndianIterator& operator-=(difference_type n) { return *this += -n; }
    friend BigEndianIterator operator+(BigEndianIterator i, difference_type n) { return i += n; }
    friend BigEndianIterator operator+(difference_type n, BigEndianIterator i) { return i += n; }
    friend BigEndianIterator operator-(BigEndianIterator i, difference_type n) { return i -= n; }
    friend difference_type operator-(BigEndianIterator a, BigEndianIterator b) {
        return (a.p_ - b.p_) / difference_type{sizeof(T)};
    }
    friend auto operator<=>(BigEndianIterator a, BigEndianIterator b) = default;

private:
    const std::uint8_t* p_;
};

// Reads `rows` big-endian values. The caller has checked that they are all there.
template <typename T>
std::vector<T> read_fixed(ByteView& in, std::size_t rows) {
    const BigEndianIterator<T> first(in.data);
    std::vector<T> out(first, first + static_cast<std::ptrdiff_t>(rows));
    in.skip(rows * sizeof(T));
    return out;
}

// String column: the short form is decoded inline; escapes and the long form go to the reader.
// The position lives in locals: the view is written back once, since character stores into the
// strings could otherwise alias it and force a reload per row.
std::vector<std::string> read_strings(ByteView& in, std::size_t rows) {
    std::vector<std::string> out;
    out.reserve(rows);
    const std::uint8_t* p = in.data;
    const std::uint8_t* const end = in.data + in.size;
    for (std::size_t i = 0; i < rows; ++i) {
        const auto left = static_cast<std::size_t>(end - p);
        if (left >= 3 && !(p[0] == 0x00 && p[1] == 0x01 && (p[2] == 0xFF || p[2] == 0x80))) {
            const std::size_t length = std::size_t{p[0]} << 8 | p[1];
            if (length <= left - 2) {
                out.emplace_back(reinterpret_cast<const char*>(p + 2), length);
                p += 2 + length;
                continue;
            }
        }
        ByteView rest(p, left);
        out.emplace_back(read_string_form(rest));
        p = rest.data;
    }
    in.skip(static_cast<std::size_t>(p - in.data));
    return out;
}

template <typename Fn>
auto read_each(std::size_t rows, Fn&& read_one) {
    std::vector<decltype(read_one())> out;
    out.reserve(rows);
    for (std::size_t i = 0; i < rows; ++i) out.push_back(read_one());
    return out;
}

ColumnValues read_values(ByteView& in, std::uint8_t type, std::size_t rows) {
    switch (static_cast<TypeCode>(type)) {
        case TypeCode::Boolean: {
            std::vector<std::uint8_t> out(in.data, in.data + rows);
            for (auto& b : out) b = b != 0 ? 1 : 0;
            in.skip(rows);
            return out;
        }
        case TypeCode::Byte:
            return read_fixed<std::uint8_t>(in, rows);
        case TypeCode::Short:
            return read_fixed<std::int16_t>(in, rows);
        case TypeCode::Character:
            return read_fixed<std::uint16_t>(in, rows);
        case TypeCode::Integer:
        case TypeCode::DatePart:
            return read_fixed<std::int32_t>(in, rows);
        case TypeCode::Float:
            return read_fixed<float>(in, rows);
        case TypeCode::Long:
        case TypeCode::Date:
        case TypeCode::DateNanos:
        case TypeCode::DateMillis:
            return read_fixed<std::int64_t>(in, rows);
        case TypeCode::Double:
            return read_fixed<double>(in, rows);
        case TypeCode::String:
            return read_strings(in, rows);
        case TypeCode::Bytes:
            return read_each(rows, [&] { return BytesField(in, true).bytes; });
        case TypeCode::Complex:
            return read_each(rows, [&] {
                const ComplexField c(in, true);
                return std::complex<double>(c.real, c.imag);
            });
        case TypeCode::UUID:
            return read_each(rows, [&] { return UUIDField(in, true).to_string(); });
        case TypeCode::BigDecimal:
            return read_each(rows, [&] { return BigDecimalField(in, true).to_string(); });
        case TypeCode::BigInteger:
            return read_each(rows, [&] { return BigIntegerField(in, true).bytes; });
        default:
            return std::vector<char>{};
    }
}

JdbcColumn read_column(ByteView& in, std::int32_t rows, std::vector<std::string>& errors) {
    JdbcColumn c;
    c.row_count = rows;
    c.type = in.empty() ? code_of(TypeCode::Undefined) : in.take_u8();
    c.name = StringField(in, true).text;
    c.nullable = !in.empty() && in.take_u8() != 0;
    c.allow_null = c.nullable ? AllowNullEnum::Allowed : AllowNullEnum::NotAllowed;
    c.null_mask = NullMaskField(in, c.allow_null).words;

    const std::size_t width = value_width(c.type).least;
    if (width == 0) {
        // Not fatal: the next column starts where this one's values would have.
        errors.push_back("Unsupported column type: " + std::to_string(c.type));
        return c;
    }
    const auto n = static_cast<std::size_t>(rows);
    if (n > in.size / width) {
        throw std::runtime_error("Table: " + std::to_string(rows) + " rows of column '" + c.name +
                                 "' exceed the " + std::to_string(in.size) + " remaining bytes");
    }
    c.values = read_values(in, c.type, n);
    return c;
}

}  // namespace

Table::Table(ByteView& in) {
    name = StringField(in, true).text;
    if (!in.has(2)) return;
    column_count = in.take_be<std::int16_t>();
    if (in.has(4)) row_count = in.take_be<std::int32_t>();
    if (column_count < 0)
        throw std::runtime_error("Table: negative column count " + std::to_string(column_count));
    if (row_count < 0) throw std::runtime_error("Table: negative row count " + std::to_string(row_count));
    if (static_cast<std::size_t>(column_count) > in.size / kMinColumnBytes) {
        throw std::runtime_error("Table: " + std::to_string(column_count) + " columns exceed the " +
                                 std::to_string(in.size) + " remaining bytes");
    }
    columns.reserve(static_cast<std::size_t>(column_count));
    for (std::int16_t i = 0; i < column_count; ++i) columns.push_back(read_column(in, row_count, errors));
}

ResultSet::ResultSet(ByteView& in) {
    if (!in.empty()) type = in.take_u8();
    if (in.has(4)) count = in.take_be<std::int32_t>();
    if (!in.empty()) {
        element_type = in.take_u8();
        if (element_type != code_of(TypeCode::TableColumnar) && element_type != code_of(TypeCode::Table) &&
            element_type != code_of(TypeCode::Undefined)) {
            throw std::runtime_error("Expected TableColumnar or Table type in ResultSet");
        }
    }
    if (count < 0) throw std::runtime_error("ResultSet: negative table count " + std::to_string(count));
    if (static_cast<std::size_t>(count) > in.size / kMinTableBytes) {
        throw std::runtime_error("ResultSet: " + std::to_string(count) + " tables exceed the " +
                                 std::to_string(in.size) + " remaining bytes");
    }
    tables.reserve(static_cast<std::size_t>(count));
    for (std::int32_t i = 0; i < count; ++i) tables.emplace_back(in);
}

QueryResultElement::QueryResultElement(ByteView& in) {
    auto fail = [this](std::uint8_t bad) {
        error_text = "unsupported code in QueryResultElement: " + std::to_string(bad);
        throw std::runtime_error(error_text);
    };
    // Every element is introduced by a typed Byte: 11, then the element code.
    if (in.empty() || in.take_u8() != code_of(TypeCode::Byte) || in.empty()) fail(0);
    code = in.take_u8();
    switch (static_cast<ElementCode>(code)) {
        case ElementCode::Message:
            message = StringField(in, true);
            break;
        case ElementCode::ResultSet:
            result_set = std::make_unique<ResultSet>(in);
            break;
        case ElementCode::Count: {
            std::int64_t n = 0;
            if (!in.empty() && in.take_u8() == code_of(TypeCode::Long) && in.has(8))
                n = in.take_be<std::int64_t>();
            count = n;
            break;
        }
        case ElementCode::Value:
            value = std::make_unique<VariantValue>(in);
            break;
        case ElementCode::ValueList: {
            if (!in.empty()) in.take_u8();  // list type byte
            std::int32_t n = 0;
            if (in.has(4)) {
                n = in.take_be<std::int32_t>();
                if (!in.empty()) in.take_u8();  // element type byte: each value carries its own
            } else if (!in.empty()) {
                in.take_u8();
            }
            if (n <= 0) break;
            // Each value takes at least its type byte.
            if (static_cast<std::size_t>(n) > in.size) {
                throw std::runtime_error("QueryResultElement: " + std::to_string(n) + " values exceed the " +
                                         std::to_string(in.size) + " remaining bytes");
            }
            values.reserve(static_cast<std::size_t>(n));
            for (std::int32_t i = 0; i < n; ++i) values.emplace_back(in);
            break;
        }
        default:
            fail(code);
    }
}

QueryResult::QueryResult(ByteView& in) {
    if (in.empty()) return;
    type = in.take_u8();
    if (in.has(4)) count = in.take_be<std::int32_t>();
    if (!in.empty()) element_type = in.take_u8();
    if (count < 0) throw std::runtime_error("QueryResult: negative element count " + std::to_string(count));
    // The count only sizes the reservation; every element takes at least two bytes.
    elements.reserve(std::min(static_cast<std::size_t>(count), in.size / 2));
    while (!in.empty()) elements.emplace_back(in);
}

}  // namespace tyx::jdbc
