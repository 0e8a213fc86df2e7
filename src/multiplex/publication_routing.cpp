// Publication routing: a message goes, on the publishing thread, to the relay outboxes of the
// shards its cluster's distribution function names (or to every enabled relay); flushes wait for
// those outboxes.
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <optional>

#include "multiplex/cluster_operations.hpp"
#include "multiplex/publication_routes.hpp"
#include "rt/message.hpp"

namespace tyx {
namespace {

// The relay indexes a message goes to: the distribution function's choice without indexes
// that are out of range or disabled (duplicates and order kept), or, when there is no function
// or it names nothing, every enabled relay in shard order.
template <typename Relays>
std::vector<std::size_t> select_shards(const Relays& relays, std::string_view cluster_name,
                                       const PublicationConfig::DistributionFunction& distribution,
                                       std::string_view message_text) {
    if (distribution) {
        std::vector<std::size_t> chosen = distribution(cluster_name, message_text);
        if (!chosen.empty()) {
            std::erase_if(chosen, [&](std::size_t i) { return i >= relays.size() || !relays[i]; });
            return chosen;
        }
    }
    std::vector<std::size_t> all;
    for (std::size_t i = 0; i < relays.size(); ++i)
        if (relays[i]) all.push_back(i);
    return all;
}

}  // namespace

const TyxClientMultiplex::ClusterRoute* TyxClientMultiplex::find_route(std::string_view cluster_name) {
    // Initial-exec, as the publishing thread's message buffer (client.cpp).
    [[gnu::tls_model("initial-exec")]] thread_local RouteCache cache;
    const std::uint64_t version = routes_version_.load(std::memory_order_acquire);
    if (cache.owner != instance_id_ || cache.version != version) {
        std::lock_guard lock(routes_mutex_);
        cache.table = routes_;
        cache.version = routes_version_.load(std::memory_order_relaxed);
        cache.owner = instance_id_;
        cache.last_route = nullptr;
    }
    if (cache.last_route != nullptr && cache.last_route->name == cluster_name) return cache.last_route;
    auto it = cache.table->clusters.find(cluster_name);
    if (it == cache.table->clusters.end()) return nullptr;
    cache.last_route = it->second.get();
    return cache.last_route;
}

void TyxClientMultiplex::route_message(const ClusterRoute& route, std::string_view bytes,
                                       const rt::MessageKey& key) {
    if (!route.distribution) {
        for (const auto& relay : route.relays)
            if (relay) relay->append(bytes, key);
        return;
    }
    std::vector<std::size_t> chosen;
    try {
        std::lock_guard lock(route.distribution_mutex);
        chosen = select_shards(route.relays, route.name, route.distribution, bytes);
    } catch (const std::exception& e) {
        log(route.name, 3, std::string(kSendFailed) + ": distribution function failed: " + e.what());
        return;
    } catch (...) {
        log(route.name, 3, std::string(kSendFailed) + ": distribution function failed");
        return;
    }
    for (std::size_t i : chosen) route.relays[i]->append(bytes, key);
}

void TyxClientMultiplex::publish(std::string_view cluster_name, std::string_view bytes, bool wait,
                                 const rt::MessageKey& key) {
    const ClusterRoute* route = find_route(cluster_name);
    if (route == nullptr) {
        if (wait) log(cluster_name, 3, not_found(kSendFailed, cluster_name));
        return;
    }
    route_message(*route, bytes, key);
}

void TyxClientMultiplex::send_object_message(std::string_view cluster_name,
                                             const std::shared_ptr<rt::Message>& message, bool wait) {
    publish(cluster_name, message->view(), wait);
}

bool TyxClientMultiplex::flush_marks(std::optional<std::string_view> cluster_name, FlushMarks& marks) {
    std::shared_ptr<const RouteTable> table;
    {
        std::lock_guard lock(routes_mutex_);
        table = routes_;
    }
    // Every mark first, so that what is published meanwhile is not waited for.
    bool found = false;
    for (const auto& [name, route] : table->clusters) {
        if (cluster_name && name != *cluster_name) continue;
        found = true;
        for (const auto& relay : route->relays)
            if (relay) marks.emplace_back(relay, relay->accepted());
    }
    if (cluster_name && !found) {
        log(*cluster_name, 3, not_found(kFlushFailed, *cluster_name));
        return false;
    }
    return true;
}

std::size_t TyxClientMultiplex::flush(std::optional<std::string_view> cluster_name,
                                      std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + std::max(timeout, std::chrono::milliseconds(0));
    FlushMarks marks;
    if (!flush_marks(cluster_name, marks)) return 0;
    std::size_t left = 0;
    for (const auto& [relay, mark] : marks) left += relay->wait_settled(mark, deadline);
    return left;
}

void TyxClientMultiplex::flush_async(std::optional<std::string_view> cluster_name,
                                     std::chrono::milliseconds timeout,
                                     std::function<void(std::size_t)> on_done) {
    const auto deadline = std::chrono::steady_clock::now() + std::max(timeout, std::chrono::milliseconds(0));
    auto marks = std::make_shared<FlushMarks>();
    if (!on_done) {
        // Nobody to tell: only an unknown cluster's log is left to give.
        flush_marks(cluster_name, *marks);
        return;
    }
    auto left = std::make_shared<std::size_t>(0);
    // An unknown cluster gives 0 at once, after its log (both go through the notification loop).
    if (!flush_marks(cluster_name, *marks)) marks->clear();
    post_then(
        [this, marks, left, deadline]() -> asio::awaitable<void> {
            // The writers look at their acknowledgements often while someone waits.
            struct Polling {
                explicit Polling(FlushMarks& m) : marks(m) {
                    for (const auto& [relay, mark] : marks) relay->begin_settle_poll();
                }
                ~Polling() {
                    for (const auto& [relay, mark] : marks) relay->end_settle_poll();
                }
                FlushMarks& marks;
            } polling(*marks);
            asio::steady_timer timer(control_.context);
            std::chrono::microseconds pause{20};
            for (;;) {
                std::size_t outstanding = 0;
                for (const auto& [relay, mark] : *marks) outstanding += relay->outstanding_of(mark);
                *left = outstanding;
                const auto now = std::chrono::steady_clock::now();
                if (outstanding == 0 || now >= deadline || stopping_.load(std::memory_order_relaxed)) break;
                timer.expires_at(std::min(deadline, now + pause));
                std::error_code ignored;
                co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
                pause = std::min(pause * 2, std::chrono::microseconds(1000));
            }
        },
        [left, on_done = std::move(on_done)] { on_done(*left); });
}

void TyxClientMultiplex::count_refused(std::string_view cluster_name) {
    const ClusterRoute* route = find_route(cluster_name);
    if (route == nullptr) return;
    for (const auto& relay : route->relays)
        if (relay) {
            relay->count_refused();
            return;
        }
}

}  // namespace tyx
