#include "core/tyx_client_if.hpp"

#include <asio/redirect_error.hpp>
#include <asio/ssl/error.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>

#include "core/log_text.hpp"

namespace tyx {

namespace {

// Arms `timer` for `pause` from now, saturating at the clock's maximum, and waits. A cancelled
// or failed wait is simply the end of the pause.
asio::awaitable<void> pause_for(SessionTimer& timer, std::chrono::milliseconds pause) {
    using clock = SessionClock;
    const auto now = clock::now();
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(clock::time_point::max() - now);
    timer.expires_at(pause >= room ? clock::time_point::max() : now + pause);
    std::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

}  // namespace

std::string make_client_name(std::string_view cluster_name, std::string_view kind) {
    std::string name;
    name.reserve(cluster_name.size() + 1 + kind.size());
    name.append(cluster_name).append(1, '-').append(kind);
    return name;
}

std::chrono::milliseconds next_failover_pause(std::chrono::milliseconds pause) {
    constexpr std::chrono::milliseconds kDoublingLimit{58000};
    constexpr std::chrono::milliseconds kCap{60000};
    if (pause > kDoublingLimit / 2) return kCap;
    return pause * 2;
}

std::chrono::milliseconds next_reconnect_backoff(std::chrono::milliseconds current,
                                                 std::chrono::nanoseconds since_login) {
    constexpr std::chrono::nanoseconds kLongLived{4999999999};
    if (since_login > kLongLived) return std::chrono::milliseconds{1000};
    if (current.count() == 0) return std::chrono::milliseconds{1000};
    if (current.count() <= 30000) return current * 2;
    return std::chrono::milliseconds{60000};
}

ITyxClient::ITyxClient(SessionEvents& events, std::string_view cluster_name, std::string_view kind,
                       std::vector<Endpoint> endpoints, asio::io_context& io_context, SocketFactory sockets)
    : events_(events),
      io_context_(io_context),
      name_(make_client_name(cluster_name, kind)),
      endpoints_(std::move(endpoints)),
      sockets_(std::move(sockets)),
      pause_timer_(io_context) {
    monitor_ = std::make_shared<SessionMonitor>(std::string(cluster_name),
                                                kind == "relay"    ? SessionKind::relay
                                                : kind == "center" ? SessionKind::center
                                                                   : SessionKind::database,
                                                0, endpoints_);
}

void ITyxClient::set_shard(std::size_t shard) {
    monitor_->set_shard(shard);
}

void ITyxClient::enter_state(SessionState state, StateCause cause, std::string reason,
                             std::chrono::milliseconds pause) {
    const bool reconnecting = state == SessionState::reconnecting;
    const std::uint32_t attempt = reconnecting                        ? failure_.attempts + 1
                                  : state == SessionState::connecting ? failure_.attempts
                                                                      : 0;
    auto event = std::make_shared<const SessionStateEvent>(
        monitor_->enter(state, current_endpoint_, cause, std::move(reason), attempt, pause,
                        reconnecting ? failure_.repeated : 0));
    events_.session_state(name_, std::move(event));
}

bool ITyxClient::note_lost(StateCause cause, std::string reason) {
    std::string key = std::string(to_string(cause)) + ": " + reason;
    const bool repeat = std::find(failure_.seen.begin(), failure_.seen.end(), key) != failure_.seen.end();
    if (repeat)
        ++failure_.repeated;
    else if (failure_.seen.size() < kMostRememberedFailures)
        failure_.seen.push_back(std::move(key));
    failure_.cause = cause;
    failure_.reason = std::move(reason);
    return repeat;
}

StateCause ITyxClient::cause_of(const std::exception& error) {
    const auto* system = dynamic_cast<const std::system_error*>(&error);
    if (system == nullptr) return StateCause::protocol_error;
    if (system->code().category() == asio::error::get_ssl_category()) return StateCause::tls_failure;
    if (system->code() == asio::error::timed_out) return StateCause::timed_out;
    if (system->code() == asio::error::message_size) return StateCause::protocol_error;
    return StateCause::closed_by_peer;
}

void ITyxClient::record_login() {
    last_login_time_ = SessionClock::now();
    failure_ = Failure{};
}

asio::awaitable<void> ITyxClient::connect_with_failover() {
    auto pause = kFirstFailoverPause;
    for (;;) {
        if (stopping_) co_return;
        const std::size_t n = endpoints_.size();
        for (std::size_t attempt = 0; attempt < n; ++attempt) {
            recreate_socket();
            ++failure_.attempts;
            monitor_->count_attempt();
            enter_state(SessionState::connecting, failure_.cause, failure_.reason);
            const bool connected = co_await try_connect_once();
            if (connected) co_return;
            advance_endpoint();
            if (stopping_) co_return;
        }
        first_round_done();
        enter_state(SessionState::reconnecting, failure_.cause, failure_.reason, pause);
        co_await pause_for(pause_timer_, pause);
        if (stopping_) co_return;
        pause = next_failover_pause(pause);
    }
}

std::chrono::milliseconds ITyxClient::coming_backoff() const {
    // Without a login since the last back-off (a failed handshake or login), the session never
    // came up in between: the back-off goes on growing as for a connection that drops at once.
    const bool logged_in_since = last_login_time_ > last_backoff_time_;
    return next_reconnect_backoff(
        std::chrono::milliseconds{current_backoff_ms_},
        logged_in_since ? SessionClock::now() - last_login_time_ : std::chrono::nanoseconds{0});
}

asio::awaitable<void> ITyxClient::reconnect_backoff() {
    const auto backoff = coming_backoff();
    current_backoff_ms_ = backoff.count();
    last_backoff_time_ = SessionClock::now();
    enter_state(SessionState::reconnecting, failure_.cause, failure_.reason, backoff);
    co_await pause_for(pause_timer_, backoff);
}

asio::awaitable<bool> ITyxClient::reconnect_to_next_endpoint() {
    co_await reconnect_backoff();
    if (stopping_) co_return false;
    advance_endpoint();
    co_await connect_with_failover();
    if (stopping_) co_return false;
    notify_connect();
    enter_state(SessionState::logging_in);
    co_return true;
}

asio::awaitable<bool> ITyxClient::connect_first() {
    co_await connect_with_failover();
    if (stopping_) co_return false;
    notify_connect();
    enter_state(SessionState::logging_in);
    co_return true;
}

void ITyxClient::advance_endpoint() {
    // An empty list has no next endpoint; taking the modulo of 0 would be undefined.
    if (endpoints_.empty()) return;
    current_endpoint_ = (current_endpoint_ + 1) % endpoints_.size();
}

std::unique_ptr<ISocket> ITyxClient::create_socket() const {
    const Endpoint endpoint =
        current_endpoint_ < endpoints_.size() ? endpoints_[current_endpoint_] : Endpoint{};
    return sockets_(endpoint);
}

asio::awaitable<bool> SingleSocketClient::try_connect_once() {
    const bool connected = co_await socket_->connect_sync();
    if (!connected && !stopping_) report_failed_attempt(*socket_);
    co_return connected;
}

void ITyxClient::notify_connect() {
    events_.connected(name_);
}

void ITyxClient::notify_disconnect() {
    events_.disconnected(name_);
}

void ITyxClient::notify_logged_in() {
    events_.logged_in(name_);
    enter_state(SessionState::up);
}

void ITyxClient::notify_message_sent(std::string message) {
    events_.message_sent(name_, std::move(message));
}

void ITyxClient::notify_log(std::uint8_t level, std::string message) {
    events_.log(name_, level, std::move(message));
}

StateCause ITyxClient::cause_of_attempt(const ISocket& socket) {
    const std::string reason = socket.get_last_error_message();
    if (socket.get_last_error() == static_cast<std::int32_t>(asio::error::timed_out))
        return StateCause::timed_out;
    // The socket's text names the step: what failed before the TLS handshake is a refused
    // connection like any other.
    const bool before_tls = reason.starts_with("resolving") || reason.starts_with("TCP connect");
    if (socket.is_ssl() && socket.get_last_error() != 0 && !before_tls) return StateCause::tls_failure;
    return StateCause::refused;
}

void ITyxClient::report_failed_attempt(const ISocket& socket) {
    const StateCause cause = cause_of_attempt(socket);
    const std::string reason = socket.get_last_error_message();
    // One log per distinct failure until the session is next up: a client failing over
    // between a few endpoints for hours says each of their failures once.
    const bool repeat = note_lost(cause, reason);
    if (repeat) return;
    if (cause == StateCause::tls_failure) notify_log(3, "Failed to connect over TLS: " + reason);
    if (cause == StateCause::timed_out) notify_log(3, "Failed to connect: " + reason);
}

void ITyxClient::report_unexpected(std::uint8_t level, std::string_view what, std::string_view input) {
    monitor_->unexpected_inputs.fetch_add(1, std::memory_order_relaxed);
    for (std::string& text : unexpected_logs_.admit(
             std::string(what) + log_quoted(input, LogLimiter::kShownBytes), LogLimiter::Clock::now()))
        notify_log(level, std::move(text));
}

void ITyxClient::limited_log(std::uint8_t level, std::string text) {
    for (std::string& line : unexpected_logs_.admit(std::move(text), LogLimiter::Clock::now()))
        notify_log(level, std::move(line));
}

void ITyxClient::report_read_failure(const std::exception& error) {
    if (cause_of(error) == StateCause::protocol_error)
        notify_log(3, std::string("Connection given up: the server sent what cannot be read (") +
                          error.what() + ")");
    else
        report_tls_error(error);
}

void ITyxClient::report_tls_error(const std::exception& error) {
    const auto* system = dynamic_cast<const std::system_error*>(&error);
    if (system == nullptr || system->code().category() != asio::error::get_ssl_category()) return;
    notify_log(3, std::string("TLS connection failed: ") + system->what());
}

}  // namespace tyx
