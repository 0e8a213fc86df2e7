// The cluster operations of the multiplexer: the registry, publication routing, and the
// routing of subscriptions, queries and bulk inserts to the shards of a cluster.
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <unordered_map>

#include "jdbc/jdbc_result.hpp"
#include "multiplex/tyx_client_multiplex.hpp"
#include "multiplex/tyx_cluster_client.hpp"
#include "rt/message.hpp"

namespace tyx {
namespace {

std::string not_found(std::string_view what, std::string_view name) {
    return std::string(what) + ": Cluster not found [" + std::string(name) + "]";
}

// The relay indexes a message goes to: the distribution function's choice without indexes
// that are out of range or disabled (duplicates and order kept), or, when there is no function
// or it names nothing, every enabled relay in shard order.
std::vector<std::size_t> select_shards(const std::vector<std::unique_ptr<TyxClientRelay>>& relays,
                                       std::string_view cluster_name,
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

// Shared by the fan-out coroutine and every per-shard completion handler.
struct FanOutState {
    FanOutState(const asio::any_io_executor& executor, std::size_t n)
        : results(n), errors(n), remaining(n), timer(executor) {
        timer.expires_at(asio::steady_timer::time_point::max());
    }
    QueryResults results;
    std::vector<std::exception_ptr> errors;
    std::atomic<std::size_t> remaining;
    asio::steady_timer timer;
};

// Runs every shard's request at once and gathers the results in shard order. The first
// shard's exception (by shard order) is rethrown and the other results are dropped.
asio::awaitable<QueryResults> fan_out_jdbc(
    std::vector<asio::awaitable<std::shared_ptr<jdbc::QueryResult>>> tasks) {
    auto executor = co_await asio::this_coro::executor;
    if (tasks.empty()) co_return QueryResults{};
    auto state = std::make_shared<FanOutState>(executor, tasks.size());
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        asio::co_spawn(executor, std::move(tasks[i]),
                       [state, i](std::exception_ptr error, std::shared_ptr<jdbc::QueryResult> result) {
                           if (error)
                               state->errors[i] = error;
                           else
                               state->results[i] = std::move(result);
                           if (--state->remaining == 0) state->timer.cancel();
                       });
    }
    if (state->remaining.load() != 0) {
        std::error_code ignored;
        co_await state->timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    for (auto& error : state->errors)
        if (error) std::rethrow_exception(error);
    co_return std::move(state->results);
}

}  // namespace

void TyxClientMultiplex::log(std::string_view cluster_name, std::uint8_t level, std::string message) {
    notify_listeners([this, name = std::string(cluster_name), level, text = std::move(message)](
                         TyxClientListener& l) { l.on_log(*this, name, level, text); });
}

// ---------------------------------------------------------------- clusters

void TyxClientMultiplex::add_cluster(const Cluster& cluster, bool wait) {
    post([this, copy = cluster]() -> asio::awaitable<void> { co_await do_add_cluster(copy); }, wait);
}

void TyxClientMultiplex::remove_cluster(std::string_view cluster_name, bool wait) {
    post([this,
          name = std::string(cluster_name)]() -> asio::awaitable<void> { co_await do_remove_cluster(name); },
         wait);
}

asio::awaitable<void> TyxClientMultiplex::do_add_cluster(Cluster cluster) {
    // A second cluster of a registered name is refused before anything of it is built: a
    // client that started but could not be registered could never be stopped by name.
    if (clusters_.contains(cluster.name)) {
        log(cluster.name, 3, "Failed to add cluster: Cluster already exists [" + cluster.name + "]");
        co_return;
    }
    auto client = std::make_shared<TyxClusterClient>(*this, cluster, control_.context, pool_);
    clusters_.emplace(cluster.name, client);
    co_await client->start(control_.context);
}

asio::awaitable<void> TyxClientMultiplex::do_remove_cluster(std::string cluster_name) {
    auto it = clusters_.find(cluster_name);
    if (it == clusters_.end()) co_return;
    std::shared_ptr<TyxClusterClient> client = std::move(it->second);
    clusters_.erase(it);
    co_await client->stop();
}

asio::awaitable<void> TyxClientMultiplex::do_stop_all() {
    for (auto& [name, client] : clusters_) co_await client->stop();
    clusters_.clear();
}

// ---------------------------------------------------------------- publication

namespace {

// Relay jobs being gathered while one batch of publications is routed: one job per relay
// carries every message routed to it, in order, and keeps the cluster alive.
struct RelayBatches {
    struct Batch {
        std::shared_ptr<TyxClusterClient> cluster;
        std::vector<std::shared_ptr<rt::Message>> messages;
    };
    std::unordered_map<TyxClientRelay*, Batch> by_relay;
    std::vector<TyxClientRelay*> order;    // first use, so posting order is stable
    TyxClientRelay* last_relay = nullptr;  // most bursts go to one relay: skip the lookup
    Batch* last_batch = nullptr;

    void add(const std::shared_ptr<TyxClusterClient>& cluster, TyxClientRelay* relay,
             const std::shared_ptr<rt::Message>& message) {
        if (relay != last_relay) {
            auto [it, inserted] = by_relay.try_emplace(relay);
            if (inserted) {
                it->second.cluster = cluster;
                order.push_back(relay);
            }
            last_relay = relay;
            last_batch = &it->second;  // element references survive rehashing
        }
        last_batch->messages.push_back(message);
    }
    void post_all() {
        for (TyxClientRelay* relay : order) {
            asio::post(relay->io_context(),
                       [relay, batch = std::move(by_relay.at(relay))] { relay->send_batch(batch.messages); });
        }
    }
};

// Chooses the relays for `message` and adds it to their batches.
void route_to_relays(TyxClientMultiplex& m, const std::shared_ptr<TyxClusterClient>& cluster,
                     const std::shared_ptr<rt::Message>& message, RelayBatches& batches) {
    const auto& config = cluster->cluster().publication_config;
    const auto& relays = cluster->relays();
    if (!config.distribution_function()) {
        // Every enabled relay, in shard order, without building the list of indexes.
        for (const auto& relay : relays)
            if (relay) batches.add(cluster, relay.get(), message);
        return;
    }
    std::vector<std::size_t> chosen;
    try {
        chosen = select_shards(cluster->relays(), cluster->cluster().name, config.distribution_function(),
                               message->view());
    } catch (const std::exception& e) {
        m.log(cluster->cluster().name, 3,
              std::string("Failed to send message: distribution function failed: ") + e.what());
        return;
    } catch (...) {
        m.log(cluster->cluster().name, 3, "Failed to send message: distribution function failed");
        return;
    }
    for (std::size_t i : chosen) batches.add(cluster, cluster->relays()[i].get(), message);
}

}  // namespace

void TyxClientMultiplex::send_object_message(std::string_view cluster_name,
                                             std::shared_ptr<rt::Message> message, bool wait) {
    if (wait) {
        post([this, name = std::string(cluster_name),
              message]() -> asio::awaitable<void> { co_await do_send_object_message(name, message); },
             true);
        return;
    }
    bool was_empty;
    {
        std::lock_guard lock(publications_mutex_);
        was_empty = publications_.empty();
        publications_.push_back(PendingPublication{std::string(cluster_name), std::move(message)});
    }
    if (was_empty) asio::post(control_.context, [this] { drain_publications(); });
}

void TyxClientMultiplex::drain_publications() {
    std::vector<PendingPublication> pending;
    {
        std::lock_guard lock(publications_mutex_);
        pending.swap(publications_);
    }
    RelayBatches batches;
    const std::string* last_name = nullptr;
    std::shared_ptr<TyxClusterClient> cluster;
    for (const auto& p : pending) {
        if (last_name == nullptr || *last_name != p.cluster_name) {
            auto it = clusters_.find(p.cluster_name);
            cluster = it == clusters_.end() ? nullptr : it->second;
            last_name = &p.cluster_name;
        }
        if (cluster) route_to_relays(*this, cluster, p.message, batches);  // unknown: dropped silently
    }
    batches.post_all();
}

asio::awaitable<void> TyxClientMultiplex::do_send_object_message(std::string cluster_name,
                                                                 std::shared_ptr<rt::Message> message) {
    auto it = clusters_.find(cluster_name);
    if (it == clusters_.end()) {
        log(cluster_name, 3, not_found("Failed to send message", cluster_name));
        co_return;
    }
    RelayBatches batches;
    route_to_relays(*this, it->second, message, batches);
    batches.post_all();
}

// ---------------------------------------------------------------- subscriptions

void TyxClientMultiplex::subscribe(std::string_view cluster_name, std::vector<std::string> tables,
                                   bool wait) {
    std::vector<SubscriptionRequest> requests;
    requests.reserve(tables.size());
    for (auto& t : tables) {
        SubscriptionRequest r{};
        r.table_name = std::move(t);
        requests.push_back(std::move(r));
    }
    subscribe(cluster_name, std::move(requests), wait);
}

void TyxClientMultiplex::subscribe(std::string_view cluster_name, std::vector<SubscriptionRequest> requests,
                                   bool wait) {
    post(
        [this, name = std::string(cluster_name), requests = std::move(requests)]() -> asio::awaitable<void> {
            auto it = clusters_.find(name);
            if (it == clusters_.end()) {
                log(name, 3, not_found("Failed to subscribe to center tables", name));
                co_return;
            }
            auto cluster = it->second;
            std::vector<TyxClientCenter*> centers;
            for (auto& c : cluster->centers())
                if (c) centers.push_back(c.get());
            if (centers.empty()) co_return;
            struct Pending {
                explicit Pending(const asio::any_io_executor& e, int n) : remaining(n), timer(e) {
                    timer.expires_at(asio::steady_timer::time_point::max());
                }
                std::atomic<int> remaining;
                asio::steady_timer timer;
            };
            auto pending =
                std::make_shared<Pending>(control_.context.get_executor(), static_cast<int>(centers.size()));
            for (TyxClientCenter* center : centers) {
                center->subscribe(requests, [pending] {
                    if (--pending->remaining == 0) pending->timer.cancel();
                });
            }
            if (pending->remaining.load() < 1) co_return;
            std::error_code ignored;
            co_await pending->timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        },
        wait);
}

void TyxClientMultiplex::unsubscribe(std::string_view cluster_name, std::vector<std::string> tables,
                                     bool wait) {
    post(
        [this, name = std::string(cluster_name), tables = std::move(tables)]() -> asio::awaitable<void> {
            auto it = clusters_.find(name);
            if (it == clusters_.end()) {
                log(name, 3, not_found("Failed to unsubscribe from center tables", name));
                co_return;
            }
            for (auto& c : it->second->centers())
                if (c) c->unsubscribe(tables);
        },
        wait);
}

std::optional<CenterTableSchema> TyxClientMultiplex::get_table_schema(std::string_view cluster_name,
                                                                      std::string_view table_name) {
    auto result = std::make_shared<std::optional<CenterTableSchema>>();
    post(
        [this, result, name = std::string(cluster_name),
         table = std::string(table_name)]() -> asio::awaitable<void> {
            auto it = clusters_.find(name);
            if (it == clusters_.end()) co_return;
            for (auto& c : it->second->centers()) {
                if (!c) continue;
                if (auto schema = c->subscribed_tables().table_schema(table)) {
                    *result = std::move(schema);
                    co_return;
                }
            }
        },
        true);
    return std::move(*result);
}

// ---------------------------------------------------------------- queries and bulk inserts

namespace {

asio::awaitable<QueryResults> do_sql_query(TyxClientMultiplex& m, std::string name, std::string query) {
    auto it = m.clusters().find(name);
    if (it == m.clusters().end()) {
        m.log(name, 3, not_found("Failed to execute SQL query", name));
        co_return QueryResults{};
    }
    auto cluster = it->second;  // keeps the clients alive while the requests run
    std::vector<asio::awaitable<std::shared_ptr<jdbc::QueryResult>>> tasks;
    for (auto& c : cluster->jdbcs())
        if (c) tasks.push_back(c->sql(query));
    co_return co_await fan_out_jdbc(std::move(tasks));
}

asio::awaitable<QueryResults> do_bulk_insert(TyxClientMultiplex& m, std::string name, std::string table,
                                             std::shared_ptr<const std::vector<jdbc::JdbcColumn>> columns,
                                             std::int32_t row_count, std::int64_t timeout_ms) {
    auto it = m.clusters().find(name);
    if (it == m.clusters().end()) {
        m.log(name, 3, not_found("Failed to execute bulk insert", name));
        co_return QueryResults{};
    }
    auto cluster = it->second;
    std::vector<asio::awaitable<std::shared_ptr<jdbc::QueryResult>>> tasks;
    for (auto& c : cluster->jdbcs())
        if (c) tasks.push_back(c->bulk_insert(table, *columns, row_count, timeout_ms));
    co_return co_await fan_out_jdbc(std::move(tasks));
}

// Runs `work` on the control loop and hands its result to `callback` on the notification loop,
// or reports its failure as a level-3 log prefixed with `what`.
template <typename Work>
void run_async(TyxClientMultiplex& m, std::string name, std::string what, Work work,
               std::function<void(QueryResults)> callback) {
    asio::co_spawn(
        m.control_context(),
        [&m, name = std::move(name), what = std::move(what), work = std::move(work),
         callback = std::move(callback)]() mutable -> asio::awaitable<void> {
            std::string failure;
            try {
                QueryResults results = co_await work();
                asio::post(m.notify_context(),
                           [callback = std::move(callback), results = std::move(results)]() mutable {
                               callback(std::move(results));
                           });
                co_return;
            } catch (const std::exception& e) {
                failure = what + ": " + e.what();
            } catch (...) {
                failure = what + ": unknown error";
            }
            m.log(name, 3, std::move(failure));
        },
        asio::detached);
}

}  // namespace

QueryResults TyxClientMultiplex::sql(std::string_view cluster_name, std::string_view query) {
    auto result = std::make_shared<QueryResults>();
    post(
        [this, result, name = std::string(cluster_name), q = std::string(query)]() -> asio::awaitable<void> {
            *result = co_await do_sql_query(*this, name, q);
        },
        true);
    return std::move(*result);
}

void TyxClientMultiplex::sql_async(std::string_view cluster_name, std::string_view query,
                                   std::function<void(QueryResults)> callback) {
    std::string name(cluster_name);
    run_async(
        *this, name, "Failed to execute SQL query",
        [this, name, q = std::string(query)] { return do_sql_query(*this, name, q); }, std::move(callback));
}

QueryResults TyxClientMultiplex::bulk_insert(std::string_view cluster_name, std::string_view table_name,
                                             const std::vector<jdbc::JdbcColumn>& columns,
                                             std::int32_t row_count, std::int64_t timeout_ms) {
    auto result = std::make_shared<QueryResults>();
    // A blocking call made on the control loop itself cannot wait for work queued behind it.
    if (control_.context.get_executor().running_in_this_thread()) return {};
    // The caller blocks until the work is done, so its columns can be read in place.
    auto view = std::shared_ptr<const std::vector<jdbc::JdbcColumn>>(&columns, [](const auto*) {});
    post(
        [this, result, view, row_count, timeout_ms, name = std::string(cluster_name),
         table = std::string(table_name)]() -> asio::awaitable<void> {
            *result = co_await do_bulk_insert(*this, name, table, view, row_count, timeout_ms);
        },
        true);
    return std::move(*result);
}

void TyxClientMultiplex::bulk_insert_async(std::string_view cluster_name, std::string_view table_name,
                                           std::vector<jdbc::JdbcColumn> columns, std::int32_t row_count,
                                           std::function<void(QueryResults)> callback,
                                           std::int64_t timeout_ms) {
    std::string name(cluster_name);
    auto owned = std::make_shared<const std::vector<jdbc::JdbcColumn>>(std::move(columns));
    run_async(
        *this, name, "Failed to execute bulk insert",
        [this, name, owned, row_count, timeout_ms, table = std::string(table_name)] {
            return do_bulk_insert(*this, name, table, owned, row_count, timeout_ms);
        },
        std::move(callback));
}

}  // namespace tyx
