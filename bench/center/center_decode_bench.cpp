// Decoding speed of a changes message of 10,000 entities with five fields each (int, double,
// pooled string, string, long), beside copying the same message bytes in the same run.
#include <benchmark/benchmark.h>

#include <cstring>

#include "center/change_decoder.hpp"
#include "support/center_bytes.hpp"

namespace {

using tyx::test::CenterBytes;

constexpr int kEntities = 10000;

std::vector<std::uint8_t> make_message() {
    CenterBytes pool;
    const char* keys[] = {"Orders", "qty", "price", "sym", "note", "ts"};
    for (int k = 0; k < 6; ++k) pool.u8(0).i16_be(static_cast<std::int16_t>(k + 1)).utf(keys[k]);
    const char* symbols[] = {"IBM", "MSFT", "AAPL", "ORCL"};
    for (int v = 0; v < 4; ++v) pool.u8(1).i32_be(v).utf(symbols[v]);

    CenterBytes entities;
    for (int i = 0; i < kEntities; ++i) {
        CenterBytes payload;
        payload.i64_be(i).u8(0x60).utf("ord-" + std::to_string(i)).i16_be(5);
        payload.i16_be(2).u8(13).i32_be(i * 10);
        payload.i16_be(3).u8(6).f64_be(100.25 + i);
        payload.i16_be(4).u8(22).u8(static_cast<std::uint8_t>(i % 4));
        payload.i16_be(5).u8(9).u8(10).raw("note-" + std::to_string(10000 + i % 10000).substr(0, 5));
        payload.i16_be(6).u8(31).i64_be(1700000000000LL + i);
        entities.entity(1, payload);
    }
    return CenterBytes()
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

// Decodes into one reused batch, as for a live table, or also moves each row into a shared
// record kept until outside the timed region, as a table waiting for its snapshot does.
struct BenchSink : tyx::center::DecoderSink {
    bool keep = false;
    std::size_t updates = 0;
    tyx::UpdateBatch batch;
    std::vector<tyx::TyxCenterIncrementalUpdatePtr> kept;
    tyx::UpdateBatch& update_batch() override { return batch; }
    void add_updates(tyx::UpdateBatch& decoded) override {
        updates += decoded.size();
        if (!keep) return;
        for (std::size_t i = 0; i < decoded.size(); ++i)
            kept.push_back(std::make_shared<const tyx::TyxCenterIncrementalUpdate>(std::move(decoded[i])));
    }
    void table_schema(const std::string&, tyx::CenterTableSchema) override {}
    void snapshot_response() override {}
    void log(std::uint8_t, std::string_view) override {}
};

const std::vector<std::uint8_t>& message() {
    static const std::vector<std::uint8_t> m = make_message();
    return m;
}

// Baseline: copying the message bytes once, as the receive loop does into its buffer.
void BM_CopyMessageBytes(benchmark::State& state) {
    const auto& m = message();
    std::vector<std::uint8_t> buffer(m.size());
    for (auto _ : state) {
        std::memcpy(buffer.data(), m.data(), m.size());
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kEntities);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(m.size()));
}
BENCHMARK(BM_CopyMessageBytes);

void decode_changes(benchmark::State& state, bool keep) {
    const auto& m = message();
    BenchSink sink;
    sink.keep = keep;
    sink.kept.reserve(kEntities);
    tyx::center::ChangeDecoder decoder(sink);
    for (auto _ : state) {
        decoder.decode_payload(tyx::ByteView(m.data(), m.size()));
        if (keep) {
            state.PauseTiming();
            sink.kept.clear();
            state.ResumeTiming();
        }
    }
    if (sink.updates != static_cast<std::size_t>(state.iterations()) * kEntities)
        state.SkipWithError("wrong number of updates");
    state.SetItemsProcessed(state.iterations() * kEntities);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(m.size()));
}

void BM_DecodeChanges(benchmark::State& state) {
    decode_changes(state, false);
}
BENCHMARK(BM_DecodeChanges);

void BM_DecodeChangesAndKeep(benchmark::State& state) {
    decode_changes(state, true);
}
BENCHMARK(BM_DecodeChangesAndKeep);

}  // namespace

BENCHMARK_MAIN();
