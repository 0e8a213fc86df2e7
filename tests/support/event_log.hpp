// The event recorder of the tests that run a whole multiplexer (the cluster tests); the session
// tests record the same lines through RecordingEvents.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "center/incremental_update.hpp"
#include "multiplex/tyx_client_multiplex.hpp"
#include "support/event_lines.hpp"

namespace tyx::test {

// Records every event of the protocol clients as one text line, e.g. "sent alpha-relay
// L|I=\"feed\"", "received alpha-relay 1700000000000 41 0 ok", "update alpha-center 1 Orders 5
// ord-5 seq=3" or "subscribe alpha-center Orders,Quotes", and lets the test thread wait for them.
class EventLog : public TyxClientListener, public EventLines {
public:
    void on_connect(TyxClientMultiplex&, std::string_view n) override { add("connect " + std::string(n)); }
    void on_disconnect(TyxClientMultiplex&, std::string_view n) override {
        add("disconnect " + std::string(n));
    }
    void on_logged_in(TyxClientMultiplex&, std::string_view n) override {
        add("logged_in " + std::string(n));
    }
    void on_message_sent(TyxClientMultiplex&, std::string_view n, std::string_view m) override {
        add("sent " + std::string(n) + " " + std::string(m));
    }
    void on_message_received(TyxClientMultiplex&, std::string_view n, std::int64_t now, std::int64_t seq,
                             std::int32_t status, std::string_view m) override {
        add(lines::received(n, now, seq, status, m));
    }
    void on_command(TyxClientMultiplex&, std::string_view n, std::string_view id, std::string_view cmd,
                    std::string_view user, std::string_view type, std::string_view object,
                    const std::map<std::string, std::string>& params) override {
        add(lines::command(n, id, cmd, user, type, object, params));
    }
    void on_subscribe(TyxClientMultiplex&, std::string_view n,
                      const std::vector<std::string>& tables) override {
        add(lines::subscribe(n, tables));
    }
    void on_update(TyxClientMultiplex&, std::string_view n, const TyxCenterIncrementalUpdate& u) override {
        add(lines::update(n, u));
    }
    void on_log(TyxClientMultiplex&, std::string_view n, std::uint8_t level, std::string_view m) override {
        add(lines::log(n, level, m));
    }
};

}  // namespace tyx::test
