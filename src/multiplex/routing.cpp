// The cluster operations of the multiplexer: the registry, publication routing, and the
// routing of subscriptions, queries and bulk inserts to the shards of a cluster.
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include <optional>
#include <unordered_map>

#include "core/countdown.hpp"
#include "jdbc/jdbc_result.hpp"
#include "multiplex/publication_routes.hpp"
#include "multiplex/tyx_client_multiplex.hpp"
#include "multiplex/tyx_cluster_client.hpp"
#include "rt/message.hpp"

namespace tyx {
namespace {

std::string not_found(std::string_view what, std::string_view name) {
    return std::string(what) + ": Cluster not found [" + std::string(name) + "]";
}

// A cluster without an enabled database shard answers nothing: said as an unknown cluster is.
ShardAnswers no_database_shard(TyxClientMultiplex& m, std::string_view what, std::string_view name) {
    std::string text =
        std::string(what) + ": Cluster has no enabled database shard [" + std::string(name) + "]";
    m.log(name, 3, text);
    return ShardAnswers::unknown_cluster(std::move(text));
}

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

// The cluster of that name, or null once "<what>: Cluster not found [name]" is logged.
std::shared_ptr<TyxClusterClient> find_cluster(TyxClientMultiplex& m, const std::string& name,
                                               std::string_view what) {
    auto it = m.clusters().find(name);
    if (it != m.clusters().end()) return it->second;
    m.log(name, 3, not_found(what, name));
    return nullptr;
}

// Shared by the fan-out coroutine and every per-shard completion handler, all on one loop.
struct FanOutState {
    FanOutState(const asio::any_io_executor& executor, std::size_t n) : done(executor, n) {
        answers.results.resize(n);
        answers.failures.resize(n);
    }
    ShardAnswers answers;
    Countdown done;
};

std::string failure_text(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

// Runs every shard's request at once and gathers the answers and failures in shard order.
asio::awaitable<ShardAnswers> fan_out_jdbc(
    std::vector<asio::awaitable<std::shared_ptr<jdbc::QueryResult>>> tasks) {
    auto executor = co_await asio::this_coro::executor;
    if (tasks.empty()) co_return ShardAnswers{};
    auto state = std::make_shared<FanOutState>(executor, tasks.size());
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        asio::co_spawn(executor, std::move(tasks[i]),
                       [state, i](std::exception_ptr error, std::shared_ptr<jdbc::QueryResult> result) {
                           if (error) {
                               state->answers.failures[i] = failure_text(error);
                               // A failure without a text would read as an answer.
                               if (state->answers.failures[i].empty())
                                   state->answers.failures[i] = "unknown error";
                           } else {
                               state->answers.results[i] = std::move(result);
                           }
                           state->done.arrive();
                       });
    }
    co_await state->done.wait();
    co_return std::move(state->answers);
}

// "Subscribe gave up waiting after N ms for the snapshot of A, B from center shard(s) 0, 2; the
// subscription stays and completes when they answer".
std::string unanswered_subscription(const std::vector<SubscriptionRequest>& requests,
                                    const std::vector<bool>& answered,
                                    const std::vector<std::unique_ptr<TyxClientCenter>>& centers,
                                    std::int64_t limit_ms) {
    std::string tables;
    for (const auto& r : requests) tables += (tables.empty() ? "" : ", ") + r.table_name;
    std::string shards;
    for (std::size_t i = 0; i < centers.size(); ++i)
        if (centers[i] && !answered[i]) shards += (shards.empty() ? "" : ", ") + std::to_string(i);
    return "Subscribe gave up waiting after " + std::to_string(limit_ms) + " ms for the snapshot of " +
           tables + " from center shard(s) " + shards +
           "; the subscription stays and completes when they answer";
}

}  // namespace

void TyxClientMultiplex::log(std::string_view cluster_name, std::uint8_t level, std::string message) {
    notify_listeners([this, name = std::string(cluster_name), level, text = std::move(message)](
                         TyxClientListener& l) { l.on_log(*this, name, level, text); });
}

// ---------------------------------------------------------------- clusters

void TyxClientMultiplex::add_cluster(const Cluster& cluster, bool wait, std::function<void()> on_done) {
    std::unique_lock lock(routes_mutex_);
    // The outboxes exist from this call on, so a publication made right after it waits there
    // for the relay's first login instead of finding no cluster.
    std::vector<std::shared_ptr<rt::RelayOutbox>> outboxes;
    if (!routes_->clusters.contains(cluster.name)) {
        auto route = std::make_shared<ClusterRoute>();
        route->name = cluster.name;
        route->distribution = cluster.publication_config.distribution_function();
        const std::string relay_name = make_client_name(cluster.name, "relay");
        const auto& shards = cluster.publication_config.shards;
        for (std::size_t i = 0; i < shards.size(); ++i) {
            outboxes.push_back(shards[i].enabled()
                                   ? TyxClientRelay::make_outbox(*this, relay_name,
                                                                 relay_name + " shard " + std::to_string(i),
                                                                 cluster.publication_config)
                                   : nullptr);
        }
        route->relays = outboxes;
        edit_routes([&](RouteTable& table) { table.clusters.emplace(cluster.name, std::move(route)); });
    }
    post_locked(
        [this, copy = cluster, outboxes = std::move(outboxes)]() mutable -> asio::awaitable<void> {
            co_await do_add_cluster(std::move(copy), std::move(outboxes));
        },
        wait, lock, std::move(on_done));
}

void TyxClientMultiplex::remove_cluster(std::string_view cluster_name, bool wait,
                                        std::function<void()> on_done) {
    std::unique_lock lock(routes_mutex_);
    if (routes_->clusters.find(cluster_name) != routes_->clusters.end())
        edit_routes([&](RouteTable& table) { table.clusters.erase(table.clusters.find(cluster_name)); });
    post_locked([this, name = std::string(
                           cluster_name)]() -> asio::awaitable<void> { co_await do_remove_cluster(name); },
                wait, lock, std::move(on_done));
}

asio::awaitable<void> TyxClientMultiplex::do_add_cluster(
    Cluster cluster, std::vector<std::shared_ptr<rt::RelayOutbox>> outboxes) {
    // A second cluster of a registered name is refused before anything of it is built: a
    // client that started but could not be registered could never be stopped by name.
    if (clusters_.contains(cluster.name)) {
        log(cluster.name, 3, "Failed to add cluster: Cluster already exists [" + cluster.name + "]");
        co_return;
    }
    auto client =
        std::make_shared<TyxClusterClient>(*this, cluster, control_.context, pool_, std::move(outboxes));
    clusters_.emplace(cluster.name, client);
    {
        std::lock_guard lock(health_mutex_);
        health_board_.push_back(BoardEntry{client.get(), client->monitors()});
    }
    co_await client->start(control_.context);
}

void TyxClientMultiplex::forget_health(const TyxClusterClient* cluster) {
    std::lock_guard lock(health_mutex_);
    std::erase_if(health_board_, [&](const BoardEntry& entry) { return entry.cluster == cluster; });
}

asio::awaitable<void> TyxClientMultiplex::do_remove_cluster(std::string cluster_name) {
    auto it = clusters_.find(cluster_name);
    if (it == clusters_.end()) co_return;
    std::shared_ptr<TyxClusterClient> client = std::move(it->second);
    clusters_.erase(it);
    co_await client->stop();
    forget_health(client.get());
}

asio::awaitable<void> TyxClientMultiplex::do_stop_all() {
    for (auto& [name, client] : clusters_) co_await client->stop();
    clusters_.clear();
}

// ---------------------------------------------------------------- publication

const TyxClientMultiplex::ClusterRoute* TyxClientMultiplex::find_route(std::string_view cluster_name) {
    thread_local RouteCache cache;
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
        log(route.name, 3, std::string("Failed to send message: distribution function failed: ") + e.what());
        return;
    } catch (...) {
        log(route.name, 3, "Failed to send message: distribution function failed");
        return;
    }
    for (std::size_t i : chosen) route.relays[i]->append(bytes, key);
}

void TyxClientMultiplex::publish(std::string_view cluster_name, std::string_view bytes, bool wait,
                                 const rt::MessageKey& key) {
    const ClusterRoute* route = find_route(cluster_name);
    if (route == nullptr) {
        if (wait) log(cluster_name, 3, not_found("Failed to send message", cluster_name));
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
        log(*cluster_name, 3, not_found("Failed to flush", *cluster_name));
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

// ---------------------------------------------------------------- subscriptions

void TyxClientMultiplex::subscribe(std::string_view cluster_name, std::vector<std::string> tables, bool wait,
                                   std::function<void()> on_done) {
    std::vector<SubscriptionRequest> requests;
    requests.reserve(tables.size());
    for (auto& t : tables) {
        SubscriptionRequest r{};
        r.table_name = std::move(t);
        requests.push_back(std::move(r));
    }
    subscribe(cluster_name, std::move(requests), wait, std::move(on_done));
}

void TyxClientMultiplex::subscribe(std::string_view cluster_name, std::vector<SubscriptionRequest> requests,
                                   bool wait, std::function<void()> on_done) {
    // A caller told when it is done waits for the answers as a waiting caller does.
    const bool await_answers = wait || on_done;
    post(
        [this, name = std::string(cluster_name), requests = std::move(requests),
         wait = await_answers]() -> asio::awaitable<void> {
            auto cluster = find_cluster(*this, name, "Failed to subscribe to center tables");
            if (!cluster) co_return;
            const auto& centers = cluster->centers();
            std::size_t enabled = 0;
            for (auto& c : centers) enabled += c != nullptr;
            // Every center runs its callback on this loop, once its tables are answered; the
            // shards that did not are named if the wait gives up.
            struct Answers {
                Answers(const asio::any_io_executor& executor, std::size_t n, std::size_t shards)
                    : all(executor, n), answered(shards, false) {}
                Countdown all;
                std::vector<bool> answered;
            };
            auto answers =
                std::make_shared<Answers>(control_.context.get_executor(), enabled, centers.size());
            for (std::size_t i = 0; i < centers.size(); ++i) {
                if (!centers[i]) continue;
                centers[i]->subscribe(requests, [answers, i] {
                    answers->answered[i] = true;
                    answers->all.arrive();
                });
            }
            if (!wait) co_return;
            const std::int64_t limit_ms = cluster->cluster().subscription_config.snapshot_timeout_ms;
            if (limit_ms <= 0) {
                co_await answers->all.wait();
                co_return;
            }
            const bool all = co_await answers->all.wait_until(asio::steady_timer::clock_type::now() +
                                                              std::chrono::milliseconds(limit_ms));
            if (all) co_return;
            log(name, 3, unanswered_subscription(requests, answers->answered, centers, limit_ms));
        },
        wait, std::move(on_done));
}

void TyxClientMultiplex::unsubscribe(std::string_view cluster_name, std::vector<std::string> tables,
                                     bool wait, std::function<void()> on_done) {
    post(
        [this, name = std::string(cluster_name), tables = std::move(tables)]() -> asio::awaitable<void> {
            auto cluster = find_cluster(*this, name, "Failed to unsubscribe from center tables");
            if (!cluster) co_return;
            for (auto& c : cluster->centers())
                if (c) c->unsubscribe(tables);
        },
        wait, std::move(on_done));
}

asio::awaitable<void> TyxClientMultiplex::find_table_schema(
    std::string cluster_name, std::string table_name, std::shared_ptr<std::optional<CenterTableSchema>> result) {
    auto it = clusters_.find(cluster_name);
    if (it == clusters_.end()) co_return;
    for (auto& c : it->second->centers()) {
        if (!c) continue;
        if (auto schema = c->subscribed_tables().table_schema(table_name)) {
            *result = std::move(schema);
            co_return;
        }
    }
}

std::optional<CenterTableSchema> TyxClientMultiplex::get_table_schema(std::string_view cluster_name,
                                                                      std::string_view table_name) {
    auto result = std::make_shared<std::optional<CenterTableSchema>>();
    post([this, result, name = std::string(cluster_name), table = std::string(table_name)]()
             -> asio::awaitable<void> { co_await find_table_schema(name, table, result); },
         true);
    return std::move(*result);
}

void TyxClientMultiplex::get_table_schema_async(
    std::string_view cluster_name, std::string_view table_name,
    std::function<void(std::optional<CenterTableSchema>)> on_done) {
    auto result = std::make_shared<std::optional<CenterTableSchema>>();
    post_then([this, result, name = std::string(cluster_name), table = std::string(table_name)]()
                  -> asio::awaitable<void> { co_await find_table_schema(name, table, result); },
              on_done ? std::function<void()>(
                            [result, on_done = std::move(on_done)] { on_done(std::move(*result)); })
                      : nullptr);
}

// ---------------------------------------------------------------- queries and bulk inserts

std::string ShardAnswers::failure(std::string_view what) const {
    for (const auto& failure : failures)
        if (!failure.empty()) return std::string(what) + ": " + failure;
    return {};
}

namespace {

constexpr std::string_view kQueryFailed = "Failed to execute SQL query";
constexpr std::string_view kInsertFailed = "Failed to execute bulk insert";

// An unknown cluster is logged here, and its text kept for the caller.
asio::awaitable<ShardAnswers> do_sql_query(TyxClientMultiplex& m, std::string name, std::string query,
                                           SessionClock::time_point started) {
    auto cluster = find_cluster(m, name, kQueryFailed);  // keeps the clients alive
    if (!cluster) co_return ShardAnswers::unknown_cluster(not_found(kQueryFailed, name));
    std::vector<asio::awaitable<std::shared_ptr<jdbc::QueryResult>>> tasks;
    for (auto& c : cluster->jdbcs())
        if (c) tasks.push_back(c->sql(query, started));
    if (tasks.empty()) co_return no_database_shard(m, kQueryFailed, name);
    co_return co_await fan_out_jdbc(std::move(tasks));
}

asio::awaitable<ShardAnswers> do_bulk_insert(TyxClientMultiplex& m, std::string name, std::string table,
                                             std::shared_ptr<const std::vector<jdbc::JdbcColumn>> columns,
                                             std::int32_t row_count, std::int64_t timeout_ms,
                                             SessionClock::time_point started) {
    auto cluster = find_cluster(m, name, kInsertFailed);
    if (!cluster) co_return ShardAnswers::unknown_cluster(not_found(kInsertFailed, name));
    std::vector<asio::awaitable<std::shared_ptr<jdbc::QueryResult>>> tasks;
    for (auto& c : cluster->jdbcs())
        if (c) tasks.push_back(c->bulk_insert(table, *columns, row_count, timeout_ms, started));
    if (tasks.empty()) co_return no_database_shard(m, kInsertFailed, name);
    co_return co_await fan_out_jdbc(std::move(tasks));
}

// Runs `work` on the control loop and hands its answers to `callback` on the notification loop,
// whatever they hold.
template <typename Work>
void run_async(TyxClientMultiplex& m, Work work, std::function<void(ShardAnswers)> callback) {
    asio::co_spawn(
        m.control_context(),
        [&m, work = std::move(work), callback = std::move(callback)]() mutable -> asio::awaitable<void> {
            ShardAnswers answers = co_await work();
            asio::post(m.notify_context(),
                       [callback = std::move(callback), answers = std::move(answers)]() mutable {
                           callback(std::move(answers));
                       });
        },
        asio::detached);
}

// The list a failure-free request gives; on a failure, the level-3 log of the lowest failed
// shard and an empty list.
QueryResults results_or_log(TyxClientMultiplex& m, std::string_view name, std::string_view what,
                            ShardAnswers&& answers) {
    std::string failure = answers.failure(what);
    if (failure.empty()) return std::move(answers.results);
    m.log(name, 3, std::move(failure));
    return {};
}

// For the plain async forms, on the notification loop: the results to `callback`, or, on a
// failure, its log, heard at once, and no callback.
std::function<void(ShardAnswers)> results_or_log_here(TyxClientMultiplex& m, std::string_view name,
                                                      std::string_view what,
                                                      std::function<void(QueryResults)> callback) {
    return [&m, name = std::string(name), what, callback = std::move(callback)](ShardAnswers answers) {
        if (const std::string failure = answers.failure(what); !failure.empty())
            m.log_here(name, 3, failure);
        else
            callback(std::move(answers.results));
    };
}

}  // namespace

ShardAnswers TyxClientMultiplex::query_shards(std::string_view cluster_name, std::string_view query,
                                              SessionClock::time_point started) {
    auto answers = std::make_shared<ShardAnswers>();
    post([this, answers, started, name = std::string(cluster_name), q = std::string(query)]()
             -> asio::awaitable<void> { *answers = co_await do_sql_query(*this, name, q, started); },
         true);
    return std::move(*answers);
}

asio::awaitable<ShardAnswers> TyxClientMultiplex::query_shards_co(std::string cluster_name, std::string query,
                                                                  SessionClock::time_point started) {
    return do_sql_query(*this, std::move(cluster_name), std::move(query), started);
}

asio::awaitable<ShardAnswers> TyxClientMultiplex::bulk_insert_shards_co(
    std::string cluster_name, std::string table_name,
    std::shared_ptr<const std::vector<jdbc::JdbcColumn>> columns, std::int32_t row_count,
    std::int64_t timeout_ms, SessionClock::time_point started) {
    return do_bulk_insert(*this, std::move(cluster_name), std::move(table_name), std::move(columns),
                          row_count, timeout_ms, started);
}

void TyxClientMultiplex::query_shards_async(std::string_view cluster_name, std::string_view query,
                                            std::function<void(ShardAnswers)> callback) {
    const auto started = SessionClock::now();
    run_async(
        *this,
        [this, started, name = std::string(cluster_name), q = std::string(query)] {
            return do_sql_query(*this, name, q, started);
        },
        std::move(callback));
}

ShardAnswers TyxClientMultiplex::bulk_insert_shards(std::string_view cluster_name,
                                                    std::string_view table_name,
                                                    const std::vector<jdbc::JdbcColumn>& columns,
                                                    std::int32_t row_count, std::int64_t timeout_ms,
                                                    SessionClock::time_point started) {
    auto answers = std::make_shared<ShardAnswers>();
    // A blocking call made on the control loop itself cannot wait for work queued behind it.
    if (control_.context.get_executor().running_in_this_thread()) return {};
    // The caller blocks until the work is done, so its columns can be read in place.
    auto view = std::shared_ptr<const std::vector<jdbc::JdbcColumn>>(&columns, [](const auto*) {});
    post(
        [this, answers, view, row_count, timeout_ms, started, name = std::string(cluster_name),
         table = std::string(table_name)]() -> asio::awaitable<void> {
            *answers = co_await do_bulk_insert(*this, name, table, view, row_count, timeout_ms, started);
        },
        true);
    return std::move(*answers);
}

void TyxClientMultiplex::bulk_insert_shards_async(std::string_view cluster_name, std::string_view table_name,
                                                  std::vector<jdbc::JdbcColumn> columns,
                                                  std::int32_t row_count, std::int64_t timeout_ms,
                                                  std::function<void(ShardAnswers)> callback) {
    const auto started = SessionClock::now();
    auto owned = std::make_shared<const std::vector<jdbc::JdbcColumn>>(std::move(columns));
    run_async(
        *this,
        [this, owned, row_count, timeout_ms, started, name = std::string(cluster_name),
         table = std::string(table_name)] {
            return do_bulk_insert(*this, name, table, owned, row_count, timeout_ms, started);
        },
        std::move(callback));
}

QueryResults TyxClientMultiplex::sql(std::string_view cluster_name, std::string_view query) {
    return results_or_log(*this, cluster_name, kQueryFailed,
                          query_shards(cluster_name, query, SessionClock::now()));
}

void TyxClientMultiplex::sql_async(std::string_view cluster_name, std::string_view query,
                                   std::function<void(QueryResults)> callback) {
    query_shards_async(cluster_name, query,
                       results_or_log_here(*this, cluster_name, kQueryFailed, std::move(callback)));
}

QueryResults TyxClientMultiplex::bulk_insert(std::string_view cluster_name, std::string_view table_name,
                                             const std::vector<jdbc::JdbcColumn>& columns,
                                             std::int32_t row_count, std::int64_t timeout_ms) {
    return results_or_log(
        *this, cluster_name, kInsertFailed,
        bulk_insert_shards(cluster_name, table_name, columns, row_count, timeout_ms, SessionClock::now()));
}

void TyxClientMultiplex::bulk_insert_async(std::string_view cluster_name, std::string_view table_name,
                                           std::vector<jdbc::JdbcColumn> columns, std::int32_t row_count,
                                           std::function<void(QueryResults)> callback,
                                           std::int64_t timeout_ms) {
    bulk_insert_shards_async(cluster_name, table_name, std::move(columns), row_count, timeout_ms,
                             results_or_log_here(*this, cluster_name, kInsertFailed, std::move(callback)));
}

void TyxClientMultiplex::log_here(std::string_view cluster_name, std::uint8_t level,
                                  std::string_view message) {
    for (const auto& listener : listeners_) listener->on_log(*this, cluster_name, level, message);
}

}  // namespace tyx
