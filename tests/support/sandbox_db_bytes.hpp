// Test-side bytes of the database protocol: named appends to build requests by hand, and a
// tiny reader that renders response bodies as text so tests compare readable values. Written
// for the sandbox tests; it shares nothing with the sandbox's or the client's codecs.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tyx::test::dbbytes {

using Bytes = std::vector<std::uint8_t>;

struct Builder {
    Bytes b;
    Builder& u8(std::uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Builder& i16_be(std::int16_t v) { return be(static_cast<std::uint16_t>(v), 2); }
    Builder& i32_be(std::int32_t v) { return be(static_cast<std::uint32_t>(v), 4); }
    Builder& i64_be(std::int64_t v) { return be(static_cast<std::uint64_t>(v), 8); }
    Builder& f64_be(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        return be(bits, 8);
    }
    Builder& raw(std::string_view s) {
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    // The string form: 00 01 FF when empty, else a 2-byte length (texts here stay short).
    Builder& utf(std::string_view s) {
        if (s.empty()) return u8(0x00).u8(0x01).u8(0xFF);
        return be(s.size(), 2).raw(s);
    }
    Builder& typed_utf(std::string_view s) { return u8(20).utf(s); }
    // Prefixes the 4-byte length of what was built so far.
    Bytes framed() const {
        Builder out;
        out.i32_be(static_cast<std::int32_t>(b.size()));
        out.b.insert(out.b.end(), b.begin(), b.end());
        return out.b;
    }

private:
    template <typename U>
    Builder& be(U v, int n) {
        for (int i = n - 1; i >= 0; --i)
            b.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i)));
        return *this;
    }
};

// The login request of a client: version 2, entries password, username, timeout, limit.
inline Bytes login_request(std::string_view user, std::string_view password) {
    Builder r;
    r.u8(21).i32_be(3).u8(60);
    r.u8(11).u8(1);
    r.u8(23).i32_be(4).u8(20).u8(20);
    r.utf("password")
        .utf(password)
        .utf("username")
        .utf(user)
        .utf("timeout")
        .utf("30000")
        .utf("limit")
        .utf("10000");
    r.u8(14).i32_be(2);
    return r.framed();
}

inline Bytes query_request(std::string_view sql) {
    Builder r;
    r.u8(21).i32_be(2).u8(60).u8(11).u8(2).typed_utf(sql);
    return r.framed();
}

struct Reader {
    const Bytes& b;
    std::size_t p = 0;
    void need(std::size_t n) const {
        if (b.size() - p < n) throw std::runtime_error("test reader: truncated at " + std::to_string(p));
    }
    std::uint8_t u8() {
        need(1);
        return b[p++];
    }
    std::uint64_t be(int n) {
        need(static_cast<std::size_t>(n));
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i) v = v << 8 | b[p++];
        return v;
    }
    std::int16_t i16() { return static_cast<std::int16_t>(be(2)); }
    std::int32_t i32() { return static_cast<std::int32_t>(be(4)); }
    std::int64_t i64() { return static_cast<std::int64_t>(be(8)); }
    std::string take(std::size_t n) {
        need(n);
        std::string s(b.begin() + static_cast<std::ptrdiff_t>(p),
                      b.begin() + static_cast<std::ptrdiff_t>(p + n));
        p += n;
        return s;
    }
    std::string utf() {
        need(2);
        if (p + 3 <= b.size() && b[p] == 0 && b[p + 1] == 1 && b[p + 2] == 0xFF) {
            p += 3;
            return {};
        }
        return take(be(2));
    }
    std::int32_t compact() {
        auto v = static_cast<std::int8_t>(u8());
        return v == 127 ? i32() : v;
    }
    std::string hex(std::size_t n) {
        std::string out;
        char buf[3];
        for (auto c : take(n)) {
            std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(c));
            out += buf;
        }
        return out;
    }
};

struct Column {
    std::uint8_t type = 0;
    std::string name;
    bool nullable = false;
    std::vector<std::uint64_t> mask;
    std::vector<std::string> values;  // each value rendered as text
    bool is_null(std::size_t row) const {
        return row / 64 < mask.size() && (mask[row / 64] >> (row % 64) & 1);
    }
};

struct Element {
    int code = 0;
    std::string message;
    std::int64_t count = 0;
    std::string table_name;
    std::int32_t rows = 0;
    std::vector<Column> columns;
};

inline std::string render_double(double v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// Renders one column value: integers in decimal, floats shortest, strings as they are, byte
// strings and UUIDs in hex, complex as "re,im", BigDecimal as "scale:hex".
inline std::string read_value(Reader& r, std::uint8_t type) {
    switch (type) {
        case 10:
        case 11:
            return std::to_string(r.u8());
        case 12:
            return std::to_string(r.i16());
        case 13:
            return std::to_string(static_cast<std::uint16_t>(r.i16()));
        case 14:
        case 63:
            return std::to_string(r.i32());
        case 15: {
            auto bits = static_cast<std::uint32_t>(r.i32());
            float f;
            std::memcpy(&f, &bits, 4);
            return render_double(f);
        }
        case 16:
        case 30:
        case 34:
        case 35:
            return std::to_string(r.i64());
        case 17: {
            auto bits = static_cast<std::uint64_t>(r.i64());
            double d;
            std::memcpy(&d, &bits, 8);
            return render_double(d);
        }
        case 20:
            return r.utf();
        case 36: {
            if (r.u8() != 36) throw std::runtime_error("bytes type byte");
            return r.hex(static_cast<std::size_t>(r.i32()));
        }
        case 37: {
            if (r.u8() != 37) throw std::runtime_error("complex type byte");
            auto re = r.i64();
            return std::to_string(re) + "," + std::to_string(r.i64());
        }
        case 38: {
            if (r.u8() != 38) throw std::runtime_error("uuid type byte");
            return r.hex(16);
        }
        case 45: {
            if (r.u8() != 45) throw std::runtime_error("decimal type byte");
            auto scale = r.compact();
            return std::to_string(scale) + ":" + r.hex(static_cast<std::size_t>(r.compact()));
        }
        case 46: {
            if (r.u8() != 46) throw std::runtime_error("big integer type byte");
            return r.hex(static_cast<std::size_t>(r.compact()));
        }
        default:
            throw std::runtime_error("test reader: no form for type " + std::to_string(type));
    }
}

// Reads a whole query-result body; throws on anything unexpected, and on trailing bytes.
inline std::vector<Element> read_result(const Bytes& body) {
    Reader r{body};
    if (r.u8() != 21) throw std::runtime_error("result list byte");
    const auto n = r.i32();
    if (r.u8() != 60) throw std::runtime_error("result element type");
    std::vector<Element> out;
    for (std::int32_t i = 0; i < n; ++i) {
        Element e;
        if (r.u8() != 11) throw std::runtime_error("element byte");
        e.code = r.u8();
        if (e.code == 1) {
            if (r.u8() != 20) throw std::runtime_error("message type byte");
            e.message = r.utf();
        } else if (e.code == 3) {
            if (r.u8() != 16) throw std::runtime_error("count type byte");
            e.count = r.i64();
        } else if (e.code == 2) {
            if (r.u8() != 21 || r.i32() != 1 || r.u8() != 39) throw std::runtime_error("result set head");
            if (r.u8() != 20) throw std::runtime_error("table name type byte");
            e.table_name = r.utf();
            const auto cols = r.i16();
            e.rows = r.i32();
            for (int c = 0; c < cols; ++c) {
                Column col;
                col.type = r.u8();
                if (r.u8() != 20) throw std::runtime_error("column name type byte");
                col.name = r.utf();
                col.nullable = r.u8() != 0;
                if (col.nullable) {
                    const auto words = r.i32();
                    for (int w = 0; w < words; ++w) col.mask.push_back(static_cast<std::uint64_t>(r.i64()));
                }
                for (int row = 0; row < e.rows; ++row) col.values.push_back(read_value(r, col.type));
                e.columns.push_back(std::move(col));
            }
        } else {
            throw std::runtime_error("element code " + std::to_string(e.code));
        }
        out.push_back(std::move(e));
    }
    if (r.p != body.size()) throw std::runtime_error("trailing bytes in result");
    return out;
}

}  // namespace tyx::test::dbbytes
