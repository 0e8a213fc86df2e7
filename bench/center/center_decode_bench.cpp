// Decoding speed of a changes message of 10,000 entities with five fields each (int, double,
// pooled string, string, long), beside copying the same message bytes in the same run.
#include <benchmark/benchmark.h>

#include <cstring>

#include "center/change_decoder.hpp"
#include "changes_message.hpp"

namespace {

constexpr int kEntities = tyx::bench::kChangesEntities;

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
            kept.push_back(std::make_shared<const tyx::TyxCenterIncrementalUpdate>(decoded.take(i)));
    }
    void table_schema(const std::string&, tyx::CenterTableSchema) override {}
    void snapshot_response() override {}
    void log(std::uint8_t, std::string_view) override {}
};

const std::vector<std::uint8_t>& message() {
    static const std::vector<std::uint8_t> m = tyx::bench::make_changes_message();
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
