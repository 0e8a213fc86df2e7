#include "tyx/health.hpp"

#include <charconv>
#include <cmath>
#include <functional>

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

struct SessionSeries {
    std::string_view name;
    std::string_view type;
    std::string_view help;
    bool (*applies)(const SessionHealth&);
    double (*value)(const SessionHealth&);
};

bool any_session(const SessionHealth&) {
    return true;
}
bool relay_session(const SessionHealth& s) {
    return s.kind == SessionKind::relay;
}
bool center_session(const SessionHealth& s) {
    return s.kind == SessionKind::center;
}
bool database_session(const SessionHealth& s) {
    return s.kind == SessionKind::database;
}

template <typename T>
double as_double(T v) {
    return static_cast<double>(v);
}

const SessionSeries kSeries[] = {
    {"tyx_session_up", "gauge", "1 while the session is logged in, else 0.", any_session,
     [](const SessionHealth& s) { return s.state == SessionState::up ? 1.0 : 0.0; }},
    {"tyx_session_state_since_seconds", "gauge", "When the session entered its current state (Unix time).",
     any_session,
     [](const SessionHealth& s) {
         return std::chrono::duration<double>(s.since.time_since_epoch()).count();
     }},
    {"tyx_session_connection_attempts_total", "counter", "Connection attempts so far.", any_session,
     [](const SessionHealth& s) { return as_double(s.connection_attempts); }},
    {"tyx_session_reconnections_total", "counter", "Logins after the first one.", any_session,
     [](const SessionHealth& s) { return as_double(s.reconnections); }},
    {"tyx_relay_published_messages_total", "counter", "Messages kept by the outbox for writing.",
     relay_session, [](const SessionHealth& s) { return as_double(s.relay.published_messages); }},
    {"tyx_relay_published_bytes_total", "counter", "Bytes kept by the outbox for writing.", relay_session,
     [](const SessionHealth& s) { return as_double(s.relay.published_bytes); }},
    {"tyx_relay_written_messages_total", "counter", "Messages written to the relay.", relay_session,
     [](const SessionHealth& s) { return as_double(s.relay.written_messages); }},
    {"tyx_relay_written_bytes_total", "counter", "Bytes written to the relay.", relay_session,
     [](const SessionHealth& s) { return as_double(s.relay.written_bytes); }},
    {"tyx_relay_resent_messages_total", "counter", "Messages written again after a lost connection.",
     relay_session, [](const SessionHealth& s) { return as_double(s.relay.resent_messages); }},
    {"tyx_relay_kept_messages", "gauge", "Messages waiting to be written.", relay_session,
     [](const SessionHealth& s) { return as_double(s.relay.kept_messages); }},
    {"tyx_relay_kept_bytes", "gauge", "Bytes waiting to be written.", relay_session,
     [](const SessionHealth& s) { return as_double(s.relay.kept_bytes); }},
    {"tyx_relay_dropped_messages_total", "counter", "Messages dropped by the full-buffer policy.",
     relay_session, [](const SessionHealth& s) { return as_double(s.relay.dropped_messages); }},
    {"tyx_center_frames_received_total", "counter", "Frames received from the center.", center_session,
     [](const SessionHealth& s) { return as_double(s.center.frames_received); }},
    {"tyx_center_updates_received_total", "counter", "Row changes decoded.", center_session,
     [](const SessionHealth& s) { return as_double(s.center.updates_received); }},
    {"tyx_center_decode_errors_total", "counter", "Frames that could not be decoded.", center_session,
     [](const SessionHealth& s) { return as_double(s.center.decode_errors); }},
    {"tyx_center_updates_delivered_total", "counter", "Row changes handed to the listeners.", center_session,
     [](const SessionHealth& s) { return as_double(s.center.updates_delivered); }},
    {"tyx_center_snapshot_answers_total", "counter", "Snapshot answers received.", center_session,
     [](const SessionHealth& s) { return as_double(s.center.snapshot_answers); }},
    {"tyx_database_requests_total", "counter", "Queries and bulk inserts.", database_session,
     [](const SessionHealth& s) { return as_double(s.database.requests); }},
    {"tyx_database_failures_total", "counter", "Requests that failed.", database_session,
     [](const SessionHealth& s) { return as_double(s.database.failures); }},
    {"tyx_database_retries_total", "counter", "Requests sent again after a reconnection.", database_session,
     [](const SessionHealth& s) { return as_double(s.database.retries); }},
};

void append_histogram(std::string& out, const Health& health, std::string_view name, std::string_view help,
                      bool (*applies)(const SessionHealth&),
                      const LatencyHistogram& (*of)(const SessionHealth&)) {
    bool any = false;
    for (const auto& s : health.sessions) any = any || applies(s);
    if (!any) return;
    append_head(out, name, "histogram", help);
    for (const auto& s : health.sessions) {
        if (!applies(s)) continue;
        const LatencyHistogram& h = of(s);
        std::uint64_t running = 0;
        for (std::size_t i = 0; i < LatencyHistogram::kBoundsUs.size(); ++i) {
            running += h.counts[i];
            std::string le;
            append_number(le, static_cast<double>(LatencyHistogram::kBoundsUs[i]) / 1e6);
            out.append(name).append("_bucket");
            append_labels(out, s, "le", le);
            out += ' ';
            append_number(out, running);
            out += '\n';
        }
        out.append(name).append("_bucket");
        append_labels(out, s, "le", "+Inf");
        out += ' ';
        append_number(out, h.count());
        out += '\n';
        out.append(name).append("_sum");
        append_labels(out, s);
        out += ' ';
        append_number(out, static_cast<double>(h.sum_us) / 1e6);
        out += '\n';
        out.append(name).append("_count");
        append_labels(out, s);
        out += ' ';
        append_number(out, h.count());
        out += '\n';
    }
}

}  // namespace

std::string metrics_text(const Health& health) {
    std::string out;
    out.reserve(256 + health.sessions.size() * 1024);
    append_head(out, "tyx_session_state", "gauge", "The state of each session: 1 for the state it is in.");
    for (const auto& s : health.sessions) {
        for (const SessionState state : {SessionState::connecting, SessionState::logging_in, SessionState::up,
                                         SessionState::reconnecting, SessionState::stopped}) {
            out += "tyx_session_state";
            std::string name(to_string(state));
            for (char& c : name)
                if (c == ' ') c = '_';
            append_labels(out, s, "state", name);
            out += s.state == state ? " 1\n" : " 0\n";
        }
    }
    for (const auto& series : kSeries) {
        bool any = false;
        for (const auto& s : health.sessions) any = any || series.applies(s);
        if (!any) continue;
        append_head(out, series.name, series.type, series.help);
        for (const auto& s : health.sessions) {
            if (!series.applies(s)) continue;
            out += series.name;
            append_labels(out, s);
            out += ' ';
            append_number(out, series.value(s));
            out += '\n';
        }
    }
    append_histogram(
        out, health, "tyx_center_snapshot_latency_seconds",
        "Time from a snapshot request being written to its answer.", center_session,
        [](const SessionHealth& s) -> const LatencyHistogram& { return s.center.snapshot_latency; });
    append_histogram(
        out, health, "tyx_database_response_time_seconds", "Time from a request to its response.",
        database_session,
        [](const SessionHealth& s) -> const LatencyHistogram& { return s.database.response_time; });

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
