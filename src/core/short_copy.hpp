// copy_short: memcpy for the short texts of the wire codecs (relay keys and values, center
// object ids and text values), without a library call. Pure; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tyx {

// Fixed-size copies compile to plain moves (overlapping when the length is not a power of two);
// only a copy above 16 bytes calls memcpy.
inline void copy_short(char* dst, const char* src, std::size_t n) {
    if (n >= 8) {
        if (n > 16) {
            std::memcpy(dst, src, n);
            return;
        }
        std::uint64_t a, b;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + n - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + n - 4, 4);
        std::memcpy(dst, &a, 4);
        std::memcpy(dst + n - 4, &b, 4);
    } else {
        for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
    }
}

}  // namespace tyx
