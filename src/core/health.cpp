#include "tyx/health.hpp"

#include <charconv>
#include <cmath>

namespace tyx {

std::string_view to_string(SessionKind kind) {
    switch (kind) {
        case SessionKind::relay:
            return "relay";
        case SessionKind::center:
            return "center";
        case SessionKind::database:
            return "database";
    }
    return "unknown";
}

std::string_view to_string(SessionState state) {
    switch (state) {
        case SessionState::connecting:
            return "connecting";
        case SessionState::logging_in:
            return "logging in";
        case SessionState::up:
            return "up";
        case SessionState::reconnecting:
            return "reconnecting";
        case SessionState::stopped:
            return "stopped";
    }
    return "unknown";
}

std::string_view to_string(StateCause cause) {
    switch (cause) {
        case StateCause::none:
            return "none";
        case StateCause::refused:
            return "refused";
        case StateCause::closed_by_peer:
            return "closed by peer";
        case StateCause::timed_out:
            return "timed out";
        case StateCause::tls_failure:
            return "TLS failure";
        case StateCause::login_refused:
            return "login refused";
        case StateCause::protocol_error:
            return "protocol error";
    }
    return "unknown";
}

std::uint64_t LatencyHistogram::count() const {
    std::uint64_t n = 0;
    for (const auto c : counts) n += c;
    return n;
}

std::chrono::microseconds LatencyHistogram::quantile(double q) const {
    const std::uint64_t n = count();
    if (n == 0) return std::chrono::microseconds{0};
    // The smallest bucket whose running count reaches q of the whole.
    const auto wanted = static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(n)));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < kBoundsUs.size(); ++i) {
        seen += counts[i];
        if (seen >= wanted && seen > 0) return std::chrono::microseconds{kBoundsUs[i]};
    }
    return std::chrono::microseconds{2 * kBoundsUs.back()};
}

namespace {

// A label value with backslash, double quote and line feed escaped.
void append_label_value(std::string& out, std::string_view value) {
    for (const char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
}

void append_number(std::string& out, double value) {
    char buffer[32];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, r.ptr);
}

void append_number(std::string& out, std::uint64_t value) {
    char buffer[24];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, r.ptr);
}

void append_labels(std::string& out, const SessionHealth& s, std::string_view extra_name = {},
                   std::string_view extra_value = {}) {
    out += "{cluster=\"";
    append_label_value(out, s.cluster);
    out += "\",kind=\"";
    out += to_string(s.kind);
    out += "\",shard=\"";
    append_number(out, static_cast<std::uint64_t>(s.shard));
    out += '"';
    if (!extra_name.empty()) {
        out += ',';
        out += extra_name;
        out += "=\"";
        out += extra_value;
        out += '"';
    }
    out += '}';
}

void append_head(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
    out.append("# HELP ").append(name).append(1, ' ').append(help).append(1, '\n');
    out.append("# TYPE ").append(name).append(1, ' ').append(type).append(1, '\n');
}

// A series of every session, whatever its kind.
struct SessionSeries {
    std::string_view name;
    std::string_view type;
    std::string_view help;
    double (*value)(const SessionHealth&);
};

const SessionSeries kSessionSeries[] = {
    {"tyx_session_up", "gauge", "1 while the session is logged in, else 0.",
     [](const SessionHealth& s) { return s.state == SessionState::up ? 1.0 : 0.0; }},
    {"tyx_session_state_since_seconds", "gauge", "When the session entered its current state (Unix time).",
     [](const SessionHealth& s) {
         return std::chrono::duration<double>(s.since.time_since_epoch()).count();
     }},
    {"tyx_session_connection_attempts_total", "counter", "Connection attempts so far.",
     [](const SessionHealth& s) { return static_cast<double>(s.connection_attempts); }},
    {"tyx_session_reconnections_total", "counter", "Logins after the first one.",
     [](const SessionHealth& s) { return static_cast<double>(s.reconnections); }},
    {"tyx_session_unexpected_inputs_total", "counter", "Input the session could not understand.",
     [](const SessionHealth& s) { return static_cast<double>(s.unexpected_inputs); }},
};

// One metric family of a kind's counters or histograms, with the sessions that have it.
struct Family {
    std::string name;
    std::string_view type;
    std::string_view help;
    std::vector<std::pair<const SessionHealth*, double>> counters;
    std::vector<std::pair<const SessionHealth*, const LatencyHistogram*>> histograms;
};

// The families in the order first met: sessions come by kind within a cluster.
std::vector<Family> kind_families(const Health& health) {
    std::vector<Family> families;
    auto family = [&](std::string name, std::string_view type, std::string_view help) -> Family& {
        for (auto& f : families)
            if (f.name == name) return f;
        families.push_back(Family{std::move(name), type, help, {}, {}});
        return families.back();
    };
    for (const auto& s : health.sessions) {
        const std::string prefix = "tyx_" + std::string(to_string(s.kind)) + "_";
        for (const auto& c : counters_of(s))
            family(prefix + std::string(c.name) + (c.gauge ? "" : "_total"), c.gauge ? "gauge" : "counter",
                   c.help)
                .counters.emplace_back(&s, static_cast<double>(c.value));
        for (const auto& h : histograms_of(s))
            family(prefix + std::string(h.name) + "_seconds", "histogram", h.help)
                .histograms.emplace_back(&s, h.histogram);
    }
    return families;
}

void append_sample(std::string& out, std::string_view name, const SessionHealth& s, double value,
                   std::string_view extra_name = {}, std::string_view extra_value = {}) {
    out += name;
    append_labels(out, s, extra_name, extra_value);
    out += ' ';
    append_number(out, value);
    out += '\n';
}

void append_histogram(std::string& out, const std::string& name, const SessionHealth& s,
                      const LatencyHistogram& h) {
    std::uint64_t running = 0;
    for (std::size_t i = 0; i < LatencyHistogram::kBoundsUs.size(); ++i) {
        running += h.counts[i];
        std::string le;
        append_number(le, static_cast<double>(LatencyHistogram::kBoundsUs[i]) / 1e6);
        append_sample(out, name + "_bucket", s, static_cast<double>(running), "le", le);
    }
    append_sample(out, name + "_bucket", s, static_cast<double>(h.count()), "le", "+Inf");
    append_sample(out, name + "_sum", s, static_cast<double>(h.sum_us) / 1e6);
    append_sample(out, name + "_count", s, static_cast<double>(h.count()));
}

}  // namespace

std::vector<CounterValue> counters_of(const SessionHealth& s) {
    switch (s.kind) {
        case SessionKind::relay:
            return {
                {"published_messages", s.relay.published_messages, false,
                 "Messages routed to the relay, kept or dropped."},
                {"published_bytes", s.relay.published_bytes, false,
                 "Bytes of the messages routed to the relay."},
                {"written_messages", s.relay.written_messages, false,
                 "Messages handed to the relay's connection."},
                {"written_bytes", s.relay.written_bytes, false, "Bytes handed to the relay's connection."},
                {"acknowledged_messages", s.relay.acknowledged_messages, false,
                 "Messages the relay's host acknowledged."},
                {"acknowledged_bytes", s.relay.acknowledged_bytes, false,
                 "Bytes the relay's host acknowledged."},
                {"resent_messages", s.relay.resent_messages, false,
                 "Messages written again after a lost connection."},
                {"kept_messages", s.relay.kept_messages, true,
                 "Messages not yet acknowledged by the relay's host."},
                {"kept_bytes", s.relay.kept_bytes, true, "Bytes not yet acknowledged by the relay's host."},
                {"dropped_messages", s.relay.dropped_messages, false,
                 "Messages dropped by the full-buffer policy."},
                {"replaced_versions", s.relay.replaced_versions, false,
                 "Waiting versions replaced by conflation."},
                {"waiting_objects", s.relay.waiting_objects, true,
                 "Objects waiting to be written, conflated."},
                {"discarded_messages", s.relay.discarded_messages, false,
                 "Messages given up when the session stopped."},
                {"refused_messages", s.relay.refused_messages, false, "Publications refused before sending."},
            };
        case SessionKind::center:
            return {
                {"frames_received", s.center.frames_received, false, "Frames received from the center."},
                {"updates_received", s.center.updates_received, false, "Row changes decoded."},
                {"decode_errors", s.center.decode_errors, false, "Frames that could not be decoded."},
                {"updates_delivered", s.center.updates_delivered, false,
                 "Row changes handed to the listeners."},
                {"snapshot_answers", s.center.snapshot_answers, false, "Snapshot answers received."},
            };
        case SessionKind::database:
            return {
                {"requests", s.database.requests, false, "Queries and bulk inserts."},
                {"failures", s.database.failures, false,
                 "Requests that failed or were answered with an error."},
                {"retries", s.database.retries, false, "Requests sent again after a reconnection."},
                {"unknown_outcomes", s.database.unknown_outcomes, false,
                 "Requests lost after they were sent, which the server may have executed."},
            };
    }
    return {};
}

std::vector<HistogramValue> histograms_of(const SessionHealth& s) {
    switch (s.kind) {
        case SessionKind::relay:
            return {};
        case SessionKind::center:
            return {{"snapshot_latency", &s.center.snapshot_latency,
                     "Time from a snapshot request being written to its answer."}};
        case SessionKind::database:
            return {{"response_time", &s.database.response_time, "Time from a request to its end."}};
    }
    return {};
}

std::string metrics_text(const Health& health) {
    std::string out;
    out.reserve(256 + health.sessions.size() * 1024);
    append_head(out, "tyx_session_state", "gauge", "The state of each session: 1 for the state it is in.");
    for (const auto& s : health.sessions) {
        for (const SessionState state : {SessionState::connecting, SessionState::logging_in, SessionState::up,
                                         SessionState::reconnecting, SessionState::stopped}) {
            std::string name(to_string(state));
            for (char& c : name)
                if (c == ' ') c = '_';
            append_sample(out, "tyx_session_state", s, s.state == state ? 1.0 : 0.0, "state", name);
        }
    }
    for (const auto& series : kSessionSeries) {
        if (health.sessions.empty()) break;
        append_head(out, series.name, series.type, series.help);
        for (const auto& s : health.sessions) append_sample(out, series.name, s, series.value(s));
    }
    for (const Family& f : kind_families(health)) {
        append_head(out, f.name, f.type, f.help);
        for (const auto& [s, value] : f.counters) append_sample(out, f.name, *s, value);
        for (const auto& [s, h] : f.histograms) append_histogram(out, f.name, *s, *h);
    }

    const auto& n = health.notifications;
    append_head(out, "tyx_notification_queued", "gauge", "Events waiting for the listeners.");
    out += "tyx_notification_queued ";
    append_number(out, n.queued);
    out += '\n';
    append_head(out, "tyx_notification_delivered_total", "counter", "Events handed to the listeners.");
    out += "tyx_notification_delivered_total ";
    append_number(out, n.delivered);
    out += '\n';
    append_head(out, "tyx_notification_longest_wait_seconds", "gauge",
                "The longest an event has waited to be delivered.");
    out += "tyx_notification_longest_wait_seconds ";
    append_number(out, static_cast<double>(n.longest_wait.count()) / 1e6);
    out += '\n';
    return out;
}

}  // namespace tyx
