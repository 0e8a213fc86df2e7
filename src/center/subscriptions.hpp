// The subscription side of a center client: what one table subscription asks for, the registry
// of subscribed tables with the updates each holds back until its snapshot has been answered,
// and the request message that names the tables. Everything here lives on the center client's
// event-loop thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "center/incremental_update.hpp"
#include "core/byte_buffer.hpp"
#include "tyx/schema.hpp"

namespace tyx {

// Where a subscribed table hands the rows it releases: the center client that owns it.
class Subscriber {
public:
    virtual ~Subscriber() = default;
    virtual void update(TyxCenterIncrementalUpdatePtr update) = 0;
};

// One table to subscribe. The two lists and the flag are the center's business; the library
// only carries them. Built from a table name alone, the rest is empty.
struct SubscriptionRequest {
    std::string table_name;
    std::vector<std::string> first_list;   // sent as position 2
    std::vector<std::string> second_list;  // sent as position 4
    bool flag = false;                     // sent as position 3

    bool operator==(const SubscriptionRequest&) const = default;
};

// One subscribed table. Until its snapshot answer arrives it is not live and keeps every update
// in arrival order; from then on updates go straight to the subscriber.
class SubscribedTable {
public:
    SubscribedTable(SubscriptionRequest request, Subscriber& subscriber, std::uint32_t request_number)
        : request_(std::move(request)), subscriber_(&subscriber), request_number_(request_number) {}

    void add_update(TyxCenterIncrementalUpdatePtr update);
    // Keeps the update while not live (its contents moved into a shared record) and gives
    // false; once live gives true and leaves delivering it to the caller.
    bool take_or_pass(TyxCenterIncrementalUpdate& update);
    // A snapshot answer arrived; `responses` answers in all. Once this table's own request is
    // answered it goes live and releases its buffer in order, without the updates older than
    // `last_seqnum` (the snapshot already contains them). True when it went live now.
    bool snapshot_received(std::uint32_t responses, std::int64_t last_seqnum);

    const SubscriptionRequest& request() const { return request_; }
    bool live() const { return live_; }
    std::uint32_t request_number() const { return request_number_; }
    std::size_t buffered() const { return buffer_.size(); }
    const std::optional<CenterTableSchema>& schema() const { return schema_; }
    void set_schema(CenterTableSchema schema) { schema_ = std::move(schema); }

private:
    SubscriptionRequest request_;
    std::deque<TyxCenterIncrementalUpdatePtr> buffer_;
    bool live_ = false;
    Subscriber* subscriber_;
    std::uint32_t request_number_;
    std::optional<CenterTableSchema> schema_;
};

// The tables a center client subscribes to, by name, and the number of requests issued.
class SubscribedTables {
public:
    explicit SubscribedTables(Subscriber& subscriber) : subscriber_(subscriber) {}

    // Registers the requests under a new request number and returns those that must be sent:
    // a table already subscribed with an equal request is left as it is; any other replaces
    // the table of its name (buffer and schema dropped). When nothing is new, no request
    // number is used up.
    std::vector<SubscriptionRequest> add_for_subscription(const std::vector<SubscriptionRequest>& requests);
    // Routes a decoded update to its table; an update for a table not subscribed is dropped.
    void add_update(TyxCenterIncrementalUpdatePtr update);
    // The same for a record of a decoded batch: true when its table is live, and the caller
    // delivers it; a table waiting for its snapshot takes the record's contents into its
    // buffer; for a table not subscribed the record is left alone. Both give false. The table
    // found is remembered for the next record, which is mostly of the same table.
    bool route(TyxCenterIncrementalUpdate& update);
    // Tells every table that `responses` snapshot answers have arrived; returns the names of the
    // tables that went live, sorted.
    std::vector<std::string> snapshot_received(std::uint32_t responses, std::int64_t last_seqnum);
    // Keeps the schema for a subscribed table; schemas of other tables are ignored.
    void set_schema(const std::string& table_name, CenterTableSchema schema);
    // Every table's request, in no particular order; the registry is emptied.
    std::vector<SubscriptionRequest> aquire_current_tables();
    // Drops the named tables and returns the names that were subscribed, in the given order.
    std::vector<std::string> remove(const std::vector<std::string>& names);

    const SubscribedTable* find(std::string_view table_name) const;
    std::optional<CenterTableSchema> table_schema(std::string_view table_name) const;
    // The schemas held, by table name.
    std::vector<std::pair<std::string, CenterTableSchema>> schemas() const;
    std::size_t size() const { return tables_.size(); }
    std::uint32_t request_counter() const { return request_counter_; }

private:
    void forget_routed() { routed_known_ = false; }

    Subscriber& subscriber_;
    std::unordered_map<std::string, SubscribedTable> tables_;
    std::uint32_t request_counter_ = 0;
    // The table the last routed record named (null: not subscribed), until the tables change.
    std::string routed_name_;
    SubscribedTable* routed_table_ = nullptr;
    bool routed_known_ = false;
};

// What a center client remembers of its subscriptions across connections: the tables, the
// subscribe calls waiting for their answer, and the snapshot answers counted on the current
// connection. It decides what to request and whom to release; the client only writes the
// requests and reads the answers. Runs on the center client's loop; a released callback may
// subscribe again.
class SubscriptionState {
public:
    explicit SubscriptionState(Subscriber& subscriber) : tables_(subscriber) {}

    // Registers the requests and returns the tables to request now (see add_for_subscription).
    // `done` runs once the center has answered that request; when nothing is new, once the
    // requests the tables still wait for are answered (at once when every one is live).
    std::vector<SubscriptionRequest> subscribe(const std::vector<SubscriptionRequest>& requests,
                                               std::function<void()> done);
    // Drops the named tables and returns those that were subscribed, to be named to the center.
    std::vector<std::string> unsubscribe(const std::vector<std::string>& names) {
        return tables_.remove(names);
    }

    // After every handshake: requests written on an earlier connection will never be answered,
    // so every table is registered again under one new request, sorted by name, with its
    // schema kept and its rows and live state started over; every waiting call now waits for
    // that request's answer. Returns the tables to request (none: the waiting calls ran).
    std::vector<SubscriptionRequest> reconnected();
    // A snapshot answer arrived: the tables it answers go live and release their rows to the
    // subscriber, without those older than `last_seqnum`. Returns their names, sorted.
    std::vector<std::string> snapshot_answered(std::int64_t last_seqnum);
    // Runs the calls whose request has been answered, in the order they were made.
    void release_answered();
    // No answer can come any more (stopping): every waiting call runs.
    void release_all();

    SubscribedTables& tables() { return tables_; }
    const SubscribedTables& tables() const { return tables_; }
    std::uint32_t snapshot_count() const { return snapshot_count_; }
    std::size_t waiting_calls() const { return pending_.size(); }

private:
    // A subscribe call waiting for the answer to its request.
    struct PendingSubscribe {
        std::uint32_t request_number = 0;
        std::function<void()> callback;
    };
    static void run(std::vector<std::function<void()>> callbacks);

    SubscribedTables tables_;
    std::vector<PendingSubscribe> pending_;
    std::uint32_t snapshot_count_ = 0;
};

namespace center {

// The value carried at position 2 of every snapshot request.
inline constexpr std::uint32_t kSnapshotRequestValue = 20000;
inline constexpr std::string_view kClientIdentity = "tyx_client_cpp";

// Appends one framed snapshot request for `requests` to `out` (which must be empty or end on a
// frame boundary at offset 0): a subscription, or with `remove` an unsubscription. `now_ms` is
// the request's time stamp in milliseconds since the Unix epoch.
void build_snapshot_request(ByteVector& out, const std::vector<SubscriptionRequest>& requests, bool remove,
                            std::uint32_t value, std::string_view process_uid, std::int64_t now_ms);

}  // namespace center
}  // namespace tyx
