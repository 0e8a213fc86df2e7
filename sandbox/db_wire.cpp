#include "db_wire.hpp"

#include <bit>
#include <iterator>

namespace tyx::sandbox {

namespace {

constexpr const char* kTypeNames[110] = {"PrimitiveBoolean",
                                         "PrimitiveByte",
                                         "PrimitiveShort",
                                         "PrimitiveChar",
                                         "PrimitiveInt",
                                         "PrimitiveFloat",
                                         "PrimitiveLong",
                                         "PrimitiveDouble",
                                         "PrimitiveObject",
                                         "PrimitiveVoid",
                                         "Boolean",
                                         "Byte",
                                         "Short",
                                         "Character",
                                         "Integer",
                                         "Float",
                                         "Long",
                                         "Double",
                                         "Object",
                                         "Void",
                                         "String",
                                         "List",
                                         "Set",
                                         "Map",
                                         "Password",
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         "Date",
                                         "Day",
                                         "DayTime",
                                         "TimeZone",
                                         "DateNanos",
                                         "DateMillis",
                                         "Bytes",
                                         "Complex",
                                         "UUID",
                                         "TableColumnar",
                                         "Ideable",
                                         "Message",
                                         "MapMessage",
                                         "Table",
                                         "FixPoint",
                                         "BigDecimal",
                                         "BigInteger",
                                         "ValuedEnum",
                                         "PersistableMap",
                                         "PersistableList",
                                         "PersistableSet",
                                         "Class",
                                         "Null",
                                         "Throwable",
                                         "Enum",
                                         "Tuple",
                                         "Array",
                                         "StringArray",
                                         "ByteArrayArray",
                                         "StringBuilder",
                                         "Undefined",
                                         nullptr,
                                         "ColorGradient",
                                         "DatePart",
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         "LongKeyMap",
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         "PrimitiveByteArray",
                                         nullptr,
                                         nullptr,
                                         "PrimitiveIntArray",
                                         nullptr,
                                         "PrimitiveLongArray",
                                         "PrimitiveCharArray",
                                         "PrimitiveDoubleArray",
                                         "PrimitiveFloatArray"};

template <typename U>
void put_be(Bytes& out, U v) {
    std::uint8_t b[sizeof(U)];
    for (std::size_t i = 0; i < sizeof(U); ++i)
        b[i] = static_cast<std::uint8_t>(v >> (8 * (sizeof(U) - 1 - i)));
    out.insert(out.end(), b, b + sizeof(U));
}

template <typename U>
U get_be(const std::uint8_t* p) {
    U v = 0;
    for (std::size_t i = 0; i < sizeof(U); ++i) v = static_cast<U>((v << 8) | p[i]);
    return v;
}

}  // namespace

std::string_view type_code_name(std::uint8_t type) {
    if (type >= std::size(kTypeNames) || kTypeNames[type] == nullptr) return "Custom";
    return kTypeNames[type];
}

int type_code_of(std::string_view name) {
    for (std::size_t i = 0; i < std::size(kTypeNames); ++i)
        if (kTypeNames[i] != nullptr && name == kTypeNames[i]) return static_cast<int>(i);
    return -1;
}

void put_u8(Bytes& out, std::uint8_t v) {
    out.push_back(v);
}
void put_i16(Bytes& out, std::int16_t v) {
    put_be(out, static_cast<std::uint16_t>(v));
}
void put_i32(Bytes& out, std::int32_t v) {
    put_be(out, static_cast<std::uint32_t>(v));
}
void put_i64(Bytes& out, std::int64_t v) {
    put_be(out, static_cast<std::uint64_t>(v));
}
void put_f32(Bytes& out, float v) {
    put_be(out, std::bit_cast<std::uint32_t>(v));
}
void put_f64(Bytes& out, double v) {
    put_be(out, std::bit_cast<std::uint64_t>(v));
}

void put_raw(Bytes& out, const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), p, p + size);
}

void put_string(Bytes& out, std::string_view text) {
    if (text.empty()) {
        out.insert(out.end(), {0x00, 0x01, 0xFF});
    } else if (text.size() <= 65535) {
        put_be(out, static_cast<std::uint16_t>(text.size()));
        put_raw(out, text.data(), text.size());
    } else {
        out.insert(out.end(), {0x00, 0x01, 0x80});
        put_i32(out, static_cast<std::int32_t>(text.size()));
        put_raw(out, text.data(), text.size());
    }
}

void put_compact(Bytes& out, std::int32_t v) {
    if (v >= -128 && v <= 126) {
        put_u8(out, static_cast<std::uint8_t>(v));
    } else {
        put_u8(out, 127);
        put_i32(out, v);
    }
}

std::uint8_t WireReader::u8() {
    need(1);
    return *p_++;
}

std::int16_t WireReader::i16() {
    return static_cast<std::int16_t>(u16());
}

std::uint16_t WireReader::u16() {
    need(2);
    auto v = get_be<std::uint16_t>(p_);
    p_ += 2;
    return v;
}

std::int32_t WireReader::i32() {
    need(4);
    auto v = get_be<std::uint32_t>(p_);
    p_ += 4;
    return static_cast<std::int32_t>(v);
}

std::int64_t WireReader::i64() {
    need(8);
    auto v = get_be<std::uint64_t>(p_);
    p_ += 8;
    return static_cast<std::int64_t>(v);
}

float WireReader::f32() {
    return std::bit_cast<float>(static_cast<std::uint32_t>(i32()));
}
double WireReader::f64() {
    return std::bit_cast<double>(static_cast<std::uint64_t>(i64()));
}

std::string_view WireReader::raw(std::size_t n) {
    need(n);
    std::string_view v(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return v;
}

std::string_view WireReader::string() {
    need(2);
    const bool escape = remaining() >= 3 && p_[0] == 0x00 && p_[1] == 0x01;
    if (escape && p_[2] == 0xFF) {
        p_ += 3;
        return {};
    }
    if (escape && p_[2] == 0x80) {
        p_ += 3;
        auto n = i32();
        if (n < 0) throw MalformedInput("negative string length");
        return raw(static_cast<std::size_t>(n));
    }
    return raw(u16());
}

std::int32_t WireReader::compact() {
    auto b = static_cast<std::int8_t>(u8());
    return b == 127 ? i32() : b;
}

void WireReader::expect(std::uint8_t type, const char* what) {
    if (u8() != type) throw MalformedInput(std::string("expected ") + what);
}

}  // namespace tyx::sandbox
