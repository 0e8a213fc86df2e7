#include "health_json.hpp"

namespace tyx::tool {

namespace {

nlohmann::json histogram_json(const tyx::LatencyHistogram& h) {
    nlohmann::json buckets = nlohmann::json::array();
    for (std::size_t i = 0; i < tyx::LatencyHistogram::kBoundsUs.size(); ++i)
        buckets.push_back({{"le_us", tyx::LatencyHistogram::kBoundsUs[i]}, {"count", h.counts[i]}});
    buckets.push_back({{"le_us", nullptr}, {"count", h.counts.back()}});
    return {{"count", h.count()},
            {"sum_us", h.sum_us},
            {"p50_us", h.quantile(0.5).count()},
            {"p99_us", h.quantile(0.99).count()},
            {"buckets", std::move(buckets)}};
}

nlohmann::json counters_json(const tyx::SessionHealth& s) {
    switch (s.kind) {
        case tyx::SessionKind::relay:
            return {{"published_messages", s.relay.published_messages},
                    {"published_bytes", s.relay.published_bytes},
                    {"written_messages", s.relay.written_messages},
                    {"written_bytes", s.relay.written_bytes},
                    {"resent_messages", s.relay.resent_messages},
                    {"kept_messages", s.relay.kept_messages},
                    {"kept_bytes", s.relay.kept_bytes},
                    {"dropped_messages", s.relay.dropped_messages}};
        case tyx::SessionKind::center:
            return {{"frames_received", s.center.frames_received},
                    {"updates_received", s.center.updates_received},
                    {"decode_errors", s.center.decode_errors},
                    {"updates_delivered", s.center.updates_delivered},
                    {"snapshot_answers", s.center.snapshot_answers},
                    {"snapshot_latency", histogram_json(s.center.snapshot_latency)}};
        case tyx::SessionKind::database:
            return {{"requests", s.database.requests},
                    {"failures", s.database.failures},
                    {"retries", s.database.retries},
                    {"response_time", histogram_json(s.database.response_time)}};
    }
    return nlohmann::json::object();
}

}  // namespace

nlohmann::json health_json(const tyx::Health& health) {
    nlohmann::json sessions = nlohmann::json::array();
    for (const auto& s : health.sessions) {
        sessions.push_back({
            {"cluster", s.cluster},
            {"kind", tyx::to_string(s.kind)},
            {"shard", s.shard},
            {"state", tyx::to_string(s.state)},
            {"since", std::chrono::duration<double>(s.since.time_since_epoch()).count()},
            {"endpoint",
             {{"host", s.endpoint.host}, {"port", s.endpoint.port}, {"failover", s.endpoint.failover}}},
            {"connection_attempts", s.connection_attempts},
            {"reconnections", s.reconnections},
            {"last_error", s.last_error},
            {"counters", counters_json(s)},
        });
    }
    return {{"sessions", std::move(sessions)},
            {"notifications",
             {{"queued", health.notifications.queued},
              {"delivered", health.notifications.delivered},
              {"longest_wait_us", health.notifications.longest_wait.count()}}}};
}

}  // namespace tyx::tool
