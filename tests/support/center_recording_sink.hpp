// A DecoderSink that records everything the center change decoder hands out, for tests.
#pragma once

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "center/change_decoder.hpp"
#include "support/center_bytes.hpp"

namespace tyx::test {

struct CenterRecordingSink : center::DecoderSink {
    std::vector<TyxCenterIncrementalUpdatePtr> updates;
    std::vector<std::pair<std::string, CenterTableSchema>> schemas;
    int snapshot_responses = 0;
    std::vector<std::pair<std::uint8_t, std::string>> logs;

    UpdateBatch batch;

    UpdateBatch& update_batch() override { return batch; }
    void add_updates(UpdateBatch& decoded) override {
        for (const auto& u : decoded) updates.push_back(std::make_shared<TyxCenterIncrementalUpdate>(u));
    }
    void table_schema(const std::string& table_name, CenterTableSchema schema) override {
        schemas.emplace_back(table_name, std::move(schema));
    }
    void snapshot_response() override { ++snapshot_responses; }
    void log(std::uint8_t level, std::string_view text) override {
        logs.emplace_back(level, std::string(text));
    }
};

// Decodes `payload` from an exact-size heap copy, so that reading past its end is caught by
// AddressSanitizer; returns the decoding error's text, or "(no error)".
inline std::string decode_exact_copy(center::ChangeDecoder& decoder, const CenterBytes& payload) {
    auto copy = std::make_unique<std::uint8_t[]>(payload.size());
    if (payload.size() > 0) std::memcpy(copy.get(), payload.data().data(), payload.size());
    try {
        decoder.decode_payload(ByteView(copy.get(), payload.size()));
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace tyx::test
