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
    nlohmann::json counters = nlohmann::json::object();
    for (const auto& c : tyx::counters_of(s)) counters[std::string(c.name)] = c.value;
    for (const auto& h : tyx::histograms_of(s)) counters[std::string(h.name)] = histogram_json(*h.histogram);
    return counters;
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
            {"unexpected_inputs", s.unexpected_inputs},
            {"counters", counters_json(s)},
        });
    }
    return {{"sessions", std::move(sessions)},
            {"notifications",
             {{"queued", health.notifications.queued},
              {"delivered", health.notifications.delivered},
              {"longest_wait_us", health.notifications.longest_wait.count()},
              {"queued_updates", health.notifications.queued_updates},
              {"queued_update_bytes", health.notifications.queued_update_bytes},
              {"oldest_wait_us", health.notifications.oldest_wait.count()},
              {"holding_back", health.notifications.holding_back},
              {"held_back_us", health.notifications.held_back.count()}}}};
}

}  // namespace tyx::tool
