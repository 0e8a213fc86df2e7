// A Client's health snapshot as JSON, as `--stats` prints it on exit:
//   {"sessions": [{"cluster": "alpha", "kind": "relay", "shard": 0, "state": "up",
//                  "since": 1765244044.25, "endpoint": {"host": ..., "port": ..., "failover": 0},
//                  "connection_attempts": 1, "reconnections": 0, "last_error": "",
//                  "counters": {"published_messages": 10, ...}}, ...],
//    "notifications": {"queued": 0, "delivered": 42, "longest_wait_us": 180}}
// Histograms give their count, sum, p50 and p99 (microseconds) and their buckets.
#pragma once

#include <nlohmann/json.hpp>

#include <tyx/health.hpp>

namespace tyx::tool {

nlohmann::json health_json(const tyx::Health& health);

}  // namespace tyx::tool
