// Event lines recorded by test listeners ("connect alpha-relay", "log alpha 3 text", ...): added
// on the notification thread, read and waited for on the test thread with a deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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

}  // namespace tyx::test
