// Runs one TyxClientJdbc against a sandbox database: a multiplexer with one worker, the client
// on its control loop as the cluster client places it, requests run there, and an orderly stop
// on destruction. Events are recorded by JdbcEventLog; tests wait for them with deadlines.
#pragma once

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "database_server.hpp"
#include "jdbc/tyx_client_jdbc.hpp"
#include "multiplex/tyx_client_multiplex.hpp"

namespace tyx::test {

// One recorded event. `kind` is connect, disconnect, logged_in, sent, received or log; `text`
// holds the message bytes as they came; `numbers` the now, seqnum and status of a received one.
struct JdbcEvent {
    std::string kind;
    std::string name;
    std::string text;
    std::string numbers;
};

class JdbcEventLog : public TyxClientListener {
public:
    void on_connect(TyxClientMultiplex&, std::string_view n) override {
        add({"connect", std::string(n), {}, {}});
    }
    void on_disconnect(TyxClientMultiplex&, std::string_view n) override {
        add({"disconnect", std::string(n), {}, {}});
    }
    void on_logged_in(TyxClientMultiplex&, std::string_view n) override {
        add({"logged_in", std::string(n), {}, {}});
    }
    void on_message_sent(TyxClientMultiplex&, std::string_view n, std::string_view m) override {
        add({"sent", std::string(n), std::string(m), {}});
    }
    void on_message_received(TyxClientMultiplex&, std::string_view n, std::int64_t now, std::int64_t seq,
                             std::int32_t status, std::string_view m) override {
        add({"received", std::string(n), std::string(m),
             std::to_string(now) + " " + std::to_string(seq) + " " + std::to_string(status)});
    }
    void on_log(TyxClientMultiplex&, std::string_view n, std::uint8_t level, std::string_view m) override {
        add({"log", std::string(n), std::string(m), std::to_string(level)});
    }

    void add(JdbcEvent e) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
        changed_.notify_all();
    }
    std::vector<JdbcEvent> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // The kinds alone, in order.
    std::vector<std::string> kinds() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& e : events_) out.push_back(e.kind);
        return out;
    }
    std::size_t count(std::string_view kind) const {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const auto& e : events_) n += e.kind == kind;
        return n;
    }
    // Waits until at least `n` events of `kind` were recorded; false after `timeout`.
    bool wait_for(std::string_view kind, std::size_t n = 1,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            std::size_t k = 0;
            for (const auto& e : events_) k += e.kind == kind;
            return k >= n;
        });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<JdbcEvent> events_;
};

// How a coroutine run for a test ended: its value, or the text of its exception. Exceptions do
// not cross threads as such: the last reference to one may then be dropped on the loop while the
// test thread reads it, which the thread sanitizer cannot tell apart from a race.
template <typename T>
struct JdbcOutcome {
    T value{};
    bool failed = false;
    std::string error;

    // The value, or a std::runtime_error with the exception's text, thrown on the caller's thread.
    T get() && {
        if (failed) throw std::runtime_error(error);
        return std::move(value);
    }
};

// Starts the coroutine made by `fn()` on `io`; the future tells how it ended.
template <typename T, typename F>
std::future<JdbcOutcome<T>> start_jdbc_on(asio::io_context& io, F&& fn) {
    auto done = std::make_shared<std::promise<JdbcOutcome<T>>>();
    auto finished = done->get_future();
    asio::co_spawn(io, std::forward<F>(fn), [done](std::exception_ptr e, T value) {
        JdbcOutcome<T> outcome;
        if (e) {
            outcome.failed = true;
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& x) {
                outcome.error = x.what();
            } catch (...) {
                outcome.error = "unknown error";
            }
        } else {
            outcome.value = std::move(value);
        }
        done->set_value(std::move(outcome));
    });
    return finished;
}

// Runs the coroutine made by `fn()` on `io` and returns its value (or throws its text).
template <typename T, typename F>
T run_jdbc_on(asio::io_context& io, F&& fn) {
    return start_jdbc_on<T>(io, std::forward<F>(fn)).get().get();
}

inline void run_jdbc_void(asio::io_context& io, std::function<asio::awaitable<void>()> fn) {
    run_jdbc_on<bool>(io, [fn = std::move(fn)]() -> asio::awaitable<bool> {
        co_await fn();
        co_return true;
    });
}

inline std::vector<Endpoint> database_endpoint(const sandbox::DatabaseServer& server) {
    return {Endpoint{"127.0.0.1", std::to_string(server.port())}};
}

inline DatabaseConfig database_config(std::string db = {}) {
    DatabaseConfig config;
    config.username = "ann";
    config.password = "secret";
    config.db = std::move(db);
    return config;
}

class JdbcHarness {
public:
    explicit JdbcHarness(std::vector<Endpoint> endpoints, DatabaseConfig config = database_config())
        : multiplex_(1) {
        multiplex_.listener_add(log_);
        client_ = std::make_unique<TyxClientJdbc>(multiplex_, "alpha", std::move(endpoints), config, io(),
                                                  make_socket_factory(io(), false, SslOptions{}));
    }
    ~JdbcHarness() {
        stop();
        // Destroyed on its own loop, after everything queued there before.
        run_jdbc_void(io(), [this]() -> asio::awaitable<void> {
            client_.reset();
            co_return;
        });
    }

    asio::io_context& io() { return multiplex_.control_context(); }

    // Awaits connect on the control loop, as the cluster client does; rethrows its failure.
    void connect() {
        run_jdbc_void(
            io(), [c = client_.get()]() -> asio::awaitable<void> { co_await c->connect(c->io_context()); });
    }
    std::shared_ptr<jdbc::QueryResult> sql(std::string text) {
        return start_sql(std::move(text)).get().get();
    }
    // Starts a query on the control loop without waiting for it.
    std::future<JdbcOutcome<std::shared_ptr<jdbc::QueryResult>>> start_sql(std::string text) {
        return start_jdbc_on<std::shared_ptr<jdbc::QueryResult>>(
            io(),
            [c = client_.get(),
             text = std::move(text)]() -> asio::awaitable<std::shared_ptr<jdbc::QueryResult>> {
                auto r = co_await c->sql(text);
                co_return r;
            });
    }
    std::shared_ptr<jdbc::QueryResult> bulk_insert(std::string table,
                                                   const std::vector<jdbc::JdbcColumn>& columns,
                                                   std::int32_t rows, std::int64_t timeout_ms = -1) {
        return run_jdbc_on<std::shared_ptr<jdbc::QueryResult>>(
            io(),
            [c = client_.get(), table = std::move(table), &columns, rows,
             timeout_ms]() -> asio::awaitable<std::shared_ptr<jdbc::QueryResult>> {
                auto r = co_await c->bulk_insert(table, columns, rows, timeout_ms);
                co_return r;
            });
    }
    void stop() {
        if (stopped_) return;
        stopped_ = true;
        run_jdbc_void(io(), [c = client_.get()]() -> asio::awaitable<void> { co_await c->stop(); });
    }

    TyxClientMultiplex& multiplex() { return multiplex_; }
    JdbcEventLog& log() { return *log_; }
    TyxClientJdbc& client() { return *client_; }

private:
    TyxClientMultiplex multiplex_;
    std::shared_ptr<JdbcEventLog> log_ = std::make_shared<JdbcEventLog>();
    std::unique_ptr<TyxClientJdbc> client_;
    bool stopped_ = false;
};

}  // namespace tyx::test
