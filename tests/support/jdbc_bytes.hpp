// Readable byte builders and hex dumps for database-protocol tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "core/byte_buffer.hpp"
#include "core/type_codes.hpp"

namespace tyx::test {

// Appends protocol values by name: JdbcBytes().u8(0x0B).u8(3).i64(5).
struct JdbcBytes {
    ByteVector bytes;

    JdbcBytes& u8(std::uint8_t v) { return append_raw(v); }
    JdbcBytes& code(TypeCode c) { return u8(code_of(c)); }
    JdbcBytes& i16(std::int16_t v) { return be(v); }
    JdbcBytes& u16(std::uint16_t v) { return be(v); }
    JdbcBytes& i32(std::int32_t v) { return be(v); }
    JdbcBytes& u32(std::uint32_t v) { return be(v); }
    JdbcBytes& i64(std::int64_t v) { return be(v); }
    JdbcBytes& u64(std::uint64_t v) { return be(v); }
    JdbcBytes& f32(float v) { return be(v); }
    JdbcBytes& f64(double v) { return be(v); }
    JdbcBytes& raw(std::initializer_list<std::uint8_t> b) {
        bytes.insert(bytes.end(), b);
        return *this;
    }
    JdbcBytes& raw(std::string_view text) {
        append_bytes(bytes, text);
        return *this;
    }
    JdbcBytes& raw(const ByteVector& b) {
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
    JdbcBytes& utf(std::string_view text) {  // untyped string form
        append_utf_string(bytes, text);
        return *this;
    }
    JdbcBytes& str(std::string_view text) { return code(TypeCode::String).utf(text); }  // typed
    // Column header: type, typed name, nullable byte 0 (no mask).
    JdbcBytes& column(TypeCode type, std::string_view name) { return code(type).str(name).u8(0); }
    // Table header without a leading type byte: typed name, column count, row count.
    JdbcBytes& table(std::string_view name, std::int16_t columns, std::int32_t rows) {
        return str(name).i16(columns).i32(rows);
    }
    // Result header: list code, element count, element type.
    JdbcBytes& result_head(std::int32_t count) {
        return code(TypeCode::List).i32(count).code(TypeCode::Undefined);
    }
    // Element with a result set of one table follows: 0B 02, 15 00000001 27.
    JdbcBytes& result_set_head(std::int32_t tables) {
        return raw({0x0B, 0x02}).code(TypeCode::List).i32(tables).code(TypeCode::TableColumnar);
    }

    template <typename T>
    JdbcBytes& be(T v) {
        append_be(bytes, v);
        return *this;
    }
    JdbcBytes& append_raw(std::uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    operator ByteVector() const { return bytes; }  // NOLINT: builders read best without a call
};

// A response frame: the body length, the body, and the one byte more the protocol sends.
inline ByteVector jdbc_frame(const ByteVector& body) {
    JdbcBytes f;
    f.u32(static_cast<std::uint32_t>(body.size())).raw(body).u8(0);
    return f;
}

inline std::string jdbc_hex(const ByteVector& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i) s += ' ';
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

// A heap copy of exactly n bytes, so AddressSanitizer reports any read one past the end.
struct ExactBytes {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size;
    ExactBytes(const std::uint8_t* p, std::size_t n) : data(new std::uint8_t[n == 0 ? 1 : n]), size(n) {
        if (n) std::memcpy(data.get(), p, n);
    }
    ByteView view() const { return ByteView(size ? data.get() : nullptr, size); }
};

}  // namespace tyx::test
