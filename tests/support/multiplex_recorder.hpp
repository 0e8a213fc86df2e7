// A listener that records every event as one text line ("connect alpha-relay", "log
// alpha-relay 3 text", ...), for tests. Events arrive on the notification thread; the test
// thread reads them after drain_notifications, so the list is guarded by a mutex.
#pragma once

#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "multiplex/tyx_client_multiplex.hpp"

namespace tyx::test {

class RecordingListener : public TyxClientListener {
public:
    void on_connect(TyxClientMultiplex&, std::string_view name) override { add("connect", name); }
    void on_disconnect(TyxClientMultiplex&, std::string_view name) override { add("disconnect", name); }
    void on_logged_in(TyxClientMultiplex&, std::string_view name) override { add("logged_in", name); }
    void on_message_sent(TyxClientMultiplex&, std::string_view name, std::string_view message) override {
        add("sent", name, message);
    }
    void on_log(TyxClientMultiplex&, std::string_view name, std::uint8_t level,
                std::string_view message) override {
        add("log", name, std::to_string(level) + " " + std::string(message));
    }

    void add(std::string_view kind, std::string_view name, std::string_view detail = {}) {
        std::string line = std::string(kind) + " " + std::string(name);
        if (!detail.empty()) line += " " + std::string(detail);
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(line));
    }
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

// Returns once every job queued on the notification loop before the call has run.
inline void drain_notifications(TyxClientMultiplex& m) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    asio::post(m.notify_context(), [done] { done->set_value(); });
    finished.wait();
}

}  // namespace tyx::test
