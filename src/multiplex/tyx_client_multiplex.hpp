// TyxClientMultiplex: the engine behind the public client. It owns every event-loop thread
// (control, notification, worker pool), the listener list and the cluster registry. Public
// operations enter the control loop through `post`; events leave through `notify_listeners`
// onto the notification loop, the sessions' events included (it is their SessionEvents). The
// registry lives on the control loop, the listener list on the notification loop; nothing here
// is locked.
#pragma once

#include <asio/bind_allocator.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "center/center_events.hpp"
#include "core/session_clock.hpp"
#include "multiplex/io_context_pool.hpp"
#include "multiplex/tyx_client_listener.hpp"
#include "rt/conflated_queue.hpp"
#include "rt/relay_events.hpp"
#include "tyx/config.hpp"
#include "tyx/health.hpp"
#include "tyx/schema.hpp"

namespace tyx {

class SessionMonitor;
class TyxClusterClient;
struct SubscriptionRequest;
namespace rt {
class Message;
class RelayOutbox;
}  // namespace rt
namespace jdbc {
class QueryResult;
struct JdbcColumn;
}  // namespace jdbc

// One result per enabled database shard, in shard order.
using QueryResults = std::vector<std::shared_ptr<jdbc::QueryResult>>;

// What the enabled database shards of a cluster made of one request, in shard order.
struct ShardAnswers {
    QueryResults results;               // null where the request failed or the answer was empty
    std::vector<std::string> failures;  // what each shard's request threw; "" where it answered
    std::string cluster_failure;        // the text logged for an unknown cluster, else ""

    static ShardAnswers unknown_cluster(std::string text) {
        ShardAnswers answers;
        answers.cluster_failure = std::move(text);
        return answers;
    }
    // "<what>: <the lowest-numbered failed shard's failure>", the text its log gives, or "" when
    // no shard failed.
    std::string failure(std::string_view what) const;
};

class TyxClientMultiplex final : public rt::RelayEvents, public center::CenterEvents {
public:
    // Starts, in this order, the control thread, the notification thread and the worker pool
    // (its size from TYX_IO_THREADS, see io_thread_count). If the pool cannot be built, the
    // two loop threads already started are stopped and joined before the error leaves.
    TyxClientMultiplex();
    // Same, with an explicit worker count instead of the environment.
    explicit TyxClientMultiplex(std::size_t worker_count);

    // Stops every cluster on the control loop and waits for it, then joins the control
    // thread, the notification thread (after every queued event has been delivered) and
    // the workers.
    ~TyxClientMultiplex() override;

    TyxClientMultiplex(const TyxClientMultiplex&) = delete;
    TyxClientMultiplex& operator=(const TyxClientMultiplex&) = delete;

    // Runs the coroutine factory `f` (a callable returning asio::awaitable<void>) as a new
    // coroutine on the control loop. With `wait` false it returns at once; with `wait` true
    // it blocks until the coroutine has ended. An exception ending the coroutine is stored
    // and dropped, never rethrown here. Called with `wait` true on the control thread itself
    // (which would block on work only that thread can run) it does not wait.
    template <typename F>
    void post(F&& f, bool wait) {
        std::unique_lock<std::mutex> no_lock;
        post_locked(std::forward<F>(f), wait, no_lock);
    }

    // `post`, or with a non-empty `on_done` post_then (`wait` is then ignored).
    template <typename F>
    void post(F&& f, bool wait, std::function<void()> on_done) {
        std::unique_lock<std::mutex> no_lock;
        post_locked(std::forward<F>(f), wait, no_lock, std::move(on_done));
    }

    // Runs the coroutine factory `f` on the control loop as `post` does without waiting, then
    // `on_done` (when not empty) once on the notification loop, after every event the coroutine
    // raised: also when it ends with an exception, and when the multiplexer is destroyed first
    // (the destructor runs every coroutine to its end, then delivers what is queued).
    template <typename F>
    void post_then(F&& f, std::function<void()> on_done) {
        std::unique_lock<std::mutex> no_lock;
        post_locked(std::forward<F>(f), false, no_lock, std::move(on_done));
    }

    // Posts one job to the notification loop (never run inline, even from that loop) that
    // calls `f(listener)` for each registered listener in registration order. `f` is moved
    // into the job: it must own copies of every text it hands to the listeners.
    template <typename F>
    void notify_listeners(F&& f) {
        asio::post(notify_.context, [this, queued = event_queued(), fn = std::forward<F>(f)]() mutable {
            if (!event_delivered(queued)) return;
            for (const auto& listener : listeners_) fn(*listener);
        });
    }

    // The same, the job's memory coming from `allocator`.
    template <typename Allocator, typename F>
    void notify_listeners(const Allocator& allocator, F&& f) {
        asio::post(notify_.context, asio::bind_allocator(allocator, [this, queued = event_queued(),
                                                                     fn = std::forward<F>(f)]() mutable {
                       if (!event_delivered(queued)) return;
                       for (const auto& listener : listeners_) fn(*listener);
                   }));
    }

    // The same for a job carrying `updates` center row changes decoded from `bytes` bytes: they
    // count toward the queue's limit (see updates_held_back) until the job has run.
    template <typename Allocator, typename F>
    void notify_updates(const Allocator& allocator, std::size_t updates, std::size_t bytes, F&& f) {
        queued_updates_.fetch_add(static_cast<std::int64_t>(updates), std::memory_order_relaxed);
        queued_update_bytes_.fetch_add(static_cast<std::int64_t>(bytes), std::memory_order_relaxed);
        asio::post(
            notify_.context, asio::bind_allocator(allocator, [this, queued = event_queued(), updates, bytes,
                                                              fn = std::forward<F>(f)]() mutable {
                const bool deliver = event_delivered(queued);
                if (deliver)
                    for (const auto& listener : listeners_) fn(*listener);
                queued_updates_.fetch_sub(static_cast<std::int64_t>(updates), std::memory_order_relaxed);
                queued_update_bytes_.fetch_sub(static_cast<std::int64_t>(bytes), std::memory_order_relaxed);
            }));
    }

    // True while the center updates waiting for the listeners reach the queue's limit: center
    // sessions then stop reading (the servers' TCP flow control holds the rest) until it has
    // drained to half. Control loop (where every center session runs).
    bool updates_held_back() override;
    // A center session started or ended holding back its reading; control loop.
    void hold_reading(bool holding) override;
    // Closing: past the drain deadline the remaining events are dropped; a job delivering many
    // updates asks between them. Any thread.
    bool past_drain_deadline() const {
        const auto deadline = drain_deadline_.load(std::memory_order_relaxed);
        return deadline != std::numeric_limits<std::int64_t>::max() &&
               std::chrono::steady_clock::now().time_since_epoch().count() > deadline;
    }
    // The limits of the notification queue: TYX_MAX_QUEUED_UPDATES updates (default 100000)
    // and TYX_MAX_QUEUED_BYTES wire bytes of them (default 64 MiB), read at construction.
    struct QueueLimits {
        std::int64_t updates = 100000;
        std::int64_t bytes = std::int64_t{64} << 20;
        static QueueLimits from_environment();
    };
    void set_queue_limits(QueueLimits limits) { limits_ = limits; }
    // How long the destructor waits for the listeners to take what is queued before it drops
    // the rest (with a level-3 on_log saying how much).
    static constexpr std::chrono::seconds kCloseDrainDeadline{5};

    // What every session of every cluster reports, and how the notification queue fares. Any
    // thread; takes no loop's time.
    Health health() const;
    // An event that waited this long for the listeners starts a slow-listener episode: a level-2
    // on_log (with an empty client name) delivered at once, ahead of the queue. The episode
    // ends, with another level-2 on_log, when an event waited less than kCaughtUpWait.
    static constexpr std::chrono::seconds kSlowListenerWait{1};
    static constexpr std::chrono::milliseconds kCaughtUpWait{100};

    // Counts the listener at once, then appends it on the notification loop: it hears only
    // events whose delivery job runs after that. Adding one listener twice makes it hear
    // every event twice.
    void listener_add(std::shared_ptr<TyxClientListener> listener);
    // Low latency, opt in: after an event the notification thread keeps looking for the next one
    // for up to `spin` (at most kMaxNotificationSpin) before it sleeps, so an event arriving
    // meanwhile is delivered without waking a thread; 0 (the default) sleeps at once. Any thread.
    void set_notification_spin(std::chrono::nanoseconds spin);
    static constexpr std::chrono::nanoseconds kMaxNotificationSpin = std::chrono::seconds(1);
    // On the notification loop, erases every entry equal to `listener` and lowers the count
    // by the number erased. Events queued ahead of the removal still reach it.
    void listener_remove(std::shared_ptr<TyxClientListener> listener);

    // --- The sessions' events (SessionEvents), each posted as one delivery job; any thread.
    void connected(std::string_view client) override;
    void disconnected(std::string_view client) override;
    void logged_in(std::string_view client) override;
    void message_sent(std::string_view client, std::string text) override;
    void message_received(std::string_view client, std::int64_t now, std::int64_t seqnum, std::int32_t status,
                          std::string text) override;
    void session_state(std::string_view client, std::shared_ptr<const SessionStateEvent> event) override;
    void messages_written(std::string_view client, rt::WrittenMessages written) override;
    void command(std::string_view client, rt::ExecuteCommandMessage command) override;
    void subscribed(std::string_view client, std::vector<std::string> tables) override;
    void updates_released(std::string_view client, center::ReleasedUpdates released) override;
    void update_batch(center::DeliveredBatch delivered, std::size_t payload_bytes) override;

    asio::io_context& control_context() { return control_.context; }
    asio::io_context& notify_context() { return notify_.context; }
    IoContextPool& pool() { return pool_; }

    // The cluster registry by cluster name; control thread only.
    std::unordered_map<std::string, std::shared_ptr<TyxClusterClient>>& clusters() { return clusters_; }

    // Stops every registered cluster, one after another, then clears the registry. Control
    // loop only; the destructor runs it through `post`.
    asio::awaitable<void> do_stop_all();

    // --- Clusters. `wait` blocks the caller until the control loop has finished.
    // Builds and starts the cluster's clients. A name already registered is refused (level-3
    // on_log) before anything of the new cluster starts. Waiting returns once every shard has
    // connected or failed each of its endpoints once.
    // `on_done`, when not empty, runs once on the notification loop when the work is over (as
    // post_then says; `wait` is then ignored). So for every operation below that takes one.
    void add_cluster(const Cluster& cluster, bool wait, std::function<void()> on_done = nullptr);
    // Stops and forgets the cluster; an unknown name is ignored.
    void remove_cluster(std::string_view cluster_name, bool wait, std::function<void()> on_done = nullptr);
    // `outboxes`: one per relay shard (null for a disabled one), the ones publishers already
    // append to; empty when the name was already registered.
    asio::awaitable<void> do_add_cluster(Cluster cluster,
                                         std::vector<std::shared_ptr<rt::RelayOutbox>> outboxes);
    asio::awaitable<void> do_remove_cluster(std::string cluster_name);
    // The schema of the lowest-numbered center shard that has one, into `result`; on the loop.
    asio::awaitable<void> find_table_schema(std::string cluster_name, std::string table_name,
                                            std::shared_ptr<std::optional<CenterTableSchema>> result);

    // --- Publication: to the shards the cluster's distribution function names, or to every
    // enabled relay. The waiting form reports an unknown cluster; the other drops silently.
    // Any thread; the message's bytes are appended to each chosen relay's outbox before the
    // call returns, so publications of one thread reach each relay in call order. `key` says
    // what the message is to a relay that conflates.
    void publish(std::string_view cluster_name, std::string_view bytes, bool wait,
                 const rt::MessageKey& key = {});
    void send_object_message(std::string_view cluster_name, const std::shared_ptr<rt::Message>& message,
                             bool wait);
    // Any thread: waits until everything published before the call to the relays of
    // `cluster_name` (of every cluster when it is empty) was delivered to their hosts, or
    // until `timeout`; returns how many of those messages are left. An unknown cluster is
    // logged (level 3).
    std::size_t flush(std::optional<std::string_view> cluster_name, std::chrono::milliseconds timeout);
    // The same without blocking any thread: the marks are taken here, a coroutine on the control
    // loop looks at the outboxes (after 20 us, then twice as long each time up to 1 ms), and
    // `on_done(left)` runs once on the notification loop. Destroying the multiplexer ends the wait
    // with what is left then.
    void flush_async(std::optional<std::string_view> cluster_name, std::chrono::milliseconds timeout,
                     std::function<void(std::size_t)> on_done);
    // A publication to the cluster was refused before anything was sent: counted on its first
    // relay shard.
    void count_refused(std::string_view cluster_name);

    // --- Subscriptions, to every enabled center of the cluster.
    // With `on_done`, it waits for the answers (within snapshot_timeout_ms) as `wait` would.
    void subscribe(std::string_view cluster_name, std::vector<std::string> tables, bool wait,
                   std::function<void()> on_done = nullptr);
    void subscribe(std::string_view cluster_name, std::vector<SubscriptionRequest> requests, bool wait,
                   std::function<void()> on_done = nullptr);
    void unsubscribe(std::string_view cluster_name, std::vector<std::string> tables, bool wait,
                     std::function<void()> on_done = nullptr);
    // The lowest-numbered center's schema of the table, when it has arrived. Blocks.
    std::optional<CenterTableSchema> get_table_schema(std::string_view cluster_name,
                                                      std::string_view table_name);
    // The same, handed to `on_done` on the notification loop.
    void get_table_schema_async(std::string_view cluster_name, std::string_view table_name,
                                std::function<void(std::optional<CenterTableSchema>)> on_done);

    // --- Queries and bulk inserts, on every enabled database shard at once. Each shard's request
    // ends, answered or failed, by its limit (the query timeout) after `started` (see
    // TyxClientJdbc), so a blocking call never waits much longer. The *_shards forms report
    // every shard's failure and log nothing but an unknown cluster; their async forms run
    // `callback` once on the notification loop whatever the outcome, stopping included.
    ShardAnswers query_shards(std::string_view cluster_name, std::string_view query,
                              SessionClock::time_point started);
    void query_shards_async(std::string_view cluster_name, std::string_view query,
                            std::function<void(ShardAnswers)> callback);
    // The awaitable forms, for a coroutine on the control loop; `columns` is kept alive by the
    // caller's pointer until the answers are in.
    asio::awaitable<ShardAnswers> query_shards_co(std::string cluster_name, std::string query,
                                                  SessionClock::time_point started);
    asio::awaitable<ShardAnswers> bulk_insert_shards_co(
        std::string cluster_name, std::string table_name,
        std::shared_ptr<const std::vector<jdbc::JdbcColumn>> columns, std::int32_t row_count,
        std::int64_t timeout_ms, SessionClock::time_point started);
    ShardAnswers bulk_insert_shards(std::string_view cluster_name, std::string_view table_name,
                                    const std::vector<jdbc::JdbcColumn>& columns, std::int32_t row_count,
                                    std::int64_t timeout_ms, SessionClock::time_point started);
    void bulk_insert_shards_async(std::string_view cluster_name, std::string_view table_name,
                                  std::vector<jdbc::JdbcColumn> columns, std::int32_t row_count,
                                  std::int64_t timeout_ms, std::function<void(ShardAnswers)> callback);
    // The plain forms: the blocking ones give an empty list when the cluster is unknown or a
    // shard failed (with a level-3 on_log for the lowest failed shard); the async ones run
    // `callback` on the notification loop, or raise that log and skip it on failure.
    QueryResults sql(std::string_view cluster_name, std::string_view query);
    void sql_async(std::string_view cluster_name, std::string_view query,
                   std::function<void(QueryResults)> callback);
    QueryResults bulk_insert(std::string_view cluster_name, std::string_view table_name,
                             const std::vector<jdbc::JdbcColumn>& columns, std::int32_t row_count,
                             std::int64_t timeout_ms);
    void bulk_insert_async(std::string_view cluster_name, std::string_view table_name,
                           std::vector<jdbc::JdbcColumn> columns, std::int32_t row_count,
                           std::function<void(QueryResults)> callback, std::int64_t timeout_ms);

    // Raises on_log for `cluster_name` (the bare cluster name, or a session's client name) from
    // any thread.
    void log(std::string_view cluster_name, std::uint8_t level, std::string message) override;
    // The same, delivered to every listener at once: on the notification loop only, so that a
    // failure is heard before the callback that follows it in the same job.
    void log_here(std::string_view cluster_name, std::uint8_t level, std::string_view message);

private:
    // One event loop with its work guard and the thread running it. If the owner's
    // constructor fails after the thread started, this still releases and joins it.
    struct LoopThread {
        asio::io_context context;
        std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard;
        std::thread thread;

        LoopThread();
        ~LoopThread();
        LoopThread(const LoopThread&) = delete;
        LoopThread& operator=(const LoopThread&) = delete;
        void release_and_join();
    };

    LoopThread control_;  // control_context, control_guard, control_thread
    LoopThread notify_;   // notify_context, notify_guard, notify_thread
    IoContextPool pool_;
    std::deque<std::shared_ptr<TyxClientListener>> listeners_;                     // notification thread only
    std::unordered_map<std::string, std::shared_ptr<TyxClusterClient>> clusters_;  // control thread only

    // Publication routing runs on the publishing thread against an immutable table of the
    // clusters' relay outboxes. add_cluster and remove_cluster replace the table (under
    // routes_mutex_, which also orders their control-loop jobs) and raise the version;
    // publishers keep a thread-local copy and look at the version only.
    struct ClusterRoute;
    struct RouteTable;
    struct RouteCache;
    const ClusterRoute* find_route(std::string_view cluster_name);
    void route_message(const ClusterRoute& route, std::string_view bytes, const rt::MessageKey& key);
    // Replaces the table with `edit` applied to a copy, raising the version; routes_mutex_ held.
    template <typename Edit>
    void edit_routes(Edit&& edit);
    // `post`, with `lock` released once the coroutine is queued and before waiting for it: a
    // caller that must queue in step with other state queues under that state's lock.
    template <typename F>
    void post_locked(F&& f, bool wait, std::unique_lock<std::mutex>& lock,
                     std::function<void()> on_done = nullptr) {
        if (on_done) {
            // Posted from the control loop once the coroutine has ended, so it comes after every
            // event the coroutine raised; the notification loop outlives the control loop.
            asio::co_spawn(control_.context, std::forward<F>(f),
                           [this, on_done = std::move(on_done)](std::exception_ptr) mutable {
                               asio::post(notify_.context, std::move(on_done));
                           });
            if (lock.owns_lock()) lock.unlock();
            return;
        }
        if (!wait || control_.context.get_executor().running_in_this_thread()) {
            asio::co_spawn(control_.context, std::forward<F>(f), asio::detached);
            if (lock.owns_lock()) lock.unlock();
            return;
        }
        // The handler keeps the promise alive: the waiter may return and unwind its frame
        // while set_value is still finishing on the control thread.
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> finished = done->get_future();
        asio::co_spawn(control_.context, std::forward<F>(f), [done](std::exception_ptr error) {
            if (error)
                done->set_exception(error);
            else
                done->set_value();
        });
        if (lock.owns_lock()) lock.unlock();
        finished.wait();
    }

    // The notification queue's counters. An event counts as queued from its post until its
    // job starts; only the notification thread delivers.
    std::chrono::steady_clock::time_point event_queued() {
        const auto now = std::chrono::steady_clock::now();
        if (events_queued_.fetch_add(1, std::memory_order_relaxed) == 0)
            queue_filled_at_.store(now.time_since_epoch().count(), std::memory_order_relaxed);
        return now;
    }
    // Counts the job out; false when it is to be dropped (closing, past the drain deadline).
    bool event_delivered(std::chrono::steady_clock::time_point queued);
    // Control loop: the cluster's sessions leave the board.
    void forget_health(const TyxClusterClient* cluster);
    std::atomic<std::int64_t> events_queued_{0};
    std::atomic<std::uint64_t> events_delivered_{0};
    std::atomic<std::int64_t> longest_wait_us_{0};
    bool slow_episode_ = false;  // notification thread only
    std::atomic<std::int64_t> notify_spin_ns_{0};
    bool spinning_ = false;  // notification thread only: a spin is queued or running
    void spin_for_events();
    // When the job being delivered was queued, and when the queue last went from empty to not:
    // the oldest waiting event was queued no earlier than the later of the two.
    std::atomic<std::int64_t> head_queued_at_{0};
    std::atomic<std::int64_t> queue_filled_at_{0};
    std::atomic<std::int64_t> queued_updates_{0};
    std::atomic<std::int64_t> queued_update_bytes_{0};
    QueueLimits limits_ = QueueLimits::from_environment();
    std::atomic<bool> holding_back_{false};  // past the limit, until drained to half
    std::atomic<int> sessions_holding_{0};
    std::atomic<std::int64_t> held_since_{0};  // when the first session started holding back
    std::atomic<std::int64_t> held_total_us_{0};
    // Closing: when the drain ends; past it jobs are dropped, the first one saying so.
    std::atomic<std::int64_t> drain_deadline_{std::numeric_limits<std::int64_t>::max()};
    std::atomic<bool> dropping_{false};
    // Set when the destructor starts: waits that poll (flush_async) end at their next look.
    std::atomic<bool> stopping_{false};
    // The relay outboxes a flush waits for, each with its mark: every message kept before the
    // call. False (after a level-3 log) for an unknown cluster.
    using FlushMarks = std::vector<std::pair<std::shared_ptr<rt::RelayOutbox>, std::uint64_t>>;
    bool flush_marks(std::optional<std::string_view> cluster_name, FlushMarks& marks);

    // The sessions' monitors by cluster, in the order the clusters were added; written on the
    // control loop, read by health() on any thread.
    mutable std::mutex health_mutex_;
    struct BoardEntry {
        const TyxClusterClient* cluster;
        std::vector<std::shared_ptr<const SessionMonitor>> monitors;
    };
    std::vector<BoardEntry> health_board_;

    const std::uint64_t instance_id_;
    std::mutex routes_mutex_;
    std::shared_ptr<const RouteTable> routes_;
    std::atomic<std::uint64_t> routes_version_{1};
};

}  // namespace tyx
