// The decoder sink of the decoding-alone baseline in subscribe_bench.cpp: counts the rows of each
// changes message and gives the decoder the same batch again for the next, as a live table whose
// rows have been delivered does. This header is the benchmarks' only contact with the
// DecoderSink interface. Decoder's thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "center/change_decoder.hpp"
#include "center/update_batch.hpp"

namespace tyx::bench {

struct CountingDecoderSink final : center::DecoderSink {
    std::int64_t updates = 0;
    UpdateBatch batch;

    UpdateBatch& update_batch() override { return batch; }
    void add_updates(UpdateBatch& decoded) override { updates += static_cast<std::int64_t>(decoded.size()); }
    void table_schema(const std::string&, CenterTableSchema) override {}
    void snapshot_response() override {}
    void log(std::uint8_t, std::string_view) override {}
};

}  // namespace tyx::bench
