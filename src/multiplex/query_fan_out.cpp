// Queries and bulk inserts fanned out to every enabled database shard of a cluster at once, each
// shard's answer or failure gathered in shard order (ShardAnswers); the blocking, awaitable and
// callback forms.
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "core/countdown.hpp"
#include "jdbc/jdbc_result.hpp"
#include "multiplex/cluster_operations.hpp"

namespace tyx {

std::string ShardAnswers::failure(std::string_view what) const {
    for (const auto& failure : failures)
        if (!failure.empty()) return std::string(what) + ": " + failure;
    return {};
}

namespace {

// A cluster without an enabled database shard answers nothing: said as an unknown cluster is.
ShardAnswers no_database_shard(TyxClientMultiplex& m, std::string_view what, std::string_view name) {
    std::string text =
        std::string(what) + ": Cluster has no enabled database shard [" + std::string(name) + "]";
    m.log(name, 3, text);
    return ShardAnswers::unknown_cluster(std::move(text));
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
