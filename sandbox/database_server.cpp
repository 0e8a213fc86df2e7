#include "database_server.hpp"

#include "sandbox_listener.hpp"

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

namespace tyx::sandbox {

namespace {

constexpr std::size_t kReadStep = 1 << 20;

}  // namespace

struct DatabaseServer::Session {
    explicit Session(SandboxStream s) : socket(std::move(s)) {}
    std::uint64_t id = 0;
    SandboxStream socket;
    void close() {
        std::error_code ignored;
        socket.shutdown(asio::socket_base::shutdown_both, ignored);
        socket.close(ignored);
    }
};

DatabaseServer::DatabaseServer(DatabaseServerOptions options)
    : own_loop_(std::make_unique<SandboxLoop>()), loop_(own_loop_.get()), options_(std::move(options)) {
    start();
}

DatabaseServer::DatabaseServer(SandboxLoop& loop, DatabaseServerOptions options,
                               std::shared_ptr<SqliteDatabase> database)
    : loop_(&loop), options_(std::move(options)), database_(std::move(database)) {
    start();
}

void DatabaseServer::start() {
    loop_->call([this] {
        if (!database_) database_ = std::make_shared<SqliteDatabase>(options_.path);
        listener_ =
            std::make_unique<SandboxListener>(*loop_, options_.host, options_.port,
                                              [this](SandboxStream s) { on_accept(std::move(s)); }, options_.tls);
        listener_->listen();
    });
}

DatabaseServer::~DatabaseServer() {
    loop_->call([this] {
        listener_.reset();
        for (auto& [id, session] : sessions_) session->close();
    });
    loop_->wait_until([this] { return active_ == 0; }, std::chrono::seconds(30));
    // The database may hold the last reference; close it on the loop that used it.
    loop_->call([this] { database_.reset(); });
}

std::uint16_t DatabaseServer::port() const {
    return listener_->port();
}

void DatabaseServer::stop_listening() {
    loop_->call([this] { listener_->stop(); });
}

void DatabaseServer::resume_listening() {
    loop_->call([this] { listener_->listen(); });
}

void DatabaseServer::drop_all_connections() {
    loop_->call([this] {
        for (auto& [id, session] : sessions_) session->close();
    });
}

void DatabaseServer::drop_next_requests(int n) {
    loop_->call([this, n] { drops_pending_ = n; });
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
    sessions_[session->id] = session;
    ++state_.open_connections;
    ++active_;
    loop_->notify_changed();

    auto serve = [this, session]() -> asio::awaitable<void> {
        auto& socket = session->socket;
        auto write = [&](const Bytes& bytes) -> asio::awaitable<void> {
            co_await asio::async_write(socket, asio::buffer(bytes), asio::use_awaitable);
        };
        // One request: a 4-byte length (the bytes after it), then the body. The body grows as
        // bytes arrive, so a large declared length costs nothing until it is really sent.
        auto read_request = [&]() -> asio::awaitable<Bytes> {
            std::uint8_t head[4];
            co_await asio::async_read(socket, asio::buffer(head), asio::use_awaitable);
            const auto n =
                static_cast<std::int32_t>(std::uint32_t{head[0]} << 24 | std::uint32_t{head[1]} << 16 |
                                          std::uint32_t{head[2]} << 8 | std::uint32_t{head[3]});
            if (n < 0 || static_cast<std::size_t>(n) > options_.max_request_bytes)
                throw MalformedInput("bad request length");
            Bytes body;
            while (body.size() < static_cast<std::size_t>(n)) {
                const auto step = std::min(kReadStep, static_cast<std::size_t>(n) - body.size());
                const auto at = body.size();
                body.resize(at + step);
                co_await asio::async_read(socket, asio::buffer(body.data() + at, step), asio::use_awaitable);
            }
            co_return body;
        };

        std::uint8_t hello[2];
        co_await asio::async_read(socket, asio::buffer(hello), asio::use_awaitable);
        if (hello[0] != 31 || hello[1] != 241) co_return;
        co_await asio::async_write(socket, asio::buffer(options_.version_answer), asio::use_awaitable);

        bool logged_in = false;
        for (;;) {
            const Bytes body = co_await read_request();
            const DbRequest request = decode_request(body);
            if (request.instruction == 1) {
                DatabaseLoginRecord record{session->id, request.login.entries, request.login.version, true};
                if (options_.username && request.login.get("username") != options_.username)
                    record.accepted = false;
                if (options_.password && request.login.get("password") != options_.password)
                    record.accepted = false;
                state_.logins.push_back(record);
                loop_->notify_changed();
                Bytes frame;
                append_frame(frame, encode_login_ack(
                                        record.accepted ? options_.login_message : options_.refusal_message,
                                        record.accepted ? options_.server_version : 0));
                co_await write(frame);
                if (!record.accepted) co_return;
                logged_in = true;
                continue;
            }
            if (!logged_in) co_return;

            DatabaseRequestRecord record{session->id, request.instruction, {}, 0};
            if (request.instruction == 2) record.text = request.query.sql;
            if (request.instruction == 3) {
                record.text = request.bulk.table;
                record.rows = request.bulk.row_count;
            }
            state_.requests.push_back(record);
            loop_->notify_changed();

            if (drops_pending_ > 0) {
                --drops_pending_;
                co_return;
            }
            if (delay_.count() > 0) {
                asio::steady_timer timer(socket.get_executor(), delay_);
                co_await timer.async_wait(asio::use_awaitable);
            }
            if (negative_length_) {
                Bytes frame;
                put_i32(frame, *negative_length_);
                negative_length_.reset();
                co_await write(frame);
                continue;
            }

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
            {
                // Column values go out from where they were encoded, without one more copy.
                const FramedResult frame(elements);
                std::vector<asio::const_buffer> buffers;
                for (const auto& [data, size] : frame.pieces()) buffers.emplace_back(data, size);
                co_await asio::async_write(socket, buffers, asio::use_awaitable);
            }
            elements.clear();
            ++state_.answered;
            loop_->notify_changed();
        }
    };
    asio::co_spawn(loop_->context(), std::move(serve), [this, session](std::exception_ptr) {
        // End of input, a socket error or malformed input: this connection ends, the server goes on.
        session->close();
        sessions_.erase(session->id);
        --state_.open_connections;
        --active_;
        loop_->notify_changed();
    });
}

}  // namespace tyx::sandbox
