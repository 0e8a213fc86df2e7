// TyxClient.health and set_notification_spin, and the dicts of session states: the layout of the
// tool's --stats JSON.
#include <algorithm>
#include <chrono>

#include "client_bindings.hpp"

namespace tyx::python {

namespace {

py::dict endpoint_dict(const SessionEndpoint& e) {
    py::dict d;
    d["host"] = to_str(e.host);
    d["port"] = to_str(e.port);
    d["failover"] = e.failover;
    return d;
}

py::dict histogram_dict(const LatencyHistogram& h) {
    py::dict d;
    d["count"] = h.count();
    d["sum_us"] = h.sum_us;
    d["p50_us"] = h.quantile(0.5).count();
    d["p99_us"] = h.quantile(0.99).count();
    py::list buckets;
    for (std::size_t i = 0; i < h.counts.size(); ++i) {
        py::dict b;
        if (i < LatencyHistogram::kBoundsUs.size())
            b["le_us"] = LatencyHistogram::kBoundsUs[i];
        else
            b["le_us"] = py::none();
        b["count"] = h.counts[i];
        buckets.append(b);
    }
    d["buckets"] = buckets;
    return d;
}

py::dict counters_dict(const SessionHealth& s) {
    py::dict d;
    for (const auto& c : counters_of(s)) d[to_str(c.name)] = c.value;
    for (const auto& h : histograms_of(s)) d[to_str(h.name)] = histogram_dict(*h.histogram);
    return d;
}

py::dict health_dict(const Health& health) {
    py::list sessions;
    for (const auto& s : health.sessions) {
        py::dict d;
        d["cluster"] = to_str(s.cluster);
        d["kind"] = to_str(to_string(s.kind));
        d["shard"] = s.shard;
        d["state"] = to_str(to_string(s.state));
        d["since"] = std::chrono::duration<double>(s.since.time_since_epoch()).count();
        d["endpoint"] = endpoint_dict(s.endpoint);
        d["connection_attempts"] = s.connection_attempts;
        d["reconnections"] = s.reconnections;
        d["last_error"] = to_str(s.last_error);
        d["unexpected_inputs"] = s.unexpected_inputs;
        d["counters"] = counters_dict(s);
        sessions.append(d);
    }
    py::dict notifications;
    notifications["queued"] = health.notifications.queued;
    notifications["delivered"] = health.notifications.delivered;
    notifications["longest_wait_us"] = health.notifications.longest_wait.count();
    notifications["queued_updates"] = health.notifications.queued_updates;
    notifications["queued_update_bytes"] = health.notifications.queued_update_bytes;
    notifications["oldest_wait_us"] = health.notifications.oldest_wait.count();
    notifications["holding_back"] = health.notifications.holding_back;
    notifications["held_back_us"] = health.notifications.held_back.count();
    py::dict d;
    d["sessions"] = sessions;
    d["notifications"] = notifications;
    return d;
}

}  // namespace

py::dict state_event_dict(const SessionStateEvent& e) {
    py::dict d;
    d["cluster"] = to_str(e.cluster);
    d["kind"] = to_str(to_string(e.kind));
    d["shard"] = e.shard;
    d["endpoint"] = endpoint_dict(e.endpoint);
    d["state"] = to_str(to_string(e.state));
    d["cause"] = to_str(to_string(e.cause));
    d["reason"] = to_str(e.reason);
    d["attempt"] = e.attempt;
    d["pause_ms"] = e.pause.count();
    d["repeated"] = e.repeated;
    return d;
}

void bind_health(TyxClientClass& cls) {
    cls.def(
        "health",
        [](PyTyxClient& c) {
            Health health;
            c.call([&](Client& client) { health = client.health(); });
            return health_dict(health);
        },
        R"doc(What every session is doing and has counted, and how the notification queue fares.

Returns at once (it never waits for the network); fine from any thread and from a listener
event. The result is nested dicts:
    {'sessions': [{'cluster', 'kind', 'shard', 'state', 'since' (seconds since the epoch),
                   'endpoint': {'host', 'port', 'failover'}, 'connection_attempts',
                   'reconnections', 'last_error', 'unexpected_inputs', 'counters': {name: int or histogram dict}},
                  ...],
     'notifications': {'queued', 'delivered', 'longest_wait_us', 'queued_updates',
                       'queued_update_bytes', 'oldest_wait_us', 'holding_back', 'held_back_us'}}
Sessions come by cluster (in the order added), kind ('relay', 'center', 'database') and shard.
A histogram is {'count', 'sum_us', 'p50_us', 'p99_us', 'buckets': [{'le_us', 'count'}, ...]},
the last bucket with 'le_us' None.)doc");
    cls.def(
        "set_notification_spin",
        [](PyTyxClient& c, double seconds) {
            if (!(seconds >= 0)) throw py::value_error("set_notification_spin(): seconds must be 0 or more");
            // Beyond a second the library caps it anyway.
            const auto us = std::chrono::microseconds(static_cast<std::int64_t>(std::min(seconds, 1.0) * 1e6));
            c.call([&](Client& client) { client.set_notification_spin(us); });
        },
        py::arg("seconds"),
        R"doc(Low latency, opt in: after each event the notification thread keeps looking for the next
one for up to `seconds` (at most 1) before it sleeps, so an update arriving within that time
reaches the listeners without waiting for a thread to wake (tens of microseconds less). The cost
is a busy core while events come less than `seconds` apart. 0, the default, sleeps at once.
Raises ValueError for a negative or NaN value.)doc");
}

}  // namespace tyx::python
