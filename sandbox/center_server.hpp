// The sandbox center: a loopback server that center clients hold two connections to, subscribe
// to tables on, and receive table rows and row changes from. Its tables are those of a
// SandboxStore (sandbox_store.hpp: table = published type, row = published object). State lives
// on a SandboxLoop (its own, or one shared with the other sandbox servers); every public member
// may be called from any thread and waits for the loop to run it (on the loop itself it runs
// inline), except the wait_* members, which must not be called on the loop, and `enqueue`,
// which never waits.
//
// Connections. Each connection opens with the "MsgDirect" greeting: 2-byte length + "XQDM|dTP",
// a 2-byte character ('R' or 'W'), 2-byte length + channel, 2-byte length + process UID. 'R'
// marks the client's request connection (channel "web.to.center"); 'W' the connection the center
// writes to (channel "center.to.web$" + UID). Any other direction, or a greeting not starting
// with "XQDM|", closes the connection. The center answers every greeting with 2-byte length +
// `handshake_reply` ("XQDM|dTP" by default) and, when that reply ends with 'P', 2-byte length +
// `server_process_uid`. The two connections of one client are paired by process UID; a new
// greeting with the same UID and direction replaces the old connection of that direction.
//
// Requests. Frames (4 zero bytes, 4-byte payload length, payload) read on an 'R' connection are
// recorded with their raw bytes. A frame whose header words are both 0 is skipped; a length
// above `max_frame_bytes` closes the connection. A "Y9.ST.MS" subscription request (see
// center_wire.hpp) is answered on the client's 'W' connection:
//  - subscription (tables without PID 5): the tables become subscribed by this client, then the
//    center sends, in this order and with nothing between them,
//      1. one changes message ("Y9.VE.CH", fields by name unless `positional_changes`):
//         "seqNum" (PID 20) = a new sequence number;
//         "tyxValuesStringPoolMap" (PID 28), when this connection has not yet received every key
//           used below: key entries (kind 0, 2-byte key, name) for those keys;
//         "schemaChanges" (PID 27), when a requested table exists: per existing table, 2-byte
//           table key, kind 0, 2-byte column count, then per column 2-byte name key, the database
//           type code of the column (sandbox_store.hpp), flags 0; the `id` column is not listed;
//         "tyxEntitiesAdded" (PID 24), when some requested table has rows: every row of every
//           requested table, table by table in request order, rows in rowid order;
//    2. one snapshot-response message ("Y9.VE.SR", by name, no field).
//    Exactly one snapshot response is sent per subscription request frame, also when no
//    requested table exists.
//  - unsubscription (every table with PID 5 = 1): the tables stop being subscribed; nothing is
//    sent.
//  - a frame that does not decode as a request is recorded with its error text; nothing is sent
//    and the connection stays open.
// Live changes. Every row change the store makes (a publication applied through `apply`) goes
// at once to every client subscribed to its table, as one changes message per applied batch and
// client: "seqNum" = a new sequence number, the string pool entries this connection lacks,
// "schemaChanges" for the tables of the message whose columns changed in the batch (all their
// columns), then the entities in change order, consecutive entities of one action sharing one
// array ("tyxEntitiesAdded" 1, "tyxEntitiesUpdated" 2, "tyxEntitiesRemoved" 3, so several arrays
// of one kind may follow each other in a message). Sequence numbers are 1, 2, 3, ... per
// server, one per changes message, in sending order.
// Entities. Each entity is: 4-byte size (2 + payload), 2-byte table key, then the payload:
// 8-byte id (the row's SQLite rowid), flags, the object identifier (string form), and, for added
// and updated rows (flags 0x60), a 2-byte field count and per field a 2-byte name key, a value
// code and the value; removals (flags 0x20) carry no field. Added and updated rows carry every
// column of the table but `id`, in column order. Value codes: 1 null, 5 float, 6 double, 8 text
// (4-byte length + bytes), 13 32-bit integer, 31 64-bit integer, 40 bytes (4-byte length + bytes).
// A connection holding more than `max_pending_write_bytes` of unsent messages is closed.
// `hold_snapshot_responses` delays step 2 (the test hook for changes that reach a client between
// a table's rows and its snapshot response).
// Subscriptions end when the client's 'W' connection closes; a client re-subscribes after it
// reconnects. Messages for a client without an open 'W' connection are dropped.
//
// Types. A published field's wire form decides its column when the column is first made, and
// what SQLite stored decides each value sent (details in sandbox_store.hpp):
//   relay value (wire form)      SQLite declared type   database type code   center value code
//   Integer  (5)                 Integer INTEGER        14 Integer           13 (4 bytes)
//   Long     (5L)                Long INTEGER           16 Long              31 (8 bytes)
//   Float    (1.5F)              Float REAL             15 Float              5 (IEEE single)
//   Double   (1.5D)              Double REAL            17 Double             6 (IEEE double)
//   String   ("x")               String TEXT            20 String             8 (4-byte length + bytes)
//   Bare     (x, bytes)          String TEXT            20 String             8, the text as sent
//   Empty    (nothing after =)   String TEXT            20 String             1 (null)
// The schema's column type byte is the database type code; the `id` column (the object
// identifier) is not a field: it travels as the entity's object identifier.
#pragma once

#include "center_wire.hpp"
#include "relay_server.hpp"
#include "sandbox_loop.hpp"
#include "sandbox_stream.hpp"
#include "sandbox_tls.hpp"
#include "sandbox_store.hpp"

#include <asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tyx::sandbox {

class SandboxListener;

struct CenterServerOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;  // 0: an ephemeral port, see CenterServer::port
    std::optional<SandboxTls> tls = std::nullopt;  // TLS only, with this material, when set
    std::string handshake_reply = "XQDM|dTP";
    std::string server_process_uid = "Y9-sandbox-center";
    bool positional_changes = false;  // changes messages with fields by position
    std::size_t max_frame_bytes = 64u << 20;
    // A connection whose unsent messages exceed this (a client that does not read) is closed.
    std::size_t max_pending_write_bytes = std::size_t{256} << 20;
};

struct CenterHandshakeRecord {
    ConnectionId connection = 0;
    center::Handshake greeting;
};

struct CenterRequestRecord {
    ConnectionId connection = 0;
    std::string process_uid;                             // of the connection's greeting
    Bytes frame;                                         // the whole frame, header included
    std::optional<center::SubscriptionRequest> request;  // empty when it did not decode
    std::string error;
};

struct CenterClientState {
    std::string process_uid;
    ConnectionId inbound = 0;   // the 'W' connection the center writes to (0: none yet)
    ConnectionId outbound = 0;  // the 'R' connection requests arrive on
    bool inbound_open = false;
    bool outbound_open = false;
    std::set<std::string> tables;  // subscribed
    std::uint64_t frames_sent = 0;
    std::uint64_t snapshots_sent = 0;
};

struct CenterState {
    std::uint64_t accepted = 0;
    std::size_t open_connections = 0;
    std::vector<CenterHandshakeRecord> handshakes;
    std::vector<std::string> refused_greetings;        // why greetings were refused, in order
    std::map<std::string, CenterClientState> clients;  // by process UID
    std::vector<CenterRequestRecord> requests;
    std::int64_t seqnum = 0;  // the last sequence number sent
    std::uint64_t changes_sent = 0;
    std::uint64_t snapshots_sent = 0;
    std::uint64_t publications_applied = 0;

    // Clients with both connections open.
    std::size_t paired_clients() const;
};

class CenterServer {
public:
    // Starts listening at once. The first form runs its own loop and keeps its store in an
    // in-memory SQLite database; the second runs on `loop` (which must outlive the server) with
    // `store` when given (it must live on that loop), else with one of its own.
    explicit CenterServer(CenterServerOptions options = {});
    CenterServer(SandboxLoop& loop, CenterServerOptions options = {},
                 std::shared_ptr<SandboxStore> store = nullptr);
    ~CenterServer();
    CenterServer(const CenterServer&) = delete;
    CenterServer& operator=(const CenterServer&) = delete;

    std::uint16_t port() const;
    SandboxLoop& loop() { return *loop_; }
    const std::shared_ptr<SandboxStore>& store() const { return store_; }

    // Stores publications and sends the changes to subscribers. `apply` waits; `enqueue` may be
    // called on the loop itself and coalesces what arrives before the loop gets to it into one
    // transaction (the relay observer's path).
    void apply(std::vector<RelayPublication> publications);
    void enqueue(std::vector<RelayPublication> publications);
    // Parses relay lines (`O|T="t"|I="x"|f=1`, `D|T="t"|I="x"`) and applies them: a shortcut
    // that feeds the store without a relay.
    void apply_lines(const std::vector<std::string>& lines);

    // ---- Test hooks ----
    void stop_listening();
    void resume_listening();                           // on the same port
    void drop_client(const std::string& process_uid);  // closes both connections
    void drop_all_connections();
    // Writes bytes as they are to the client's 'W' connection (false when it has none open).
    bool send_raw(const std::string& process_uid, Bytes bytes);
    // Frames `payload` and writes it to the client's 'W' connection.
    bool send_payload(const std::string& process_uid, const Bytes& payload);
    // A pass-through message carrying a Throwable field (center_wire.hpp).
    bool send_throwable(const std::string& process_uid, std::string_view text = "sandbox exception");
    // Sends a changes message to the client (the string pool entries it lacks are added), with
    // the center's next sequence number, or with `seqnum` (the center's counter then stays).
    bool send_changes(const std::string& process_uid, std::vector<center::CenterSchema> schemas,
                      std::vector<center::CenterEntity> entities,
                      std::optional<std::int64_t> seqnum = std::nullopt);
    // While held, subscriptions are answered with their rows but their snapshot responses wait
    // (live changes still go out); `release_snapshot_responses` sends the waiting ones in order.
    void hold_snapshot_responses(bool hold = true);
    void release_snapshot_responses();

    CenterState state() const;  // a copy
    bool wait_until(const std::function<bool(const CenterState&)>& predicate,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool wait_for_paired_clients(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool wait_for_requests(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool wait_for_applied(std::uint64_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    struct Session;
    struct Client;
    void start();
    void on_accept(SandboxStream socket);
    void on_greeting(const std::shared_ptr<Session>& session, center::Handshake greeting);
    void on_frame(const std::shared_ptr<Session>& session, Bytes frame);
    void on_closed(const std::shared_ptr<Session>& session);
    void answer_subscription(Client& client, const center::SubscriptionRequest& request);
    void apply_now(const std::vector<RelayPublication>& publications);
    bool send_changes_to(Client& client, const std::vector<center::CenterSchema>& schemas,
                         const std::vector<center::CenterEntity>& entities,
                         std::optional<std::int64_t> seqnum = std::nullopt);
    void send_snapshot_response(Client& client);
    bool write(Client& client, Bytes bytes);
    Client* client_of(const std::string& process_uid);
    static void write_session(const std::shared_ptr<Session>& session, Bytes bytes);

    std::unique_ptr<SandboxLoop> own_loop_;
    SandboxLoop* loop_;
    CenterServerOptions options_;
    std::shared_ptr<SandboxStore> store_;
    std::unique_ptr<SandboxListener> listener_;
    CenterState state_;
    center::KeyPool pool_;
    std::map<ConnectionId, std::shared_ptr<Session>> sessions_;
    std::map<std::string, std::unique_ptr<Client>> clients_;
    std::vector<RelayPublication> queued_;
    bool flush_posted_ = false;
    bool hold_snapshots_ = false;
    std::vector<std::string> held_snapshots_;  // process UIDs, in request order
    std::size_t active_ = 0;                   // reading coroutines still running
    std::atomic<std::size_t> pending_{0};      // posted store jobs still to run
};

}  // namespace tyx::sandbox
