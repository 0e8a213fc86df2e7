#include "jdbc/jdbc_values.hpp"

#include <cstdio>
#include <stdexcept>

#include "jdbc/jdbc_result.hpp"

namespace tyx {

namespace {

[[noreturn]] void throw_length(const char* reader, std::int64_t length, std::size_t remaining) {
    throw std::runtime_error(std::string(reader) + ": length " + std::to_string(length) + " exceeds the " +
                             std::to_string(remaining) + " remaining bytes");
}

// Reads a compact length or scale whose first byte is available. False when the 4-byte shape is
// cut short (its escape byte stays consumed).
bool read_compact(ByteView& in, std::int32_t& out) {
    const auto first = static_cast<std::int8_t>(in.take_u8());
    if (first != 127) {
        out = first;
        return true;
    }
    if (!in.has(4)) return false;
    out = in.take_be<std::int32_t>();
    return true;
}

// Copies a big-number value of a declared compact length; a negative or oversized length is
// malformed (no writer produces one).
std::vector<std::uint8_t> take_big_number(ByteView& in, std::int32_t length, const char* reader) {
    if (length < 0)
        throw std::runtime_error(std::string(reader) + ": negative length " + std::to_string(length));
    if (static_cast<std::size_t>(length) > in.size) throw_length(reader, length, in.size);
    std::vector<std::uint8_t> out(in.data, in.data + length);
    in.skip(static_cast<std::size_t>(length));
    return out;
}

// Reads the type byte of a self-typed field; false when the view is empty or the code differs.
bool take_type(ByteView& in, TypeCode expected) {
    if (in.empty()) return false;
    return in.take_u8() == code_of(expected);
}

// Magnitude (big-endian bytes) to decimal digits. Works on 32-bit limbs dividing by 10^9, so a
// pass over the number yields nine digits.
std::string magnitude_to_digits(const std::vector<std::uint8_t>& mag) {
    std::vector<std::uint32_t> limbs((mag.size() + 3) / 4, 0);
    for (std::size_t i = 0; i < mag.size(); ++i) {
        const std::size_t from_end = mag.size() - 1 - i;
        limbs[limbs.size() - 1 - from_end / 4] |= std::uint32_t{mag[i]} << (8 * (from_end % 4));
    }
    std::size_t first = 0;
    while (first < limbs.size() && limbs[first] == 0) ++first;
    if (first == limbs.size()) return "0";

    std::vector<std::uint32_t> chunks;  // base 10^9, least significant first
    while (first < limbs.size()) {
        std::uint64_t rem = 0;
        for (std::size_t i = first; i < limbs.size(); ++i) {
            const std::uint64_t cur = (rem << 32) | limbs[i];
            limbs[i] = static_cast<std::uint32_t>(cur / 1000000000u);
            rem = cur % 1000000000u;
        }
        chunks.push_back(static_cast<std::uint32_t>(rem));
        while (first < limbs.size() && limbs[first] == 0) ++first;
    }
    std::string digits = std::to_string(chunks.back());
    char buf[16];
    for (std::size_t i = chunks.size() - 1; i-- > 0;) {
        std::snprintf(buf, sizeof buf, "%09u", static_cast<unsigned>(chunks[i]));
        digits += buf;
    }
    return digits;
}

constexpr std::int64_t kMaxPaddingZeros = 4096;
constexpr std::size_t kMaxDecimalBytes = 4096;  // about 9,860 digits

}  // namespace

void append_instruction_as_variant_type(ByteVector& out, std::uint8_t number) {
    append_u8(out, code_of(TypeCode::Byte));
    append_u8(out, number);
}

void append_list(ByteVector& out, std::span<const jdbc::StringView> strings) {
    append_u8(out, code_of(TypeCode::List));
    append_be<std::uint32_t>(out, static_cast<std::uint32_t>(strings.size()));
    append_u8(out, code_of(TypeCode::String));
    for (auto s : strings) append_utf_string(out, s);
}

void append_map_without_type(ByteVector& out,
                             std::span<const std::pair<jdbc::StringView, jdbc::StringView>> pairs) {
    append_be<std::uint32_t>(out, static_cast<std::uint32_t>(pairs.size()));
    append_u8(out, code_of(TypeCode::String));
    append_u8(out, code_of(TypeCode::String));
    for (const auto& [key, value] : pairs) {
        append_utf_string(out, key);
        append_utf_string(out, value);
    }
}

void append_compact_length(ByteVector& out, std::int32_t n) {
    // 127 is the escape, so 126 is the largest one-byte length.
    if (n > 126) {
        append_u8(out, 127);
        append_be<std::int32_t>(out, n);
    } else {
        append_u8(out, static_cast<std::uint8_t>(n));
    }
}

std::string_view read_string_form(ByteView& in) {
    if (!in.has(3)) return {};
    const std::uint8_t* p = in.data;
    // A 2-byte length of 1 followed by FF or 80 is never a real one-byte text: those are escapes.
    if (p[0] == 0x00 && p[1] == 0x01) {
        if (p[2] == 0xFF) {
            in.skip(3);
            return {};
        }
        if (p[2] == 0x80) {
            if (!in.has(7)) return {};
            const std::uint32_t length = load_be<std::uint32_t>(p + 3);
            if (length > in.size - 7) throw_length("StringField", length, in.size - 7);
            in.skip(7);
            return in.take_text(length);
        }
    }
    const std::uint16_t length = load_be<std::uint16_t>(p);
    if (length > in.size - 2) throw_length("StringField", length, in.size - 2);
    in.skip(2);
    return in.take_text(length);
}

StringField::StringField(ByteView& in, bool typed) {
    if (typed) {
        if (in.empty() || in.take_u8() != code_of(TypeCode::String)) return;
    }
    text = read_string_form(in);
}

NullMaskField::NullMaskField(ByteView& in, AllowNullEnum allow_null) : allow(allow_null) {
    if (allow == AllowNullEnum::NotAllowed || !in.has(4)) return;
    const auto count = in.take_be<std::int32_t>();
    if (count <= 0) return;
    if (static_cast<std::size_t>(count) > in.size / 8) {
        throw std::runtime_error("NullMaskField: " + std::to_string(count) + " words exceed the " +
                                 std::to_string(in.size) + " remaining bytes");
    }
    words.resize(static_cast<std::size_t>(count));
    for (auto& w : words) w = in.take_be<std::uint64_t>();
}

BigDecimalField::BigDecimalField(ByteView& in, bool /*typed*/) {
    if (!take_type(in, TypeCode::BigDecimal) || in.empty()) return;
    std::int32_t s = 0;
    if (!read_compact(in, s)) return;
    scale = s;
    if (in.empty()) return;
    std::int32_t length = 0;
    if (!read_compact(in, length)) return;
    bytes = take_big_number(in, length, "BigDecimalField");
}

std::string BigDecimalField::to_string() const {
    if (bytes.empty()) return "0";
    if (bytes.size() > kMaxDecimalBytes) {
        throw std::runtime_error("BigDecimalField: unscaled value of " + std::to_string(bytes.size()) +
                                 " bytes exceeds the " + std::to_string(kMaxDecimalBytes) + "-byte limit");
    }
    const bool negative = (bytes[0] & 0x80) != 0;
    std::vector<std::uint8_t> mag = bytes;
    if (negative) {
        unsigned carry = 1;
        for (std::size_t i = mag.size(); i-- > 0;) {
            const unsigned v = static_cast<std::uint8_t>(~mag[i]) + carry;
            mag[i] = static_cast<std::uint8_t>(v);
            carry = v >> 8;
        }
    }
    std::string digits = magnitude_to_digits(mag);
    const std::int64_t s = scale;
    const auto length = static_cast<std::int64_t>(digits.size());
    std::string text;
    if (s > 0 && s < length) {
        text = digits.substr(0, static_cast<std::size_t>(length - s)) + "." +
               digits.substr(static_cast<std::size_t>(length - s));
    } else if (s > 0) {
        if (s - length > kMaxPaddingZeros) {
            text = digits + "E-" + std::to_string(s);
        } else {
            text = "0." + std::string(static_cast<std::size_t>(s - length), '0') + digits;
        }
    } else if (s < 0 && digits != "0") {
        if (-s > kMaxPaddingZeros) {
            text = digits + "E+" + std::to_string(-s);
        } else {
            text = digits + std::string(static_cast<std::size_t>(-s), '0');
        }
    } else {
        text = std::move(digits);
    }
    return negative ? "-" + text : text;
}

BigIntegerField::BigIntegerField(ByteView& in, bool /*typed*/) {
    if (!take_type(in, TypeCode::BigInteger) || in.empty()) return;
    std::int32_t length = 0;
    if (!read_compact(in, length)) return;
    bytes = take_big_number(in, length, "BigIntegerField");
}

void BigIntegerField::append_value(ByteVector& out, std::span<const std::uint8_t> value) {
    append_compact_length(out, static_cast<std::int32_t>(value.size()));
    append_bytes(out, value.data(), value.size());
}

ComplexField::ComplexField(ByteView& in, bool /*typed*/) {
    if (!take_type(in, TypeCode::Complex) || !in.has(8)) return;
    real = static_cast<double>(in.take_be<std::int64_t>());
    if (in.has(8)) imag = static_cast<double>(in.take_be<std::int64_t>());
}

UUIDField::UUIDField(ByteView& in, bool /*typed*/) {
    if (!take_type(in, TypeCode::UUID) || !in.has(8)) return;
    most = in.take_be<std::uint64_t>();
    if (in.has(8)) least = in.take_be<std::uint64_t>();
}

std::string UUIDField::to_string() const {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(most >> 32),
                  static_cast<unsigned>((most >> 16) & 0xFFFF), static_cast<unsigned>(most & 0xFFFF),
                  static_cast<unsigned>(least >> 48),
                  static_cast<unsigned long long>(least & 0xFFFFFFFFFFFFull));
    return std::string(buf, 36);
}

BytesField::BytesField(ByteView& in, bool /*typed*/) {
    if (!in.has(5)) return;
    if (in.take_u8() != code_of(TypeCode::Bytes)) return;
    const auto length = in.take_be<std::int32_t>();
    if (length <= 0) return;
    if (static_cast<std::size_t>(length) > in.size) throw_length("BytesField", length, in.size);
    bytes.assign(in.data, in.data + length);
    in.skip(static_cast<std::size_t>(length));
}

namespace jdbc {

VariantValue::VariantValue() = default;
VariantValue::VariantValue(VariantValue&&) noexcept = default;
VariantValue& VariantValue::operator=(VariantValue&&) noexcept = default;
VariantValue::~VariantValue() = default;

VariantValue::VariantValue(ByteView& in) {
    if (in.empty()) {
        type = code_of(TypeCode::Undefined);
        throw std::runtime_error("VariantValue: unsupported variant type " + std::to_string(type));
    }
    type = in.take_u8();
    switch (static_cast<TypeCode>(type)) {
        case TypeCode::Boolean:
            value = in.empty() ? false : in.take_u8() != 0;
            break;
        case TypeCode::Byte:  // unsigned 0..255, not sign-extended
            value = std::int64_t{in.empty() ? std::uint8_t{0} : in.take_u8()};
            break;
        case TypeCode::Short:
            value = std::int64_t{in.has(2) ? in.take_be<std::int16_t>() : std::int16_t{0}};
            break;
        case TypeCode::Integer:
            value = std::int64_t{in.has(4) ? in.take_be<std::int32_t>() : 0};
            break;
        case TypeCode::Float:
            value = in.has(4) ? static_cast<double>(in.take_be<float>()) : 0.0;
            break;
        case TypeCode::Long:
            value = in.has(8) ? in.take_be<std::int64_t>() : std::int64_t{0};
            break;
        case TypeCode::Double:
            value = in.has(8) ? in.take_be<double>() : 0.0;
            break;
        case TypeCode::String:
            value = std::string(read_string_form(in));
            break;
        case TypeCode::Null:
            break;
        case TypeCode::TableColumnar:
        case TypeCode::Table:
            table = std::make_unique<Table>(in);
            break;
        default:
            throw std::runtime_error("VariantValue: unsupported variant type " + std::to_string(type));
    }
}

}  // namespace jdbc
}  // namespace tyx
