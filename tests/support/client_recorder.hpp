// A public ClientListener that records every event as one text line ("update alpha-center 1
// Orders o-1", "log alpha 3 text", ...) and lets the test thread wait for them with a deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "support/event_lines.hpp"
#include "tyx/client.hpp"

namespace tyx::test {

class ClientRecorder : public ClientListener, public EventLines {
public:
    void on_connect(Client&, std::string_view n) override { add("connect " + std::string(n)); }
    void on_disconnect(Client&, std::string_view n) override { add("disconnect " + std::string(n)); }
    void on_logged_in(Client&, std::string_view n) override { add("logged_in " + std::string(n)); }
    void on_message_sent(Client&, std::string_view n, std::string_view m) override {
        add("sent " + std::string(n) + " " + std::string(m));
    }
    void on_message_received(Client&, std::string_view n, std::int64_t, std::int64_t seqnum, std::int32_t status,
                             std::string_view m) override {
        add("received " + std::string(n) + " " + std::to_string(seqnum) + " " + std::to_string(status) + " " +
            std::string(m));
    }
    void on_subscribe(Client&, std::string_view n, const std::vector<std::string>& tables) override {
        std::string line = "subscribe " + std::string(n);
        for (const auto& t : tables) line += " " + t;
        add(line);
    }
    void on_update(Client&, std::string_view n, const CenterIncrementalUpdate& u) override {
        {
            std::lock_guard lock(mutex_);
            updates_.push_back(u);
        }
        add("update " + std::string(n) + " " + std::to_string(u.action) + " " + u.table_name + " " + u.object_id);
    }
    void on_log(Client&, std::string_view n, std::uint8_t level, std::string_view m) override {
        add("log " + std::string(n) + " " + std::to_string(level) + " " + std::string(m));
    }

    std::vector<CenterIncrementalUpdate> updates() const {
        std::lock_guard lock(mutex_);
        return updates_;
    }
    std::size_t count(std::string_view prefix) const { return count_prefix(prefix); }

private:
    mutable std::mutex mutex_;  // guards updates_
    std::vector<CenterIncrementalUpdate> updates_;
};

}  // namespace tyx::test
