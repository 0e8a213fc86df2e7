// The center frames the subscription benchmarks push: the string pool of table "Quotes" and
// changes frames of added rows, each row an object id and five fields (qty int, px double, sym
// pooled string, note string, ts long), about 70 bytes on the wire. Plain builders; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/center_bytes.hpp"
#include "support/center_harness.hpp"

namespace tyx::bench {

// Table key 1 "Quotes" and its field names under keys 2 to 6, then four pooled symbols.
inline std::vector<std::uint8_t> quotes_pool_frame(std::int64_t seqnum) {
    test::CenterBytes pool;
    const char* keys[] = {"Quotes", "qty", "px", "sym", "note", "ts"};
    for (int k = 0; k < 6; ++k) pool.raw(test::pool_key(static_cast<std::int16_t>(k + 1), keys[k]));
    const char* symbols[] = {"IBM", "MSFT", "AAPL", "ORCL"};
    for (int v = 0; v < 4; ++v) pool.u8(1).i32_be(v).utf(symbols[v]);
    return test::changes_frame({.seqnum = seqnum, .pool = pool});
}

// One row of "Quotes" whose numeric id is `id` (also its qty and, offset, its ts).
inline void append_quote(test::CenterBytes& entities, std::int64_t id) {
    test::CenterBytes p;
    p.i64_be(id).u8(0x60).utf("q-" + std::to_string(id % 1000)).i16_be(5);
    p.i16_be(2).u8(13).i32_be(static_cast<std::int32_t>(id));
    p.i16_be(3).u8(6).f64_be(100.25 + static_cast<double>(id % 10000));
    p.i16_be(4).u8(22).u8(static_cast<std::uint8_t>(id % 4));
    p.i16_be(5).u8(9).u8(9).raw("note-" + std::to_string(1000 + id % 9000));
    p.i16_be(6).u8(31).i64_be(1700000000000LL + id);
    entities.entity(1, p);
}

// A changes frame of `count` added rows with ids first, first + 1, ...
inline std::vector<std::uint8_t> added_quotes_frame(std::int64_t seqnum, std::int64_t first, int count) {
    test::CenterBytes entities;
    for (int i = 0; i < count; ++i) append_quote(entities, first + i);
    return test::changes_frame({.seqnum = seqnum, .added = entities});
}

}  // namespace tyx::bench
