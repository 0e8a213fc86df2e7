// The sandbox center: a loopback server streaming a SandboxStore's tables and their row changes to
// subscribed center clients. It lives on a SandboxLoop (its own or a shared one); public members wait for
// the loop from any thread (inline on it), except wait_* (never on the loop) and `enqueue` (never waits).
#pragma once

#include "center_wire.hpp"
#include "relay_publication.hpp"
#include "sandbox_server.hpp"
#include "sandbox_store.hpp"

#include <asio/awaitable.hpp>

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

// Faults: a message is a greeting or a frame read; an answer is a handshake reply or any frame
// written.
struct CenterServerOptions : SandboxServerOptions {
    std::string handshake_reply = "XQDM|dTP";
    std::string server_process_uid = "Y9-sandbox-center";
    bool positional_changes = false;  // changes messages with fields by position
    std::size_t max_frame_bytes = 64u << 20;
    // A connection whose unsent messages exceed this is closed: a bound for what the feed's
    // hold below does not cover (test hooks, a snapshot larger than it).
    std::size_t max_pending_write_bytes = std::size_t{256} << 20;
    // While a subscriber has more than this unsent (it reads slowly, or not at all), queued
    // publications wait instead of being applied: the feed is held back for everyone rather
    // than one subscriber being cut off or buffered without end. With the Sandbox's bounded
    // hand-off the relay then stops reading and the publishers meet TCP back-pressure.
    std::size_t feed_hold_bytes = std::size_t{4} << 20;
    // The socket send buffer of each 'W' connection when set (a small one makes a subscriber
    // that does not read felt sooner).
    int send_buffer_bytes = 0;
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
    std::size_t pending_write_bytes = 0;  // queued on the 'W' connection, not yet written
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
    bool feed_held = false;        // queued publications wait for a subscriber to read
    std::uint64_t feed_holds = 0;  // times that began

    // Clients with both connections open.
    std::size_t paired_clients() const;
};

class CenterServer : public SandboxServer {
public:
    // Starts listening at once. The first form runs its own loop and keeps its store in an
    // in-memory SQLite database; the second runs on `loop` (which must outlive the server) with
    // `store` when given (it must live on that loop), else with one of its own.
    explicit CenterServer(CenterServerOptions options = {});
    CenterServer(SandboxLoop& loop, CenterServerOptions options = {},
                 std::shared_ptr<SandboxStore> store = nullptr);
    ~CenterServer();

    const std::shared_ptr<SandboxStore>& store() const { return store_; }

    // Stores publications and sends the changes to subscribers. `apply` waits; `enqueue` may be
    // called on the loop itself and coalesces what arrives before the loop gets to it into one
    // transaction (the relay observer's path).
    void apply(std::vector<RelayPublication> publications);
    void enqueue(std::vector<RelayPublication> publications);
    // Parses relay lines (`O|T="t"|I="x"|f=1`, `D|T="t"|I="x"`) and applies them: a shortcut
    // that feeds the store without a relay.
    void apply_lines(const std::vector<std::string>& lines);
    // Called on the loop after enqueued publications were applied, with their feed_bytes and the
    // publications themselves, which it may take.
    using OnApplied = std::function<void(std::size_t, std::vector<RelayPublication>&)>;
    void set_on_applied(OnApplied on_applied);

    // ---- Test hooks (and those of SandboxServer) ----
    void drop_client(const std::string& process_uid);  // closes both connections
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
    CenterServer(SandboxLoop* loop, CenterServerOptions options, std::shared_ptr<SandboxStore> store);
    void on_accept(SandboxStream socket) override;
    bool idle() const override;
    asio::awaitable<void> serve(std::shared_ptr<Session> session);
    asio::awaitable<std::optional<center::Handshake>> read_greeting(Session& session);
    asio::awaitable<void> read_frames(std::shared_ptr<Session> session);
    void on_greeting(const std::shared_ptr<Session>& session, center::Handshake greeting);
    void on_frame(const std::shared_ptr<Session>& session, Bytes frame);
    void on_closed(const std::shared_ptr<Session>& session);
    void answer_subscription(Client& client, const center::SubscriptionRequest& request);
    void apply_now(const std::vector<RelayPublication>& publications);
    void schedule_flush();
    void flush_queued();
    bool feed_blocked() const;
    bool send_changes_to(Client& client, const std::vector<center::CenterSchema>& schemas,
                         const std::vector<center::CenterEntity>& entities,
                         std::optional<std::int64_t> seqnum = std::nullopt);
    bool send_encoded_changes_to(Client& client, const std::vector<center::CenterSchema>& schemas,
                                 const center::EncodedEntities& entities, const std::vector<char>& take);
    void send_snapshot_response(Client& client);
    bool write(Client& client, Bytes bytes);
    Client* client_of(const std::string& process_uid);
    // Writes one answer, as the fault injector has it go.
    void write_answer(const std::shared_ptr<Session>& session, Bytes bytes);

    CenterServerOptions options_;
    std::shared_ptr<SandboxStore> store_;
    CenterState state_;
    center::KeyPool pool_;
    std::map<std::string, std::unique_ptr<Client>> clients_;
    std::vector<RelayPublication> queued_;
    bool flush_posted_ = false;
    OnApplied on_applied_;
    bool hold_snapshots_ = false;
    std::vector<std::string> held_snapshots_;  // process UIDs, in request order
    std::atomic<std::size_t> pending_{0};      // posted store jobs still to run
};

}  // namespace tyx::sandbox
