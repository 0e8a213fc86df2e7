// The worked object message the client benchmarks publish, and its wire text as the public
// interface gives it. Plain data and one helper; usable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tyx/tyx.hpp"

namespace tyx::bench {

inline const std::vector<std::string> kWorkedNames = {"qty", "px", "side", "venue", "lots", "flag"};
inline const std::vector<FieldValue> kWorkedValues = {std::int32_t{5},     101.25,          'B',
                                                      std::string("XNYS"), std::int64_t{3}, std::monostate{}};
inline constexpr const char* kWorkedType = "Order";
inline constexpr const char* kWorkedId = "o-17";
inline constexpr std::int64_t kWorkedSeqnum = 42;

// The exact line publish_object sends for the worked message, line feed included.
inline std::string worked_line() {
    Client client;
    return client.serialize_object(kWorkedType, kWorkedId, kWorkedNames, kWorkedValues, kWorkedSeqnum);
}

}  // namespace tyx::bench
