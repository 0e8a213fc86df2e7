// Subscribes to the Orders table, publishes one order and prints the update it comes back as.
// Needs a running platform or `tyx sandbox` (ports from TYX_RELAY_PORT etc., see example_support.hpp).
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "example_support.hpp"

class Updates : public tyx::ClientListener {
public:
    void on_update(tyx::Client&, std::string_view, const CenterIncrementalUpdate& u) override {
        std::printf("update: action %d table %s object %s with %zu fields\n", u.action, u.table_name.c_str(),
                    u.object_id.c_str(), u.field_names.size());
        std::lock_guard lock(mutex_);
        seen_ = seen_ || u.object_id == "sub-1";
        changed_.notify_all();
    }
    bool wait() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return seen_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool seen_ = false;
};

int main() {
    //! [subscribe]
    auto updates = std::make_shared<Updates>();
    tyx::Client client;
    client.listener_add(updates);
    client.add_cluster(example_cluster(), true);
    client.subscribe("demo", std::vector<std::string>{"Orders"}, /*wait=*/true);
    client.publish_object("demo", "Orders", "sub-1", {"qty"}, {std::int32_t{7}});
    //! [subscribe]
    return updates->wait() ? 0 : 1;
}
