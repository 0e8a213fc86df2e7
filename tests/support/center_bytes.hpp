// Readable builders for center protocol bytes in tests, benchmarks and fuzz seeds. Written
// independently of the library's codec (own VID arithmetic, own string forms) so the two can be
// checked against each other.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace tyx::test {

class CenterBytes {
public:
    CenterBytes& u8(std::uint8_t v) {
        bytes_.push_back(v);
        return *this;
    }
    CenterBytes& u16_be(std::uint16_t v) { return be(v, 2); }
    CenterBytes& i16_be(std::int16_t v) { return be(static_cast<std::uint16_t>(v), 2); }
    CenterBytes& u32_be(std::uint32_t v) { return be(v, 4); }
    CenterBytes& i32_be(std::int32_t v) { return be(static_cast<std::uint32_t>(v), 4); }
    CenterBytes& i64_be(std::int64_t v) { return be(static_cast<std::uint64_t>(v), 8); }
    CenterBytes& u64_be(std::uint64_t v) { return be(v, 8); }
    CenterBytes& f32_be(float v) {
        std::uint32_t bits;
        std::memcpy(&bits, &v, 4);
        return be(bits, 4);
    }
    CenterBytes& f64_be(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        return be(bits, 8);
    }
    // Bytes as they are, without a length.
    CenterBytes& raw(std::string_view text) {
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        return *this;
    }
    CenterBytes& raw(const std::vector<std::uint8_t>& b) {
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        return *this;
    }
    CenterBytes& raw(const CenterBytes& b) { return raw(b.bytes_); }
    CenterBytes& zeros(std::size_t n) {
        bytes_.resize(bytes_.size() + n, 0);
        return *this;
    }

    // The protocol string forms: 00 01 FF for "", a 2-byte length up to 65535, else 00 01 80 and
    // a 4-byte length.
    CenterBytes& utf(std::string_view text) {
        if (text.empty()) return u8(0x00).u8(0x01).u8(0xFF);
        if (text.size() > 65535)
            return u8(0x00).u8(0x01).u8(0x80).u32_be(static_cast<std::uint32_t>(text.size())).raw(text);
        return u16_be(static_cast<std::uint16_t>(text.size())).raw(text);
    }

    // A VID string as its 8-byte wire value: base-38 digits, times 38^4, plus 38^4 + 1.
    CenterBytes& vid(std::string_view name) { return i64_be(vid_value(name)); }
    static std::int64_t vid_value(std::string_view name) {
        std::uint64_t n = 0;
        for (char c : name) {
            const unsigned d = c == '.' ? 36u : (c <= '9' ? unsigned(c - '0') : unsigned(c - 'A') + 10u);
            n = n * 38 + d;
        }
        const std::uint64_t p4 = 38ull * 38 * 38 * 38;
        return static_cast<std::int64_t>(n * p4 + p4 + 1);
    }

    // Message pieces.
    CenterBytes& preamble(std::string_view vid_name, std::uint8_t encoding) {
        return u8(0).u8(0x29).vid(vid_name).u8(encoding);
    }
    CenterBytes& named(std::string_view name, std::uint8_t type) {
        return u16_be(static_cast<std::uint16_t>(name.size())).raw(name).u8(type);
    }
    CenterBytes& pid(std::uint8_t p, std::uint8_t type) { return u8(p).u8(type); }
    CenterBytes& end_named() { return u16_be(0); }
    CenterBytes& end_positional() { return u8(0xFF); }
    // A byte-array value: 4-byte length and the contents.
    CenterBytes& byte_array(const CenterBytes& content) {
        return u32_be(static_cast<std::uint32_t>(content.size())).raw(content);
    }
    // One entity: 4-byte size (type key plus payload), 2-byte type key, the payload.
    CenterBytes& entity(std::int16_t type_key, const CenterBytes& payload) {
        return i32_be(static_cast<std::int32_t>(payload.size() + 2)).i16_be(type_key).raw(payload);
    }

    // The bytes with the 8-byte frame header in front.
    std::vector<std::uint8_t> framed() const {
        CenterBytes f;
        f.u32_be(0).u32_be(static_cast<std::uint32_t>(bytes_.size())).raw(bytes_);
        return f.bytes_;
    }

    const std::vector<std::uint8_t>& data() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }

private:
    CenterBytes& be(std::uint64_t v, int width) {
        for (int i = width - 1; i >= 0; --i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }

    std::vector<std::uint8_t> bytes_;
};

// Hex text of a buffer, for failure messages.
inline std::string hex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

}  // namespace tyx::test
