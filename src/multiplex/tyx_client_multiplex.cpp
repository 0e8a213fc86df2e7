#include "multiplex/tyx_client_multiplex.hpp"

#include "core/session_monitor.hpp"
#include "multiplex/publication_routes.hpp"
#include "multiplex/tyx_cluster_client.hpp"

#include <algorithm>

namespace tyx {

TyxClientMultiplex::LoopThread::LoopThread() : guard(std::in_place, context.get_executor()) {
    thread = std::thread([this] { context.run(); });
}

TyxClientMultiplex::LoopThread::~LoopThread() {
    release_and_join();
}

void TyxClientMultiplex::LoopThread::release_and_join() {
    // Without the guard, run() returns once the queued work (and work it queues) is done.
    guard.reset();
    if (thread.joinable()) thread.join();
}

TyxClientMultiplex::TyxClientMultiplex() : TyxClientMultiplex(io_thread_count_from_environment()) {}

namespace {
std::atomic<std::uint64_t> g_next_instance_id{1};
}

TyxClientMultiplex::TyxClientMultiplex(std::size_t worker_count)
    : pool_(worker_count), instance_id_(g_next_instance_id.fetch_add(1)), routes_(std::make_shared<RouteTable>()) {}

TyxClientMultiplex::~TyxClientMultiplex() {
    // Publications made from now on find no cluster; those made before are in the outboxes,
    // and each relay writes its outbox before its logout.
    {
        std::lock_guard lock(routes_mutex_);
        edit_routes([](RouteTable& table) { table.clusters.clear(); });
    }
    post([this]() -> asio::awaitable<void> { co_await do_stop_all(); }, true);
    control_.release_and_join();
    // Everything raised while the clusters stopped is queued by now and gets delivered.
    notify_.release_and_join();
    clusters_.clear();
    listeners_.clear();
    // Members then go in reverse order: the pool joins its workers, then the notification
    // and control contexts are destroyed.
}

void TyxClientMultiplex::event_delivered(std::chrono::steady_clock::time_point queued) {
    events_queued_.fetch_sub(1, std::memory_order_relaxed);
    events_delivered_.fetch_add(1, std::memory_order_relaxed);
    const auto waited = std::chrono::steady_clock::now() - queued;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(waited).count();
    if (us > longest_wait_us_.load(std::memory_order_relaxed)) longest_wait_us_.store(us, std::memory_order_relaxed);
    if (waited < kSlowListenerWait || slow_listeners_logged_) return;
    slow_listeners_logged_ = true;
    log("", 2,
        "Listeners are slow: an event waited " + std::to_string(us / 1000) +
            " ms to be delivered; health() shows the notification queue");
}

Health TyxClientMultiplex::health() const {
    Health health;
    {
        std::lock_guard lock(health_mutex_);
        for (const BoardEntry& entry : health_board_)
            for (const auto& monitor : entry.monitors) health.sessions.push_back(monitor->snapshot());
    }
    const auto queued = events_queued_.load(std::memory_order_relaxed);
    health.notifications.queued = queued > 0 ? static_cast<std::uint64_t>(queued) : 0;
    health.notifications.delivered = events_delivered_.load(std::memory_order_relaxed);
    health.notifications.longest_wait = std::chrono::microseconds{longest_wait_us_.load(std::memory_order_relaxed)};
    return health;
}

void TyxClientMultiplex::listener_add(std::shared_ptr<TyxClientListener> listener) {
    listener_count_.fetch_add(1, std::memory_order_relaxed);
    asio::post(notify_.context,
               [this, l = std::move(listener)]() mutable { listeners_.push_back(std::move(l)); });
}

void TyxClientMultiplex::listener_remove(std::shared_ptr<TyxClientListener> listener) {
    asio::post(notify_.context, [this, l = std::move(listener)] {
        const auto before = listeners_.size();
        listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), l), listeners_.end());
        const auto erased = static_cast<std::int64_t>(before - listeners_.size());
        listener_count_.fetch_sub(erased, std::memory_order_relaxed);
    });
}

}  // namespace tyx
