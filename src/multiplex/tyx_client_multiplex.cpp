#include "multiplex/tyx_client_multiplex.hpp"

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
