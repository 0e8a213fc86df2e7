#include "relay_server.hpp"

#include "sandbox_answers.hpp"
#include "sandbox_listener.hpp"

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/redirect_error.hpp>
#include <asio/ssl/error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>

namespace tyx::sandbox {

namespace {

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::vector<std::string> split_words(std::string_view text) {
    std::vector<std::string> words;
    while (!text.empty()) {
        auto comma = text.find(',');
        words.emplace_back(text.substr(0, comma));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return words;
}

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kCountingReadChunk = 256 * 1024;

// Whether a connection's reader ended because the client closed its side in order. Over TLS our
// ending of the TCP stream carries no close-notify, so the client closes without one either.
bool ended_by_client(const std::exception_ptr& error) {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& e) {
        return e.code() == asio::error::eof || e.code() == asio::ssl::error::stream_truncated;
    } catch (...) {
    }
    return false;
}

}  // namespace

struct RelayServer::Session : AnsweringSession<std::string> {
    using AnsweringSession::AnsweringSession;
    std::string partial;  // bytes of a line not yet ended
    bool first_line_done = false;
    FaultInjector* injector = nullptr;
    // Set when shutdown_gracefully ended our sending side: nothing more can be written.
    std::optional<std::chrono::steady_clock::time_point> send_ended_at;

    // Wakes the reader held at the read gate (cancelled to wake it).
    asio::steady_timer gate_wait{socket.get_executor(), asio::steady_timer::time_point::max()};

    // Set once a close counted what was still in the socket: that continues `partial`, so the
    // line begun is counted with it.
    bool unread_taken = false;

    // Counts the messages this connection's host received and the server never read before a
    // close throws the socket's bytes away. `partial` is left alone: a reader holding a read
    // taken in before the close still ends its lines, and the reader's end counts what is left.
    void count_unread() {
        if (injector == nullptr || !socket.is_open()) return;
        std::uint64_t lines = 0;
        bool tail = false;
        socket.take_unread([&](std::string_view bytes) {
            unread_taken = true;
            lines += static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), '\n'));
            tail = bytes.back() != '\n';
        });
        if (lines + (tail ? 1 : 0) > 0) injector->discarded_unread(lines + (tail ? 1 : 0));
    }

    void close() override {
        count_unread();
        AnsweringSession::close();
        gate_wait.cancel();
    }
};

const RelayPublication* RelayState::current_object(std::string_view type, std::string_view id) const {
    for (auto it = publications.rbegin(); it != publications.rend(); ++it) {
        if (it->type != type || it->id != id) continue;
        return it->kind == RelayPublication::Kind::Object ? &*it : nullptr;
    }
    return nullptr;
}

std::size_t RelayState::open_connections() const {
    std::size_t n = 0;
    for (const auto& [id, c] : connections) n += c.open ? 1 : 0;
    return n;
}

RelayServer::RelayServer(RelayServerOptions options) : RelayServer(nullptr, std::move(options)) {}

RelayServer::RelayServer(SandboxLoop& loop, RelayServerOptions options)
    : RelayServer(&loop, std::move(options)) {}

RelayServer::RelayServer(SandboxLoop* loop, RelayServerOptions options)
    : SandboxServer(loop), options_(std::move(options)) {
    start(options_, 1);
}

RelayServer::~RelayServer() {
    set_observer(nullptr);
    set_read_gate(nullptr);
    stop();
}

std::shared_ptr<RelayServer::Session> RelayServer::session(ConnectionId id) const {
    auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : std::static_pointer_cast<Session>(it->second);
}

void RelayServer::drop_connection(ConnectionId id) {
    loop_->call([this, id] {
        if (auto it = sessions_.find(id); it != sessions_.end()) it->second->close();
    });
}

std::vector<RelayGracefulClose> RelayServer::shutdown_gracefully(std::chrono::milliseconds timeout) {
    loop_->call([this] {
        // Listening stops first: a client reconnecting during the drain would otherwise be
        // accepted by a server that is going away.
        listener_->stop();
        draining_.clear();
        const auto now = std::chrono::steady_clock::now();
        for (auto& [id, base] : sessions_) {
            if (!base->is_open()) continue;
            static_cast<Session&>(*base).send_ended_at = now;
            draining_[id].connection = id;
            std::error_code ignored;
            base->socket.shutdown(asio::socket_base::shutdown_send, ignored);
        }
    });
    const auto drained = [this] {
        for (const auto& [id, d] : draining_)
            if (sessions_.count(id) != 0) return false;
        return true;
    };
    if (!loop_->wait_until(drained, timeout)) {
        loop_->call([this] {
            for (const auto& [id, d] : draining_)
                if (auto it = sessions_.find(id); it != sessions_.end()) it->second->close();
        });
        // Each reader sees its closed socket on the loop and records the connection as not
        // closed by its client.
        loop_->wait_until(drained, std::chrono::seconds(10));
    }
    return loop_->call([this] {
        std::vector<RelayGracefulClose> closes;
        for (const auto& [id, d] : draining_) closes.push_back(d);
        draining_.clear();
        return closes;
    });
}

void RelayServer::on_accept(SandboxStream socket) {
    auto session = std::make_shared<Session>(std::move(socket));
    session->injector = faults_.get();
    session->id = ++state_.accepted;
    state_.last_connection = session->id;
    state_.connections[session->id].id = session->id;
    add_session(session);
    asio::co_spawn(loop_->context(), read_lines(session),
                   [this, session](std::exception_ptr error) { on_reader_end(*session, error); });
}

asio::awaitable<void> RelayServer::read_lines(std::shared_ptr<Session> session) {
    std::vector<char> buffer(options_.counting_only ? kCountingReadChunk : kReadChunk);
    const auto open = [s = session.get()] { return s->socket.is_open(); };
    // A throttled connection reads about a hundredth of its second's allowance at a time.
    const std::size_t rate = options_.read_bytes_per_second;
    const std::size_t chunk =
        rate > 0 ? std::clamp<std::size_t>(rate / 100, 256, buffer.size()) : buffer.size();
    if (options_.receive_buffer_bytes > 0) {
        std::error_code ignored;
        session->socket.set_receive_buffer(options_.receive_buffer_bytes, ignored);
    }
    const auto started = std::chrono::steady_clock::now();
    std::uint64_t taken = 0;
    asio::steady_timer pace(loop_->context());
    for (;;) {
        co_await faults_->wait_while_stalled(open);
        if (read_gate_ && read_gate_()) co_await wait_at_read_gate(*session);
        std::size_t n =
            co_await session->socket.async_read_some(asio::buffer(buffer.data(), chunk), asio::use_awaitable);
        // A read that was waiting when a stall began is taken in only after it.
        co_await faults_->wait_while_stalled(open);
        auto& conn = state_.connections[session->id];
        conn.bytes += n;
        state_.bytes += n;
        const auto lines_before = conn.line_count;
        if (options_.counting_only && session->first_line_done) {
            count_lines(conn, buffer.data(), n);
        } else {
            take_lines(*session, conn, buffer.data(), buffer.data() + n);
            flush_batch();
        }
        // The next read sees the closed socket and ends the connection.
        if (faults_->after_read(session->faults, n, conn.line_count - lines_before)) session->close();
        loop_->notify_changed();
        if (rate > 0) {
            taken += n;
            pace.expires_at(started + std::chrono::nanoseconds(taken * 1'000'000'000 / rate));
            co_await pace.async_wait(asio::use_awaitable);
        }
    }
}

asio::awaitable<void> RelayServer::wait_at_read_gate(Session& session) {
    if (!state_.reading_held) {
        state_.reading_held = true;
        ++state_.read_holds;
        loop_->notify_changed();
    }
    while (session.socket.is_open() && read_gate_ && read_gate_()) {
        std::error_code ignored;
        co_await session.gate_wait.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    if (state_.reading_held) {
        state_.reading_held = false;
        loop_->notify_changed();
    }
}

void RelayServer::take_lines(Session& session, RelayConnection& conn, const char* p, const char* end) {
    while (p < end) {
        const char* lf = static_cast<const char*>(std::memchr(p, '\n', end - p));
        if (lf == nullptr) {
            if (session.partial.size() + (end - p) > options_.max_line_bytes)
                throw std::length_error("relay line too long");
            session.partial.append(p, end);
            return;
        }
        if (session.partial.empty()) {
            handle_line(session, std::string_view(p, lf - p));
        } else {
            session.partial.append(p, lf);
            handle_line(session, session.partial);
            session.partial.clear();
        }
        p = lf + 1;
        if (options_.counting_only && session.first_line_done) {
            // The rest of this chunk is only counted.
            count_lines(conn, p, static_cast<std::size_t>(end - p));
            return;
        }
    }
}

void RelayServer::count_lines(RelayConnection& conn, const char* p, std::size_t n) {
    const std::uint64_t lines = count_line_feeds(p, n);
    conn.line_count += lines;
    state_.line_count += lines;
}

void RelayServer::on_reader_end(Session& session, const std::exception_ptr& error) {
    // End of input, a socket error or malformed input: this connection ends, the server goes on.
    if (auto it = draining_.find(session.id); it != draining_.end() && session.send_ended_at) {
        it->second.client_closed = ended_by_client(error);
        it->second.waited = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - *session.send_ended_at);
    }
    session.close();
    // A line begun and never ended, unless the socket's unread bytes went on with it.
    if (!session.partial.empty() && !session.unread_taken) faults_->discarded_unread(1);
    session.partial.clear();
    state_.connections[session.id].open = false;
    flush_batch();
    remove_session(session.id);
}

void RelayServer::handle_line(Session& session, std::string_view line) {
    auto& conn = state_.connections[session.id];
    ++conn.line_count;
    ++state_.line_count;
    session.first_line_done = true;
    if (!options_.counting_only && !options_.object_ids_only &&
        (options_.max_recorded == 0 || recorded_lines_ < options_.max_recorded)) {
        conn.lines.emplace_back(line);
        ++recorded_lines_;
    }
    if (line.empty()) return;
    const char type = line.front();
    if (type != 'L' && type != 'X' && type != 'O' && type != 'D') return;

    auto& parsed = scratch_;
    split_relay_line(line, parsed);
    if (type == 'L') {
        conn.logged_in = true;
        ++conn.logins;
        ++state_.logins;
        conn.login_seqnum = parsed.seqnum;
        conn.login_timestamp = parsed.timestamp;
        const auto* id = parsed.field("I");
        conn.login_id = id ? unquote(id->raw) : std::string();
        const auto* opts = parsed.field("O");
        conn.login_options = opts ? unquote(opts->raw) : std::string();
        conn.login_words = split_words(conn.login_options);
        if (options_.answer_login) {
            if (auto s = this->session(session.id))
                write(s,
                      make_status_line({now_ms(), 0, parsed.seqnum.value_or(0), options_.login_message, {}}));
        }
        return;
    }
    if (type == 'X') {
        conn.logged_out = true;
        conn.logout_seqnum = parsed.seqnum;
        conn.logout_timestamp = parsed.timestamp;
        return;
    }

    RelayPublication pub;
    pub.kind = type == 'O' ? RelayPublication::Kind::Object : RelayPublication::Kind::Removal;
    pub.connection = session.id;
    pub.seqnum = parsed.seqnum;
    if (!spare_lines_.empty()) {
        pub.line = std::move(spare_lines_.back());
        spare_lines_.pop_back();
    }
    pub.line.assign(line);
    const bool to_store = static_cast<bool>(observer_);
    split_publication(parsed, pub, nullptr);
    if (pub.kind == RelayPublication::Kind::Object)
        ++state_.objects;
    else
        ++state_.removals;
    if (options_.acknowledge_publications) {
        if (auto s = this->session(session.id))
            write(s, make_status_line({now_ms(), 0, pub.seqnum.value_or(0), "ok", {}}));
    }
    if (options_.object_ids_only) {
        if (pub.kind == RelayPublication::Kind::Object) conn.object_ids.push_back(pub.id);
        if (to_store) batch_.push_back(std::move(pub));
        return;
    }
    if (options_.max_recorded != 0 && state_.publications.size() >= options_.max_recorded) {
        if (to_store) batch_.push_back(std::move(pub));
        return;
    }
    if (to_store) batch_.push_back(pub);
    state_.publications.push_back(std::move(pub));
}

void RelayServer::flush_batch() {
    if (batch_.empty() || !observer_) {
        batch_.clear();
        return;
    }
    // Handed over at once, before the next read: a consumer that holds reading back through
    // the read gate sees everything read so far.
    auto batch = std::move(batch_);
    batch_ = std::move(spare_batch_);
    batch_.clear();
    spare_batch_.clear();
    observer_(std::move(batch));
}

namespace {
constexpr std::size_t kMostSpareLines = 4096;
constexpr std::size_t kMostSpareLineBytes = 256;
}  // namespace

void RelayServer::recycle(std::vector<RelayPublication> done) {
    loop_->call([&] {
        for (auto& pub : done) {
            if (spare_lines_.size() >= kMostSpareLines) break;
            if (pub.line.capacity() > kMostSpareLineBytes) continue;
            pub.line.clear();
            spare_lines_.push_back(std::move(pub.line));
        }
        done.clear();
        if (done.capacity() > spare_batch_.capacity()) spare_batch_ = std::move(done);
    });
}

void RelayServer::write(const std::shared_ptr<Session>& session, std::string text) {
    if (session->send_ended_at) return;
    queue_answer(*faults_, session, std::move(text), options_.max_pending_write_bytes);
}

void RelayServer::send_line(ConnectionId id, std::string text) {
    loop_->call([&] {
        if (auto s = session(id); s && s->is_open()) write(s, std::move(text));
    });
}

void RelayServer::send_status(ConnectionId id, const RelayStatus& status) {
    send_line(id, make_status_line(status));
}

void RelayServer::send_execute_command(ConnectionId id, const RelayCommand& command) {
    send_line(id, make_execute_command_line(command));
}

void RelayServer::broadcast_line(std::string text) {
    loop_->call([&] {
        for (auto& [id, base] : sessions_)
            if (base->is_open()) write(std::static_pointer_cast<Session>(base), text);
    });
}

void RelayServer::set_observer(Observer observer) {
    loop_->call([&] { observer_ = std::move(observer); });
}

void RelayServer::set_read_gate(std::function<bool()> hold) {
    loop_->call([&] { read_gate_ = std::move(hold); });
    recheck_read_gate();
}

void RelayServer::recheck_read_gate() {
    loop_->post([this] {
        for (auto& [id, base] : sessions_) static_cast<Session&>(*base).gate_wait.cancel();
    });
}

void RelayServer::clear() {
    loop_->call([this] {
        recorded_lines_ = 0;
        for (auto& [id, c] : state_.connections) {
            c.lines.clear();
            c.object_ids.clear();
            c.line_count = c.bytes = c.logins = 0;
        }
        state_.publications.clear();
        state_.line_count = state_.bytes = state_.logins = state_.objects = state_.removals = 0;
    });
}

RelayState RelayServer::state() const {
    return loop_->call([this] { return state_; });
}

bool RelayServer::wait_until(const std::function<bool(const RelayState&)>& predicate,
                             std::chrono::milliseconds timeout) {
    return loop_->wait_until([&] { return predicate(state_); }, timeout);
}

bool RelayServer::wait_for_connections(std::size_t open, std::chrono::milliseconds timeout) {
    return wait_until([open](const RelayState& s) { return s.open_connections() == open; }, timeout);
}

bool RelayServer::wait_for_logins(std::uint64_t n, std::chrono::milliseconds timeout) {
    return wait_until([n](const RelayState& s) { return s.logins >= n; }, timeout);
}

bool RelayServer::wait_for_publications(std::size_t n, std::chrono::milliseconds timeout) {
    return wait_until([n](const RelayState& s) { return s.objects + s.removals >= n; }, timeout);
}

bool RelayServer::wait_for_objects(std::uint64_t n, std::chrono::milliseconds timeout) {
    return wait_until([n](const RelayState& s) { return s.objects >= n; }, timeout);
}

bool RelayServer::wait_for_lines(std::uint64_t n, std::chrono::milliseconds timeout) {
    return wait_until([n](const RelayState& s) { return s.line_count >= n; }, timeout);
}

}  // namespace tyx::sandbox
