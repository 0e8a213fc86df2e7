// libFuzzer target for the center frame dispatcher. The first input byte picks the shape: even,
// the rest is one frame payload; odd, the rest is a byte stream of frames. Decoding errors are
// expected; crashes, sanitizer reports and broken invariants are findings.
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "center/center_codec.hpp"
#include "center/change_decoder.hpp"

namespace {

struct CheckingSink : tyx::center::DecoderSink {
    tyx::UpdateBatch batch;
    tyx::UpdateBatch& update_batch() override { return batch; }
    void add_updates(tyx::UpdateBatch& updates) override {
        if (&updates != &batch) __builtin_trap();
        for (const auto& update : updates) {
            if (update.field_names.size() != update.row_data.size()) __builtin_trap();
            if (update.action < 1 || update.action > 3) __builtin_trap();
        }
    }
    void table_schema(const std::string&, tyx::CenterTableSchema) override {}
    void snapshot_response() override {}
    void log(std::uint8_t level, std::string_view text) override {
        if (level != 3 || text.empty()) __builtin_trap();
    }
};

void decode(tyx::center::ChangeDecoder& decoder, tyx::ByteView payload) {
    try {
        decoder.decode_payload(payload);
    } catch (const std::runtime_error&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    CheckingSink sink;
    tyx::center::ChangeDecoder decoder(sink);
    const tyx::ByteView rest(data + 1, size - 1);
    if (data[0] % 2 == 0) {
        decode(decoder, rest);
    } else {
        tyx::center::FrameReader reader(1 << 20);
        try {
            reader.feed(rest, [&](tyx::ByteView payload) { decode(decoder, payload); });
        } catch (const std::runtime_error&) {
            // a header announcing more than the limit
        }
    }
    return 0;
}
