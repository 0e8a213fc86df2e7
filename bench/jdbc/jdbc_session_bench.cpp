// The database session end to end, each beside a baseline measured in the same run:
//  - a 1,000,000-row query (int64, double, 12-byte string) from the sandbox database through
//    TyxClientJdbc::sql, against the same request made by a bare blocking socket that reads the
//    response frame and decodes nothing (server and loopback time alone); the difference is the
//    client's share;
//  - a 1,000,000-row bulk insert encoded and sent through TyxClientJdbc::bulk_insert to a sink
//    that reads the request and answers at once, against writing the same bytes, already
//    encoded, from a bare socket to the same sink;
//  - the public Client::sql receiving the same 1,000,000 rows from a canned server that answers
//    with one prepared frame at once (so the server's own work stays out of the figure), against
//    copying the 30 MB body with memcpy into fresh memory (pages mapped for the copy) and into
//    touched memory (one buffer reused). The first call of a fresh process is timed once, before
//    the repeated ones, beside the first copy into fresh memory.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <asio/co_spawn.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <span>
#include <string_view>
#include <thread>

#include "database_server.hpp"
#include "db_codec.hpp"
#include "jdbc/jdbc_bulk_insert.hpp"
#include "jdbc/jdbc_session_messages.hpp"
#include "jdbc/tyx_client_jdbc.hpp"
#include "multiplex/tyx_client_multiplex.hpp"
#include "support/million_row_body.hpp"
#include "tyx/client.hpp"

namespace {

using namespace tyx;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Result = std::shared_ptr<jdbc::QueryResult>;

constexpr std::int32_t kRows = bench::kMillionRows;
constexpr const char* kSelect = "SELECT id, px, sym FROM quotes";

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

DatabaseConfig bench_config() {
    DatabaseConfig config;
    config.username = "bench";
    config.password = "bench";
    return config;
}

// One TyxClientJdbc on the control loop of its own multiplexer, without listeners.
class Session {
public:
    explicit Session(std::uint16_t port) : multiplex_(1) {
        client_ = std::make_unique<TyxClientJdbc>(
            multiplex_, "bench", std::vector<Endpoint>{{"127.0.0.1", std::to_string(port)}}, bench_config(),
            multiplex_.control_context(),
            make_socket_factory(multiplex_.control_context(), false, SslOptions{}));
        run<bool>([c = client_.get()]() -> asio::awaitable<bool> {
            co_await c->connect(c->io_context());
            co_return true;
        });
    }
    ~Session() {
        run<bool>([this]() -> asio::awaitable<bool> {
            co_await client_->stop();
            client_.reset();
            co_return true;
        });
    }
    template <typename T, typename F>
    T run(F&& fn) {
        auto done = std::make_shared<std::promise<T>>();
        auto future = done->get_future();
        asio::co_spawn(multiplex_.control_context(), std::forward<F>(fn), [done](std::exception_ptr e, T v) {
            if (e)
                done->set_exception(e);
            else
                done->set_value(std::move(v));
        });
        return future.get();
    }
    TyxClientJdbc& client() { return *client_; }

private:
    TyxClientMultiplex multiplex_;
    std::unique_ptr<TyxClientJdbc> client_;
};

// A blocking client that speaks just enough of the protocol to log in and read raw frames.
class RawClient {
public:
    explicit RawClient(std::uint16_t port) : socket_(io_) {
        socket_.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
        socket_.set_option(tcp::no_delay(true));
        asio::write(socket_, asio::buffer(jdbc::kClientVersionBytes));
        std::array<std::uint8_t, 2> answer{};
        asio::read(socket_, asio::buffer(answer));
        const jdbc::Login login(bench_config());
        asio::write(socket_, asio::buffer(login.buffer));
        read_frame();
    }
    void write(const std::vector<std::uint8_t>& bytes) { asio::write(socket_, asio::buffer(bytes)); }
    // The body length; the frame's bytes land in a reused buffer.
    std::size_t read_frame() {
        std::array<std::uint8_t, 4> head{};
        asio::read(socket_, asio::buffer(head));
        const auto n = static_cast<std::size_t>(load_be<std::int32_t>(head.data()));
        buffer_.resize(n + 1);
        asio::read(socket_, asio::buffer(buffer_));
        return n;
    }

private:
    asio::io_context io_;
    tcp::socket socket_;
    std::vector<std::uint8_t> buffer_;
};

// Answers the version bytes and the login, then every request as soon as its last byte has been
// read: a query naming `quotes` with `query_reply` when one is given, anything else with a count
// element. A thread per connection, until the process ends.
class CannedServer {
public:
    explicit CannedServer(std::shared_ptr<const ByteVector> query_reply = nullptr)
        : query_reply_(std::move(query_reply)),
          acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
        std::thread([this] { serve(); }).detach();
    }
    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

private:
    void serve() {
        for (;;) {
            auto s = std::make_shared<tcp::socket>(acceptor_.accept());
            std::thread([this, s] { answer(*s); }).detach();
        }
    }
    void answer(tcp::socket& s) const {
        std::vector<std::uint8_t> request;
        try {
            std::array<std::uint8_t, 2> hello{};
            asio::read(s, asio::buffer(hello));
            asio::write(s, asio::buffer(jdbc::kServerVersionBytes));
            read_request(s, request);
            sandbox::Bytes ack;
            sandbox::append_frame(ack, sandbox::encode_login_ack("canned", 2));
            asio::write(s, asio::buffer(ack));
            sandbox::DbElement count;
            count.kind = sandbox::DbElement::Kind::Count;
            count.count = kRows;
            const auto reply = sandbox::frame_query_result({count});
            constexpr std::string_view kTable = "FROM quotes";
            for (;;) {
                read_request(s, request);
                const bool query = request.size() > 7 && request[6] == 11 &&
                                   request[7] == static_cast<std::uint8_t>(Instruction::Query);
                const bool named = std::search(request.begin(), request.end(), kTable.begin(), kTable.end()) !=
                                   request.end();
                if (query && named && query_reply_)
                    asio::write(s, asio::buffer(*query_reply_));
                else
                    asio::write(s, asio::buffer(reply));
            }
        } catch (const std::exception&) {
            // The client went away.
        }
    }
    static void read_request(tcp::socket& s, std::vector<std::uint8_t>& body) {
        std::array<std::uint8_t, 4> head{};
        asio::read(s, asio::buffer(head));
        body.resize(load_be<std::uint32_t>(head.data()));
        asio::read(s, asio::buffer(body));
    }

    std::shared_ptr<const ByteVector> query_reply_;
    asio::io_context io_;
    tcp::acceptor acceptor_;
};

sandbox::DatabaseServer& quotes_server() {
    static sandbox::DatabaseServer* server = [] {
        auto* s = new sandbox::DatabaseServer();
        Session session(s->port());
        session.run<Result>([&]() -> asio::awaitable<Result> {
            auto r = co_await session.client().sql(
                "CREATE TABLE quotes (id Long, px Double, sym String);"
                "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 999999) "
                "INSERT INTO quotes SELECT i * 7919, i * 0.25, printf('SYM%09d', i) FROM n");
            co_return r;
        });
        return s;
    }();
    return *server;
}

std::vector<jdbc::JdbcColumn> bulk_columns() {
    std::vector<std::int64_t> ids(kRows);
    std::vector<double> px(kRows);
    std::vector<std::string> sym(kRows);
    char text[16];
    for (std::int32_t i = 0; i < kRows; ++i) {
        ids[static_cast<std::size_t>(i)] = std::int64_t{i} * 7919;
        px[static_cast<std::size_t>(i)] = i * 0.25;
        std::snprintf(text, sizeof text, "SYM%09d", i);
        sym[static_cast<std::size_t>(i)].assign(text, 12);
    }
    std::vector<jdbc::JdbcColumn> columns(3);
    const char* names[] = {"id", "px", "sym"};
    const std::uint8_t types[] = {16, 17, 20};
    ColumnValues values[] = {std::move(ids), std::move(px), std::move(sym)};
    for (std::size_t c = 0; c < 3; ++c) {
        columns[c].name = names[c];
        columns[c].type = types[c];
        columns[c].values = std::move(values[c]);
        columns[c].row_count = kRows;
    }
    return columns;
}

const std::vector<jdbc::JdbcColumn>& columns() {
    static const auto c = bulk_columns();
    return c;
}

// Query: client and bare socket alternate within one loop, so both see the same server.
void BM_QueryMillionRows(benchmark::State& state) {
    auto& server = quotes_server();
    Session session(server.port());
    RawClient raw(server.port());
    const jdbc::Query query(kSelect);
    double client_s = 0, raw_s = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        raw.write(query.buffer);
        benchmark::DoNotOptimize(raw.read_frame());
        raw_s += seconds_since(t0);

        t0 = Clock::now();
        auto r = session.run<Result>([&]() -> asio::awaitable<Result> {
            auto result = co_await session.client().sql(kSelect);
            co_return result;
        });
        client_s += seconds_since(t0);
        if (!r || r->elements.empty() || !r->elements[0].result_set ||
            r->elements[0].result_set->tables.at(0).row_count != kRows)
            state.SkipWithError("unexpected result");
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["client_ms"] = 1e3 * client_s / n;
    state.counters["raw_ms"] = 1e3 * raw_s / n;
    state.counters["rows_per_s"] = kRows * n / client_s;
    state.counters["raw_rows_per_s"] = kRows * n / raw_s;
    state.counters["client_share"] = (client_s - raw_s) / client_s;
}
BENCHMARK(BM_QueryMillionRows)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// Bulk insert: encoding and sending through the client against writing pre-encoded bytes.
void BM_BulkInsertMillionRows(benchmark::State& state) {
    static CannedServer sink;
    Session session(sink.port());
    RawClient raw(sink.port());
    const jdbc::BulkInsert image("quotes", columns(), kRows, -1);
    double client_s = 0, raw_s = 0, encode_s = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        raw.write(image.buffer);
        raw.read_frame();
        raw_s += seconds_since(t0);

        t0 = Clock::now();
        {
            const jdbc::BulkInsert encoded("quotes", columns(), kRows, -1);
            benchmark::DoNotOptimize(encoded.buffer.data());
        }
        encode_s += seconds_since(t0);

        t0 = Clock::now();
        auto r = session.run<Result>([&]() -> asio::awaitable<Result> {
            auto result = co_await session.client().bulk_insert("quotes", columns(), kRows, -1);
            co_return result;
        });
        client_s += seconds_since(t0);
        if (!r || r->elements.empty() || r->elements[0].count != kRows)
            state.SkipWithError("unexpected result");
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["client_ms"] = 1e3 * client_s / n;
    state.counters["encode_ms"] = 1e3 * encode_s / n;
    state.counters["raw_send_ms"] = 1e3 * raw_s / n;
    state.counters["rows_per_s"] = kRows * n / client_s;
    state.counters["raw_rows_per_s"] = kRows * n / raw_s;
    state.counters["ratio_to_raw"] = client_s / raw_s;
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(image.buffer.size()));
}
BENCHMARK(BM_BulkInsertMillionRows)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// ---- Client::sql against memcpy of the body ----

long minor_faults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

const ByteVector& framed_body() {
    static const ByteVector frame = bench::million_row_body(true);
    return frame;
}

// The body alone, without the frame's length and the byte after it.
std::span<const std::uint8_t> body_bytes() {
    const ByteVector& frame = framed_body();
    return {frame.data() + 4, frame.size() - 5};
}

// memcpy of the body into pages mapped for it, as a buffer allocated for one response gets;
// unmapped after the clock stops.
double copy_to_fresh_memory() {
    const auto body = body_bytes();
    const auto t0 = Clock::now();
    void* p = mmap(nullptr, body.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    std::memcpy(p, body.data(), body.size());
    benchmark::DoNotOptimize(p);
    const double s = seconds_since(t0);
    munmap(p, body.size());
    return s;
}

// memcpy of the body into one buffer touched before.
double copy_to_touched_memory() {
    static std::vector<std::uint8_t> target(body_bytes().size(), 1);
    const auto body = body_bytes();
    const auto t0 = Clock::now();
    std::memcpy(target.data(), body.data(), body.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
    return seconds_since(t0);
}

// One Client with one database shard on the canned server, logged in.
class CannedClient {
public:
    CannedClient() : server_(std::shared_ptr<const ByteVector>(&framed_body(), [](const ByteVector*) {})) {
        Cluster cluster("bench", "127.0.0.1");
        cluster.database_config = DatabaseConfig(std::to_string(server_.port()), false, "bench", "bench");
        client_.add_cluster(cluster, true);
        // Waits for the login; its answer is small.
        client_.sql("bench", "SELECT 1");
    }
    // The time of the public call alone: the accessor is checked and dropped after the clock.
    double timed_query(long& faults) {
        const long f0 = minor_faults();
        const auto t0 = Clock::now();
        auto accessor = client_.sql("bench", kSelect);
        const double s = seconds_since(t0);
        faults += minor_faults() - f0;
        if (!accessor || accessor->row_count() != kRows || accessor->columns().size() != 3) std::abort();
        return s;
    }

private:
    CannedServer server_;
    Client client_;
};

// Never destroyed: the server's threads block in accept and read until the process ends.
CannedClient& canned_client() {
    static auto* client = new CannedClient;
    return *client;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Query, fresh copy and touched copy alternate within one loop, so the three see the same machine.
void BM_ClientSqlMillionRows(benchmark::State& state) {
    auto& client = canned_client();
    std::vector<double> query, fresh, touched;
    long faults = 0;
    for (auto _ : state) {
        query.push_back(client.timed_query(faults));
        fresh.push_back(copy_to_fresh_memory());
        touched.push_back(copy_to_touched_memory());
    }
    const double q = median(query), f = median(fresh), t = median(touched);
    state.counters["sql_ms"] = 1e3 * q;
    state.counters["fresh_copy_ms"] = 1e3 * f;
    state.counters["touched_copy_ms"] = 1e3 * t;
    state.counters["to_fresh"] = q / f;
    state.counters["to_touched"] = q / t;
    state.counters["sql_faults"] = static_cast<double>(faults) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ClientSqlMillionRows)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(11);

// The first Client::sql of the process beside the first copy into fresh memory: both get pages
// that were never touched. Memory freed while the body and the client were built is given back
// first, so that neither finds it.
void first_calls() {
    const auto body = body_bytes();
    canned_client();
    malloc_trim(0);
    long f0 = minor_faults();
    const double copy = copy_to_fresh_memory();
    const long copy_faults = minor_faults() - f0;
    long query_faults = 0;
    const double query = canned_client().timed_query(query_faults);
    std::printf("body %zu bytes, %d rows\nfirst call: Client::sql %.1f ms (%ld page faults), fresh copy %.1f ms "
                "(%ld page faults), ratio %.2f\n",
                body.size(), kRows, 1e3 * query, query_faults, 1e3 * copy, copy_faults, query / copy);
}

}  // namespace

int main(int argc, char** argv) {
    first_calls();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
