// Queries and uploads against database servers that fail: every blocking call returns within
// the query timeout plus a second and says what failed, in its accessor or in one level-3 log,
// and every sql_async callback runs once, the Client's shutdown included.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <map>
#include <thread>

#include "database_server.hpp"
#include "support/client_recorder.hpp"
#include "tyx/tyx.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using sandbox::DatabaseServer;
using test::ClientRecorder;
using Clock = std::chrono::steady_clock;

constexpr std::int32_t kTimeoutMs = 2000;
constexpr auto kBound = std::chrono::milliseconds(kTimeoutMs) + 1s;

Cluster database_cluster(std::string name, const std::vector<std::uint16_t>& ports) {
    Cluster c(std::move(name), "127.0.0.1");
    c.database_config = DatabaseConfig(std::to_string(ports.at(0)), false, "", "", kTimeoutMs, 10000);
    for (std::size_t i = 1; i < ports.size(); ++i) c.database_config.add_shard(std::to_string(ports[i]), false);
    return c;
}

Table one_row(std::string name) {
    Table t(std::move(name));
    t.add_column("v", std::vector<std::int32_t>{1});
    return t;
}

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// One call made on its own thread: how long it took and what it said.
struct Timed {
    std::chrono::milliseconds took{};
    std::string said;
};

std::future<Timed> timed(std::function<std::string()> call) {
    return std::async(std::launch::async, [call = std::move(call)] {
        const auto start = Clock::now();
        std::string said = call();
        return Timed{std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start), std::move(said)};
    });
}

TEST(FailingDatabases, EveryCallEndsWithinTheTimeoutPlusASecondAndSaysWhatFailed) {
    DatabaseServer unreachable;
    unreachable.stop_listening();
    sandbox::DatabaseServerOptions withholding;
    withholding.faults.withhold_rate = 1;  // accepts, then never answers, not even the version bytes
    DatabaseServer silent(withholding);
    DatabaseServer cutting;
    cutting.cut_next_results(1000);
    DatabaseServer good;
    good.exec([](sandbox::SqliteDatabase& db) {
        db.execute("CREATE TABLE who (name String)");
        db.execute("INSERT INTO who VALUES ('one')");
        return 0;
    });

    auto events = std::make_shared<ClientRecorder>();
    Client client;
    client.listener_add(events);
    const std::pair<std::string, DatabaseServer*> servers[] = {
        {"unreachable", &unreachable}, {"silent", &silent}, {"cutting", &cutting}};
    for (const auto& [kind, server] : servers)
        for (const char* call : {"-sql", "-async", "-insert", "-replace"})
            // The cutting server's sessions are logged in first: its failure is the answer's.
            client.add_cluster(database_cluster(kind + call, {server->port()}), server == &cutting);
    client.add_cluster(database_cluster("mixed", {unreachable.port(), good.port()}), false);

    std::vector<std::pair<std::string, std::future<Timed>>> calls;
    for (const auto& [kind, server] : servers) {
        calls.emplace_back(kind + "-sql", timed([&, name = kind + "-sql"] {
                               const auto result = client.sql(name, "SELECT 1");
                               EXPECT_FALSE(result->has_result_set());
                               return result->error_message();
                           }));
        calls.emplace_back(kind + "-async", timed([&, name = kind + "-async"] {
                               auto said = std::make_shared<std::promise<std::string>>();
                               client.sql_async(name, "SELECT 1", [&, said, name](const TableAccessor& result) {
                                   // The failure's log is heard before the callback runs.
                                   const auto logs = events->count("log " + name + " 3 Failed to execute SQL query: ");
                                   said->set_value(std::to_string(logs) + " " + result.error_message());
                               });
                               auto answer = said->get_future();
                               if (answer.wait_for(kBound + 5s) != std::future_status::ready) return std::string("no callback");
                               return answer.get();
                           }));
        for (const std::string call : {"-insert", "-replace"}) {
            calls.emplace_back(kind + call, timed([&, name = kind + call, call] {
                                   if (call == "-insert")
                                       client.sql_insert(name, one_row("t"));
                                   else
                                       client.sql_replace(name, one_row("t"), "");
                                   return std::string();
                               }));
        }
    }
    auto mixed = timed([&] {
        const auto result = client.sql("mixed", "SELECT name FROM who");
        EXPECT_TRUE(result->has_result_set());
        EXPECT_EQ(result->row_count(), 1);
        return result->error_message();
    });

    for (auto& [name, call] : calls) {
        const Timed t = call.get();
        EXPECT_LE(t.took, kBound) << name;
        if (name.ends_with("-sql")) {
            EXPECT_TRUE(starts_with(t.said, "[shard 0] Failed to execute SQL query: ")) << t.said;
        }
        if (name.ends_with("-async")) {
            EXPECT_TRUE(starts_with(t.said, "1 [shard 0] Failed to execute SQL query: ")) << t.said;
        }
        if (name.ends_with("-insert") || name.ends_with("-replace")) {
            // Exactly one log for the upload, however many of its steps failed.
            const std::string log = "log " + name + " 3 Failed to execute bulk insert: [shard 0] ";
            EXPECT_TRUE(events->wait_for(log)) << name;
            EXPECT_EQ(events->count("log " + name + " 3"), 1u) << name;
        }
        // A server that lets a request wait is given up on at the deadline.
        if (!name.starts_with("cutting") && !name.ends_with("-insert") && !name.ends_with("-replace")) {
            EXPECT_NE(t.said.find("JDBC request timed out after 2000 ms"), std::string::npos) << t.said;
        }
    }
    const Timed m = mixed.get();
    EXPECT_LE(m.took, kBound);
    EXPECT_TRUE(starts_with(m.said, "[shard 0] Failed to execute SQL query: JDBC request timed out after 2000 ms"))
        << m.said;
    EXPECT_EQ(m.said.find("[shard 1]"), std::string::npos) << m.said;
}

// Answers cut at random points (the version answer, the login, a result), each closing the
// connection: no INSERT is stored twice, every one reported as done is stored once, and one whose
// answer was lost says that it may have been executed, as the health counts.
TEST(FailingDatabases, AnswersCutAtRandomNeverStoreAStatementTwice) {
    sandbox::DatabaseServerOptions cutting;
    cutting.faults.cut_rate = 0.3;
    cutting.fault_seed = 5;
    DatabaseServer server(cutting);
    Client client;
    client.add_cluster(database_cluster("cut", {server.port()}), true);
    auto run_until_answered = [&](const std::string& sql) {
        std::unique_ptr<TableAccessor> result;
        for (int i = 0; i < 30; ++i) {
            result = client.sql("cut", sql);
            if (result->error_message().empty()) break;
        }
        return result;
    };
    // Running it twice does no harm.
    ASSERT_EQ(run_until_answered("CREATE TABLE IF NOT EXISTS c (v INTEGER)")->error_message(), "");

    // Each cut costs a reconnection's pause: a few inserts, with a seed that cuts some answers.
    constexpr int kInserts = 6;
    std::vector<std::string> errors;
    for (int v = 0; v < kInserts; ++v)
        errors.push_back(
            client.sql("cut", "INSERT INTO c VALUES (" + std::to_string(v) + ")")->error_message());
    const auto rows = run_until_answered("SELECT v FROM c");
    ASSERT_EQ(rows->error_message(), "");
    std::map<std::int64_t, int> stored;
    std::visit(
        [&](const auto& column) {
            using C = std::decay_t<decltype(column)>;
            if constexpr (std::is_same_v<C, std::vector<std::int64_t>> ||
                          std::is_same_v<C, std::vector<std::int32_t>>)
                for (auto v : column) ++stored[v];
            else
                ADD_FAILURE() << "column of another type";
        },
        rows->columns().at(0));
    std::uint64_t unknown = 0;
    for (int v = 0; v < kInserts; ++v) {
        SCOPED_TRACE(errors[v]);
        EXPECT_LE(stored[v], 1) << v;
        if (errors[v].empty()) {
            EXPECT_EQ(stored[v], 1) << v;
        } else if (errors[v].find(
                       "the connection was lost after the request was sent; it may have been executed") !=
                   std::string::npos) {
            ++unknown;
        } else {
            EXPECT_EQ(stored[v], 0) << v;
        }
    }
    EXPECT_GT(unknown, 0u);
    std::uint64_t counted = 0;
    for (const auto& session : client.health().sessions) counted += session.database.unknown_outcomes;
    EXPECT_GE(counted, unknown);
}

TEST(FailingDatabases, ARejectedUploadIsLoggedOnceAndOnDoneStillRuns) {
    DatabaseServer good;
    auto events = std::make_shared<ClientRecorder>();
    Client client;
    client.listener_add(events);
    client.add_cluster(database_cluster("alpha", {good.port()}), true);

    client.sql_insert("alpha", one_row("absent"));
    ASSERT_TRUE(events->wait_for("log alpha 3 Failed to execute bulk insert: [shard 0] "));
    std::promise<std::size_t> logs_when_done;
    client.sql_insert_async("alpha", one_row("absent"),
                            [&] { logs_when_done.set_value(events->count("log alpha 3 Failed to execute bulk insert")); });
    EXPECT_EQ(logs_when_done.get_future().get(), 2u);
    EXPECT_TRUE(events->with_prefix("log alpha 3").back().ends_with("(table absent)"));

    // An upload the database takes raises nothing.
    client.sql_replace("alpha", one_row("present"), "");
    client.sql_insert("alpha", one_row("present"));
    const auto count = client.sql("alpha", "SELECT COUNT(*) FROM present");
    EXPECT_EQ(std::get<std::vector<std::int64_t>>(count->columns().at(0)).at(0), 2);
    EXPECT_EQ(events->count("log alpha 3"), 2u);
}

TEST(SqlAsync, EveryCallbackRunsOnceWhenTheClientStopsWithQueriesInFlight) {
    DatabaseServer server;
    server.set_response_delay(30s);
    // A listener slow to hear the failures must not lose a callback either.
    struct SlowListener : ClientListener {
        void on_log(Client&, std::string_view, std::uint8_t, std::string_view) override {
            std::this_thread::sleep_for(10ms);
        }
    };
    constexpr int kQueries = 20;
    std::vector<std::atomic<int>> runs(kQueries);
    std::atomic<int> failed{0};
    {
        Client client;
        client.listener_add(std::make_shared<SlowListener>());
        client.add_cluster(database_cluster("alpha", {server.port()}), true);
        for (int i = 0; i < kQueries; ++i)
            client.sql_async("alpha", "SELECT " + std::to_string(i), [&, i](const TableAccessor& result) {
                ++runs[i];
                if (!result.has_result_set() && !result.error_message().empty()) ++failed;
            });
        ASSERT_TRUE(server.wait_for_requests(1));
    }
    for (int i = 0; i < kQueries; ++i) EXPECT_EQ(runs[i].load(), 1) << i;
    EXPECT_EQ(failed.load(), kQueries);
}

}  // namespace
}  // namespace tyx
