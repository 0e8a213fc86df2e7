#include "connection.hpp"

#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <utility>

#include "health_json.hpp"
#include "tool_error.hpp"

namespace tyx::tool {

std::string seconds_text(std::chrono::milliseconds duration) {
    std::ostringstream out;
    out << static_cast<double>(duration.count()) / 1000.0 << " s";
    return out.str();
}

namespace {

std::optional<ServerKind> kind_of(std::string_view client_name) {
    auto ends_with = [&](std::string_view suffix) {
        return client_name.size() >= suffix.size() &&
               client_name.substr(client_name.size() - suffix.size()) == suffix;
    };
    if (ends_with("-relay")) return ServerKind::relay;
    if (ends_with("-center")) return ServerKind::center;
    if (ends_with("-jdbc")) return ServerKind::database;
    return std::nullopt;
}

constexpr std::string_view kQueryFailure = "Failed to execute SQL query";
constexpr std::string_view kUploadFailure = "Failed to execute bulk insert";
constexpr std::string_view kPublishRefused = "Failed to publish object: ";
constexpr std::string_view kRemoveRefused = "Failed to remove object: ";

struct QueryState {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    bool abandoned = false;
    std::string failure;
    std::exception_ptr error;
};

}  // namespace

struct Connection::Events : tyx::ClientListener {
    explicit Events(bool verbose_on) : verbose(verbose_on) {}

    struct PerKind {
        int connects = 0;
        int logins = 0;
        std::string last_error;
        std::string hopeless;  // why waiting for the first login would be in vain
    };

    // A first connection that failed for a reason another attempt cannot mend: refused (on its
    // only endpoint, after a whole round), a name or port that does not resolve, TLS
    // verification or material, a refused login. A timeout may pass; it is waited out.
    void on_session_state(tyx::Client&, const tyx::SessionStateEvent& event) override {
        if (event.state != tyx::SessionState::reconnecting) return;
        const bool mendable =
            event.cause == tyx::StateCause::timed_out || event.cause == tyx::StateCause::closed_by_peer ||
            event.cause == tyx::StateCause::protocol_error || event.cause == tyx::StateCause::none ||
            event.reason.find("timed out") != std::string::npos;
        if (mendable) return;
        const ServerKind kind = event.kind == tyx::SessionKind::relay    ? ServerKind::relay
                                : event.kind == tyx::SessionKind::center ? ServerKind::center
                                                                         : ServerKind::database;
        std::lock_guard lock(mutex);
        auto& k = kinds[kind];
        if (k.logins > 0 || !k.hopeless.empty()) return;
        k.hopeless = event.reason.empty() ? std::string(tyx::to_string(event.cause)) : event.reason;
        if (event.cause == tyx::StateCause::login_refused) k.hopeless = "login refused: " + k.hopeless;
        changed.notify_all();
    }

    void on_connect(tyx::Client&, std::string_view name) override {
        if (verbose) std::fprintf(stderr, "[%.*s] connected\n", static_cast<int>(name.size()), name.data());
        if (auto kind = kind_of(name)) {
            std::lock_guard lock(mutex);
            ++kinds[*kind].connects;
        }
    }
    void on_disconnect(tyx::Client&, std::string_view name) override {
        if (verbose)
            std::fprintf(stderr, "[%.*s] disconnected\n", static_cast<int>(name.size()), name.data());
        const auto kind = kind_of(name);
        std::lock_guard lock(mutex);
        if (kind && !closing && kinds[*kind].logins > 0 && !verbose)
            std::fprintf(stderr, "tyx: lost the connection to the %s server; reconnecting\n",
                         kind_name(*kind));
    }
    void on_logged_in(tyx::Client&, std::string_view name) override {
        if (verbose) std::fprintf(stderr, "[%.*s] logged in\n", static_cast<int>(name.size()), name.data());
        if (auto kind = kind_of(name)) {
            std::lock_guard lock(mutex);
            ++kinds[*kind].logins;
            changed.notify_all();
        }
    }
    void on_message_sent(tyx::Client&, std::string_view name, std::string_view message) override {
        if (kind_of(name) != ServerKind::relay) return;
        // The login and logout lines are reported too; only objects and removals count.
        if (message.size() < 2 || message[1] != '|' || (message[0] != 'O' && message[0] != 'D')) return;
        std::lock_guard lock(mutex);
        ++sent;
        changed.notify_all();
    }
    void on_message_received(tyx::Client&, std::string_view name, std::int64_t, std::int64_t,
                             std::int32_t status, std::string_view message) override {
        if (verbose && kind_of(name) == ServerKind::relay)
            std::fprintf(stderr, "[%.*s] status %d: %.*s\n", static_cast<int>(name.size()), name.data(),
                         status, static_cast<int>(message.size()), message.data());
    }
    void on_update(tyx::Client&, std::string_view, const CenterIncrementalUpdate& update) override {
        UpdateHandler handler;
        {
            std::lock_guard lock(mutex);
            handler = update_handler;
        }
        if (handler) handler(update);
    }
    void on_log(tyx::Client&, std::string_view name, std::uint8_t level, std::string_view message) override {
        if (verbose)
            std::fprintf(stderr, "[%.*s] log %u: %.*s\n", static_cast<int>(name.size()), name.data(), level,
                         static_cast<int>(message.size()), message.data());
        if (level < 3) return;
        std::shared_ptr<QueryState> query;
        {
            std::lock_guard lock(mutex);
            if (auto kind = kind_of(name)) kinds[*kind].last_error = std::string(message);
            if (message.starts_with(kQueryFailure)) query = current_query;
            if (message.starts_with(kPublishRefused) || message.starts_with(kRemoveRefused)) {
                if (refused++ == 0) refusal = std::string(message);
                changed.notify_all();
            }
            if (message.starts_with(kUploadFailure) && upload_failure.empty()) {
                upload_failure = std::string(message);
                changed.notify_all();
            }
        }
        if (query) {
            std::lock_guard lock(query->mutex);
            query->failure = std::string(message);
            query->changed.notify_all();
        }
    }

    const bool verbose;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::map<ServerKind, PerKind> kinds;
    std::uint64_t sent = 0;
    bool closing = false;
    UpdateHandler update_handler;
    std::shared_ptr<QueryState> current_query;
    std::string upload_failure;
    std::uint64_t refused = 0;
    std::string refusal;
};

Connection::Connection(ClusterSettings settings, std::vector<ServerKind> kinds, bool verbose, bool stats)
    : settings_(std::move(settings)),
      kinds_(std::move(kinds)),
      events_(std::make_shared<Events>(verbose)),
      client_(std::make_unique<tyx::Client>()) {
    stats_ = stats;
    client_->listener_add(events_);
    // Not waiting: a waiting add lasts until every session's first connection attempt settles,
    // which a server that accepts but never answers stretches to the login timeout. The connect
    // deadline is wait_ready's.
    client_->add_cluster(make_cluster(settings_, kinds_), false);
}

Connection::~Connection() {
    if (abandoned_) {
        // Deliberately leaked: see abandon().
        (void)client_.release();
        return;
    }
    if (stats_) std::fprintf(stderr, "%s\n", health_json(client_->health()).dump(2).c_str());
    {
        std::lock_guard lock(events_->mutex);
        events_->closing = true;
    }
    client_.reset();
}

void Connection::abandon() {
    abandoned_ = true;
}

void Connection::wait_ready(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(events_->mutex);
    auto ready = [&] {
        for (auto kind : kinds_)
            if (events_->kinds[kind].logins == 0) return false;
        return true;
    };
    auto hopeless = [&] {
        for (auto kind : kinds_)
            if (events_->kinds[kind].logins == 0 && !events_->kinds[kind].hopeless.empty()) return true;
        return false;
    };
    if (events_->changed.wait_until(lock, deadline, [&] { return ready() || hopeless(); }) && !hopeless())
        return;
    std::string text;
    if (hopeless()) {
        for (auto kind : kinds_) {
            const auto& k = events_->kinds[kind];
            if (k.logins > 0 || k.hopeless.empty()) continue;
            if (!text.empty()) text += "\ntyx: ";
            text += std::string("could not reach the ") + kind_name(kind) + " server at " +
                    settings_.endpoint(kind) + ": " + k.hopeless;
        }
        abandon();
        throw ToolError(text);
    }
    for (auto kind : kinds_) {
        const auto& k = events_->kinds[kind];
        if (k.logins > 0) continue;
        if (!text.empty()) text += "\ntyx: ";
        if (k.connects > 0)
            text += std::string("connected to the ") + kind_name(kind) + " server at " +
                    settings_.endpoint(kind) + " but could not log in within " + seconds_text(timeout);
        else
            text += std::string("could not reach the ") + kind_name(kind) + " server at " +
                    settings_.endpoint(kind) + " within " + seconds_text(timeout);
        if (!k.last_error.empty()) text += " (" + k.last_error + ")";
    }
    abandon();
    throw ToolError(text);
}

std::uint64_t Connection::publications_sent() const {
    std::lock_guard lock(events_->mutex);
    return events_->sent;
}

std::uint64_t Connection::publications_refused() const {
    std::lock_guard lock(events_->mutex);
    return events_->refused;
}

std::string Connection::first_refusal() const {
    std::lock_guard lock(events_->mutex);
    return events_->refusal;
}

bool Connection::wait_for_sent(std::uint64_t n, std::chrono::milliseconds stall) {
    std::unique_lock lock(events_->mutex);
    for (;;) {
        const auto before = events_->sent + events_->refused;
        if (before >= n) return true;
        if (!events_->changed.wait_for(lock, stall,
                                       [&] { return events_->sent + events_->refused != before; })) {
            abandon();
            return false;
        }
    }
}

void Connection::flush_relay(std::uint64_t published, std::chrono::milliseconds timeout) {
    const std::size_t left = client_->flush(cluster(), timeout);
    if (left == 0) return;
    std::string why;
    {
        std::lock_guard lock(events_->mutex);
        why = events_->kinds[ServerKind::relay].last_error;
    }
    abandon();
    throw ToolError("the relay server at " + settings_.endpoint(ServerKind::relay) + " has not received " +
                    std::to_string(left) + " of " + std::to_string(published) + " publications within " +
                    seconds_text(timeout) + (why.empty() ? "" : " (" + why + ")"));
}

std::string Connection::take_upload_failure(std::chrono::milliseconds wait) {
    std::unique_lock lock(events_->mutex);
    events_->changed.wait_for(lock, wait, [&] { return !events_->upload_failure.empty(); });
    return std::exchange(events_->upload_failure, std::string());
}

void Connection::set_update_handler(UpdateHandler handler) {
    std::lock_guard lock(events_->mutex);
    events_->update_handler = std::move(handler);
}

void Connection::query(std::string_view sql, const std::function<void(const tyx::TableAccessor&)>& use) {
    auto state = std::make_shared<QueryState>();
    {
        std::lock_guard lock(events_->mutex);
        events_->current_query = state;
    }
    client_->sql_async(cluster(), sql, [state, &use](const tyx::TableAccessor& result) {
        std::lock_guard lock(state->mutex);
        // The caller may have given up waiting; `use` is then gone with its frame.
        if (state->abandoned) return;
        try {
            use(result);
        } catch (...) {
            state->error = std::current_exception();
        }
        state->done = true;
        state->changed.notify_all();
    });
    // The library answers within the query timeout and a second; the margin only guards against
    // a lost answer.
    const auto limit = std::chrono::seconds(settings_.query_timeout_s) + std::chrono::seconds(3);
    std::unique_lock lock(state->mutex);
    const bool finished =
        state->changed.wait_for(lock, limit, [&] { return state->done || !state->failure.empty(); });
    state->abandoned = true;
    {
        std::lock_guard events_lock(events_->mutex);
        events_->current_query.reset();
    }
    if (state->error) std::rethrow_exception(state->error);
    if (state->done) return;
    if (!finished) {
        abandon();
        throw ToolError("the database gave no answer within " + seconds_text(limit));
    }
    throw ToolError(state->failure);
}

}  // namespace tyx::tool
