// The sandbox database: a loopback server speaking the database wire protocol over an SQLite
// database (sqlite_database.hpp). State lives on a SandboxLoop (its own, or one shared with the
// other sandbox servers); every public member may be called from any thread and waits for the
// loop to run it (on the loop itself it runs inline), except the wait_* members, which must not
// be called on the loop.
//
// What it sends, per connection:
//  - to the client's version bytes 31 241: the two bytes `version_answer` (63 244); any other
//    first two bytes close the connection;
//  - to the login request: one frame (4-byte length N, N body bytes, one extra 0 byte) holding a
//    login acknowledgement: 21, 00 00 00 02, 60, 20 + `login_message`, 14 + `server_version`.
//    When `username` or `password` is set and the login's "username"/"password" entry differs,
//    the login is refused: the acknowledgement carries `refusal_message` and version 0, and the
//    server then closes the connection (the client reports the version 0 as an unsupported
//    server version);
//  - to each query or bulk insert: one frame holding a query result (21, element count, 60,
//    elements; see db_codec.hpp): one element per SQL statement, or one count element for a bulk
//    insert, or a message element with SQLite's text on error; an unknown instruction gets the
//    message "Unsupported instruction: n".
// Malformed input (a request that does not decode, a length below 0 or above
// `max_request_bytes`, a first request that is not a login) closes that connection.
#pragma once

#include "sandbox_server.hpp"
#include "sqlite_database.hpp"

#include <asio/awaitable.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tyx::sandbox {

// Faults: a message is a request read (the version bytes included); an answer is the version
// answer, a login acknowledgement or a result.
struct DatabaseServerOptions : SandboxServerOptions {
    std::string path = ":memory:";                       // SQLite database, when the server opens its own
    std::optional<std::string> username = std::nullopt;  // checked against the login's "username" when set
    std::optional<std::string> password = std::nullopt;  // checked against the login's "password" when set
    std::string login_message = "sandbox database ready";
    std::string refusal_message = "Login refused: wrong username or password";
    std::int32_t server_version = 2;
    std::array<std::uint8_t, 2> version_answer = {63, 244};
    std::size_t max_request_bytes = std::size_t{1} << 30;
};

struct DatabaseLoginRecord {
    std::uint64_t connection = 0;
    std::vector<std::pair<std::string, std::string>> entries;  // the login map, in order
    std::int32_t version = 0;
    bool accepted = false;
};

struct DatabaseRequestRecord {
    std::uint64_t connection = 0;
    std::uint8_t instruction = 0;  // 2 query, 3 bulk insert
    std::string text;              // the SQL text, or the bulk insert's table name
    std::int32_t rows = 0;         // a bulk insert's row count
};

struct DatabaseState {
    std::uint64_t accepted = 0;
    std::size_t open_connections = 0;
    std::vector<DatabaseLoginRecord> logins;
    std::vector<DatabaseRequestRecord> requests;  // in arrival order, answered or not
    std::uint64_t answered = 0;
};

class DatabaseServer : public SandboxServer {
public:
    // Starts listening at once. The first form runs its own loop and opens `options.path`; the
    // second runs on `loop` (which must outlive the server) and uses `database` when given (to
    // share one database between sandbox servers on that loop), else opens `options.path`.
    explicit DatabaseServer(DatabaseServerOptions options = {});
    DatabaseServer(SandboxLoop& loop, DatabaseServerOptions options = {},
                   std::shared_ptr<SqliteDatabase> database = nullptr);
    ~DatabaseServer();

    // The SQL engine; use it on the loop only (see `exec`).
    const std::shared_ptr<SqliteDatabase>& database() const { return database_; }
    // Runs `fn(SqliteDatabase&)` on the loop and returns its result.
    template <typename F>
    auto exec(F&& fn) {
        return loop_->call([&] { return fn(*database_); });
    }

    // The next `n` queries or bulk inserts are recorded, then their connection is closed
    // without an answer.
    void drop_next_requests(int n = 1);
    // The answers to the next `n` queries or bulk inserts stop halfway: the first half of the
    // frame is sent, then the connection is closed.
    void cut_next_results(int n = 1);
    // Every answer to a query or bulk insert waits this long first (0: none).
    void set_response_delay(std::chrono::milliseconds delay);
    // The next query or bulk insert is answered with the 4-byte length `length` alone (meant
    // for negative values); the connection stays open and is otherwise ignored until the
    // client sends another request.
    void send_negative_length_next(std::int32_t length = -1);

    DatabaseState state() const;
    bool wait_until(const std::function<bool(const DatabaseState&)>& predicate,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool wait_for_requests(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    struct Session;
    DatabaseServer(SandboxLoop* loop, DatabaseServerOptions options,
                   std::shared_ptr<SqliteDatabase> database);
    void on_accept(SandboxStream socket) override;
    void on_closed(Session& session);
    asio::awaitable<void> serve(std::shared_ptr<Session> session);
    // Each answer_* yields false when the connection is to end.
    asio::awaitable<bool> answer_version(Session& session);
    asio::awaitable<bool> answer_login(Session& session, const DbLoginRequest& login);
    asio::awaitable<bool> answer_request(Session& session, const DbRequest& request);
    // Sends one answer as the fault injector has it go; false when the connection is to end.
    // `size` is the answer's length; `flatten` gives its bytes when a fault changes them, and
    // `write` sends it unchanged.
    template <typename Flatten, typename Write>
    asio::awaitable<bool> send_answer(Session& session, std::size_t size, Flatten flatten, Write write);
    void record_request(const Session& session, const DbRequest& request);
    std::vector<DbElement> run_request(const DbRequest& request);

    DatabaseServerOptions options_;
    std::shared_ptr<SqliteDatabase> database_;
    DatabaseState state_;
    int drops_pending_ = 0;
    int cuts_pending_ = 0;
    std::chrono::milliseconds delay_{0};
    std::optional<std::int32_t> negative_length_;
};

}  // namespace tyx::sandbox
