// Soak tests: a Client against a sandbox whose servers inject seeded random faults, for
// TYX_SOAK_SECONDS each (15 by default, so the four take a minute). Each test checks what must
// hold however the faults fall, and prints one summary line of its counts ("soak ...").
// TYX_SOAK_SEED picks another fault seed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.hpp"
#include "support/misbehaving_server.hpp"
#include "tyx/tyx.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sandbox::FaultPlan;
using sandbox::Sandbox;
using sandbox::SandboxOptions;

std::chrono::seconds soak_time() {
    const char* text = std::getenv("TYX_SOAK_SECONDS");
    const long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return std::chrono::seconds(seconds > 0 ? seconds : 15);
}

std::uint64_t soak_seed() {
    const char* text = std::getenv("TYX_SOAK_SEED");
    return text != nullptr ? std::strtoull(text, nullptr, 10) : 20261208;
}

// The process's peak resident memory (VmHWM), in MiB.
std::uint64_t peak_rss_mib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10) / 1024;
    return 0;
}

void report(const std::string& line) {
    std::printf("soak %s\n", line.c_str());
    std::fflush(stdout);
    ::testing::Test::RecordProperty("soak", line);
}

Cluster sandbox_cluster(Sandbox& box, bool relay, bool center, bool database,
                        std::int32_t query_timeout_ms = 2000) {
    Cluster cluster("soak", "127.0.0.1");
    if (relay)
        cluster.publication_config = PublicationConfig(std::to_string(box.relay_port()), false, "soak");
    if (center) cluster.subscription_config = SubscriptionConfig(std::to_string(box.center_port()), false);
    if (database)
        cluster.database_config =
            DatabaseConfig(std::to_string(box.database_port()), false, "", "", query_timeout_ms);
    return cluster;
}

// Connection events of one session kind, and the level-3 logs of that session and of its
// cluster (where a failed call is reported), for the test thread to wait on.
class SessionWatch : public ClientListener {
public:
    explicit SessionWatch(std::string session) : session_(std::move(session)) {}

    void on_disconnect(Client&, std::string_view name) override {
        if (name == session_) set(false);
    }
    void on_logged_in(Client&, std::string_view name) override {
        if (name == session_) set(true);
    }
    void on_log(Client&, std::string_view name, std::uint8_t level, std::string_view) override {
        if (level < 3 || (name != session_ && !session_.starts_with(std::string(name) + "-"))) return;
        {
            std::lock_guard lock(mutex_);
            ++errors;
        }
        changed_.notify_all();
    }
    bool wait_for_errors(std::uint64_t n, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return errors >= n; });
    }

    bool wait_for(bool connected, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return connected_ == connected; });
    }

    std::atomic<std::uint64_t> errors{0};

private:
    void set(bool connected) {
        {
            std::lock_guard lock(mutex_);
            connected_ = connected;
        }
        changed_.notify_all();
    }

    const std::string session_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool connected_ = false;
};

// ---- Publishing ----

// What the relay received from one publishing thread, checked as it arrives: on each
// connection the sequence numbers go up by one; a connection may start with repeats of what
// an earlier one carried (what its host had not acknowledged when it dropped), or with a gap
// (what the relay's host received and the relay never read), never with a number that was
// neither.
struct Arrivals {
    std::vector<bool> seen = std::vector<bool>(1 << 16);
    std::uint64_t highest = 0;
    sandbox::ConnectionId connection = 0;
    std::uint64_t last_on_connection = 0;
    std::uint64_t received = 0;
    std::uint64_t duplicates = 0;
    std::string fault;

    bool has(std::uint64_t n) const { return n < seen.size() && seen[n]; }

    void take(sandbox::ConnectionId on, std::uint64_t n) {
        ++received;
        if (n >= seen.size()) seen.resize(std::max<std::size_t>(n + 1, seen.size() * 2));
        const bool first = on != connection;
        if (!first && n != last_on_connection + 1 && fault.empty())
            fault = std::to_string(n) + " after " + std::to_string(last_on_connection) + " on connection " +
                    std::to_string(on);
        if (n <= highest) {
            ++duplicates;
            if (!seen[n] && fault.empty())
                fault = std::to_string(n) + " arrived late on connection " + std::to_string(on);
        } else {
            highest = n;
        }
        seen[n] = true;
        connection = on;
        last_on_connection = n;
    }
};

TEST(Soak, PublishingFromTwoThreadsThroughDropsAndStallsLosesOnlyWhatTheRelayNeverRead) {
    constexpr int kThreads = 2;
    constexpr std::uint64_t kLead = 200'000;  // about 15 MB of messages each
    SandboxOptions options;
    options.store_publications = false;
    options.relay.object_ids_only = true;
    options.faults.seed = soak_seed();
    FaultPlan plan;
    plan.drop_rate = 1e-6;  // mid-stream: what the client has in flight then is lost
    plan.drop_every = 4s;
    plan.stall = {2s, 300ms};
    options.faults.relay = plan;
    // Before the sandbox, so that they outlive the relay's observer.
    std::mutex arrivals_mutex;  // the relay loop writes, the test thread reads at the end
    std::vector<Arrivals> arrivals(kThreads);
    std::vector<std::atomic<std::uint64_t>> highest_received(kThreads);
    Sandbox box(options);
    auto& relay = box.relay();

    relay.set_observer([&](std::vector<sandbox::RelayPublication> batch) {
        std::lock_guard lock(arrivals_mutex);
        for (const auto& p : batch) {
            const auto dash = p.id.find('-');
            const auto thread = std::stoul(p.id.substr(0, dash));
            if (thread >= arrivals.size()) continue;
            arrivals[thread].take(p.connection, std::stoull(p.id.substr(dash + 1)));
            highest_received[thread] = arrivals[thread].highest;
        }
    });
    const auto received_up_to = [&](int thread, std::uint64_t n) {
        std::lock_guard lock(arrivals_mutex);
        return arrivals[thread].highest >= n;
    };

    auto watch = std::make_shared<SessionWatch>("soak-relay");
    Client client;
    client.listener_add(watch);
    client.add_cluster(sandbox_cluster(box, true, false, false), true);
    ASSERT_TRUE(watch->wait_for(true, 10s));
    const auto rss_at_start = peak_rss_mib();

    // While `outage` is set the client has reported the relay gone: what is published then
    // waits in the client, and nothing of it may be lost.
    std::atomic<bool> outage{false};
    std::atomic<bool> publishing{true};
    std::vector<std::uint64_t> published(kThreads, 0);
    std::vector<std::vector<std::uint64_t>> published_in_outage(kThreads);
    std::vector<std::atomic<std::uint64_t>> last_marked(kThreads), last_unmarked(kThreads);
    std::vector<std::thread> publishers;
    // Also when an assertion ends the test early.
    struct StopPublishers {
        std::atomic<bool>& publishing;
        std::vector<std::thread>& threads;
        ~StopPublishers() {
            publishing = false;
            for (auto& t : threads)
                if (t.joinable()) t.join();
        }
    } stop_publishers{publishing, publishers};
    for (int t = 0; t < kThreads; ++t) {
        publishers.emplace_back([&, t] {
            const std::string prefix = std::to_string(t) + "-";
            std::uint64_t n = 0;
            while (publishing) {
                // Publishing stays within a lead of what the relay has read, so that a slow
                // (sanitized) relay never fills the client's buffer: a message dropped by the
                // full-buffer policy would look like one lost in flight.
                if (n > highest_received[t] + kLead) {
                    std::this_thread::sleep_for(1ms);
                    continue;
                }
                for (int i = 0; i < 100; ++i) {
                    const bool away = outage;
                    client.publish_object("soak", "Soak", prefix + std::to_string(++n), {"v"},
                                          {FieldValue(static_cast<std::int64_t>(n))});
                    if (away) {
                        published_in_outage[t].push_back(n);
                        last_marked[t] = n;
                    } else {
                        last_unmarked[t] = n;
                    }
                }
                std::this_thread::sleep_for(2ms);  // paces the load: about 50 000 a second each
            }
            published[t] = n;
        });
    }

    // Outages: random faults pause, the relay refuses and drops the client, the client reports
    // it, and once it is back and everything published meanwhile has arrived, the faults resume.
    std::uint64_t outages = 0;
    const auto end = Clock::now() + soak_time();
    std::mt19937_64 random(soak_seed());
    for (;;) {
        const auto next = std::min(end, Clock::now() + std::chrono::milliseconds(2000 + random() % 3000));
        while (Clock::now() < next) {
            std::this_thread::sleep_for(std::min<Clock::duration>(next - Clock::now(), 500ms));
            relay.clear();  // the observer has them: keeps the relay's per-connection id lists short
        }
        if (Clock::now() >= end) break;
        relay.faults().stop();
        relay.faults().refuse_connections(std::chrono::milliseconds(200 + random() % 800));
        relay.faults().drop_connections();
        ASSERT_TRUE(watch->wait_for(false, 10s));
        outage = true;
        ++outages;
        ASSERT_TRUE(watch->wait_for(true, 90s)) << "the client came back after the relay did";
        outage = false;
        for (int t = 0; t < kThreads; ++t) {
            // Once a thread has published after the flag fell, its last marked message is known.
            const std::uint64_t before = last_unmarked[t];
            ASSERT_TRUE(relay.wait_until([&](const auto&) { return last_unmarked[t] > before; }, 10s));
            const std::uint64_t marked = last_marked[t];
            ASSERT_TRUE(relay.wait_until([&](const auto&) { return received_up_to(t, marked); }, 60s))
                << "thread " << t << ": " << marked << " published while the relay was away";
        }
        relay.faults().set_plan(plan);
    }
    relay.faults().stop();
    publishing = false;
    for (auto& p : publishers) p.join();

    // After the faults, one last message per thread; it cannot be lost, and everything before it
    // has either arrived or was in flight at a drop.
    for (int t = 0; t < kThreads; ++t)
        client.publish_object("soak", "Soak", std::to_string(t) + "-" + std::to_string(++published[t]), {},
                              {});
    for (int t = 0; t < kThreads; ++t)
        ASSERT_TRUE(relay.wait_until([&](const auto&) { return received_up_to(t, published[t]); }, 90s))
            << "thread " << t << " published " << published[t];

    // Every message the relay's host acknowledged is delivered or counted by the relay as read
    // never; nothing else may be missing. What the relay threw away unread may have been
    // written again (a connection refused within its first moments), so it bounds the losses.
    const std::size_t left = client.flush(30s);
    EXPECT_EQ(left, 0u);
    RelayCounters relay_counters;
    for (const auto& session : client.health().sessions)
        if (session.kind == SessionKind::relay) relay_counters = session.relay;
    std::lock_guard lock(arrivals_mutex);
    std::uint64_t total = 0, lost = 0, duplicates = 0, lost_in_outage = 0;
    for (int t = 0; t < kThreads; ++t) {
        const auto& a = arrivals[t];
        EXPECT_EQ(a.fault, "") << "thread " << t;
        total += published[t];
        duplicates += a.duplicates;
        for (std::uint64_t n = 1; n <= published[t]; ++n) lost += a.has(n) ? 0 : 1;
        for (auto n : published_in_outage[t]) lost_in_outage += a.has(n) ? 0 : 1;
    }
    EXPECT_EQ(lost_in_outage, 0u);
    const auto counts = relay.faults().counts();
    EXPECT_GT(counts.dropped, 0u);
    const std::uint64_t dropped_by_policy = relay_counters.dropped_messages;
    const std::uint64_t unaccounted =
        lost > counts.unread + dropped_by_policy ? lost - counts.unread - dropped_by_policy : 0;
    EXPECT_EQ(unaccounted, 0u) << lost << " never arrived; the relay read " << counts.unread << " never";
    EXPECT_EQ(relay_counters.published_messages,
              relay_counters.acknowledged_messages + relay_counters.kept_messages +
                  relay_counters.dropped_messages + relay_counters.replaced_versions +
                  relay_counters.discarded_messages);
    const auto peak = peak_rss_mib();
    EXPECT_LT(peak - rss_at_start, 1024u) << "resident memory grew from " << rss_at_start << " MiB";
    report("publishing: published " + std::to_string(total) + ", received " + std::to_string(total - lost) +
           ", never arrived " + std::to_string(lost) + ", discarded unread by the relay " +
           std::to_string(counts.unread) + ", dropped by policy " + std::to_string(dropped_by_policy) +
           ", unaccounted " + std::to_string(unaccounted) + ", re-sent " +
           std::to_string(relay_counters.resent_messages) + ", duplicates " + std::to_string(duplicates) +
           ", dropped connections " + std::to_string(counts.dropped) + ", outages " +
           std::to_string(outages) + ", stalls " + std::to_string(counts.stalls) + ", peak RSS " +
           std::to_string(peak) + " MiB");
}

// ---- Subscribing ----

std::string text_of(const FieldValue& v) {
    return std::visit(
        [](const auto& x) -> std::string {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::string>)
                return x;
            else if constexpr (std::is_same_v<T, std::monostate> ||
                               std::is_same_v<T, std::vector<std::uint8_t>>)
                return "";
            else if constexpr (std::is_integral_v<T>)
                return std::to_string(static_cast<std::int64_t>(x));
            else
                return std::to_string(static_cast<double>(x));
        },
        v);
}

std::string text_of(const sandbox::center::CenterValue& v) {
    if (!v.text.empty()) return v.text;
    if (v.real != 0.0) return std::to_string(v.real);
    return std::to_string(v.integer);
}

// table -> object id -> field -> value text
using TableView = std::map<std::string, std::map<std::string, std::map<std::string, std::string>>>;

// The subscriber's own view, built from the updates alone: a subscription (the first, or the
// one sent again after a reconnection) starts its tables afresh, since its snapshot follows.
class ViewBuilder : public ClientListener {
public:
    void on_subscribe(Client&, std::string_view, const std::vector<std::string>& tables) override {
        std::lock_guard lock(mutex_);
        for (const auto& t : tables) view_.erase(t);
        ++subscriptions;
    }
    void on_update(Client&, std::string_view, const CenterIncrementalUpdate& u) override {
        {
            std::lock_guard lock(mutex_);
            auto& rows = view_[u.table_name];
            if (u.action == 3) {
                rows.erase(u.object_id);
            } else {
                auto& row = rows[u.object_id];
                for (std::size_t i = 0; i < u.field_names.size() && i < u.row_data.size(); ++i)
                    row[u.field_names[i]] = text_of(u.row_data[i]);
            }
            ++updates;
        }
        changed_.notify_all();
    }
    void on_log(Client&, std::string_view name, std::uint8_t level, std::string_view) override {
        if (level >= 3 && name.ends_with("-center")) ++errors;
    }
    bool wait_for(const TableView& expected, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return without_empty_tables(view_) == expected; });
    }
    TableView view() {
        std::lock_guard lock(mutex_);
        return without_empty_tables(view_);
    }
    static TableView without_empty_tables(TableView v) {
        std::erase_if(v, [](const auto& t) { return t.second.empty(); });
        return v;
    }

    std::atomic<std::uint64_t> subscriptions{0}, updates{0}, errors{0};

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    TableView view_;
};

TEST(Soak, ASubscribersViewThroughDropsAndGarbageFramesEndsEqualToTheTables) {
    const std::vector<std::string> tables = {"Quote", "Trade"};
    SandboxOptions options;
    options.faults.seed = soak_seed();
    FaultPlan plan;
    // About one fault every 6 s of connection, frames coming at about 200 a second: a
    // connection that fails within 5 s of its login doubles the client's back-off.
    plan.drop_every = 10s;
    plan.garbage_rate = 0.0003;
    plan.cut_rate = 0.0001;
    plan.truncate_rate = 0.0001;
    options.faults.center = plan;
    Sandbox box(options);
    auto& center = box.center();

    auto view = std::make_shared<ViewBuilder>();
    Client client;
    client.listener_add(view);
    client.add_cluster(sandbox_cluster(box, false, true, false), true);
    client.subscribe("soak", tables, false);

    // Rows change and go: 200 ids a table, each step an object or a removal.
    std::mt19937_64 random(soak_seed());
    std::uint64_t changes = 0;
    const auto end = Clock::now() + soak_time();
    while (Clock::now() < end) {
        std::vector<std::string> lines;
        for (int i = 0; i < 10; ++i) {
            const auto& table = tables[random() % tables.size()];
            const auto id = "\"" + std::to_string(random() % 200) + "\"";
            if (random() % 8 == 0)
                lines.push_back("D|T=\"" + table + "\"|I=" + id);
            else
                lines.push_back("O|T=\"" + table + "\"|I=" + id + "|n=" + std::to_string(random() % 100000) +
                                "L|s=\"v" + std::to_string(random() % 1000) + "\"");
        }
        center.apply_lines(lines);
        changes += lines.size();
        std::this_thread::sleep_for(5ms);  // paces the changes: about 2 000 a second
    }
    center.faults().stop();

    TableView expected;
    center.loop().call([&] {
        for (const auto& t : tables)
            for (const auto& row : center.store()->rows(t))
                for (std::size_t i = 0; i < row.field_names.size(); ++i)
                    expected[t][row.object_id][row.field_names[i]] = text_of(row.values[i]);
    });
    // The last change may have been lost with a connection: one more of each table after the
    // faults, which the view must also show.
    center.apply_lines(
        {"O|T=\"Quote\"|I=\"last\"|n=1L|s=\"end\"", "O|T=\"Trade\"|I=\"last\"|n=1L|s=\"end\""});
    for (const auto& t : tables) expected[t]["last"] = {{"n", "1"}, {"s", "end"}};
    const bool equal = view->wait_for(expected, 90s);
    EXPECT_TRUE(equal);
    if (!equal) {
        auto seen = view->view();
        for (const auto& t : tables)
            ADD_FAILURE() << t << ": " << seen[t].size() << " rows seen, " << expected[t].size()
                          << " in the table";
    }
    const auto counts = center.faults().counts();
    EXPECT_GT(counts.dropped + counts.garbage + counts.cut, 0u);
    report("subscribing: changes " + std::to_string(changes) + ", updates " + std::to_string(view->updates) +
           ", subscriptions " + std::to_string(view->subscriptions) +
           ", center faults: " + counts.describe() + ", errors logged " + std::to_string(view->errors) +
           ", peak RSS " + std::to_string(peak_rss_mib()) + " MiB");
}

// ---- Queries and uploads ----

TEST(Soak, QueriesAndUploadsThroughDropsAndHeldAnswersReturnInTimeAndNeverFailSilently) {
    constexpr std::int32_t kTimeoutMs = 1000;
    SandboxOptions options;
    options.faults.seed = soak_seed();
    FaultPlan plan;
    plan.drop_rate = 0.01;
    plan.delay_rate = 0.05;
    plan.delay = 1500ms;  // past the deadline
    plan.withhold_rate = 0.01;
    plan.stall = {5s, 300ms};
    options.faults.database = plan;
    Sandbox box(options);
    box.database().exec([](sandbox::SqliteDatabase& db) {
        db.execute("CREATE TABLE Fixed (k INTEGER, v INTEGER)");
        for (int k = 1; k <= 100; ++k)
            db.execute("INSERT INTO Fixed VALUES (" + std::to_string(k) + ", " + std::to_string(k * k) + ")");
        db.execute("CREATE TABLE Up (batch INTEGER, k INTEGER)");
        return 0;
    });
    constexpr std::int64_t kSum = 338350;  // 1 + 4 + ... + 10000

    auto watch = std::make_shared<SessionWatch>("soak-jdbc");
    Client client;
    client.listener_add(watch);
    client.add_cluster(sandbox_cluster(box, false, false, true, kTimeoutMs), true);

    // A call may take its deadline twice (the one retry on a fresh connection) and the back-off
    // before that connection, at most 60 s.
    const auto bound = 2 * std::chrono::milliseconds(kTimeoutMs) + 60s + 5s;
    std::uint64_t queries = 0, right = 0, failed = 0, unanswered = 0, uploads = 0;
    Clock::duration longest{0};
    std::string silent;
    const auto end = Clock::now() + soak_time();
    for (std::int64_t batch = 1; Clock::now() < end; ++batch) {
        auto start = Clock::now();
        const auto result = client.sql("soak", "SELECT SUM(v) AS s FROM Fixed");
        longest = std::max(longest, Clock::now() - start);
        ++queries;
        if (!result->error_message().empty()) {
            ++failed;
        } else if (result->has_result_set() && result->row_count() == 1 && result->columns().size() == 1 &&
                   std::visit(
                       [](const auto& c) {
                           if constexpr (std::is_same_v<std::decay_t<decltype(c)>, std::vector<std::int64_t>>)
                               return c.size() == 1 && c[0] == kSum;
                           return false;
                       },
                       result->columns()[0])) {
            ++right;
        } else if (!result->has_result_set() && result->affected_rows() == 0) {
            ++unanswered;  // a failure, which must have been logged
        } else if (silent.empty()) {
            std::ostringstream text;
            result->print(text);
            silent = "query " + std::to_string(queries) + " answered wrongly with no error: " + text.str();
        }

        Table up("Up");
        up.add_column("batch", std::vector<std::int64_t>(10, batch));
        up.add_column("k", std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
        start = Clock::now();
        client.sql_insert("soak", std::move(up));
        longest = std::max(longest, Clock::now() - start);
        ++uploads;
    }
    EXPECT_LT(longest, bound);
    EXPECT_EQ(silent, "");
    EXPECT_GT(right, 0u);

    // Every upload either reached the table or was reported: uploads missing from the table
    // are at most the failures logged.
    box.database().faults().stop();
    std::int64_t present = -1, rows = -1;
    for (const auto deadline = Clock::now() + 90s; present < 0 && Clock::now() < deadline;) {
        const auto r = client.sql("soak", "SELECT COUNT(DISTINCT batch) AS n, COUNT(*) AS r FROM Up");
        if (!r->error_message().empty() || r->columns().size() != 2) continue;
        present = std::get<std::vector<std::int64_t>>(r->columns()[0]).at(0);
        rows = std::get<std::vector<std::int64_t>>(r->columns()[1]).at(0);
    }
    ASSERT_GE(present, 0) << "the database answered no count after the faults stopped";
    // An upload whose answer was lost is not sent again: no batch is stored twice.
    EXPECT_EQ(rows, present * 10);
    // Every call that failed without an error in its result was logged; logs come on the
    // notification thread, so they may trail the calls a little.
    const auto missing =
        static_cast<std::uint64_t>(std::max<std::int64_t>(0, static_cast<std::int64_t>(uploads) - present));
    EXPECT_TRUE(watch->wait_for_errors(unanswered + missing, 10s))
        << unanswered << " queries unanswered and " << missing << " uploads missing, " << watch->errors
        << " failures logged";
    const auto counts = box.database().faults().counts();
    EXPECT_GT(counts.total(), 0u);
    report("database: queries " + std::to_string(queries) + " (right " + std::to_string(right) + ", failed " +
           std::to_string(failed) + ", unanswered " + std::to_string(unanswered) + "), uploads " +
           std::to_string(uploads) + " (missing " + std::to_string(missing) + ", rows " +
           std::to_string(rows) + "), errors logged " + std::to_string(watch->errors) + ", longest call " +
           std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()) +
           " ms, database faults: " + counts.describe());
}

// ---- Destruction ----

TEST(Soak, AClientDestroyedWhileFaultsAreActiveReturnsPromptly) {
    SandboxOptions options;
    options.faults = sandbox::parse_fault_plan(
        "relay:drop=0.0001,stall=1s/500ms,delay=0.2/3s,refuse=3s/500ms;"
        "center:drop-every=2s,garbage=0.01,delay=0.2/3s,withhold=0.05;"
        "database:drop=0.05,delay=0.3/5s,withhold=0.1,stall=1s/1s");
    options.faults.seed = soak_seed();
    Sandbox box(options);
    box.center().apply_lines({"O|T=\"Quote\"|I=\"q\"|n=1L"});

    // The destructor stops every session; the relay's last writes have a bound of their own.
    constexpr auto kBound = 10s;
    std::mt19937_64 random(soak_seed());
    std::uint64_t clients = 0;
    Clock::duration longest{0};
    const auto end = Clock::now() + soak_time();
    while (Clock::now() < end) {
        std::optional<Client> client(std::in_place);
        client->add_cluster(sandbox_cluster(box, true, true, true, 2000), false);
        client->subscribe("soak", std::vector<std::string>{"Quote"}, false);
        client->sql_async("soak", "SELECT 1", [](const TableAccessor&) {});
        for (int i = 0; i < 1000; ++i) client->publish_object("soak", "Soak", std::to_string(i), {}, {});
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 400));  // somewhere in its start
        const auto start = Clock::now();
        client.reset();
        const auto took = Clock::now() - start;
        longest = std::max(longest, took);
        ++clients;
        ASSERT_LT(took, kBound) << "client " << clients;
    }
    report("destruction: clients " + std::to_string(clients) + ", longest destructor " +
           std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()) +
           " ms; faults: " + box.describe_fault_counts());
}

// ---- Slow listeners and silent servers ----

// A subscriber that takes a millisecond over every update, and counts the warnings about it.
class SlowViewBuilder : public ViewBuilder {
public:
    void on_update(Client& c, std::string_view n, const CenterIncrementalUpdate& u) override {
        std::this_thread::sleep_for(1ms);
        ViewBuilder::on_update(c, n, u);
    }
    void on_log(Client& c, std::string_view name, std::uint8_t level, std::string_view text) override {
        ViewBuilder::on_log(c, name, level, text);
        if (text.starts_with("Listeners are slow")) ++warnings;
    }
    std::atomic<std::uint64_t> warnings{0};
};

TEST(Soak, ASlowListenerHoldsBackReadingWithinTheQueueLimitAndLosesNothing) {
    constexpr std::uint64_t kLimit = 2000;
    Sandbox box;
    auto& center = box.center();
    ::setenv("TYX_MAX_QUEUED_UPDATES", std::to_string(kLimit).c_str(), 1);
    auto view = std::make_shared<SlowViewBuilder>();
    Client client;
    ::unsetenv("TYX_MAX_QUEUED_UPDATES");
    client.listener_add(view);
    client.add_cluster(sandbox_cluster(box, false, true, false), true);
    client.subscribe("soak", std::vector<std::string>{"Quote"}, false);

    // Changes come faster than the listener takes them: the backlog waits in the server.
    std::mt19937_64 random(soak_seed());
    std::uint64_t changes = 0;
    std::uint64_t most_queued = 0;
    const auto end = Clock::now() + soak_time();
    while (Clock::now() < end) {
        std::vector<std::string> lines;
        for (int i = 0; i < 10; ++i)
            lines.push_back("O|T=\"Quote\"|I=\"" + std::to_string(random() % 500) +
                            "\"|n=" + std::to_string(random() % 100000) + "L");
        center.apply_lines(lines);
        changes += lines.size();
        most_queued = std::max(most_queued, client.health().notifications.queued_updates);
        std::this_thread::sleep_for(5ms);
    }
    TableView expected;
    center.loop().call([&] {
        for (const auto& row : center.store()->rows("Quote"))
            for (std::size_t i = 0; i < row.field_names.size(); ++i)
                expected["Quote"][row.object_id][row.field_names[i]] = text_of(row.values[i]);
    });
    EXPECT_TRUE(view->wait_for(expected, 120s));
    const auto health = client.health().notifications;
    // The limit is looked at before each read; one read's worth of frames may come on top.
    EXPECT_LE(most_queued, kLimit + 20000);
    EXPECT_GT(health.held_back.count(), 0);
    report("slow listener: changes " + std::to_string(changes) + ", updates " +
           std::to_string(view->updates) + ", most queued updates " + std::to_string(most_queued) +
           " (limit " + std::to_string(kLimit) + "), reading held back " +
           std::to_string(health.held_back.count() / 1000) + " ms, warnings " +
           std::to_string(view->warnings) + ", longest wait " +
           std::to_string(health.longest_wait.count() / 1000) + " ms, peak RSS " +
           std::to_string(peak_rss_mib()) + " MiB");
}

TEST(Soak, ServersThatAcceptAndSayNothingOverTlsHoldNoCallAndNoStop) {
    test::MisbehavingServer silent(test::MisbehavingServer::Mode::silent);
    constexpr std::int64_t kTimeoutMs = 200;
    Cluster cluster("soak", "127.0.0.1");
    cluster.publication_config = PublicationConfig(silent.port(), true, "soak");
    cluster.subscription_config = SubscriptionConfig(silent.port(), true);
    cluster.database_config = DatabaseConfig(silent.port(), true, "", "");
    cluster.publication_config.connect_timeout_ms = kTimeoutMs;
    cluster.subscription_config.connect_timeout_ms = kTimeoutMs;
    cluster.database_config.connect_timeout_ms = kTimeoutMs;
    cluster.subscription_config.snapshot_timeout_ms = kTimeoutMs;

    std::mt19937_64 random(soak_seed());
    std::uint64_t clients = 0;
    Clock::duration longest_add{0}, longest_subscribe{0}, longest_stop{0};
    const auto timed = [](auto&& f) {
        const auto start = Clock::now();
        f();
        return Clock::now() - start;
    };
    const auto end = Clock::now() + soak_time();
    while (Clock::now() < end) {
        std::optional<Client> client(std::in_place);
        longest_add = std::max(longest_add, timed([&] { client->add_cluster(cluster, true); }));
        longest_subscribe =
            std::max(longest_subscribe,
                     timed([&] { client->subscribe("soak", std::vector<std::string>{"Quote"}, true); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 300));  // somewhere in a retry
        longest_stop = std::max(longest_stop, timed([&] { client.reset(); }));
        ++clients;
    }
    EXPECT_LT(longest_add, std::chrono::milliseconds(kTimeoutMs) + 1s);
    EXPECT_LT(longest_subscribe, std::chrono::milliseconds(kTimeoutMs) + 1s);
    EXPECT_LT(longest_stop, 1s);
    const auto ms = [](Clock::duration d) {
        return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    };
    report("silent TLS servers: clients " + std::to_string(clients) + ", connections accepted " +
           std::to_string(silent.accepted()) + ", longest add_cluster " + ms(longest_add) +
           " ms, longest subscribe " + ms(longest_subscribe) + " ms (deadlines " +
           std::to_string(kTimeoutMs) + " ms), longest stop " + ms(longest_stop) + " ms");
}

}  // namespace
}  // namespace tyx
