// The body of a 1,000,000-row query result (columns int64 `id`, double `px`, 12-byte text
// `sym`, table `quotes`) as the database sends it: the figure the database benchmarks decode,
// receive and copy.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "core/byte_buffer.hpp"
#include "core/type_codes.hpp"

namespace tyx::bench {

inline constexpr std::int32_t kMillionRows = 1'000'000;

// The body; with `framed`, as one response frame (4-byte length, body, one byte more).
inline ByteVector million_row_body(bool framed = false) {
    ByteVector b;
    b.reserve(static_cast<std::size_t>(kMillionRows) * 30 + 256);
    if (framed) append_be<std::int32_t>(b, 0);
    auto typed_string = [&](std::string_view s) {
        append_u8(b, code_of(TypeCode::String));
        append_utf_string(b, s);
    };
    auto column = [&](TypeCode t, std::string_view name) {
        append_u8(b, code_of(t));
        typed_string(name);
        append_u8(b, 0);
    };
    append_u8(b, code_of(TypeCode::List));
    append_be<std::int32_t>(b, 1);
    append_u8(b, code_of(TypeCode::Undefined));
    append_u8(b, 0x0B);
    append_u8(b, 0x02);
    append_u8(b, code_of(TypeCode::List));
    append_be<std::int32_t>(b, 1);
    append_u8(b, code_of(TypeCode::TableColumnar));
    typed_string("quotes");
    append_be<std::int16_t>(b, 3);
    append_be<std::int32_t>(b, kMillionRows);
    column(TypeCode::Long, "id");
    for (std::int32_t i = 0; i < kMillionRows; ++i) append_be<std::int64_t>(b, std::int64_t{i} * 7919);
    column(TypeCode::Double, "px");
    for (std::int32_t i = 0; i < kMillionRows; ++i) append_be<double>(b, i * 0.25);
    column(TypeCode::String, "sym");
    char text[16];
    for (std::int32_t i = 0; i < kMillionRows; ++i) {
        std::snprintf(text, sizeof text, "SYM%09d", i);
        append_utf_string(b, std::string_view(text, 12));
    }
    if (framed) {
        ByteVector length;
        append_be<std::int32_t>(length, static_cast<std::int32_t>(b.size() - 4));
        std::copy(length.begin(), length.end(), b.begin());
        append_u8(b, 0);
    }
    return b;
}

}  // namespace tyx::bench
