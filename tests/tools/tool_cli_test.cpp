// The `tyx` binary end to end: commands run against a `tyx sandbox` process started on port 0.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/tls_test_keys.hpp"
#include "tool_process.hpp"

namespace tyx::tool::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const std::string kTyx = TYX_TOOL_BINARY;

std::vector<json> json_lines(const std::string& text) {
    std::vector<json> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        const auto line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty()) lines.push_back(json::parse(line));  // throws, failing the test, on bad JSON
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

// A `tyx sandbox` process and the ports it printed.
struct SandboxProcess {
    explicit SandboxProcess(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"sandbox", "--relay-port", "0", "--center-port",
                                         "0",       "--db-port",    "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        process = std::make_unique<ToolProcess>(kTyx, args);
        for (const char* kind : {"relay ", "center ", "database "}) {
            const auto line = process->read_line(10s);
            if (!line || line->rfind(kind, 0) != 0)
                throw std::runtime_error("sandbox printed " + line.value_or("nothing"));
            const auto colon = line->rfind(':');
            ports.push_back(line->substr(colon + 1, line->find(' ', colon) - colon - 1));
        }
        const auto ready = process->read_line(10s);
        if (!ready || ready->rfind("sandbox ready", 0) != 0) throw std::runtime_error("sandbox not ready");
    }
    std::vector<std::string> flags(const std::string& connect_timeout = "5") const {
        return {"--relay-port", ports[0], "--center-port",     ports[1],
                "--db-port",    ports[2], "--connect-timeout", connect_timeout};
    }
    std::unique_ptr<ToolProcess> process;
    std::vector<std::string> ports;  // relay, center, database
};

class ToolCli : public ::testing::Test {
protected:
    static void SetUpTestSuite() { sandbox_ = new SandboxProcess(); }
    static void TearDownTestSuite() {
        delete sandbox_;
        sandbox_ = nullptr;
    }

    static RunResult tyx(std::vector<std::string> args, const std::string& input = "") {
        const auto connect = sandbox_->flags();
        args.insert(args.end(), connect.begin(), connect.end());
        return run_tool(kTyx, args, input);
    }
    static std::vector<json> sql_rows(const std::string& query) {
        const auto result = tyx({"sql", query, "--format", "jsonl"});
        EXPECT_EQ(result.exit_code, 0) << result.err;
        return json_lines(result.out);
    }
    // Publications are stored a moment after the relay takes them: wait for the expected count.
    static std::vector<json> wait_for_rows(const std::string& query, std::size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            auto rows = sql_rows(query);
            if (rows.size() == n || std::chrono::steady_clock::now() > deadline) return rows;
            std::this_thread::sleep_for(50ms);
        }
    }
    static std::filesystem::path temp_file(const std::string& name, const std::string& content) {
        const auto path =
            std::filesystem::temp_directory_path() / ("tyx_tool_" + std::to_string(getpid()) + "_" + name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    static SandboxProcess* sandbox_;
};

SandboxProcess* ToolCli::sandbox_ = nullptr;

TEST_F(ToolCli, PublishedObjectsReachSubscribersAndSql) {
    auto r = tyx({"publish", "CliOrders", "o-1", "qty=10", "px=100.5", "side=B", "big:i64=5"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("sent 1 object in"), std::string::npos) << r.out;
    r = tyx({"publish"},
            "{\"type\":\"CliOrders\",\"id\":\"o-2\",\"fields\":{\"qty\":20,\"px\":99.25,\"side\":\"S\"}}\n"
            "\n"
            "{\"id\":\"o-3\",\"fields\":{\"qty\":30,\"side\":\"a |quoted|, text\"}}\n");
    ASSERT_NE(r.exit_code, 0) << "a line without a type is refused";
    EXPECT_NE(
        r.err.find(
            "line 3: no \"type\" (and no --type); stopped there, after sending the 1 publication before it"),
        std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("sent 1 object"), std::string::npos)
        << "the lines before the bad one are sent: " << r.out;
    r = tyx({"publish", "--type", "CliOrders"},
            "{\"id\":\"o-3\",\"fields\":{\"qty\":30,\"side\":\"a |quoted|, text\",\"ok\":true}}\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // A value the wire cannot carry is refused, and the command says so.
    r = tyx({"publish", "CliOrders", "o-9", "side=two\nlines"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("1 publication refused, the first: Failed to publish object: "), std::string::npos)
        << r.err;
    r = tyx({"publish", "CliOrders", "o-9", "x|limit=5"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("the name of field \"x|limit\" holds a |"), std::string::npos) << r.err;

    // The snapshot holds what was stored; anything stored later arrives live: three updates either way.
    r = tyx({"subscribe", "CliOrders", "--count", "3", "--timeout", "10"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    auto updates = json_lines(r.out);
    ASSERT_EQ(updates.size(), 3u) << r.out;
    std::map<std::string, json> by_id;
    for (const auto& u : updates) {
        EXPECT_EQ(u["table"], "CliOrders");
        EXPECT_EQ(u["action"], "added");
        by_id[u["object_id"]] = u["fields"];
    }
    EXPECT_EQ(by_id["o-1"]["qty"], 10);
    EXPECT_EQ(by_id["o-1"]["px"], 100.5);
    EXPECT_EQ(by_id["o-1"]["side"], "B");
    EXPECT_EQ(by_id["o-3"]["side"], "a |quoted|, text");
    EXPECT_EQ(by_id["o-3"]["ok"], 1);

    auto rows = sql_rows("SELECT id, qty, px, side FROM CliOrders ORDER BY id");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], json::parse(R"({"id":"o-1","qty":10,"px":100.5,"side":"B"})"));
    EXPECT_EQ(rows[1]["px"], 99.25);
    EXPECT_EQ(rows[2]["side"], "a |quoted|, text");

    r = tyx({"publish", "--remove", "CliOrders", "o-2"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("sent 1 removal"), std::string::npos) << r.out;
    rows = wait_for_rows("SELECT id FROM CliOrders ORDER BY id", 2);
    EXPECT_EQ(json(rows), json::parse(R"([{"id":"o-1"},{"id":"o-3"}])"));
}

TEST_F(ToolCli, SqlPrintsTheTableOrCsvAndFailsWithTheServersMessage) {
    auto r = tyx({"sql", "SELECT 1 AS one, 'a,b' AS two"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("| # | one | two |"), std::string::npos) << r.out;
    r = tyx({"sql", "SELECT 1 AS one, 'a,b' AS two", "--format", "csv"});
    EXPECT_EQ(r.out, "one,two\n1,\"a,b\"\n");

    // --stats: the Client's health as JSON on stderr, after the result.
    r = tyx({"sql", "SELECT 1 AS one", "--stats"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json stats = json::parse(r.err);
    ASSERT_EQ(stats["sessions"].size(), 1u);
    EXPECT_EQ(stats["sessions"][0]["kind"], "database");
    EXPECT_EQ(stats["sessions"][0]["state"], "up");
    EXPECT_EQ(stats["sessions"][0]["counters"]["requests"], 1);
    EXPECT_EQ(stats["sessions"][0]["counters"]["response_time"]["count"], 1);

    r = tyx({"sql", "SELEKT nonsense"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("syntax error"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    r = tyx({"sql", "SELECT * FROM no_such_table", "--format", "jsonl"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("no_such_table"), std::string::npos) << r.err;
}

TEST_F(ToolCli, UploadInsertsAndReplacesAndTheRowsReadBack) {
    const auto csv = temp_file("upload.csv",
                               "sym,qty,px,code,note\r\n"
                               "AAA,1,10.5,007,plain\r\n"
                               "BBB,2,20,010,\"with, comma and \"\"quotes\"\"\"\r\n"
                               "CCC,3,30.25,123,\"two\nlines\"\r\n");
    auto r = tyx({"upload", csv.string(), "--table", "cli_prices", "--replace", "--batch-rows", "2"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("sym text, qty integer, px floating, code text, note text"), std::string::npos)
        << r.out;
    auto rows = sql_rows("SELECT sym, qty, px, code, note FROM cli_prices ORDER BY sym");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], json::parse(R"({"sym":"AAA","qty":1,"px":10.5,"code":"007","note":"plain"})"));
    EXPECT_EQ(rows[1]["note"], "with, comma and \"quotes\"");
    EXPECT_EQ(rows[1]["px"], 20.0);
    EXPECT_EQ(rows[2]["note"], "two\nlines");

    r = tyx({"upload", csv.string(), "--table", "cli_prices"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("the table has 6 rows"), std::string::npos) << r.out;
    EXPECT_EQ(sql_rows("SELECT sym FROM cli_prices").size(), 6u);

    r = tyx({"upload", csv.string(), "--table", "cli_prices", "--replace"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(sql_rows("SELECT sym FROM cli_prices").size(), 3u);

    // A file of a header only empties the table it replaces.
    const auto header_only = temp_file("header.csv", "sym,qty,px,code,note\n");
    r = tyx({"upload", header_only.string(), "--table", "cli_prices", "--replace"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(sql_rows("SELECT sym FROM cli_prices").size(), 0u);

    r = tyx({"upload", csv.string(), "--table", "cli_missing"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("no such table: cli_missing"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--replace creates one"), std::string::npos) << r.err;
    // An insert the database refuses ends the upload with the library's report of it.
    sql_rows("CREATE TABLE cli_other (x Integer)");
    r = tyx({"upload", csv.string(), "--table", "cli_other"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Failed to execute bulk insert: [shard 0] "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(table cli_other)"), std::string::npos) << r.err;

    // What the library refuses is said first, not the count of a table that cannot exist.
    const auto spaced = temp_file("spaced.csv", "a b,c\n1,2\n");
    r = tyx({"upload", spaced.string(), "--table", "cli_spaced"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("tyx: the column name \"a b\" of table \"cli_spaced\" holds a space"),
              std::string::npos)
        << r.err;
    std::filesystem::remove(spaced);

    const auto ragged = temp_file("ragged.csv", "a,b\n1,2\n3\n");
    r = tyx({"upload", ragged.string(), "--table", "cli_ragged"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("CSV line 3 has 1 fields, the header has 2"), std::string::npos) << r.err;
    for (const auto& file : {csv, header_only, ragged}) std::filesystem::remove(file);
}

TEST_F(ToolCli, ClustersFileNamesTheCluster) {
    const auto file = temp_file(
        "clusters.json",
        "{\"clusters\": {\"box\": {\"host\": \"127.0.0.1\", \"db_port\": " + sandbox_->ports[2] + "}}}");
    auto r = run_tool(
        kTyx, {"sql", "SELECT 2 AS two", "-f", "csv", "--cluster", "box", "--clusters-file", file.string()});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "two\n2\n");
    r = run_tool(kTyx, {"sql", "SELECT 3 AS three", "-f", "csv", "--cluster", "box"}, "", 20s,
                 {"TYX_CLUSTERS=" + file.string()});
    EXPECT_EQ(r.out, "three\n3\n") << r.err;
    r = run_tool(kTyx, {"sql", "SELECT 1", "--cluster", "nope", "--clusters-file", file.string()});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("no cluster \"nope\""), std::string::npos) << r.err;
    std::filesystem::remove(file);
}

// A loopback port with no server: bound (so no one else takes it) but not listening. With
// `silent`, it listens, so connections complete, but nothing is ever read or answered.
struct DeadPort {
    explicit DeadPort(bool silent = false) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (silent) listen(fd, 16);
        socklen_t size = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        port = std::to_string(ntohs(address.sin_port));
    }
    ~DeadPort() { close(fd); }
    int fd = -1;
    std::string port;
};

// What no wait can mend ends the command at once with the library's reason; a server that does
// not answer is waited for until --connect-timeout.
TEST(ToolConnect, SaysAtOnceWhatNoWaitMendsAndWaitsOutOnlyASilentServer) {
    DeadPort dead;
    DeadPort silent(true);
    const std::string pin = (std::filesystem::temp_directory_path() / "tyx_no_such_pin.pub").string();
    const struct {
        std::vector<std::string> args;
        std::string message;
    } hopeless[] = {
        {{"sql", "SELECT 1", "--db-port", dead.port},
         "could not reach the database server at 127.0.0.1:" + dead.port +
             ": TCP connect with 127.0.0.1:" + dead.port + " failed: Connection refused"},
        {{"publish", "T", "x", "a=1", "--relay-port", dead.port},
         "could not reach the relay server at 127.0.0.1:" + dead.port +
             ": TCP connect with 127.0.0.1:" + dead.port + " failed: Connection refused"},
        {{"subscribe", "T", "--center-port", dead.port},
         "could not reach the center server at 127.0.0.1:" + dead.port +
             ": TCP connect with 127.0.0.1:" + dead.port + " failed: Connection refused"},
        {{"sql", "SELECT 1", "--host", "no-such-host.invalid"},
         "could not reach the database server at no-such-host"},
        {{"sql", "SELECT 1", "--db-port", "notaport"},
         "database server at 127.0.0.1:notaport: resolving with 127.0.0.1:notaport failed: Service not "
         "found"},
        {{"sql", "SELECT 1", "--db-port", "99999"},
         "127.0.0.1:99999: resolving with 127.0.0.1:99999 failed: port 99999 is out of range"},
        {{"sql", "SELECT 1", "--db-port", silent.port, "--tls", "--trusted-server-keys", pin},
         "cannot open ssh-rsa pub file: " + pin},
        {{"sql", "SELECT 1", "--db-port", silent.port, "--trusted-server-keys", pin}, "but not --tls"},
        {{"sql", "SELECT 1", "--db-port", silent.port, "--tls", "--client-cert", pin},
         "--client-cert needs --client-key"},
    };
    for (const auto& c : hopeless) {
        SCOPED_TRACE(c.message);
        auto args = c.args;
        args.insert(args.end(), {"--connect-timeout", "10"});
        const auto r = run_tool(kTyx, args, "", 15s);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_LT(r.elapsed, 1s);
    }
    // A server that takes the connection and never answers must not hold the command either.
    const struct {
        std::vector<std::string> args;
        std::string message;
    } silent_cases[] = {
        {{"sql", "SELECT 1", "--db-port", silent.port},
         "connected to the database server at 127.0.0.1:" + silent.port + " but could not log in"},
        {{"subscribe", "T", "--center-port", silent.port},
         "connected to the center server at 127.0.0.1:" + silent.port + " but could not log in"},
    };
    for (const auto& c : silent_cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        auto args = c.args;
        args.insert(args.end(), {"--connect-timeout", "0.5"});
        const auto r = run_tool(kTyx, args, "", 15s);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(" within 0.5 s"), std::string::npos) << r.err;
        EXPECT_LT(r.elapsed, 5s);
    }
    // A subscriber's --timeout bounds its wait for the server too, when it is the shorter.
    const auto r =
        run_tool(kTyx, {"subscribe", "T", "--center-port", silent.port, "--timeout", "0.5"}, "", 15s);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("could not log in within 0.5 s"), std::string::npos) << r.err;
    EXPECT_LT(r.elapsed, 5s);
}

TEST(ToolSandbox, StopsCleanlyOnSigtermAndKeepsItsSqliteFile) {
    const auto db =
        std::filesystem::temp_directory_path() / ("tyx_tool_" + std::to_string(getpid()) + ".sqlite");
    std::filesystem::remove(db);
    {
        SandboxProcess sandbox({"--sqlite", db.string()});
        auto args = std::vector<std::string>{"publish", "Kept", "k-1", "v=1"};
        for (const auto& f : sandbox.flags()) args.push_back(f);
        ASSERT_EQ(run_tool(kTyx, args).exit_code, 0);
        args = {"subscribe", "Kept", "--count", "1", "--timeout", "10"};
        for (const auto& f : sandbox.flags()) args.push_back(f);
        ASSERT_EQ(run_tool(kTyx, args).exit_code, 0) << "stored before the sandbox stops";
        // SIGUSR1: what each server has seen so far, and the sandbox goes on.
        sandbox.process->send_signal(SIGUSR1);
        const std::string relay = sandbox.process->read_line(10s).value_or("");
        EXPECT_EQ(relay.rfind("relay: connections ", 0), 0u) << relay;
        EXPECT_NE(relay.find(" 1 accepted; logins 1; lines 3, "), std::string::npos) << relay;
        EXPECT_NE(relay.find("; objects 1, removals 0"), std::string::npos) << relay;
        EXPECT_EQ(sandbox.process->read_line(10s).value_or("").rfind("center: connections ", 0), 0u);
        EXPECT_EQ(sandbox.process->read_line(10s).value_or("").rfind("database: connections ", 0), 0u);
        sandbox.process->send_signal(SIGTERM);
        const auto r = sandbox.process->finish(10s);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.out.find("sandbox stopped"), std::string::npos) << r.out;
    }
    SandboxProcess again({"--sqlite", db.string()});
    auto args = std::vector<std::string>{"sql", "SELECT id, v FROM Kept", "-f", "csv"};
    for (const auto& f : again.flags()) args.push_back(f);
    EXPECT_EQ(run_tool(kTyx, args).out, "id,v\nk-1,1\n");
    again.process->send_signal(SIGINT);
    EXPECT_EQ(again.process->finish(10s).exit_code, 0);
    std::filesystem::remove(db);
}

TEST(ToolSandbox, NamesItsFaultsAtStartCountsThemAtStopAndRefusesABadPlan) {
    {
        SandboxProcess sandbox({"--faults", "seed=3;relay:drop-after-messages=2"});
        EXPECT_EQ(sandbox.process->read_line(10s).value_or(""), "faults seed=3;relay:drop-after-messages=2");
        auto args = std::vector<std::string>{"publish", "Faulty", "f-1", "v=1"};
        for (const auto& f : sandbox.flags()) args.push_back(f);
        run_tool(kTyx, args);  // its login and object are the two messages of a dropped connection
        sandbox.process->send_signal(SIGTERM);
        const auto r = sandbox.process->finish(10s);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.out.find("faults injected: relay: dropped 1; center: none; database: none"),
                  std::string::npos)
            << r.out;
    }
    const auto bad = run_tool(kTyx, {"sandbox", "--faults", "relay:drop=7"});
    EXPECT_NE(bad.exit_code, 0);
    EXPECT_NE(bad.err.find("--faults: fault plan 'relay:drop=7': a rate is a number from 0 to 1"),
              std::string::npos)
        << bad.err;
    const auto help = run_tool(kTyx, {"sandbox", "--help"});
    for (const char* key : {"drop=", "drop-every=", "drop-after-bytes=", "drop-after-messages=", "stall=",
                            "delay=", "withhold=", "refuse=", "truncate=", "garbage=", "cut=", "1h"})
        EXPECT_NE(help.out.find(key), std::string::npos) << key;
    // A port taken: the error names it.
    DeadPort taken(true);
    const auto r =
        run_tool(kTyx, {"sandbox", "--relay-port", taken.port, "--center-port", "0", "--db-port", "0"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("127.0.0.1:" + taken.port), std::string::npos) << r.err;
}

TEST_F(ToolCli, SubscriberPrintsLiveUpdatesAndEndsWithStatusZeroOnSigint) {
    ASSERT_EQ(tyx({"publish", "Live", "l-1", "n=1"}).exit_code, 0);
    auto args = std::vector<std::string>{"subscribe", "Live"};
    for (const auto& f : sandbox_->flags()) args.push_back(f);
    ToolProcess subscriber(kTyx, args);
    const auto first = subscriber.read_line(10s);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(json::parse(*first)["object_id"], "l-1");
    ASSERT_EQ(tyx({"publish", "Live", "l-1", "n=2"}).exit_code, 0);
    const auto second = subscriber.read_line(10s);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(json::parse(*second)["action"], "updated");
    EXPECT_EQ(json::parse(*second)["fields"]["n"], 2);
    subscriber.send_signal(SIGINT);
    const auto r = subscriber.finish(10s);
    EXPECT_EQ(r.exit_code, 0) << r.err;

    // Whoever read its output has gone (as `| head -1` goes): it ends with status 0, though no
    // update comes.
    ToolProcess headless(kTyx, args);
    ASSERT_TRUE(headless.read_line(10s).has_value());
    headless.close_stdout();
    const auto ended = headless.finish(5s);
    EXPECT_EQ(ended.exit_code, 0) << ended.err;
}

TEST(ToolSandbox, ServesTlsToCommandsThatBringTheRightMaterial) {
    const auto& m = tyx::test::tls_test_material();
    SandboxProcess sandbox(
        {"--tls-cert", m.server_cert, "--tls-key", m.server_key, "--tls-client-ca", m.ca_cert});
    const std::string pinned = m.file("tool-pinned", m.server_pub);
    auto run = [&](std::vector<std::string> args, bool client_certificate, const std::string& timeout = "5",
                   std::vector<std::string> trust = {}) {
        for (const auto& f : sandbox.flags(timeout)) args.push_back(f);
        if (trust.empty()) trust = {"--trusted-server-keys", pinned};
        args.push_back("--tls");
        args.insert(args.end(), trust.begin(), trust.end());
        if (client_certificate)
            args.insert(args.end(), {"--client-cert", m.client_cert, "--client-key", m.client_key,
                                     "--client-key-password", m.client_key_password});
        return run_tool(kTyx, args);
    };
    auto r = run({"publish", "Secure", "s-1", "v=1"}, true);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    r = run({"subscribe", "Secure", "--count", "1", "--timeout", "10"}, true);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(json_lines(r.out).at(0)["object_id"], "s-1");
    r = run({"sql", "SELECT id, v FROM Secure", "-f", "csv"}, true);
    EXPECT_EQ(r.out, "id,v\ns-1,1\n") << r.err;
    // A private CA in place of the pinned key: the certificate names localhost, not the address.
    r = run({"sql", "SELECT id FROM Secure", "-f", "csv", "--host", "localhost"}, true, "5",
            {"--ca-file", m.ca_cert});
    EXPECT_EQ(r.out, "id\ns-1\n") << r.err;
    // A server that fails verification is not waited for.
    r = run({"sql", "SELECT 1"}, true, "10", {"--trusted-server-keys", m.file("tool-other", m.other_pub)});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("matches none of the 1 trusted ssh-rsa keys"), std::string::npos) << r.err;
    EXPECT_LT(r.elapsed, 1s);
    r = run({"sql", "SELECT 1"}, true, "10", {"--ca-file", m.ca_cert});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("IP address mismatch"), std::string::npos) << r.err;
    EXPECT_LT(r.elapsed, 1s);

    // The sandbox requires a client certificate: the relay's host receives what is published
    // without one and the relay throws it away after its alert, which the command names.
    r = run({"publish", "Secure", "s-2", "v=2", "--flush-timeout", "1"}, false, "2");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("relay server at 127.0.0.1:" + sandbox.ports[0] + " has not received 1 of 1"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("certificate required"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("sent"), std::string::npos) << r.out;

    // Without one the command names the server it could not use, within its deadline.
    r = run({"sql", "SELECT 1"}, false, "1");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("database server at 127.0.0.1:" + sandbox.ports[2]), std::string::npos) << r.err;
    EXPECT_LT(r.elapsed, 5s);
}

}  // namespace
}  // namespace tyx::tool::test
