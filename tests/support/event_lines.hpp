// Event lines recorded by test listeners ("connect alpha-relay", "log alpha 3 text", ...): added
// on the notification thread, read and waited for on the test thread with a deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "center/incremental_update.hpp"

namespace tyx::test {

class EventLines {
public:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(line));
        changed_.notify_all();
    }
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // The events that start with `prefix`, in order.
    std::vector<std::string> with_prefix(std::string_view prefix) const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& e : events_)
            if (e.rfind(prefix, 0) == 0) out.push_back(e);
        return out;
    }
    std::size_t count_prefix(std::string_view prefix) const {
        std::lock_guard lock(mutex_);
        return count_locked(prefix);
    }
    // Waits until at least `n` events start with `prefix`; false after `timeout`.
    bool wait_for(std::string_view prefix, std::size_t n = 1,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return count_locked(prefix) >= n; });
    }

private:
    std::size_t count_locked(std::string_view prefix) const {
        std::size_t k = 0;
        for (const auto& e : events_) k += e.rfind(prefix, 0) == 0;
        return k;
    }
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

// The lines of the events that carry more than a name, as EventLog and RecordingEvents write them.
namespace lines {

inline std::string received(std::string_view n, std::int64_t now, std::int64_t seq, std::int32_t status,
                            std::string_view m) {
    return "received " + std::string(n) + " " + std::to_string(now) + " " + std::to_string(seq) + " " +
           std::to_string(status) + " " + std::string(m);
}
inline std::string command(std::string_view n, std::string_view id, std::string_view cmd,
                           std::string_view user, std::string_view type, std::string_view object,
                           const std::map<std::string, std::string>& params) {
    std::string line = "command " + std::string(n) + " " + std::string(id) + " " + std::string(cmd) + " " +
                       std::string(user) + " " + std::string(type) + " " + std::string(object);
    for (const auto& [k, v] : params) line += " " + k + "=" + v;
    return line;
}
inline std::string subscribe(std::string_view n, const std::vector<std::string>& tables) {
    std::string line = "subscribe " + std::string(n) + " ";
    for (std::size_t i = 0; i < tables.size(); ++i) line += (i ? "," : "") + tables[i];
    return line;
}
inline std::string update(std::string_view n, const TyxCenterIncrementalUpdate& u) {
    return "update " + std::string(n) + " " + std::to_string(u.action) + " " + u.table_name + " " +
           std::to_string(u.id) + " " + u.object_id + " seq=" + std::to_string(u.seqnum);
}
inline std::string log(std::string_view n, std::uint8_t level, std::string_view m) {
    return "log " + std::string(n) + " " + std::to_string(level) + " " + std::string(m);
}

}  // namespace lines

}  // namespace tyx::test
