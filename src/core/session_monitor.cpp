#include "core/session_monitor.hpp"

namespace tyx {

void AtomicHistogram::add(std::chrono::nanoseconds duration) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    const auto& bounds = LatencyHistogram::kBoundsUs;
    std::size_t i = 0;
    while (i < bounds.size() && us > bounds[i]) ++i;
    counts_[i].fetch_add(1, std::memory_order_relaxed);
    sum_us_.fetch_add(static_cast<std::uint64_t>(us < 0 ? 0 : us), std::memory_order_relaxed);
}

LatencyHistogram AtomicHistogram::snapshot() const {
    LatencyHistogram h;
    for (std::size_t i = 0; i < counts_.size(); ++i) h.counts[i] = counts_[i].load(std::memory_order_relaxed);
    h.sum_us = sum_us_.load(std::memory_order_relaxed);
    return h;
}

SessionMonitor::SessionMonitor(std::string cluster, SessionKind kind, std::size_t shard,
                               std::vector<Endpoint> endpoints)
    : cluster_(std::move(cluster)), kind_(kind), shard_(shard), endpoints_(std::move(endpoints)) {}

SessionEndpoint SessionMonitor::endpoint_at(std::size_t index) const {
    if (index >= endpoints_.size()) return SessionEndpoint{};
    return SessionEndpoint{endpoints_[index].host, endpoints_[index].port_or_service, index};
}

SessionStateEvent SessionMonitor::enter(SessionState state, std::size_t endpoint, StateCause cause,
                                        std::string reason, std::uint32_t attempt,
                                        std::chrono::milliseconds pause, std::uint32_t repeated) {
    SessionStateEvent event{cluster_, kind_, shard_,  endpoint_at(endpoint), state, cause, std::move(reason),
                            attempt,  pause, repeated};
    std::lock_guard lock(mutex_);
    if (state != state_) since_ = std::chrono::system_clock::now();
    state_ = state;
    endpoint_ = endpoint;
    if (state == SessionState::up) ++logins_;
    if (!event.reason.empty()) last_error_ = event.reason;
    return event;
}

SessionHealth SessionMonitor::snapshot() const {
    SessionHealth h;
    h.cluster = cluster_;
    h.kind = kind_;
    h.shard = shard_;
    {
        std::lock_guard lock(mutex_);
        h.state = state_;
        h.since = since_;
        h.endpoint = endpoint_at(endpoint_);
        h.reconnections = logins_ > 0 ? logins_ - 1 : 0;
        h.last_error = last_error_;
    }
    h.connection_attempts = attempts_.load(std::memory_order_relaxed);
    h.unexpected_inputs = unexpected_inputs.load(std::memory_order_relaxed);
    constexpr auto relaxed = std::memory_order_relaxed;
    switch (kind_) {
        case SessionKind::relay:
            if (relay_counters_) h.relay = relay_counters_();
            break;
        case SessionKind::center:
            h.center.frames_received = frames_received.load(relaxed);
            h.center.updates_received = updates_received.load(relaxed);
            h.center.decode_errors = decode_errors.load(relaxed);
            h.center.updates_delivered = updates_delivered.load(relaxed);
            h.center.snapshot_answers = snapshot_answers.load(relaxed);
            h.center.snapshot_latency = snapshot_latency.snapshot();
            break;
        case SessionKind::database:
            h.database.requests = requests.load(relaxed);
            h.database.failures = failures.load(relaxed);
            h.database.retries = retries.load(relaxed);
            h.database.unknown_outcomes = unknown_outcomes.load(relaxed);
            h.database.response_time = response_time.snapshot();
            break;
    }
    return h;
}

}  // namespace tyx
