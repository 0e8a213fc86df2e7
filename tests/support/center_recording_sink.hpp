// A DecoderSink that records everything the center change decoder hands out, for tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "center/change_decoder.hpp"

namespace tyx::test {

struct CenterRecordingSink : center::DecoderSink {
    std::vector<TyxCenterIncrementalUpdatePtr> updates;
    std::vector<std::pair<std::string, CenterTableSchema>> schemas;
    int snapshot_responses = 0;
    std::vector<std::pair<std::uint8_t, std::string>> logs;

    void add_update(TyxCenterIncrementalUpdatePtr update) override { updates.push_back(std::move(update)); }
    void table_schema(const std::string& table_name, CenterTableSchema schema) override {
        schemas.emplace_back(table_name, std::move(schema));
    }
    void snapshot_response() override { ++snapshot_responses; }
    void log(std::uint8_t level, std::string_view text) override {
        logs.emplace_back(level, std::string(text));
    }
};

}  // namespace tyx::test
