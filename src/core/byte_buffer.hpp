// Big-endian writers over a growable byte vector, a bounds-checked reading view, and the
// string form shared by the center and database protocols. Pure functions; no sockets.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tyx {

namespace detail {
template <typename U>
constexpr U byteswap(U v) {
    if constexpr (sizeof(U) == 2) return __builtin_bswap16(v);
    else if constexpr (sizeof(U) == 4) return __builtin_bswap32(v);
    else if constexpr (sizeof(U) == 8) return __builtin_bswap64(v);
    else return v;
}
}  // namespace detail

using ByteVector = std::vector<std::uint8_t>;

inline void append_u8(ByteVector& out, std::uint8_t v) { out.push_back(v); }

inline void append_bytes(ByteVector& out, const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), p, p + size);
}

inline void append_bytes(ByteVector& out, std::string_view text) { append_bytes(out, text.data(), text.size()); }

// Appends an integer (or the bit pattern of a float or double) most significant byte first.
template <typename T>
void append_be(ByteVector& out, T value) {
    static_assert(std::is_arithmetic_v<T>);
    using U = std::conditional_t<sizeof(T) == 1, std::uint8_t,
              std::conditional_t<sizeof(T) == 2, std::uint16_t,
              std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;
    auto bits = std::bit_cast<U>(value);
    if constexpr (std::endian::native == std::endian::little && sizeof(T) > 1) bits = detail::byteswap(bits);
    append_bytes(out, &bits, sizeof bits);
}

// Reads a big-endian integer (or float bit pattern) from exactly sizeof(T) bytes at `p`.
template <typename T>
T load_be(const std::uint8_t* p) {
    static_assert(std::is_arithmetic_v<T>);
    using U = std::conditional_t<sizeof(T) == 1, std::uint8_t,
              std::conditional_t<sizeof(T) == 2, std::uint16_t,
              std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;
    U bits;
    std::memcpy(&bits, p, sizeof bits);
    if constexpr (std::endian::native == std::endian::little && sizeof(T) > 1) bits = detail::byteswap(bits);
    return std::bit_cast<T>(bits);
}

// A non-owning view over received bytes that readers consume from the front. The checked
// operations never move past the end; callers decide what a short input means.
struct ByteView {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;

    ByteView() = default;
    ByteView(const std::uint8_t* p, std::size_t n) : data(p), size(n) {}
    explicit ByteView(const ByteVector& v) : data(v.data()), size(v.size()) {}
    explicit ByteView(std::string_view s) : data(reinterpret_cast<const std::uint8_t*>(s.data())), size(s.size()) {}

    bool empty() const { return size == 0; }
    bool has(std::size_t n) const { return size >= n; }
    void skip(std::size_t n) { data += n; size -= n; }  // precondition: has(n)

    std::uint8_t peek_u8() const { return data[0]; }  // precondition: has(1)
    std::uint8_t take_u8() { auto v = data[0]; skip(1); return v; }  // precondition: has(1)
    template <typename T>
    T take_be() {  // precondition: has(sizeof(T))
        T v = load_be<T>(data);
        skip(sizeof(T));
        return v;
    }
    std::string_view take_text(std::size_t n) {  // precondition: has(n)
        std::string_view s(reinterpret_cast<const char*>(data), n);
        skip(n);
        return s;
    }
};

// The string form of the binary protocols: the empty text as 00 01 FF; up to 65535 bytes as
// a 2-byte length and the bytes; longer texts as 00 01 80, a 4-byte length and the bytes.
// Those escapes cannot be valid texts: a 1-byte text of FF or 80 alone is never written.
inline void append_utf_string(ByteVector& out, std::string_view text) {
    const std::size_t n = text.size();
    if (n == 0) {
        const std::uint8_t empty[] = {0x00, 0x01, 0xFF};
        append_bytes(out, empty, sizeof empty);
    } else if (n <= 0xFFFF) {
        append_be<std::uint16_t>(out, static_cast<std::uint16_t>(n));
        append_bytes(out, text);
    } else {
        const std::uint8_t escape[] = {0x00, 0x01, 0x80};
        append_bytes(out, escape, sizeof escape);
        append_be<std::uint32_t>(out, static_cast<std::uint32_t>(n));
        append_bytes(out, text);
    }
}

}  // namespace tyx
