#include "sandbox.hpp"

#include <algorithm>

namespace tyx::sandbox {

namespace {

// What every server takes from the sandbox's own settings.
void set_common(SandboxServerOptions& server, const SandboxOptions& options, std::uint16_t port,
                const FaultPlan& faults) {
    server.host = options.host;
    server.port = port;
    if (options.tls) server.tls = options.tls;
    if (options.faults.any()) {
        server.faults = faults;
        server.fault_seed = options.faults.seed;
    }
}

}  // namespace

Sandbox::Sandbox(SandboxOptions options) {
    auto db_options = options.database;
    set_common(db_options, options, options.database_port, options.faults.database);
    db_options.path = options.sqlite_path;
    if (options.database_user) db_options.username = options.database_user;
    if (options.database_password) db_options.password = options.database_password;
    database_ = std::make_unique<DatabaseServer>(data_loop_, db_options);
    auto store = data_loop_.call([&] { return std::make_shared<SandboxStore>(database_->database()); });

    auto center_options = options.center;
    set_common(center_options, options, options.center_port, options.faults.center);
    center_ = std::make_unique<CenterServer>(data_loop_, center_options, std::move(store));

    auto relay_options = options.relay;
    set_common(relay_options, options, options.relay_port, options.faults.relay);
    relay_options.counting_only = options.relay_counting_only || options.relay.counting_only;
    const bool feeding = options.store_publications && !relay_options.counting_only;
    if (feeding && relay_options.max_recorded == 0) relay_options.max_recorded = options.relay_record_limit;
    relay_ = std::make_unique<RelayServer>(relay_loop_, relay_options);
    if (feeding) {
        // The hand-off is bounded: the relay's observer adds what it hands over, the store's
        // loop takes off what it applied, and the relay reads only while the sum is in bounds.
        feed_limit_ = std::max<std::size_t>(options.feed_bytes, 1);
        // The relay's thread made the publications and takes them back to reuse or free, so the
        // store's loop only stores; they count as in flight until then.
        center_->set_on_applied([this](std::size_t bytes, std::vector<RelayPublication>& applied) {
            relay_loop_.post([this, bytes, done = std::move(applied)]() mutable {
                relay_->recycle(std::move(done));
                const auto left = in_flight_.fetch_sub(bytes) - bytes;
                if (left <= feed_limit_ / 2) relay_->recheck_read_gate();
            });
        });
        relay_->set_read_gate([this] { return in_flight_ > feed_limit_; });
        CenterServer* center = center_.get();
        relay_->set_observer([this, center](std::vector<RelayPublication> batch) {
            const auto now = in_flight_.fetch_add(feed_bytes(batch)) + feed_bytes(batch);
            if (now > most_in_flight_) most_in_flight_ = now;
            center->enqueue(std::move(batch));
        });
    }
}

Sandbox::~Sandbox() {
    // No callback of the store's loop may reach the relay once it is going.
    center_->set_on_applied(nullptr);
    relay_loop_.call([] {});  // runs after what the store's loop posted to it
    relay_->set_observer(nullptr);
    relay_->set_read_gate(nullptr);
    relay_.reset();
    center_.reset();
    database_.reset();
}

std::string Sandbox::describe_fault_counts() {
    return "relay: " + relay_->faults().counts().describe() +
           "; center: " + center_->faults().counts().describe() +
           "; database: " + database_->faults().counts().describe();
}

std::string Sandbox::describe_counters() {
    auto connections = [](std::size_t open, std::uint64_t accepted) {
        return "connections " + std::to_string(open) + " open, " + std::to_string(accepted) + " accepted";
    };
    std::string text = relay_->inspect([&](const RelayState& s) {
        return "relay: " + connections(s.open_connections(), s.accepted) + "; logins " +
               std::to_string(s.logins) + "; lines " + std::to_string(s.line_count) + ", " +
               std::to_string(s.bytes) + " bytes; objects " + std::to_string(s.objects) + ", removals " +
               std::to_string(s.removals);
    });
    // Messages its host received that the relay never read, thrown away with their connections.
    text += "; unread when closed " + std::to_string(relay_->faults().counts().unread);
    const CenterState center = center_->state();
    text += "\ncenter: " + connections(center.open_connections, center.accepted) + "; clients " +
            std::to_string(center.clients.size()) + "; requests " + std::to_string(center.requests.size()) +
            "; snapshots " + std::to_string(center.snapshots_sent) + ", changes " +
            std::to_string(center.changes_sent);
    const DatabaseState database = database_->state();
    text += "\ndatabase: " + connections(database.open_connections, database.accepted) + "; logins " +
            std::to_string(database.logins.size()) + "; requests " +
            std::to_string(database.requests.size()) + ", answered " + std::to_string(database.answered);
    return text;
}

bool Sandbox::wait_for_stored(std::uint64_t n, std::chrono::milliseconds timeout) {
    return center_->wait_for_applied(n, timeout);
}

bool Sandbox::wait_until_stored(std::chrono::milliseconds timeout) {
    const auto published = relay_->inspect([](const RelayState& s) { return s.objects + s.removals; });
    return wait_for_stored(published, timeout);
}

}  // namespace tyx::sandbox
