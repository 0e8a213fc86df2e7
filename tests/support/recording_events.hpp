// The session tests' SessionEvents: every event a protocol session raises, recorded at once on
// the session's loop as one text line (in the format of EventLog: "connect alpha-relay",
// "sent alpha-relay L|...", "update alpha-center 1 Orders 5 ord-5 seq=3"), with no multiplexer
// and no notification thread. The state changes are also kept whole.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "center/center_events.hpp"
#include "rt/relay_events.hpp"
#include "support/event_lines.hpp"

namespace tyx::test {

class RecordingEvents final : public rt::RelayEvents, public center::CenterEvents, public EventLines {
public:
    explicit RecordingEvents(bool listening = true) { set_listening(listening); }
    // Whether anyone listens: a session skips what only a listener would hear while nobody does.
    void set_listening(bool listening) {
        listener_count_.store(listening ? 1 : 0);
        sent_listener_count_.store(listening ? 1 : 0);
        received_listener_count_.store(listening ? 1 : 0);
    }
    // Makes updates_held_back true, as a full notification queue would.
    bool held_back = false;

    void connected(std::string_view n) override { record("connect " + std::string(n)); }
    void disconnected(std::string_view n) override { record("disconnect " + std::string(n)); }
    void logged_in(std::string_view n) override { record("logged_in " + std::string(n)); }
    void message_sent(std::string_view n, std::string text) override {
        record("sent " + std::string(n) + " " + text);
    }
    void message_received(std::string_view n, std::int64_t now, std::int64_t seq, std::int32_t status,
                          std::string text) override {
        record(lines::received(n, now, seq, status, text));
    }
    void session_state(std::string_view, std::shared_ptr<const SessionStateEvent> event) override {
        std::lock_guard lock(states_mutex_);
        states_.push_back(*event);
    }
    void log(std::string_view n, std::uint8_t level, std::string text) override {
        record(lines::log(n, level, text));
    }
    void messages_written(std::string_view n, rt::WrittenMessages written) override {
        written.for_each(
            [&](std::string_view text) { record("sent " + std::string(n) + " " + std::string(text)); });
    }
    void command(std::string_view n, rt::ExecuteCommandMessage c) override {
        record(lines::command(n, c.request_id, c.cmd, c.user_name, c.object_type, c.object_id, c.params));
    }
    void subscribed(std::string_view n, std::vector<std::string> tables) override {
        record(lines::subscribe(n, tables));
    }
    void updates_released(std::string_view n, center::ReleasedUpdates released) override {
        released.count_once();
        for (const auto& u : released.updates) record(lines::update(n, *u));
    }
    void update_batch(center::DeliveredBatch delivered, std::size_t) override {
        delivered.count_once();
        for (const TyxCenterIncrementalUpdate& u : *delivered.batch)
            record(lines::update(delivered.pool->client_name(), u));
    }
    bool updates_held_back() override { return held_back; }
    void hold_reading(bool) override {}

    std::vector<SessionStateEvent> states() const {
        std::lock_guard lock(states_mutex_);
        return states_;
    }

private:
    // Nobody hears an event raised while nobody listens.
    void record(std::string line) {
        if (listener_count() > 0) add(std::move(line));
    }

    mutable std::mutex states_mutex_;
    std::vector<SessionStateEvent> states_;
};

}  // namespace tyx::test
