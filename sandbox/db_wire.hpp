// The sandbox database's own byte forms: big-endian writers, the string form, the compact length,
// and a reader that refuses to move past its input. Pure functions; no sockets. Kept apart from
// the client's codecs on purpose, so that each side checks the other.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tyx::sandbox {

using Bytes = std::vector<std::uint8_t>;

// Type codes the sandbox database reads or writes.
namespace code {
inline constexpr std::uint8_t Boolean = 10, Byte = 11, Short = 12, Character = 13, Integer = 14, Float = 15,
                              Long = 16, Double = 17, String = 20, List = 21, Map = 23, Date = 30,
                              DateNanos = 34, DateMillis = 35, BytesCode = 36, Complex = 37, UUID = 38,
                              TableColumnar = 39, Table = 43, BigDecimal = 45, BigInteger = 46, Null = 52,
                              Undefined = 60, DatePart = 63;
}

// The name of a type code ("Custom" for codes without one), and the code of a name (-1 when
// the name is not one of the table's, or is "Custom"). Names match exactly, case included.
std::string_view type_code_name(std::uint8_t type);
int type_code_of(std::string_view name);

// Thrown for input that does not follow the protocol; the server closes that connection.
struct MalformedInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void put_u8(Bytes& out, std::uint8_t v);
void put_i16(Bytes& out, std::int16_t v);
void put_i32(Bytes& out, std::int32_t v);
void put_i64(Bytes& out, std::int64_t v);
void put_f32(Bytes& out, float v);
void put_f64(Bytes& out, double v);
void put_raw(Bytes& out, const void* data, std::size_t size);
// The string form: 00 01 FF for empty, a 2-byte length up to 65535, else 00 01 80 + 4-byte length.
void put_string(Bytes& out, std::string_view text);
// One byte for 0..126, else 127 and a 4-byte value.
void put_compact(Bytes& out, std::int32_t v);

class WireReader {
public:
    WireReader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
    explicit WireReader(const Bytes& b) : WireReader(b.data(), b.size()) {}

    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
    bool empty() const { return p_ == end_; }
    const std::uint8_t* position() const { return p_; }

    std::uint8_t u8();
    std::int16_t i16();
    std::uint16_t u16();
    std::int32_t i32();
    std::int64_t i64();
    float f32();
    double f64();
    std::string_view raw(std::size_t n);
    std::string_view string();
    std::int32_t compact();
    // Reads a byte and fails unless it is `type`.
    void expect(std::uint8_t type, const char* what);

private:
    void need(std::size_t n) const {
        if (remaining() < n) throw MalformedInput("truncated input");
    }
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

}  // namespace tyx::sandbox
