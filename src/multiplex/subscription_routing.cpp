// Subscription routing: subscribing and unsubscribing tables on every enabled center shard of a
// cluster (waiting, when asked, for their answers within the snapshot limit), and the tables'
// schemas.
#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>

#include <optional>

#include "core/countdown.hpp"
#include "multiplex/cluster_operations.hpp"

namespace tyx {
namespace {

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
            auto cluster = find_cluster(*this, name, kSubscribeFailed);
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
            auto cluster = find_cluster(*this, name, kUnsubscribeFailed);
            if (!cluster) co_return;
            for (auto& c : cluster->centers())
                if (c) c->unsubscribe(tables);
        },
        wait, std::move(on_done));
}

asio::awaitable<void> TyxClientMultiplex::find_table_schema(
    std::string cluster_name, std::string table_name,
    std::shared_ptr<std::optional<CenterTableSchema>> result) {
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

}  // namespace tyx
