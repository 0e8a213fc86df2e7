// Decodes the changes message of center_decode_bench a fixed number of times, for instruction
// counts that do not depend on timing:
//   valgrind --tool=callgrind --toggle-collect='*decode_measured*' center_decode_count [ROUNDS]
// then divide the instructions collected by the updates printed. The first, untimed decode warms
// the batch up, as a live table's stream does.
#include <cstdio>
#include <cstdlib>

#include "center/change_decoder.hpp"
#include "changes_message.hpp"

namespace {

struct CountingSink final : tyx::center::DecoderSink {
    long long updates = 0;
    tyx::UpdateBatch batch;
    tyx::UpdateBatch& update_batch() override { return batch; }
    void add_updates(tyx::UpdateBatch& decoded) override { updates += static_cast<long long>(decoded.size()); }
    void table_schema(const std::string&, tyx::CenterTableSchema) override {}
    void snapshot_response() override {}
    void log(std::uint8_t, std::string_view) override {}
};

[[gnu::noinline]] void decode_measured(tyx::center::ChangeDecoder& decoder, const std::vector<std::uint8_t>& m,
                                       int rounds) {
    for (int i = 0; i < rounds; ++i) decoder.decode_payload(tyx::ByteView(m.data(), m.size()));
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    const std::vector<std::uint8_t> m = tyx::bench::make_changes_message();
    CountingSink sink;
    tyx::center::ChangeDecoder decoder(sink);
    decoder.decode_payload(tyx::ByteView(m.data(), m.size()));
    const long long warm = sink.updates;
    decode_measured(decoder, m, rounds);
    std::printf("%lld updates decoded in the measured calls\n", sink.updates - warm);
    return sink.updates - warm == static_cast<long long>(rounds) * tyx::bench::kChangesEntities ? 0 : 1;
}
