#include "multiplex/tyx_client_multiplex.hpp"

#include "core/session_monitor.hpp"
#include "multiplex/publication_routes.hpp"
#include "multiplex/tyx_cluster_client.hpp"

#include <algorithm>
#include <cstdlib>

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
    stopping_.store(true, std::memory_order_relaxed);
    // Publications made from now on find no cluster; those made before are in the outboxes,
    // and each relay writes its outbox before its logout.
    {
        std::lock_guard lock(routes_mutex_);
        edit_routes([](RouteTable& table) { table.clusters.clear(); });
    }
    post([this]() -> asio::awaitable<void> { co_await do_stop_all(); }, true);
    control_.release_and_join();
    // Slow listeners get a bounded time to take what is queued; the rest is dropped, and said so.
    drain_deadline_.store((std::chrono::steady_clock::now() + kCloseDrainDeadline).time_since_epoch().count(),
                          std::memory_order_relaxed);
    // Everything raised while the clusters stopped is queued by now and gets delivered.
    notify_.release_and_join();
    clusters_.clear();
    listeners_.clear();
    // Members then go in reverse order: the pool joins its workers, then the notification
    // and control contexts are destroyed.
}

namespace {

std::int64_t ticks_now() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

std::int64_t us_between(std::int64_t from, std::int64_t to) {
    using ticks = std::chrono::steady_clock::duration;
    return std::chrono::duration_cast<std::chrono::microseconds>(ticks(to - from)).count();
}

std::int64_t positive_from_environment(const char* name, std::int64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr) return fallback;
    const long long value = std::strtoll(text, nullptr, 10);
    return value > 0 ? value : fallback;
}

}  // namespace

TyxClientMultiplex::QueueLimits TyxClientMultiplex::QueueLimits::from_environment() {
    QueueLimits limits;
    limits.updates = positive_from_environment("TYX_MAX_QUEUED_UPDATES", limits.updates);
    limits.bytes = positive_from_environment("TYX_MAX_QUEUED_BYTES", limits.bytes);
    return limits;
}

bool TyxClientMultiplex::event_delivered(std::chrono::steady_clock::time_point queued) {
    events_queued_.fetch_sub(1, std::memory_order_relaxed);
    events_delivered_.fetch_add(1, std::memory_order_relaxed);
    const auto now = std::chrono::steady_clock::now();
    head_queued_at_.store(queued.time_since_epoch().count(), std::memory_order_relaxed);
    if (now.time_since_epoch().count() > drain_deadline_.load(std::memory_order_relaxed)) {
        if (!dropping_.exchange(true, std::memory_order_relaxed)) {
            const auto left = events_queued_.load(std::memory_order_relaxed) + 1;
            log_here("", 3,
                     "Closing: the listeners did not take the queued events within " +
                         std::to_string(kCloseDrainDeadline.count()) + " s; dropped " + std::to_string(left) +
                         " events (" + std::to_string(queued_updates_.load(std::memory_order_relaxed)) +
                         " center updates)");
        }
        return false;
    }
    if (notify_spin_ns_.load(std::memory_order_relaxed) > 0 && !spinning_) [[unlikely]] {
        // Queued behind this job: once it is done, the thread looks for the next event.
        spinning_ = true;
        asio::post(notify_.context, [this] { spin_for_events(); });
    }
    const auto waited = now - queued;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(waited).count();
    if (us > longest_wait_us_.load(std::memory_order_relaxed)) longest_wait_us_.store(us, std::memory_order_relaxed);
    // Told here, ahead of the queue, rather than queued behind the backlog it is about.
    if (!slow_episode_ && waited >= kSlowListenerWait) {
        slow_episode_ = true;
        log_here("", 2,
                 "Listeners are slow: an event waited " + std::to_string(us / 1000) +
                     " ms to be delivered, " +
                     std::to_string(events_queued_.load(std::memory_order_relaxed)) +
                     " more are queued; health() shows the notification queue");
    } else if (slow_episode_ && waited < kCaughtUpWait) {
        slow_episode_ = false;
        log_here("", 2,
                 "Listeners caught up: events are delivered within " + std::to_string(kCaughtUpWait.count()) +
                     " ms again");
    }
    return true;
}

bool TyxClientMultiplex::updates_held_back() {
    const auto updates = queued_updates_.load(std::memory_order_relaxed);
    const auto bytes = queued_update_bytes_.load(std::memory_order_relaxed);
    if (holding_back_.load(std::memory_order_relaxed)) {
        // Released at half the limit, so that reading goes on in large steps.
        if (updates > limits_.updates / 2 || bytes > limits_.bytes / 2) return true;
        holding_back_.store(false, std::memory_order_relaxed);
        return false;
    }
    if (updates < limits_.updates && bytes < limits_.bytes) return false;
    holding_back_.store(true, std::memory_order_relaxed);
    return true;
}

void TyxClientMultiplex::hold_reading(bool holding) {
    if (holding) {
        if (sessions_holding_.fetch_add(1, std::memory_order_relaxed) == 0)
            held_since_.store(ticks_now(), std::memory_order_relaxed);
        return;
    }
    if (sessions_holding_.fetch_sub(1, std::memory_order_relaxed) == 1)
        held_total_us_.fetch_add(us_between(held_since_.load(std::memory_order_relaxed), ticks_now()),
                                 std::memory_order_relaxed);
}

Health TyxClientMultiplex::health() const {
    Health health;
    {
        std::lock_guard lock(health_mutex_);
        for (const BoardEntry& entry : health_board_)
            for (const auto& monitor : entry.monitors) health.sessions.push_back(monitor->snapshot());
    }
    constexpr auto relaxed = std::memory_order_relaxed;
    const auto queued = events_queued_.load(relaxed);
    auto& n = health.notifications;
    n.queued = queued > 0 ? static_cast<std::uint64_t>(queued) : 0;
    n.delivered = events_delivered_.load(relaxed);
    n.longest_wait = std::chrono::microseconds{longest_wait_us_.load(relaxed)};
    const auto updates = queued_updates_.load(relaxed);
    const auto bytes = queued_update_bytes_.load(relaxed);
    n.queued_updates = updates > 0 ? static_cast<std::uint64_t>(updates) : 0;
    n.queued_update_bytes = bytes > 0 ? static_cast<std::uint64_t>(bytes) : 0;
    const auto now = ticks_now();
    if (queued > 0) {
        const auto since = std::max(head_queued_at_.load(relaxed), queue_filled_at_.load(relaxed));
        n.oldest_wait = std::chrono::microseconds{std::max<std::int64_t>(0, us_between(since, now))};
    }
    std::int64_t held = held_total_us_.load(relaxed);
    n.holding_back = sessions_holding_.load(relaxed) > 0;
    if (n.holding_back) held += us_between(held_since_.load(relaxed), now);
    n.held_back = std::chrono::microseconds{held};
    return health;
}

void TyxClientMultiplex::set_notification_spin(std::chrono::nanoseconds spin) {
    const auto ns = std::clamp<std::int64_t>(spin.count(), 0, kMaxNotificationSpin.count());
    notify_spin_ns_.store(ns, std::memory_order_relaxed);
}

namespace {
// A spinning core's hint to the processor (and to a sibling hyperthread).
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}
}  // namespace

void TyxClientMultiplex::spin_for_events() {
    // Runs the events that arrive meanwhile from here (asio runs handlers from a nested poll), so
    // that none waits for the thread to wake; ends once nothing came for the spin, and at once
    // when the spin is set to 0 or the multiplexer closes.
    auto last_event = std::chrono::steady_clock::now();
    for (;;) {
        const auto spin = std::chrono::nanoseconds(notify_spin_ns_.load(std::memory_order_relaxed));
        if (spin.count() <= 0 || stopping_.load(std::memory_order_relaxed) || notify_.context.stopped()) break;
        if (notify_.context.poll_one() > 0) {
            last_event = std::chrono::steady_clock::now();
            continue;
        }
        if (std::chrono::steady_clock::now() - last_event >= spin) break;
        for (int i = 0; i < 16; ++i) cpu_relax();
    }
    spinning_ = false;
}

void TyxClientMultiplex::listener_add(std::shared_ptr<TyxClientListener> listener) {
    listener_count_.fetch_add(1, std::memory_order_relaxed);
    if (listener->hears_message_sent()) sent_listener_count_.fetch_add(1, std::memory_order_relaxed);
    if (listener->hears_message_received()) received_listener_count_.fetch_add(1, std::memory_order_relaxed);
    asio::post(notify_.context,
               [this, l = std::move(listener)]() mutable { listeners_.push_back(std::move(l)); });
}

void TyxClientMultiplex::listener_remove(std::shared_ptr<TyxClientListener> listener) {
    asio::post(notify_.context, [this, l = std::move(listener)] {
        const auto before = listeners_.size();
        listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), l), listeners_.end());
        const auto erased = static_cast<std::int64_t>(before - listeners_.size());
        listener_count_.fetch_sub(erased, std::memory_order_relaxed);
        if (l->hears_message_sent()) sent_listener_count_.fetch_sub(erased, std::memory_order_relaxed);
        if (l->hears_message_received()) received_listener_count_.fetch_sub(erased, std::memory_order_relaxed);
    });
}

}  // namespace tyx
