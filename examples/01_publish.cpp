// Publishes a few orders to the relay and waits until each one is written.
// Needs a running platform or `tyx sandbox` (ports from TYX_RELAY_PORT etc., see example_support.hpp).
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "example_support.hpp"

class Written : public tyx::ClientListener {
public:
    void on_message_sent(tyx::Client&, std::string_view, std::string_view message) override {
        if (message.rfind("O|", 0) != 0) return;  // the login is reported too
        std::lock_guard lock(mutex_);
        ++count_;
        changed_.notify_all();
    }
    bool wait_for(int n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return count_ >= n; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

int main() {
    auto written = std::make_shared<Written>();
    tyx::Client client;
    client.listener_add(written);
    client.add_cluster(example_cluster(), /*wait=*/true);
    //! [publish]
    for (int i = 1; i <= 3; ++i) {
        client.publish_object("demo", "Orders", "o-" + std::to_string(i), {"qty", "px", "side"},
                              {std::int32_t{10 * i}, 100.0 + i / 4.0, 'B'});
    }
    //! [publish]
    const bool ok = written->wait_for(3);
    std::printf(ok ? "published 3 orders\n" : "timed out publishing\n");
    return ok ? 0 : 1;
}
