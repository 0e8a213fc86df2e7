#include "database_server.hpp"

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

namespace tyx::sandbox {

namespace {

constexpr std::size_t kReadStep = 1 << 20;

asio::awaitable<void> write_bytes(SandboxStream& socket, const Bytes& bytes) {
    co_await asio::async_write(socket, asio::buffer(bytes), asio::use_awaitable);
}

// One request: a 4-byte length (the bytes after it), then the body. The body grows as bytes
// arrive, so a large declared length costs nothing until it is really sent.
asio::awaitable<Bytes> read_request(SandboxStream& socket, std::size_t max_bytes) {
    std::uint8_t head[4];
    co_await asio::async_read(socket, asio::buffer(head), asio::use_awaitable);
    const auto n = static_cast<std::int32_t>(std::uint32_t{head[0]} << 24 | std::uint32_t{head[1]} << 16 |
                                             std::uint32_t{head[2]} << 8 | std::uint32_t{head[3]});
    if (n < 0 || static_cast<std::size_t>(n) > max_bytes) throw MalformedInput("bad request length");
    Bytes body;
    while (body.size() < static_cast<std::size_t>(n)) {
        const auto step = std::min(kReadStep, static_cast<std::size_t>(n) - body.size());
        const auto at = body.size();
        body.resize(at + step);
        co_await asio::async_read(socket, asio::buffer(body.data() + at, step), asio::use_awaitable);
    }
    co_return body;
}

// Column values go out from where they were encoded, without one more copy.
asio::awaitable<void> write_framed(SandboxStream& socket, const FramedResult& frame) {
    std::vector<asio::const_buffer> buffers;
    for (const auto& [data, size] : frame.pieces()) buffers.emplace_back(data, size);
    co_await asio::async_write(socket, buffers, asio::use_awaitable);
}

}  // namespace

struct DatabaseServer::Session : SandboxSession {
    using SandboxSession::SandboxSession;
};

DatabaseServer::DatabaseServer(DatabaseServerOptions options)
    : DatabaseServer(nullptr, std::move(options), nullptr) {}

DatabaseServer::DatabaseServer(SandboxLoop& loop, DatabaseServerOptions options,
                               std::shared_ptr<SqliteDatabase> database)
    : DatabaseServer(&loop, std::move(options), std::move(database)) {}

DatabaseServer::DatabaseServer(SandboxLoop* loop, DatabaseServerOptions options,
                               std::shared_ptr<SqliteDatabase> database)
    : SandboxServer(loop), options_(std::move(options)), database_(std::move(database)) {
    start(options_, 3, [this] {
        if (!database_) database_ = std::make_shared<SqliteDatabase>(options_.path);
    });
}

DatabaseServer::~DatabaseServer() {
    stop();
    // The database may hold the last reference; close it on the loop that used it.
    loop_->call([this] { database_.reset(); });
}

void DatabaseServer::drop_next_requests(int n) {
    loop_->call([this, n] { drops_pending_ = n; });
}

void DatabaseServer::cut_next_results(int n) {
    loop_->call([this, n] { cuts_pending_ = n; });
}

void DatabaseServer::set_response_delay(std::chrono::milliseconds delay) {
    loop_->call([this, delay] { delay_ = delay; });
}

void DatabaseServer::send_negative_length_next(std::int32_t length) {
    loop_->call([this, length] { negative_length_ = length; });
}

DatabaseState DatabaseServer::state() const {
    return loop_->call([this] { return state_; });
}

bool DatabaseServer::wait_until(const std::function<bool(const DatabaseState&)>& predicate,
                                std::chrono::milliseconds timeout) {
    return loop_->wait_until([&] { return predicate(state_); }, timeout);
}

bool DatabaseServer::wait_for_requests(std::size_t n, std::chrono::milliseconds timeout) {
    return wait_until([n](const DatabaseState& s) { return s.requests.size() >= n; }, timeout);
}

void DatabaseServer::on_accept(SandboxStream socket) {
    auto session = std::make_shared<Session>(std::move(socket));
    session->id = ++state_.accepted;
    ++state_.open_connections;
    add_session(session);
    asio::co_spawn(loop_->context(), serve(session),
                   [this, session](std::exception_ptr) { on_closed(*session); });
}

void DatabaseServer::on_closed(Session& session) {
    // End of input, a socket error or malformed input: this connection ends, the server goes on.
    session.close();
    --state_.open_connections;
    remove_session(session.id);
}

template <typename Flatten, typename Write>
asio::awaitable<bool> DatabaseServer::send_answer(Session& session, std::size_t size, Flatten flatten,
                                                  Write write) {
    const auto fate = faults_->answer(session.faults, size);
    co_await FaultInjector::wait_until(session.faults.hold_until, [&] { return session.socket.is_open(); });
    if (!session.socket.is_open()) co_return false;
    if (fate.kind == FaultInjector::Answer::Kind::send) {
        co_await write();
        co_return true;
    }
    Bytes bytes = flatten();
    // A withheld answer leaves the client waiting; the connection stays.
    if (!FaultInjector::apply(fate, bytes)) co_return true;
    co_await write_bytes(session.socket, bytes);
    co_return fate.kind != FaultInjector::Answer::Kind::cut;
}

asio::awaitable<void> DatabaseServer::serve(std::shared_ptr<Session> session) {
    const auto open = [s = session.get()] { return s->socket.is_open(); };
    co_await faults_->wait_while_stalled(open);
    if (!co_await answer_version(*session)) co_return;
    bool logged_in = false;
    for (;;) {
        co_await faults_->wait_while_stalled(open);
        // The request's bulk values point into `body`, so it outlives the answer.
        const Bytes body = co_await read_request(session->socket, options_.max_request_bytes);
        // A read that was waiting when a stall began is taken in only after it.
        co_await faults_->wait_while_stalled(open);
        if (faults_->after_read(session->faults, 4 + body.size(), 1)) co_return;
        const DbRequest request = decode_request(body);
        if (request.instruction == 1) {
            if (!co_await answer_login(*session, request.login)) co_return;
            logged_in = true;
            continue;
        }
        if (!logged_in) co_return;
        if (!co_await answer_request(*session, request)) co_return;
    }
}

asio::awaitable<bool> DatabaseServer::answer_version(Session& session) {
    std::uint8_t hello[2];
    co_await asio::async_read(session.socket, asio::buffer(hello), asio::use_awaitable);
    if (hello[0] != 31 || hello[1] != 241) co_return false;
    if (faults_->after_read(session.faults, 2, 1)) co_return false;
    const Bytes answer(options_.version_answer.begin(), options_.version_answer.end());
    const bool go_on = co_await send_answer(
        session, answer.size(), [&] { return answer; },
        [&]() -> asio::awaitable<void> { co_await write_bytes(session.socket, answer); });
    co_return go_on;
}

asio::awaitable<bool> DatabaseServer::answer_login(Session& session, const DbLoginRequest& login) {
    DatabaseLoginRecord record{session.id, login.entries, login.version, true};
    if (options_.username && login.get("username") != options_.username) record.accepted = false;
    if (options_.password && login.get("password") != options_.password) record.accepted = false;
    state_.logins.push_back(record);
    loop_->notify_changed();
    Bytes frame;
    append_frame(frame, encode_login_ack(record.accepted ? options_.login_message : options_.refusal_message,
                                         record.accepted ? options_.server_version : 0));
    const bool go_on = co_await send_answer(
        session, frame.size(), [&] { return frame; },
        [&]() -> asio::awaitable<void> { co_await write_bytes(session.socket, frame); });
    co_return go_on&& record.accepted;
}

asio::awaitable<bool> DatabaseServer::answer_request(Session& session, const DbRequest& request) {
    record_request(session, request);
    if (drops_pending_ > 0) {
        --drops_pending_;
        co_return false;
    }
    if (delay_.count() > 0) {
        // In short steps: a connection closed meanwhile (the server going away) ends the wait.
        co_await FaultInjector::wait_until(FaultInjector::Clock::now() + delay_,
                                           [&] { return session.socket.is_open(); });
        if (!session.socket.is_open()) co_return false;
    }
    if (negative_length_) {
        Bytes frame;
        put_i32(frame, *negative_length_);
        negative_length_.reset();
        co_await write_bytes(session.socket, frame);
        co_return true;
    }
    const auto elements = run_request(request);
    const FramedResult frame(elements);
    if (cuts_pending_ > 0) {
        --cuts_pending_;
        Bytes bytes = frame.flatten();
        bytes.resize(bytes.size() / 2);
        co_await write_bytes(session.socket, bytes);
        co_return false;
    }
    std::size_t size = 0;
    for (const auto& piece : frame.pieces()) size += piece.second;
    const bool go_on = co_await send_answer(
        session, size, [&] { return frame.flatten(); },
        [&]() -> asio::awaitable<void> { co_await write_framed(session.socket, frame); });
    ++state_.answered;
    loop_->notify_changed();
    co_return go_on;
}

void DatabaseServer::record_request(const Session& session, const DbRequest& request) {
    DatabaseRequestRecord record{session.id, request.instruction, {}, 0};
    if (request.instruction == 2) record.text = request.query.sql;
    if (request.instruction == 3) {
        record.text = request.bulk.table;
        record.rows = request.bulk.row_count;
    }
    state_.requests.push_back(record);
    loop_->notify_changed();
}

std::vector<DbElement> DatabaseServer::run_request(const DbRequest& request) {
    std::vector<DbElement> elements;
    if (request.instruction == 2) {
        elements = database_->execute(request.query.sql);
    } else if (request.instruction == 3) {
        elements.push_back(database_->bulk_insert(request.bulk));
    } else {
        DbElement e;
        e.message = "Unsupported instruction: " + std::to_string(request.instruction);
        elements.push_back(std::move(e));
    }
    return elements;
}

}  // namespace tyx::sandbox
