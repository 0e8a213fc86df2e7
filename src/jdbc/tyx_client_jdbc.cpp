#include "jdbc/tyx_client_jdbc.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <stdexcept>
#include <system_error>

#include "jdbc/jdbc_bulk_insert.hpp"
#include "jdbc/jdbc_response_reader.hpp"
#include "jdbc/jdbc_session_messages.hpp"

namespace tyx {

namespace jdbc {

asio::awaitable<bool> WaitList::wait(asio::io_context& io_context, SessionClock::time_point until) {
    auto waiter = std::make_shared<Waiter>(io_context);
    waiter->timer.expires_at(until);
    waiters_.push_back(waiter);
    std::error_code ignored;
    co_await waiter->timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    if (!waiter->notified) std::erase(waiters_, waiter);
    co_return waiter->notified;
}

bool WaitList::notify_one() {
    if (waiters_.empty()) return false;
    auto waiter = std::move(waiters_.front());
    waiters_.pop_front();
    waiter->notified = true;
    waiter->timer.cancel();
    return true;
}

void WaitList::notify_all() {
    while (notify_one()) {
    }
}

namespace {
char lower_ascii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
bool word_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
// Whether `text` holds `word` (lower case) as a whole word, in any case.
bool holds_word(std::string_view text, std::string_view word) {
    for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
        if ((i > 0 && word_char(text[i - 1])) ||
            (i + word.size() < text.size() && word_char(text[i + word.size()])))
            continue;
        bool same = true;
        for (std::size_t k = 0; k < word.size() && same; ++k) same = lower_ascii(text[i + k]) == word[k];
        if (same) return true;
    }
    return false;
}
}  // namespace

bool reads_only(std::string_view sql) {
    std::size_t i = 0;
    for (;;) {
        while (i < sql.size() && (sql[i] == ' ' || sql[i] == '\t' || sql[i] == '\n' || sql[i] == '\r')) ++i;
        if (sql.substr(i, 2) == "--") {
            const auto end = sql.find('\n', i);
            i = end == std::string_view::npos ? sql.size() : end + 1;
        } else if (sql.substr(i, 2) == "/*") {
            const auto end = sql.find("*/", i + 2);
            if (end == std::string_view::npos) return false;
            i = end + 2;
        } else {
            break;
        }
    }
    const std::string_view text = sql.substr(i);
    std::size_t n = 0;
    while (n < text.size() && word_char(text[n])) ++n;
    std::string first;
    for (char c : text.substr(0, n)) first += lower_ascii(c);
    if (first != "select" && first != "show" && first != "describe" && first != "explain") return false;
    if (const auto semicolon = text.find(';');
        semicolon != std::string_view::npos &&
        text.find_first_not_of(" \t\r\n;", semicolon) != std::string_view::npos)
        return false;
    return !holds_word(text, "into") && !holds_word(text, "analyze");
}

std::chrono::milliseconds request_limit(std::int64_t timeout_ms, std::int32_t configured_timeout_ms) {
    constexpr std::int64_t kDefault = 30000;
    constexpr std::int64_t kLongest = 24LL * 3600 * 1000;  // keeps sums far from overflowing
    const std::int64_t limit = timeout_ms > 0              ? timeout_ms
                               : configured_timeout_ms > 0 ? configured_timeout_ms
                                                           : kDefault;
    return std::chrono::milliseconds{std::min(limit, kLongest)};
}

std::chrono::milliseconds response_deadline(std::int64_t timeout_ms, std::int32_t configured_timeout_ms) {
    constexpr std::chrono::milliseconds kMostGrace{5000};
    const auto limit = request_limit(timeout_ms, configured_timeout_ms);
    return limit + std::min(limit, kMostGrace);
}

std::string RequestDeadline::timed_out(std::string_view context) const {
    std::string text = "JDBC request timed out after " + std::to_string(limit.count()) + " ms";
    if (!context.empty()) text.append(" ").append(context);
    return text;
}

}  // namespace jdbc

namespace {

constexpr const char* kStoppedText = "JDBC client is stopped";
constexpr const char* kNotConnectedText = "JDBC session is not connected";

// The session was already down when a request came: nothing new was lost, and the failure that
// took it down stays the one the state reports.
struct NotConnected : std::runtime_error {
    NotConnected() : std::runtime_error(kNotConnectedText) {}
};
// The connection was found closed by the server before the request was written (a server ends
// idle connections): nothing of the request reached it.
struct FoundClosed : std::runtime_error {
    FoundClosed() : std::runtime_error("the server had closed the connection") {}
};

// The text of a failure that struck after the request was written, for a request that may
// change data: the server may have executed it, so it is not sent again.
std::string outcome_unknown(const std::exception& e, bool timed_out) {
    if (timed_out || dynamic_cast<const std::system_error*>(&e) == nullptr)
        return std::string(e.what()) + "; it may have been executed";
    return std::string("the connection was lost after the request was sent; it may have been executed (") +
           e.what() + ")";
}

// A server's message in a result is what the accessor reports as its error.
bool carries_message(const jdbc::QueryResult* result) {
    if (result == nullptr) return false;
    return std::any_of(result->elements.begin(), result->elements.end(),
                       [](const jdbc::QueryResultElement& e) { return e.message.has_value(); });
}

std::string login_timed_out(std::chrono::milliseconds deadline, std::string_view step) {
    return "JDBC login timed out after " + std::to_string(deadline.count()) + " ms " + std::string(step);
}

}  // namespace

// Counts a request from its call to its end, whatever the way out, for `stop` to wait on.
class TyxClientJdbc::ActiveRequest {
public:
    explicit ActiveRequest(TyxClientJdbc& client) : client_(client) { ++client_.active_requests_; }
    ~ActiveRequest() { client_.request_finished(); }
    ActiveRequest(const ActiveRequest&) = delete;
    ActiveRequest& operator=(const ActiveRequest&) = delete;

private:
    TyxClientJdbc& client_;
};

// Counts one request and its response time. A request that ends without a result, or whose
// result carries a server's message, is a failure.
struct TyxClientJdbc::RequestCount {
    explicit RequestCount(SessionMonitor& monitor) : monitor(monitor), start(SessionClock::now()) {
        monitor.requests.fetch_add(1, std::memory_order_relaxed);
    }
    ~RequestCount() {
        monitor.response_time.add(SessionClock::now() - start);
        if (!succeeded) monitor.failures.fetch_add(1, std::memory_order_relaxed);
    }
    RequestCount(const RequestCount&) = delete;
    RequestCount& operator=(const RequestCount&) = delete;

    SessionMonitor& monitor;
    const SessionClock::time_point start;
    bool succeeded = false;
};

// Owns the connection's turn; handing it to the next waiter on the way out.
class TyxClientJdbc::LockHolder {
public:
    explicit LockHolder(TyxClientJdbc& client) : client_(client) {}
    ~LockHolder() { client_.release_turn(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

private:
    TyxClientJdbc& client_;
};

// Arms the deadline of one exchange on the current socket; when it passes first, that socket
// is closed, which fails the pending read or write. Disarmed on the way out.
class TyxClientJdbc::Watchdog {
public:
    Watchdog(TyxClientJdbc& client, SessionClock::time_point until) : client_(client) {
        client.timed_out_ = false;
        const std::uint64_t generation = ++client.deadline_generation_;
        client.deadline_.expires_at(until);
        client.deadline_.async_wait([&client, generation, socket = client.socket_.get(),
                                     alive = std::weak_ptr<char>(client.alive_)](std::error_code ec) {
            if (ec || alive.expired()) return;
            if (generation != client.deadline_generation_) return;
            client.timed_out_ = true;
            client.expire_connection(socket);
        });
    }
    ~Watchdog() {
        ++client_.deadline_generation_;
        client_.deadline_.cancel();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    TyxClientJdbc& client_;
};

TyxClientJdbc::TyxClientJdbc(SessionEvents& events, std::string_view cluster_name,
                             std::vector<Endpoint> endpoints, const DatabaseConfig& config,
                             asio::io_context& io_context, SocketFactory sockets)
    : SingleSocketClient(events, cluster_name, "jdbc", std::move(endpoints), io_context,
                         std::move(sockets)),
      config_(config),
      deadline_(io_context) {
    recreate_socket();
}

TyxClientJdbc::~TyxClientJdbc() {
    alive_.reset();
}

asio::awaitable<void> TyxClientJdbc::connect(asio::io_context&) {
    connecting_ = true;
    connect_error_ = nullptr;
    std::exception_ptr error;
    try {
        co_await connect_and_login();
    } catch (...) {
        error = std::current_exception();
    }
    finish_connecting(error);
    if (error) std::rethrow_exception(error);
}

asio::awaitable<void> TyxClientJdbc::connect_and_login() {
    logged_in_ = false;
    const bool connected = co_await connect_first();
    if (!connected) co_return;
    co_await do_login_handshake();
}

void TyxClientJdbc::connection_lost() {
    if (!logged_in_) return;
    logged_in_ = false;
    notify_disconnect();
}

asio::awaitable<void> TyxClientJdbc::do_reconnect() {
    connection_lost();
    const bool connected = co_await reconnect_to_next_endpoint();
    if (!connected) co_return;
    co_await do_login_handshake();
}

asio::awaitable<void> TyxClientJdbc::receive_loop() {
    co_return;
}

asio::awaitable<void> TyxClientJdbc::stop() {
    stopping_ = true;
    end_pauses();
    co_await socket_->disconnect_sync();
    connection_lost();
    // Requests in flight fail at once on the closed socket, queued ones when their turn comes,
    // and a reconnection ends at its next step; none may touch this client after it is gone.
    while (active_requests_ > 0 || reconnect_running_) {
        const bool woken = co_await drained_.wait(io_context_);
        (void)woken;
    }
}

asio::awaitable<void> TyxClientJdbc::do_login_handshake() {
    const std::chrono::milliseconds deadline{config_.connect_timeout_ms > 0 ? config_.connect_timeout_ms : 0};
    jdbc::Login login(config_);
    jdbc::LoginAck ack;
    {
        std::optional<Watchdog> watch;
        if (deadline.count() > 0) watch.emplace(*this, SessionClock::now() + deadline);
        // What the login was doing, for the texts of its failures.
        std::string_view step = "writing the version";
        const auto failed = [&](std::string_view what) {
            return "JDBC login failed " + std::string(step) + ": " + std::string(what);
        };
        try {
            const auto& hello = jdbc::kClientVersionBytes;
            co_await socket_->send_all_sync(
                std::string_view(reinterpret_cast<const char*>(hello.data()), hello.size()));
            step = "waiting for the version reply";
            std::array<std::uint8_t, jdbc::kServerVersionBytes.size()> answer{};
            co_await socket_->receive_all_sync(answer.data(), answer.size());
            jdbc::check_server_version(ByteView(answer.data(), answer.size()));
            step = "writing the login";
            co_await socket_->send_all_sync(login.view());
            step = "waiting for the login reply";
            std::vector<std::uint8_t> body;
            co_await receive_all(body);
            ack = jdbc::LoginAck(ByteView(body));
        } catch (const std::system_error& e) {
            if (timed_out_) {
                login_failed(StateCause::timed_out, login_timed_out(deadline, step));
                throw std::runtime_error(login_timed_out(deadline, step));
            }
            login_failed(cause_of(e), failed(e.what()));
            throw std::system_error(e.code(), failed(e.code().message()));
        } catch (const std::exception& e) {
            if (timed_out_) {
                login_failed(StateCause::timed_out, login_timed_out(deadline, step));
                throw std::runtime_error(login_timed_out(deadline, step));
            }
            login_failed(StateCause::login_refused, e.what());
            throw;
        }
    }
    try {
        jdbc::check_protocol_version(ack.version);
    } catch (const std::exception& e) {
        login_failed(StateCause::login_refused, e.what());
        throw;
    }
    record_login();
    logged_in_ = true;
    notify_message_sent(std::string(login.view()));
    notify_logged_in();
    notify_received(std::move(ack.message));
}

asio::awaitable<void> TyxClientJdbc::receive_all(std::vector<std::uint8_t>& out) {
    // Exact reads of the room the reader offers: nothing past this response is taken.
    jdbc::ResponseReader reader;
    while (!reader.complete()) {
        const std::span<std::uint8_t> room = reader.room();
        co_await socket_->receive_all_sync(room.data(), room.size());
        reader.commit(room.size());
    }
    out = reader.take();
}

asio::awaitable<void> TyxClientJdbc::receive_response() {
    // A response begun by an attempt that failed is of no use to the next one.
    response_.reset();
    try {
        while (!response_.complete()) {
            const std::span<std::uint8_t> room = response_.room();
            co_await socket_->receive_all_sync(room.data(), room.size());
            response_.commit(room.size());
        }
    } catch (...) {
        // Not kept beyond the bound either: the part of a large response that did arrive.
        response_.reset();
        response_.trim(receive_keep_);
        throw;
    }
}

asio::awaitable<std::shared_ptr<jdbc::QueryResult>> TyxClientJdbc::sql(std::string_view sql_text,
                                                                       SessionClock::time_point started) {
    const jdbc::Query query(sql_text);
    auto result = co_await run_request(
        query, query.sql, jdbc::RequestDeadline(jdbc::request_limit(config_.query_timeout_ms, 0), started),
        jdbc::reads_only(query.sql));
    co_return result;
}

asio::awaitable<std::shared_ptr<jdbc::QueryResult>> TyxClientJdbc::bulk_insert(
    std::string_view table, const std::vector<jdbc::JdbcColumn>& columns, std::int32_t row_count,
    std::int64_t timeout_ms, SessionClock::time_point started) {
    const std::int64_t effective = timeout_ms >= 0 ? timeout_ms : config_.query_timeout_ms;
    const jdbc::BulkInsert request(table, columns, row_count, effective);
    auto result = co_await run_request(
        request, request.table_name,
        jdbc::RequestDeadline(jdbc::request_limit(effective, config_.query_timeout_ms), started), false);
    co_return result;
}

asio::awaitable<std::shared_ptr<jdbc::QueryResult>> TyxClientJdbc::run_request(const QMessage& request,
                                                                               std::string sent_text,
                                                                               jdbc::RequestDeadline deadline,
                                                                               bool reads_only) {
    ActiveRequest active(*this);
    RequestCount counted(*monitor_);
    if (stopping_) throw std::runtime_error(kStoppedText);
    co_await acquire_turn(deadline);
    LockHolder turn(*this);
    if (stopping_) throw std::runtime_error(kStoppedText);
    for (int attempt = 0;; ++attempt) {
        std::exception_ptr failure;
        StateCause cause = StateCause::none;
        std::string reason;
        bool was_down = false;
        request_written_ = false;
        try {
            if (connecting_) co_await wait_for_connection(deadline);
            auto result = co_await attempt_once(request, sent_text, deadline);
            counted.succeeded = !carries_message(result.get());
            co_return result;
        } catch (const NotConnected&) {
            failure = std::current_exception();
            was_down = true;
        } catch (const FoundClosed& e) {
            failure = std::current_exception();
            cause = StateCause::closed_by_peer;
            reason = e.what();
        } catch (const std::exception& e) {
            failure = std::current_exception();
            cause = timed_out_ ? StateCause::timed_out : cause_of(e);
            reason = e.what();
            // Once the whole request is written the server may have executed it, whatever came
            // back: only a statement that reads nothing but data may run again.
            if (request_written_ && !reads_only) {
                monitor_->unknown_outcomes.fetch_add(1, std::memory_order_relaxed);
                failure = std::make_exception_ptr(std::runtime_error(outcome_unknown(e, timed_out_)));
            }
        }
        // A retry needs a reconnection first, which the deadline may no longer allow: what
        // failed is then the answer.
        if (attempt == 0 && !stopping_ && !deadline.passed() && (!request_written_ || reads_only)) {
            monitor_->retries.fetch_add(1, std::memory_order_relaxed);
            if (!connecting_ && !was_down) note_lost(cause, std::move(reason));
            co_await reconnect_for_retry(deadline);
            if (stopping_) throw std::runtime_error(kStoppedText);
            continue;
        }
        // A response still on its way would be read as the answer to the next request: a
        // connection left mid-exchange is closed, and a new one made for the next request.
        if (exchange_open_) {
            exchange_open_ = false;
            connection_lost();
            co_await socket_->disconnect_sync();
            if (!stopping_) {
                note_lost(cause, std::move(reason));
                start_reconnection();
            }
        }
        std::rethrow_exception(failure);
    }
}

asio::awaitable<std::shared_ptr<jdbc::QueryResult>> TyxClientJdbc::attempt_once(
    const QMessage& request, const std::string& sent_text, const jdbc::RequestDeadline& deadline) {
    // Writing on a closed socket does nothing, and the sent event would then report a request
    // that never left.
    exchange_open_ = false;
    if (deadline.passed()) throw std::runtime_error(deadline.timed_out());
    if (!logged_in_ || !socket_->is_connected()) throw NotConnected();
    if (socket_->peer_closed()) {
        // The connection is lost as much as one that fails mid-request: listeners hear it.
        connection_lost();
        co_await socket_->disconnect_sync();
        throw FoundClosed();
    }
    {
        Watchdog watch(*this, deadline.until);
        exchange_open_ = true;
        try {
            co_await socket_->send_all_sync(request.view());
            // A failed write leaves the request's end with the client, so the server cannot
            // have read it whole; from here on it may have.
            request_written_ = true;
            notify_message_sent(sent_text);
            co_await receive_response();
        } catch (const std::exception&) {
            if (timed_out_) throw std::runtime_error(deadline.timed_out());
            throw;
        }
        exchange_open_ = false;
    }
    // The body is decoded where it was received; the storage is kept for the next response, up
    // to a bound, whatever the decoding gives.
    struct Done {
        jdbc::ResponseReader& reader;
        std::size_t keep;
        ~Done() {
            reader.reset();
            reader.trim(keep);
        }
    } done{response_, receive_keep_};
    ByteView view = response_.body();
    if (view.empty()) co_return nullptr;
    // Only copied for someone to hear it.
    if (events_.received_listener_count() > 0)
        notify_received(std::string(reinterpret_cast<const char*>(view.data), view.size));
    auto result = std::make_shared<jdbc::QueryResult>(view);
    co_return result;
}

asio::awaitable<void> TyxClientJdbc::acquire_turn(const jdbc::RequestDeadline& deadline) {
    if (!busy_) {
        busy_ = true;
        co_return;
    }
    // The turn is handed over by release_turn: busy_ stays set for the new owner.
    const bool handed = co_await turn_waiters_.wait(io_context_, deadline.until);
    if (!handed) throw std::runtime_error(deadline.timed_out("waiting for the requests before it"));
}

void TyxClientJdbc::release_turn() {
    if (!turn_waiters_.notify_one()) busy_ = false;
}

std::string TyxClientJdbc::connection_timed_out(const jdbc::RequestDeadline& deadline) const {
    std::string context = "waiting for a connection";
    // The cause of the failed connection, unless it is an earlier request's timeout, which
    // would only nest the same words.
    if (!failure_.reason.empty() && !failure_.reason.starts_with("JDBC request timed out"))
        context += " (" + failure_.reason + ")";
    return deadline.timed_out(context);
}

asio::awaitable<void> TyxClientJdbc::reconnect_for_retry(const jdbc::RequestDeadline& deadline) {
    start_reconnection();
    co_await wait_for_connection(deadline);
}

void TyxClientJdbc::start_reconnection() {
    if (!connecting_) {
        connecting_ = true;
        reconnect_running_ = true;
        connect_error_ = nullptr;
        // Runs on its own: a request gives up waiting at its deadline, the reconnection goes
        // on until it succeeds or the client stops.
        asio::co_spawn(io_context_, do_reconnect(),
                       [this, alive = std::weak_ptr<char>(alive_)](std::exception_ptr e) {
                           if (alive.expired()) return;
                           reconnect_running_ = false;
                           finish_connecting(e);
                       });
    }
}

asio::awaitable<void> TyxClientJdbc::wait_for_connection(const jdbc::RequestDeadline& deadline) {
    while (connecting_) {
        const bool notified = co_await connect_waiters_.wait(io_context_, deadline.until);
        if (!notified && connecting_) throw std::runtime_error(connection_timed_out(deadline));
    }
    if (connect_error_) std::rethrow_exception(connect_error_);
}

void TyxClientJdbc::finish_connecting(std::exception_ptr error) {
    connecting_ = false;
    connect_error_ = std::move(error);
    connect_waiters_.notify_all();
    drained_.notify_all();
}

void TyxClientJdbc::expire_connection(ISocket* socket) {
    asio::co_spawn(
        io_context_,
        [this, socket, alive = std::weak_ptr<char>(alive_)]() -> asio::awaitable<void> {
            if (alive.expired() || socket_.get() != socket) co_return;
            co_await socket->disconnect_sync();
        },
        asio::detached);
}

void TyxClientJdbc::login_failed(StateCause cause, std::string reason) {
    // The session stays down until a request needs it, which reconnects after the back-off.
    // Told once until the session is next up.
    const bool repeat = note_lost(cause, reason);
    if (!repeat && !stopping_) notify_log(3, std::move(reason));
    if (!stopping_)
        enter_state(SessionState::reconnecting, failure_.cause, failure_.reason, coming_backoff());
}

void TyxClientJdbc::request_finished() {
    if (--active_requests_ == 0) drained_.notify_all();
}

void TyxClientJdbc::notify_received(std::string message) {
    events_.message_received(name_, 0, 0, 0, std::move(message));
}

}  // namespace tyx
