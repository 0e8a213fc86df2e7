#include "center_server.hpp"

#include "sandbox_answers.hpp"

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/read.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <deque>
#include <set>
#include <unordered_set>

namespace tyx::sandbox {

struct CenterServer::Session : AnsweringSession<Bytes> {
    using AnsweringSession::AnsweringSession;
    char direction = 0;
    std::string process_uid;
};

struct CenterServer::Client {
    std::string process_uid;
    std::shared_ptr<Session> inbound;            // 'W': the center writes here
    std::shared_ptr<Session> outbound;           // 'R': requests arrive here
    std::unordered_set<std::int16_t> sent_keys;  // pool keys the current 'W' connection has received
};

std::size_t CenterState::paired_clients() const {
    std::size_t n = 0;
    for (const auto& [uid, c] : clients) n += c.inbound_open && c.outbound_open ? 1 : 0;
    return n;
}

CenterServer::CenterServer(CenterServerOptions options)
    : CenterServer(nullptr, std::move(options), nullptr) {}

CenterServer::CenterServer(SandboxLoop& loop, CenterServerOptions options,
                           std::shared_ptr<SandboxStore> store)
    : CenterServer(&loop, std::move(options), std::move(store)) {}

CenterServer::CenterServer(SandboxLoop* loop, CenterServerOptions options,
                           std::shared_ptr<SandboxStore> store)
    : SandboxServer(loop), options_(std::move(options)), store_(std::move(store)) {
    start(options_, 2, [this] {
        if (!store_) store_ = std::make_shared<SandboxStore>(std::make_shared<SqliteDatabase>(":memory:"));
    });
}

CenterServer::~CenterServer() {
    stop();
    loop_->call([this] {
        clients_.clear();
        store_.reset();
    });
}

bool CenterServer::idle() const {
    return SandboxServer::idle() && pending_ == 0;
}

// ---- Connections ----

namespace {

std::uint16_t be16(const Bytes& b, std::size_t at = 0) {
    return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

std::uint32_t be32(const Bytes& b, std::size_t at) {
    return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 |
           std::uint32_t{b[at + 3]};
}

std::string as_text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

asio::awaitable<Bytes> read_n(SandboxStream& socket, std::size_t n) {
    Bytes b(n);
    if (n > 0) co_await asio::async_read(socket, asio::buffer(b), asio::use_awaitable);
    co_return b;
}

asio::awaitable<Bytes> read_utf(SandboxStream& socket) {
    const Bytes len = co_await read_n(socket, 2);
    Bytes text = co_await read_n(socket, be16(len));
    co_return text;
}

}  // namespace

void CenterServer::write_answer(const std::shared_ptr<Session>& session, Bytes bytes) {
    if (!session->is_open()) return;
    queue_answer(*faults_, session, std::move(bytes), options_.max_pending_write_bytes);
}

void CenterServer::on_accept(SandboxStream socket) {
    auto session = std::make_shared<Session>(std::move(socket));
    session->id = ++state_.accepted;
    ++state_.open_connections;
    add_session(session);
    asio::co_spawn(loop_->context(), serve(session), [this, session](std::exception_ptr) {
        session->close();
        on_closed(session);
        remove_session(session->id);
    });
}

asio::awaitable<void> CenterServer::serve(std::shared_ptr<Session> session) {
    co_await faults_->wait_while_stalled([s = session.get()] { return s->is_open(); });
    auto greeting = co_await read_greeting(*session);
    if (!greeting) co_return;
    const std::size_t greeting_bytes =
        10 + greeting->magic.size() + greeting->channel.size() + greeting->process_uid.size();
    on_greeting(session, std::move(*greeting));
    if (faults_->after_read(session->faults, greeting_bytes, 1)) co_return;
    co_await read_frames(session);
}

// A greeting is 2-byte length + magic ("XQDM|dTP"), a 2-byte direction character, then 2-byte
// length + channel and 2-byte length + process UID. 'R' marks the client's request connection
// ("web.to.center"), 'W' the one the center writes to ("center.to.web$" + UID). A magic not
// starting with "XQDM|", or any other direction, closes the connection (nullopt here).
asio::awaitable<std::optional<center::Handshake>> CenterServer::read_greeting(Session& session) {
    center::Handshake greeting;
    const Bytes magic_len = co_await read_n(session.socket, 2);
    const auto n = be16(magic_len);
    if (n == 0 || n > 1024) {
        state_.refused_greetings.push_back("greeting length " + std::to_string(n));
        co_return std::nullopt;
    }
    greeting.magic = as_text(co_await read_n(session.socket, n));
    if (greeting.magic.rfind("XQDM|", 0) != 0) {
        state_.refused_greetings.push_back("greeting " + greeting.magic);
        co_return std::nullopt;
    }
    const Bytes direction = co_await read_n(session.socket, 2);
    greeting.direction = static_cast<char>(direction[1]);
    greeting.channel = as_text(co_await read_utf(session.socket));
    greeting.process_uid = as_text(co_await read_utf(session.socket));
    if (direction[0] != 0 || (greeting.direction != 'R' && greeting.direction != 'W')) {
        state_.refused_greetings.push_back(std::string("direction ") + greeting.direction);
        co_return std::nullopt;
    }
    co_return greeting;
}

// Frames are 4 zero bytes, the 4-byte payload length, the payload. One whose header words are
// both 0 is skipped; one longer than `max_frame_bytes` closes the connection.
asio::awaitable<void> CenterServer::read_frames(std::shared_ptr<Session> session) {
    const auto open = [s = session.get()] { return s->is_open(); };
    for (;;) {
        co_await faults_->wait_while_stalled(open);
        Bytes frame = co_await read_n(session->socket, 8);
        const auto length = be32(frame, 4);
        if (be32(frame, 0) == 0 && length == 0) continue;
        if (length > options_.max_frame_bytes) co_return;
        frame.resize(8 + length);
        if (length > 0)
            co_await asio::async_read(session->socket, asio::buffer(frame.data() + 8, length),
                                      asio::use_awaitable);
        // A read that was waiting when a stall began is taken in only after it.
        co_await faults_->wait_while_stalled(open);
        // What a client writes on the connection the center writes to is read and dropped.
        if (session->direction == 'R') on_frame(session, std::move(frame));
        if (faults_->after_read(session->faults, 8 + length, 1)) co_return;
    }
}

// Every greeting is answered with 2-byte length + `handshake_reply` and, when that reply ends with
// 'P', 2-byte length + `server_process_uid`. A client's two connections are paired by process UID;
// a new greeting with the same UID and direction replaces the old connection of that direction.
void CenterServer::on_greeting(const std::shared_ptr<Session>& session, center::Handshake greeting) {
    session->direction = greeting.direction;
    session->process_uid = greeting.process_uid;
    state_.handshakes.push_back({session->id, greeting});

    Bytes reply;
    put_i16(reply, static_cast<std::int16_t>(options_.handshake_reply.size()));
    put_raw(reply, options_.handshake_reply.data(), options_.handshake_reply.size());
    if (!options_.handshake_reply.empty() && options_.handshake_reply.back() == 'P') {
        put_i16(reply, static_cast<std::int16_t>(options_.server_process_uid.size()));
        put_raw(reply, options_.server_process_uid.data(), options_.server_process_uid.size());
    }
    write_answer(session, std::move(reply));

    auto& client = clients_[greeting.process_uid];
    if (!client) {
        client = std::make_unique<Client>();
        client->process_uid = greeting.process_uid;
    }
    auto& st = state_.clients[greeting.process_uid];
    st.process_uid = greeting.process_uid;
    auto& slot = greeting.direction == 'W' ? client->inbound : client->outbound;
    if (slot && slot != session) slot->close();
    slot = session;
    if (greeting.direction == 'W') {
        // Runs only while the connection is open, and every connection is closed before the
        // server goes away.
        session->on_written = [this] {
            if (state_.feed_held && !feed_blocked()) schedule_flush();
        };
        if (options_.send_buffer_bytes > 0) {
            std::error_code ignored;
            session->socket.set_send_buffer(options_.send_buffer_bytes, ignored);
        }
        client->sent_keys.clear();
        st.inbound = session->id;
        st.inbound_open = true;
    } else {
        st.outbound = session->id;
        st.outbound_open = true;
    }
    loop_->notify_changed();
}

// Subscriptions end with the client's 'W' connection; a client re-subscribes after it reconnects.
void CenterServer::on_closed(const std::shared_ptr<Session>& session) {
    --state_.open_connections;
    auto it = clients_.find(session->process_uid);
    if (it == clients_.end()) return;
    auto& client = *it->second;
    auto& st = state_.clients[session->process_uid];
    if (client.inbound == session) {
        client.inbound.reset();
        st.inbound_open = false;
        st.tables.clear();
    }
    if (client.outbound == session) {
        client.outbound.reset();
        st.outbound_open = false;
    }
    if (state_.feed_held) schedule_flush();
}

CenterServer::Client* CenterServer::client_of(const std::string& process_uid) {
    auto it = clients_.find(process_uid);
    return it == clients_.end() ? nullptr : it->second.get();
}

// ---- Requests and answers ----

// Every frame read on an 'R' connection is recorded with its raw bytes. A subscription request is
// answered on the client's 'W' connection; an unsubscription (every table with PID 5 = 1) only ends
// subscriptions; a frame that does not decode is kept with its error text, answered with nothing,
// and the connection stays open.
void CenterServer::on_frame(const std::shared_ptr<Session>& session, Bytes frame) {
    CenterRequestRecord record;
    record.connection = session->id;
    record.process_uid = session->process_uid;
    try {
        record.request = center::read_subscription_request(Bytes(frame.begin() + 8, frame.end()));
    } catch (const std::exception& e) {
        record.error = e.what();
    }
    record.frame = std::move(frame);
    state_.requests.push_back(record);
    if (record.request) {
        Client* client = client_of(session->process_uid);
        auto& st = state_.clients[session->process_uid];
        if (client != nullptr && record.request->remove) {
            for (const auto& t : record.request->tables) st.tables.erase(t.table);
            if (state_.feed_held) schedule_flush();
        } else if (client != nullptr) {
            answer_subscription(*client, *record.request);
        }
    }
    loop_->notify_changed();
}

// One changes message holding the requested tables' schemas and their rows (table by table in
// request order, rows in rowid order), then, with nothing between them, one snapshot response,
// also when no requested table exists. Holding snapshot responses lets a test put live changes
// between a table's rows and its snapshot response.
void CenterServer::answer_subscription(Client& client, const center::SubscriptionRequest& request) {
    auto& st = state_.clients[client.process_uid];
    std::vector<center::CenterSchema> schemas;
    center::EncodedEntities rows;
    std::set<std::string> seen;
    for (const auto& t : request.tables) {
        if (!seen.insert(t.table).second) continue;
        if (client.inbound) st.tables.insert(t.table);
        if (auto schema = store_->schema(t.table)) {
            schemas.push_back(std::move(*schema));
            store_->rows(t.table, pool_, rows);
        }
    }
    if (!send_encoded_changes_to(client, schemas, rows, std::vector<char>(rows.tables.size(), 1))) return;
    if (hold_snapshots_)
        held_snapshots_.push_back(client.process_uid);
    else
        send_snapshot_response(client);
}

void CenterServer::send_snapshot_response(Client& client) {
    if (!write(client, center::frame(center::encode_snapshot_response_payload()))) return;
    ++state_.clients[client.process_uid].snapshots_sent;
    ++state_.snapshots_sent;
}

bool CenterServer::write(Client& client, Bytes bytes) {
    if (!client.inbound || !client.inbound->is_open()) return false;
    write_answer(client.inbound, std::move(bytes));
    ++state_.clients[client.process_uid].frames_sent;
    return true;
}

// Sequence numbers run 1, 2, 3, ... per server, one per changes message in sending order. The pool
// keys a 'W' connection has not received yet go with the first message that uses them. Messages
// for a client without an open 'W' connection are dropped.
bool CenterServer::send_changes_to(Client& client, const std::vector<center::CenterSchema>& schemas,
                                   const std::vector<center::CenterEntity>& entities,
                                   std::optional<std::int64_t> seqnum) {
    if (!client.inbound || !client.inbound->is_open()) return false;
    center::ChangesMessage m;
    auto use = [&](const std::string& name) {
        const auto key = pool_.key(name);
        if (client.sent_keys.insert(key).second) m.pool_keys.push_back(key);
    };
    for (const auto& s : schemas) {
        use(s.table);
        for (const auto& c : s.columns) use(c.name);
    }
    for (const auto& e : entities) {
        use(e.table);
        for (const auto& f : e.field_names) use(f);
    }
    m.seqnum = seqnum ? *seqnum : ++state_.seqnum;
    m.schemas = schemas;
    m.entities = entities;
    write(client, center::frame(center::encode_changes_payload(m, pool_, options_.positional_changes)));
    ++state_.changes_sent;
    return true;
}

bool CenterServer::send_encoded_changes_to(Client& client, const std::vector<center::CenterSchema>& schemas,
                                           const center::EncodedEntities& entities,
                                           const std::vector<char>& take) {
    if (!client.inbound || !client.inbound->is_open()) return false;
    write(client, center::encode_changes_frame(++state_.seqnum, schemas, entities, take, pool_,
                                               client.sent_keys, options_.positional_changes));
    ++state_.changes_sent;
    return true;
}

// ---- The store ----

// Row changes go at once to every client subscribed to their table: one changes message per
// applied batch and client, with the full schema of each of its tables whose columns the batch
// changed, then the entities in change order.
void CenterServer::apply_now(const std::vector<RelayPublication>& publications) {
    std::vector<std::string> changed;
    center::EncodedEntities entities;
    store_->apply(publications, pool_, entities, &changed);
    state_.publications_applied += publications.size();
    if (!entities.entities.empty()) {
        std::map<std::string, center::CenterSchema> schemas;
        for (const auto& name : changed)
            if (auto s = store_->schema(name)) schemas[name] = std::move(*s);
        std::vector<char> take(entities.tables.size());
        for (auto& [uid, client] : clients_) {
            const auto& tables = state_.clients[uid].tables;
            if (tables.empty() || !client->inbound) continue;
            for (std::size_t t = 0; t < take.size(); ++t)
                take[t] = tables.count(entities.tables[t]) != 0 ? 1 : 0;
            if (std::none_of(entities.entities.begin(), entities.entities.end(),
                             [&](const auto& e) { return take[e.table] != 0; }))
                continue;
            std::vector<center::CenterSchema> mine_schemas;
            for (const auto& [name, s] : schemas)
                if (tables.count(name) != 0) mine_schemas.push_back(s);
            send_encoded_changes_to(*client, mine_schemas, entities, take);
        }
    }
    loop_->notify_changed();
}

void CenterServer::apply(std::vector<RelayPublication> publications) {
    loop_->call([&] { apply_now(publications); });
}

void CenterServer::enqueue(std::vector<RelayPublication> publications) {
    ++pending_;
    loop_->post([this, batch = std::move(publications)]() mutable {
        if (queued_.empty())
            queued_ = std::move(batch);
        else
            queued_.insert(queued_.end(), std::make_move_iterator(batch.begin()),
                           std::make_move_iterator(batch.end()));
        schedule_flush();
        --pending_;
    });
}

void CenterServer::schedule_flush() {
    if (flush_posted_) return;
    flush_posted_ = true;
    ++pending_;
    // Runs after whatever else is queued on the loop now, so close batches share one transaction.
    loop_->post([this] {
        flush_posted_ = false;
        flush_queued();
        --pending_;
        loop_->notify_changed();
    });
}

bool CenterServer::feed_blocked() const {
    for (const auto& [uid, client] : clients_) {
        if (!client->inbound || !client->inbound->is_open()) continue;
        if (client->inbound->pending_bytes > options_.feed_hold_bytes) return true;
    }
    return false;
}

void CenterServer::flush_queued() {
    if (queued_.empty()) {
        state_.feed_held = false;
        return;
    }
    if (feed_blocked()) {
        if (!state_.feed_held) ++state_.feed_holds;
        state_.feed_held = true;
        return;
    }
    state_.feed_held = false;
    auto all = std::move(queued_);
    queued_.clear();
    apply_now(all);
    if (on_applied_) on_applied_(feed_bytes(all), all);
}

void CenterServer::set_on_applied(OnApplied on_applied) {
    loop_->call([&] { on_applied_ = std::move(on_applied); });
}

void CenterServer::apply_lines(const std::vector<std::string>& lines) {
    std::vector<RelayPublication> pubs;
    for (const auto& line : lines) {
        auto parsed = parse_relay_line(line);
        if (parsed.type != 'O' && parsed.type != 'D') continue;
        RelayPublication pub;
        pub.kind = parsed.type == 'O' ? RelayPublication::Kind::Object : RelayPublication::Kind::Removal;
        pub.line = line;
        pub.seqnum = parsed.seqnum;
        for (const auto& f : parsed.fields) {
            const auto unquoted = f.value.kind == RelayValue::Kind::String ? f.value.text : f.raw;
            if (f.key == "T" && pub.type.empty()) pub.type = unquoted;
            if (f.key == "I" && pub.id.empty()) pub.id = unquoted;
        }
        pubs.push_back(std::move(pub));
    }
    apply(std::move(pubs));
}

// ---- Test hooks ----

void CenterServer::drop_client(const std::string& process_uid) {
    loop_->call([&] {
        if (Client* c = client_of(process_uid)) {
            if (c->inbound) c->inbound->close();
            if (c->outbound) c->outbound->close();
        }
    });
}

bool CenterServer::send_raw(const std::string& process_uid, Bytes bytes) {
    return loop_->call([&] {
        Client* c = client_of(process_uid);
        return c != nullptr && write(*c, std::move(bytes));
    });
}

bool CenterServer::send_payload(const std::string& process_uid, const Bytes& payload) {
    return send_raw(process_uid, center::frame(payload));
}

bool CenterServer::send_throwable(const std::string& process_uid, std::string_view text) {
    return send_payload(process_uid, center::encode_throwable_payload(text));
}

bool CenterServer::send_changes(const std::string& process_uid, std::vector<center::CenterSchema> schemas,
                                std::vector<center::CenterEntity> entities,
                                std::optional<std::int64_t> seqnum) {
    return loop_->call([&] {
        Client* c = client_of(process_uid);
        return c != nullptr && send_changes_to(*c, schemas, entities, seqnum);
    });
}

void CenterServer::hold_snapshot_responses(bool hold) {
    loop_->call([this, hold] { hold_snapshots_ = hold; });
}

void CenterServer::release_snapshot_responses() {
    loop_->call([this] {
        auto held = std::move(held_snapshots_);
        held_snapshots_.clear();
        for (const auto& uid : held)
            if (Client* c = client_of(uid)) send_snapshot_response(*c);
    });
}

CenterState CenterServer::state() const {
    return loop_->call([this] {
        CenterState copy = state_;
        for (const auto& [uid, client] : clients_)
            if (client->inbound) copy.clients[uid].pending_write_bytes = client->inbound->pending_bytes;
        return copy;
    });
}

bool CenterServer::wait_until(const std::function<bool(const CenterState&)>& predicate,
                              std::chrono::milliseconds timeout) {
    return loop_->wait_until([&] { return predicate(state_); }, timeout);
}

bool CenterServer::wait_for_paired_clients(std::size_t n, std::chrono::milliseconds timeout) {
    return wait_until([n](const CenterState& s) { return s.paired_clients() >= n; }, timeout);
}

bool CenterServer::wait_for_requests(std::size_t n, std::chrono::milliseconds timeout) {
    return wait_until([n](const CenterState& s) { return s.requests.size() >= n; }, timeout);
}

bool CenterServer::wait_for_applied(std::uint64_t n, std::chrono::milliseconds timeout) {
    return wait_until([n](const CenterState& s) { return s.publications_applied >= n; }, timeout);
}

}  // namespace tyx::sandbox
