#include "client/table_upload.hpp"

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>

#include "client/table_sql.hpp"
#include "multiplex/cluster_operations.hpp"

namespace tyx {

const Table* TableUpload::as_table(std::string_view cluster_name, const TableAccessor& accessor,
                                   std::string_view operation) {
    const auto* table = dynamic_cast<const Table*>(&accessor);
    if (table == nullptr) {
        multiplex_.log(cluster_name, 3,
                       std::string("Failed to ") + std::string(operation) + ": the accessor is not a Table");
        return nullptr;
    }
    // Checked before anything is sent: a name the statements cannot carry, or uneven columns,
    // would otherwise fail on the way without a word, or create a table other than the one asked.
    if (auto refusal = upload_refusal(*table)) {
        multiplex_.log(cluster_name, 3, std::string("Failed to ") + std::string(operation) + ": " + *refusal);
        return nullptr;
    }
    return table;
}

namespace {
std::int32_t upload_rows(const Table& table) {
    return static_cast<std::int32_t>(table.row_count());
}

// Whether any shard answered the probe with a result set: the table exists there.
bool table_exists(const ShardAnswers& probe) {
    for (const auto& result : probe.results)
        if (result && !result->elements.empty() && result->elements.front().result_set) return true;
    return false;
}
}  // namespace

void TableUpload::UploadFailures::add(const ShardAnswers& answers, std::string_view step) {
    for (std::size_t i = 0; i < answers.results.size(); ++i) {
        if (by_shard_.contains(i)) continue;
        std::string reason = i < answers.failures.size() ? answers.failures[i] : std::string();
        if (reason.empty() && answers.results[i]) {
            for (const auto& element : answers.results[i]->elements) {
                if (!element.message) continue;
                if (!reason.empty()) reason += "; ";
                reason += element.message->text;
            }
        }
        if (reason.empty()) continue;
        by_shard_.emplace(i, step.empty() ? std::move(reason) : std::string(step) + ": " + reason);
    }
}

void TableUpload::UploadFailures::report(TyxClientMultiplex& multiplex, std::string_view cluster_name,
                                         std::string_view table, bool here) const {
    if (by_shard_.empty()) return;
    std::string text = std::string(kInsertFailed) + ": ";
    for (const auto& [shard, reason] : by_shard_) {
        if (shard != by_shard_.begin()->first) text += "; ";
        text += "[shard " + std::to_string(shard) + "] " + reason;
    }
    text += " (table " + std::string(table) + ")";
    if (here)
        multiplex.log_here(cluster_name, 3, text);
    else
        multiplex.log(cluster_name, 3, std::move(text));
}

void TableUpload::sql_insert(std::string_view cluster_name, TableAccessor&& accessor) {
    const Table* table = as_table(cluster_name, accessor, "insert table");
    if (table == nullptr) return;
    UploadFailures failures;
    failures.add(multiplex_.bulk_insert_shards(cluster_name, table->table_name(),
                                               table_to_jdbc_columns(*table), upload_rows(*table), -1,
                                               SessionClock::now()));
    failures.report(multiplex_, cluster_name, table->table_name(), false);
}

void TableUpload::insert_async(std::string_view cluster_name, const Table& table, UploadFailures failures,
                               std::function<void()> on_done) {
    multiplex_.bulk_insert_shards_async(
        cluster_name, table.table_name(), table_to_jdbc_columns(table), upload_rows(table), -1,
        [multiplex = &multiplex_, name = std::string(cluster_name), table_name = table.table_name(),
         failures = std::move(failures), on_done = std::move(on_done)](ShardAnswers answers) mutable {
            failures.add(answers);
            failures.report(*multiplex, name, table_name, true);
            if (on_done) on_done();
        });
}

void TableUpload::sql_insert_async(std::string_view cluster_name, TableAccessor&& accessor,
                                   std::function<void()> on_done) {
    const Table* table = as_table(cluster_name, accessor, "insert table");
    if (table == nullptr) {
        // Refused: on_done still runs once, after the refusal's log.
        if (on_done) asio::post(multiplex_.notify_context(), std::move(on_done));
        return;
    }
    insert_async(cluster_name, *table, {}, std::move(on_done));
}

TableUpload::UploadFailures TableUpload::prepare_replace(std::string_view cluster_name, const Table& table,
                                                         std::string_view suffix,
                                                         SessionClock::time_point started) {
    // A shard that fails the probe is taken for one without the table; its CREATE then fails
    // too, and says why.
    const ShardAnswers probe =
        multiplex_.query_shards(cluster_name, make_probe_table_sql(table.table_name()), started);
    UploadFailures failures;
    if (table_exists(probe))
        failures.add(
            multiplex_.query_shards(cluster_name, make_delete_table_sql(table.table_name()), started),
            "DELETE");
    else
        failures.add(multiplex_.query_shards(cluster_name, make_create_table_sql(table, suffix), started),
                     "CREATE");
    return failures;
}

void TableUpload::sql_replace(std::string_view cluster_name, TableAccessor&& accessor,
                              std::string_view suffix) {
    const Table* table = as_table(cluster_name, accessor, "replace table");
    if (table == nullptr) return;
    // One deadline for the whole replace.
    const auto started = SessionClock::now();
    UploadFailures failures = prepare_replace(cluster_name, *table, suffix, started);
    failures.add(multiplex_.bulk_insert_shards(
        cluster_name, table->table_name(), table_to_jdbc_columns(*table), upload_rows(*table), -1, started));
    failures.report(multiplex_, cluster_name, table->table_name(), false);
}

void TableUpload::sql_replace_async(std::string_view cluster_name, TableAccessor&& accessor,
                                    std::string_view suffix) {
    const Table* table = as_table(cluster_name, accessor, "replace table");
    if (table == nullptr) return;
    insert_async(cluster_name, *table, prepare_replace(cluster_name, *table, suffix, SessionClock::now()),
                 nullptr);
}

void TableUpload::sql_replace_in_background(std::string_view cluster_name, TableAccessor&& accessor,
                                            std::string_view suffix, std::function<void()> on_done) {
    const Table* table = as_table(cluster_name, accessor, "replace table");
    if (table == nullptr) {
        if (on_done) asio::post(multiplex_.notify_context(), std::move(on_done));
        return;
    }
    // Everything the statements need is made here, so the caller's table is free on return; the
    // deadline counts from the call.
    struct Replace {
        std::string cluster;
        std::string table;
        std::string probe_sql;
        std::string delete_sql;
        std::string create_sql;
        std::shared_ptr<const std::vector<jdbc::JdbcColumn>> columns;
        std::int32_t rows = 0;
        SessionClock::time_point started;
    };
    auto job = std::make_shared<Replace>(
        Replace{std::string(cluster_name), table->table_name(), make_probe_table_sql(table->table_name()),
                make_delete_table_sql(table->table_name()), make_create_table_sql(*table, suffix),
                std::make_shared<const std::vector<jdbc::JdbcColumn>>(table_to_jdbc_columns(*table)),
                upload_rows(*table), SessionClock::now()});
    asio::co_spawn(
        multiplex_.control_context(),
        // The multiplexer, not this object: the steps may still run while the Client is being
        // destroyed, once only the multiplexer is left.
        [m = &multiplex_, job]() -> asio::awaitable<UploadFailures> {
            UploadFailures failures;
            const ShardAnswers probe =
                co_await m->query_shards_co(job->cluster, job->probe_sql, job->started);
            const bool exists = table_exists(probe);
            ShardAnswers prepared = co_await m->query_shards_co(
                job->cluster, exists ? job->delete_sql : job->create_sql, job->started);
            failures.add(prepared, exists ? "DELETE" : "CREATE");
            ShardAnswers inserted = co_await m->bulk_insert_shards_co(job->cluster, job->table, job->columns,
                                                                      job->rows, -1, job->started);
            failures.add(inserted);
            co_return failures;
        },
        // The failure is heard before on_done, both on the notification loop, which outlives the
        // control loop: on_done runs even when the Client is destroyed first.
        [multiplex = &multiplex_, job, on_done = std::move(on_done)](std::exception_ptr,
                                                                     UploadFailures failures) mutable {
            asio::post(multiplex->notify_context(),
                       [multiplex, job, failures = std::move(failures), on_done = std::move(on_done)] {
                           failures.report(*multiplex, job->cluster, job->table, true);
                           if (on_done) on_done();
                       });
        });
}

}  // namespace tyx
