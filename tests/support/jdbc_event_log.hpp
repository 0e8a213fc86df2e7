// The event recorder of the database session tests, with the endpoint and credentials of a
// sandbox database. Events arrive on the notification thread; the test reads them after that
// thread has caught up.
#pragma once

#include <mutex>
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

private:
    mutable std::mutex mutex_;
    std::vector<JdbcEvent> events_;
};

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

}  // namespace tyx::test
