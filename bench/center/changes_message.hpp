// The changes message the decoding benchmarks decode: a string pool, then 10,000 added entities
// with an object id and five fields each (int, double, pooled string, string, long). Plain
// builder; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/center_bytes.hpp"

namespace tyx::bench {

inline constexpr int kChangesEntities = 10000;

inline std::vector<std::uint8_t> make_changes_message() {
    test::CenterBytes pool;
    const char* keys[] = {"Orders", "qty", "price", "sym", "note", "ts"};
    for (int k = 0; k < 6; ++k) pool.u8(0).i16_be(static_cast<std::int16_t>(k + 1)).utf(keys[k]);
    const char* symbols[] = {"IBM", "MSFT", "AAPL", "ORCL"};
    for (int v = 0; v < 4; ++v) pool.u8(1).i32_be(v).utf(symbols[v]);

    test::CenterBytes entities;
    for (int i = 0; i < kChangesEntities; ++i) {
        test::CenterBytes payload;
        payload.i64_be(i).u8(0x60).utf("ord-" + std::to_string(i)).i16_be(5);
        payload.i16_be(2).u8(13).i32_be(i * 10);
        payload.i16_be(3).u8(6).f64_be(100.25 + i);
        payload.i16_be(4).u8(22).u8(static_cast<std::uint8_t>(i % 4));
        payload.i16_be(5).u8(9).u8(10).raw("note-" + std::to_string(10000 + i % 10000).substr(0, 5));
        payload.i16_be(6).u8(31).i64_be(1700000000000LL + i);
        entities.entity(1, payload);
    }
    return test::CenterBytes()
        .preamble("Y9.VE.CH", 0)
        .named("seqNum", 6)
        .i64_be(1)
        .named("tyxValuesStringPoolMap", 101)
        .byte_array(pool)
        .named("tyxEntitiesAdded", 101)
        .byte_array(entities)
        .end_named()
        .data();
}

}  // namespace tyx::bench
