/// \file
/// The library's entry point. One Client owns every event loop of the library: a control thread
/// that runs every operation and the center and database sessions, worker threads that run the
/// relay sessions, and a notification thread that runs every listener callback and every
/// sql_async callback, one at a time, in event order.
///
/// Publishing (publish_object, publish_raw, remove_object and the relay command operations) is
/// the exception: it runs on the calling thread. The call builds the message text, chooses the
/// relay shards (calling the cluster's distribution function there, never twice at once for one
/// cluster) and copies the bytes into each chosen shard's outbox; the shard's worker writes its
/// outbox in large writes, and an idle shard over plain TCP takes a message straight onto its
/// connection from the calling thread. Messages published from one thread reach each shard in
/// call order. An outbox keeps at most PublicationConfig::max_buffered_bytes while its shard
/// cannot write (full_buffer_policy says what then gives way; a level-3 on_log reports the first
/// drop and, once there is room again, how many were dropped). With
/// PublicationConfig::conflate_objects, an outbox keeps only the newest waiting version of each
/// object: a replaced version is never written and raises no on_message_sent, so the limit is
/// reached only by many distinct waiting objects. A cluster is known to publishers
/// from the moment add_cluster is called, so what is published right after it waits for the
/// shards' first login; remove_cluster (and destroying the Client) writes what was published
/// before it ahead of each shard's logout.
///
/// Delivery: the relay protocol has no acknowledgement of its own, so a shard follows its
/// connection's TCP acknowledgements instead. A message counts as delivered once the relay's
/// host has acknowledged every byte of it; until then the outbox keeps it (within
/// max_buffered_bytes), and after a lost connection every message not acknowledged is written
/// again, in order, after the next login (the relay may therefore read a message twice, never
/// miss one its host did not receive). Over plain TCP this is exact to the message. Over TLS the
/// acknowledgements cover the records of whole writes: a shard re-sends from the start of the
/// first write not wholly acknowledged. A connection that the relay ends within 500 ms of the
/// login, before it has sent a line and before 8 MiB were acknowledged on it, counts as refused
/// (a TLS server rejecting the client's certificate does this, with an alert that is reported
/// as a TLS failure): everything written on it is written again. The one loss left is what the
/// relay's host acknowledged and the relay process never read before the connection ended.
/// flush() waits for delivery; health() counts every message's fate per shard (RelayCounters).
/// A stop (remove_cluster, the destructor) waits up to PublicationConfig::stop_flush_ms for
/// delivery and raises one level-3 on_log per shard for what it then discards.
///
/// Threads and blocking: every operation may be called from any application thread and from a
/// listener callback. The calls that block are the `wait = true` forms of add_cluster,
/// remove_cluster, subscribe and unsubscribe, and sql, get_table_schema, flush, sql_insert and
/// sql_replace (and the preparation step of sql_replace_async without on_done); all other calls
/// return at once. Never destroy a Client from inside a callback: its destructor joins the
/// notification thread.
///
/// Completion callbacks: each blocking call has a form that returns at once and tells when it is
/// done instead (add_cluster_async, remove_cluster_async, subscribe_async, unsubscribe_async,
/// get_table_schema_async, flush_async, sql_async, sql_async_owned, sql_insert_async and
/// sql_replace_async with on_done). Its callback runs exactly once, on the notification thread,
/// in order with the listener events (after every event the operation raised), also when the
/// operation fails and when the Client is destroyed with it pending (the destructor then runs it
/// before it returns). A callback may call any Client operation, as a listener may. An empty
/// on_done is accepted: the operation runs and nothing is called (sql_async and sql_async_owned,
/// which exist only for their callback, refuse an empty one with a level-3 on_log).
///
/// Deadlines: a database call has one deadline, DatabaseConfig::query_timeout_ms (30 s when not
/// positive) from the moment it is made, whatever its shards are doing: connecting, backing off,
/// logged in, answering another call first, or reconnecting for the one retry a lost connection
/// earns. sql, sql_insert and sql_replace (all of its steps together) return within that timeout
/// plus at most one second, answered or failed; so do each sql_async callback and each failure
/// log of an asynchronous upload, and the preparation of sql_replace_async. get_table_schema
/// never waits for the network. A shard that misses the deadline has its connection closed (an
/// answer arriving later could not be told from the next one's) and reconnects by itself.
/// Exceptions never cross this interface: failures arrive as ClientListener::on_log (level 3 for
/// a failed operation, level 2 for an unexpected but harmless input) or in query results.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tyx/commands.hpp"
#include "tyx/config.hpp"
#include "tyx/health.hpp"
#include "tyx/schema.hpp"
#include "tyx/table.hpp"
#include "tyx/values.hpp"

namespace tyx {

class Client;

/// One table to subscribe to. The two lists and the flag are carried to the center unchanged.
struct CenterSubscription {
    std::string table_name;                ///< the table to subscribe to
    std::vector<std::string> first_list;   ///< sent as position 2
    std::vector<std::string> second_list;  ///< sent as position 4
    bool flag = false;                     ///< sent as position 3
};

/// Receives what happens in the clusters of a Client. Every operation has an empty default
/// body; override those you need. All of them run on the Client's notification thread, one at a
/// time; string views and references are valid only during the call. The client name passed
/// second is the cluster name followed by "-relay", "-center" or "-jdbc" for events of a
/// protocol session, and the bare cluster name for routing failures. Callbacks must not throw
/// and may call any Client operation, the blocking ones included.
class ClientListener {
public:
    /// One center row change: action 1 added, 2 updated, 3 removed.
    struct CenterIncrementalUpdate {
        std::int64_t seqnum = 0;               ///< sequence number of the message that carried the row
        std::uint8_t action = 0;               ///< 1 added, 2 updated, 3 removed
        std::int64_t id = 0;                   ///< the row's numeric identifier, 0 when it carries none
        std::string table_name;                ///< the row's table
        std::string object_id;                 ///< the object's identifier; empty when absent
        std::vector<std::string> field_names;  ///< names of the carried fields, in wire order
        std::vector<FieldValue> row_data;      ///< values, parallel to field_names
    };

    virtual ~ClientListener() = default;

    /// A session's connection to an endpoint is made (the first one or a reconnection); its
    /// login or handshake comes next.
    virtual void on_connect(Client&, std::string_view /*cluster_name*/) {}
    /// A session's connection ended: it was lost (a database session finds out when a request
    /// fails on it), or a center or logged-in database session stopped.
    virtual void on_disconnect(Client&, std::string_view /*cluster_name*/) {}
    /// A session completed its login (relay, database) or handshake (center).
    virtual void on_logged_in(Client&, std::string_view /*cluster_name*/) {}
    /// A message was written. Relay sessions report their login, every published message
    /// (objects, removals, raw texts and commands) and their logout, each without its closing
    /// line feed; database sessions their login request and the text of each request (a
    /// query's SQL, a bulk insert's table name).
    virtual void on_message_sent(Client&, std::string_view /*cluster_name*/, std::string_view /*message*/) {}
    /// A relay status line: the relay's time (`@`), sequence number (`Q`), status (`S`) and
    /// message (`M`), each 0 or empty when absent. Database sessions report here the message
    /// of their login answer and the bytes of each answer, with the three numbers 0.
    virtual void on_message_received(Client&, std::string_view /*cluster_name*/, std::int64_t /*now*/,
                                     std::int64_t /*seqnum*/, std::int32_t /*status*/,
                                     std::string_view /*message*/) {}
    /// A user invoked a registered command: the request's identifier (`I`, answer it with
    /// Client::send_command_response), the command (`C`), the user (`U`), the object's type (`T`)
    /// and identifier (`O`), and every other `key=value` piece of the line in `params` (the first
    /// value of a key wins).
    virtual void on_command(Client&, std::string_view /*cluster_name*/, std::string_view /*request_id*/,
                            std::string_view /*cmd*/, std::string_view /*user_name*/,
                            std::string_view /*object_type*/, std::string_view /*object_id*/,
                            const std::map<std::string, std::string>& /*params*/) {}
    /// A center session wrote the snapshot request for `tables`: those just subscribed, or every
    /// subscribed table again after a reconnection.
    virtual void on_subscribe(Client&, std::string_view /*cluster_name*/,
                              const std::vector<std::string>& /*tables*/) {}
    /// One row change of a subscribed table: the snapshot's rows first, then every later change.
    /// `update` is this listener's own copy, valid during the call: the record is reused for
    /// the listener's next update, so keep a copy, not a reference.
    virtual void on_update(Client&, std::string_view /*cluster_name*/,
                           const CenterIncrementalUpdate& /*update*/) {}
    /// The on_update calls of one received frame are over: raised after the last update of each
    /// changes message, and after the rows a snapshot answer released when there were any (for a
    /// listener that gathers the updates of a frame and handles them at once). Runs on the
    /// notification thread, right after those on_update calls (and a snapshot answer's
    /// on_snapshot_answered) and before any other event.
    virtual void on_update_batch_end(Client&, std::string_view /*cluster_name*/) {}
    /// A center shard answered the snapshot request for `tables`: their snapshot rows came before
    /// as on_update (none for an empty table) and every later on_update of them is a live change.
    /// Raised for each answered request, so after every reconnection too; between a center
    /// session's on_disconnect and this event, the tables' next rows are a whole new snapshot.
    /// Comes after the rows' on_update calls and before their on_update_batch_end.
    virtual void on_snapshot_answered(Client&, std::string_view /*cluster_name*/,
                                      const std::vector<std::string>& /*tables*/) {}
    /// A log message: level 3 for a failed operation, level 2 for an unexpected but harmless
    /// input. A failure that repeats (a refused TLS handshake, a login, a timeout) is told once
    /// until its session is next up; unexpected input is told in full a few times per 10 s, then
    /// as a count. Listeners that fall a second behind hear a level-2 log at once, ahead of the
    /// waiting events, and another when they have caught up.
    virtual void on_log(Client&, std::string_view /*cluster_name*/, std::uint8_t /*level*/,
                        std::string_view /*message*/) {}
    /// A shard session changed state: it is connecting (to a failover endpoint too), logging in,
    /// up, reconnecting after a pause or stopped, and why. Raised in order with the session's
    /// other events: on_connect comes before its logging-in change, on_logged_in before its up
    /// change, on_disconnect before its reconnecting change.
    virtual void on_session_state(Client&, const SessionStateEvent& /*event*/) {}

    /// Whether this listener hears on_message_sent; Client::listener_add asks once. By default,
    /// whether its class overrides on_message_sent. While none of a Client's listeners hears
    /// it, written messages are not kept or reported, so publishing costs what it costs with no
    /// listener. Override it to say so where the default cannot tell (a listener that forwards
    /// every event somewhere else).
    virtual bool hears_message_sent() const;
    /// The same for on_message_received: while none of a Client's listeners hears it, a
    /// database answer is not copied to be reported.
    virtual bool hears_message_received() const;
};

/// The library's entry point: connects to named clusters, publishes to their relays,
/// subscribes to their center tables and queries their databases. client.hpp says which
/// threads run what, and which calls block.
class Client {
public:
    /// A client without clusters; its threads start here.
    Client();
    /// Stops every cluster (each session within about a second, whatever it is doing), delivers
    /// pending events, joins threads. Listeners that have not taken the pending events within
    /// 5 s lose the rest, told by a level-3 on_log with how many were dropped.
    ~Client();
    Client(const Client&) = delete;             ///< not copyable
    Client& operator=(const Client&) = delete;  ///< not copyable

    /// Starts the cluster's relay, center and database sessions. A second cluster of a
    /// registered name is refused with a level-3 on_log. With `wait`, returns once every
    /// session has logged in or tried each of its endpoints once (it keeps trying).
    void add_cluster(const Cluster& cluster, bool wait);
    /// As add_cluster without waiting; `on_done` runs (see Completion callbacks above) when the
    /// waiting form would have returned.
    void add_cluster_async(const Cluster& cluster, std::function<void()> on_done);
    /// Stops the cluster's sessions; what was published before is written ahead of each relay
    /// shard's logout. With `wait`, returns once they have stopped.
    void remove_cluster(std::string_view cluster_name, bool wait);
    /// As remove_cluster without waiting; `on_done` runs once the sessions have stopped.
    void remove_cluster_async(std::string_view cluster_name, std::function<void()> on_done);
    /// Registers a listener until the Client is destroyed; null is ignored.
    void listener_add(std::shared_ptr<ClientListener> listener);

    /// Publishes one object of type `object_type` and identifier `object_id` (none when empty)
    /// with its fields, names and values paired by position; `seqnum` is written when positive,
    /// `expires_on_ms` when not 0. Publishing never reports an unknown cluster, and blocks only
    /// as the full-buffer policy says.
    ///
    /// The relay text has no escaping: texts are written as they are, the type, the id and string
    /// values between double quotes, field names and char and byte values bare. A message the
    /// relay could not read back as written is therefore refused whole before anything of it is
    /// queued, with one level-3 on_log naming the cluster, the type, the id and the part at
    /// fault. What is accepted:
    /// - the type, the id and string values: any bytes but a line feed and a double quote;
    /// - field names: not empty, any bytes but a line feed, `|`, `=` and a double quote, and
    ///   none of `T`, `I`, `E` (the relay reads those as the type, the id and the expiry) nor
    ///   `id` in any case (the column that holds the object's id);
    /// - char values: any byte but a line feed, `|` and a double quote;
    /// - byte values: any bytes but a line feed and `|`, not beginning with a double quote;
    /// - float and double values: finite ones (the relay reads no number from nan or inf).
    /// Every other byte is sent unchanged (a `|` or `=` inside a string, tabs, CR, UTF-8, bytes
    /// that are not UTF-8).
    ///
    /// Only as many fields as there are both names and values are sent; a call whose counts
    /// differ raises one level-2 on_log. An unsigned 32-bit value is written in decimal without
    /// a suffix, as every integer of 32 bits or fewer is, and the relay reads it as a signed
    /// 32-bit Integer: values from 2^31 on come back negative (4000000000 as -294967296).
    /// Publish such values as std::uint64_t or std::int64_t; a call holding one is sent as it is
    /// and raises one level-2 on_log naming the fields.
    /// \snippet 01_publish.cpp publish
    void publish_object(std::string_view cluster_name, std::string_view object_type,
                        std::string_view object_id, const std::vector<std::string>& field_names,
                        const std::vector<FieldValue>& field_values, std::int64_t seqnum = 0,
                        std::int64_t expires_on_ms = 0);
    /// The exact text publish_object would send; sends nothing. Empty for a message
    /// publish_object would refuse (and no on_log is raised here).
    std::string serialize_object(std::string_view object_type, std::string_view object_id,
                                 const std::vector<std::string>& field_names,
                                 const std::vector<FieldValue>& field_values, std::int64_t seqnum = 0,
                                 std::int64_t expires_on_ms = 0);
    /// Why publish_object would refuse these arguments, as its level-3 on_log says it (`the value
    /// of field "text" holds a line feed, which the relay would not read back as written (type
    /// "Note", id "n1")`); empty when it would send them. Sends and logs nothing; any thread.
    static std::string object_refusal(std::string_view object_type, std::string_view object_id,
                                      const std::vector<std::string>& field_names,
                                      const std::vector<FieldValue>& field_values);
    /// The same for remove_object.
    static std::string removal_refusal(std::string_view object_id, std::string_view object_type);
    /// Sends `text` unchanged (no line feed is added); nothing in it is checked.
    void publish_raw(std::string_view cluster_name, std::string_view text);
    /// Publishes the removal of an object. Note the order: identifier, then type. Both are
    /// written between double quotes: one holding a line feed or a double quote is refused as
    /// publish_object refuses it, with a level-3 on_log, and nothing is sent.
    void remove_object(std::string_view cluster_name, std::string_view object_id,
                       std::string_view object_type, std::int64_t seqnum = 0);

    /// Waits until every message published before the call (by any thread, to every relay
    /// shard) has been delivered to its relay's host (see Delivery above), or until `timeout`
    /// has passed. Returns how many of those messages are still not delivered: 0 when all are.
    /// A message dropped by the full-buffer policy or replaced by conflation is no longer waited
    /// for. Callable from any thread, a listener callback included.
    std::size_t flush(std::chrono::milliseconds timeout);
    /// The same for the relay shards of one cluster; an unknown cluster raises a level-3 on_log
    /// and gives 0.
    std::size_t flush(std::string_view cluster_name, std::chrono::milliseconds timeout);
    /// As flush without blocking any thread: the messages waited for are those published before
    /// this call, and `on_done(left)` gets what flush would have returned. Destroying the Client
    /// ends the wait at once with what is left then.
    void flush_async(std::chrono::milliseconds timeout, std::function<void(std::size_t left)> on_done);
    /// The same for the relay shards of one cluster; an unknown cluster raises a level-3 on_log
    /// and gives 0.
    void flush_async(std::string_view cluster_name, std::chrono::milliseconds timeout,
                     std::function<void(std::size_t left)> on_done);

    /// Registers a relay command (wire texts in tyx/commands.hpp). A registered command invoked
    /// by a user arrives as ClientListener::on_command; answer it with send_command_response.
    void register_command(std::string_view cluster_name, const CommandDefinition& command);
    /// Answers the command request `request_id` with a status, a message and, when not empty,
    /// a script.
    void send_command_response(std::string_view cluster_name, std::string_view request_id,
                               std::int32_t status, std::string_view message, std::string_view script = {});
    /// Sends the help text that answers the command request `request_id`.
    void send_command_help(std::string_view cluster_name, std::string_view request_id,
                           std::string_view help_text);
    /// Writes the pause message, with `delay_ms` in milliseconds.
    void pause_commands(std::string_view cluster_name, std::int32_t delay_ms);

    /// Subscribes to `tables` on every center shard. Each table's snapshot arrives as on_update
    /// events, then every later change. With `wait`, returns once every center shard has
    /// answered for the tables, or after the cluster's SubscriptionConfig::snapshot_timeout_ms
    /// (30 s by default): a level-3 on_log then names the tables and the center shards that did
    /// not answer, and the subscription stays, completing when they do (on_snapshot_answered).
    /// \snippet 02_subscribe.cpp subscribe
    void subscribe(std::string_view cluster_name, std::vector<std::string> tables, bool wait);
    /// Subscribes as the other overload does, each table with the lists and flag of its
    /// CenterSubscription.
    void subscribe(std::string_view cluster_name, std::vector<CenterSubscription> subscriptions, bool wait);
    /// As subscribe without waiting; `on_done` runs when the waiting form would have returned:
    /// every center shard answered, or snapshot_timeout_ms passed (after its level-3 on_log).
    void subscribe_async(std::string_view cluster_name, std::vector<std::string> tables,
                         std::function<void()> on_done);
    /// The same with a CenterSubscription per table.
    void subscribe_async(std::string_view cluster_name, std::vector<CenterSubscription> subscriptions,
                         std::function<void()> on_done);
    /// Ends the subscriptions to `tables` on every center shard. With `wait`, returns once
    /// every center session has taken the request.
    void unsubscribe(std::string_view cluster_name, std::vector<std::string> tables, bool wait);
    /// As unsubscribe without waiting; `on_done` runs once every center session has taken it.
    void unsubscribe_async(std::string_view cluster_name, std::vector<std::string> tables,
                           std::function<void()> on_done);
    /// The schema announced by the lowest-numbered center shard that has it. Blocks. Schemas are
    /// kept for subscribed tables only; empty when no shard has one.
    std::optional<CenterTableSchema> get_table_schema(std::string_view cluster_name,
                                                      std::string_view table_name);
    /// As get_table_schema, handing the schema (or nothing) to `on_done`.
    void get_table_schema_async(std::string_view cluster_name, std::string_view table_name,
                                std::function<void(std::optional<CenterTableSchema>)> on_done);

    /// Runs `query` on every database shard and returns one cursor over all results. Blocks,
    /// within the deadline above. Never null. error_message() says what went wrong, shard by
    /// shard in shard order ("[shard i] text"): the server's own messages, and for a shard whose
    /// request failed (a timeout, a lost connection, an unreachable server) the failure, as in
    /// "[shard 0] Failed to execute SQL query: JDBC request timed out after 30000 ms"; the rows
    /// of the shards that answered are still there. An empty error_message() with no rows is an
    /// empty result; has_result_set() tells a statement without one. A failed shard also raises
    /// a level-3 on_log (one per call, for the lowest such shard). An unknown cluster gives an
    /// accessor over zero results whose error_message() is "Failed to execute SQL query: Cluster
    /// not found [name]", and the same level-3 on_log; a cluster without an enabled database
    /// shard likewise says "Failed to execute SQL query: Cluster has no enabled database shard
    /// [name]" (the uploads log the same with "Failed to execute bulk insert").
    ///
    /// A request is sent again once, on a fresh connection, only when the server cannot have
    /// executed it: its connection was found closed, or lost before the request was written
    /// whole. A statement that only reads (after spaces and comments it starts with SELECT,
    /// SHOW, DESCRIBE or EXPLAIN, is one statement and holds neither INTO nor ANALYZE) is also
    /// sent again after a connection lost later. Any other request, an upload's included, lost
    /// after it was sent is never repeated: its failure reads "[shard i] Failed to execute SQL
    /// query: the connection was lost after the request was sent; it may have been executed
    /// (cause)", and the session's health counts it in `unknown_outcomes`.
    /// \snippet 03_query.cpp query
    std::unique_ptr<TableAccessor> sql(std::string_view cluster_name, std::string_view query);
    /// As sql, without blocking: `callback` runs on the notification thread with an accessor that
    /// lives for that call only. It runs exactly once, whatever happens: on a failure, and when
    /// the Client is destroyed with the query in flight, its accessor has no result set and says
    /// what failed in error_message(), after the failure's level-3 on_log. An empty callback is
    /// rejected at once with a level-3 on_log and nothing is sent.
    void sql_async(std::string_view cluster_name, std::string_view query,
                   std::function<void(const TableAccessor&)>&& callback);
    /// As sql_async, handing the callback the accessor itself (never null) to keep: the result
    /// sql would have returned, without a copy.
    void sql_async_owned(std::string_view cluster_name, std::string_view query,
                         std::function<void(std::unique_ptr<TableAccessor>)>&& callback);

    /// Uploads a Table (built with Table::add_column) with one bulk insert per database shard.
    /// Any other accessor is refused with a level-3 on_log. When the upload fails on any shard
    /// (the server refused it, a timeout, an unreachable shard), one level-3 on_log says so:
    /// "Failed to execute bulk insert: [shard i] reason; ... (table name)". Blocks until every
    /// shard has answered or failed, within the deadline above.
    void sql_insert(std::string_view cluster_name, TableAccessor&& table);
    /// As sql_insert, without blocking.
    void sql_insert_async(std::string_view cluster_name, TableAccessor&& table);
    /// As sql_insert, without blocking; `on_done` runs once on the notification thread when every
    /// shard has answered or failed, after the failure's on_log if there was one.
    void sql_insert_async(std::string_view cluster_name, TableAccessor&& table,
                          std::function<void()> on_done);
    /// Creates the table when no shard knows it (`CREATE ... USE<suffix> InitialCapacity=n`), else
    /// empties it (DELETE), then inserts the rows. Blocks, all three steps within one deadline.
    /// A failure of the CREATE, the DELETE or the insert on any shard raises one level-3 on_log,
    /// as for sql_insert.
    /// \snippet 04_upload.cpp upload
    void sql_replace(std::string_view cluster_name, TableAccessor&& table, std::string_view suffix);
    /// As sql_replace; blocks for the first step only (creating or emptying the table).
    void sql_replace_async(std::string_view cluster_name, TableAccessor&& table, std::string_view suffix);
    /// As sql_replace without blocking at all: the table is taken over (a Table's rows are
    /// converted here), the three steps run in the background, and `on_done` runs once all of
    /// them have finished or failed, after the failure's level-3 on_log if there was one. A
    /// refused accessor is logged and `on_done` still runs.
    void sql_replace_async(std::string_view cluster_name, TableAccessor&& table, std::string_view suffix,
                           std::function<void()> on_done);

    /// What every shard session is doing and has counted, and how the notification queue
    /// fares. Any thread, a listener callback included; it never waits for the network.
    Health health() const;

    /// Low latency, opt in. After each event the notification thread keeps looking for the
    /// next one for up to `spin` (at most 1 s) before it sleeps, so an update arriving within
    /// that time reaches on_update without waiting for a thread to wake (tens of microseconds
    /// less). The cost is a busy core while events come less than `spin` apart. 0, the
    /// default, sleeps at once. Any thread, at any time.
    void set_notification_spin(std::chrono::microseconds spin);

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace tyx
