#include "center/subscriptions.hpp"

#include <algorithm>

#include "center/center_codec.hpp"
#include "core/type_codes.hpp"

namespace tyx {

// ---- SubscribedTable ------------------------------------------------------------------------

void SubscribedTable::add_update(TyxCenterIncrementalUpdatePtr update) {
    if (live_) {
        subscriber_->update(std::move(update));
        return;
    }
    buffer_.push_back(std::move(update));
}

bool SubscribedTable::take_or_pass(TyxCenterIncrementalUpdate& update) {
    if (live_) return true;
    buffer_.push_back(std::make_shared<const TyxCenterIncrementalUpdate>(std::move(update)));
    return false;
}

bool SubscribedTable::snapshot_received(std::uint32_t responses, std::int64_t last_seqnum) {
    if (live_ || request_number_ > responses) return false;
    live_ = true;
    std::deque<TyxCenterIncrementalUpdatePtr> held;
    held.swap(buffer_);
    for (auto& update : held) {
        if (update->seqnum < last_seqnum) continue;
        subscriber_->update(std::move(update));
    }
    return true;
}

// ---- SubscribedTables -----------------------------------------------------------------------

std::vector<SubscriptionRequest> SubscribedTables::add_for_subscription(
    const std::vector<SubscriptionRequest>& requests) {
    forget_routed();
    ++request_counter_;
    std::vector<SubscriptionRequest> added;
    for (const auto& request : requests) {
        auto it = tables_.find(request.table_name);
        if (it != tables_.end()) {
            if (it->second.request() == request) continue;
            tables_.erase(it);
        }
        tables_.emplace(request.table_name, SubscribedTable(request, subscriber_, request_counter_));
        added.push_back(request);
    }
    if (added.empty()) --request_counter_;
    return added;
}

void SubscribedTables::add_update(TyxCenterIncrementalUpdatePtr update) {
    auto it = tables_.find(update->table_name);
    if (it == tables_.end()) return;
    it->second.add_update(std::move(update));
}

bool SubscribedTables::route(TyxCenterIncrementalUpdate& update) {
    if (!routed_known_ || update.table_name != routed_name_) {
        auto it = tables_.find(update.table_name);
        routed_table_ = it == tables_.end() ? nullptr : &it->second;
        routed_name_ = update.table_name;
        routed_known_ = true;
    }
    return routed_table_ != nullptr && routed_table_->take_or_pass(update);
}

std::vector<std::string> SubscribedTables::snapshot_received(std::uint32_t responses, std::int64_t last_seqnum) {
    std::vector<std::string> went_live;
    for (auto& [name, table] : tables_)
        if (table.snapshot_received(responses, last_seqnum)) went_live.push_back(name);
    std::sort(went_live.begin(), went_live.end());
    return went_live;
}

void SubscribedTables::set_schema(const std::string& table_name, CenterTableSchema schema) {
    auto it = tables_.find(table_name);
    if (it != tables_.end()) it->second.set_schema(std::move(schema));
}

std::vector<SubscriptionRequest> SubscribedTables::aquire_current_tables() {
    std::vector<SubscriptionRequest> requests;
    requests.reserve(tables_.size());
    for (auto& [name, table] : tables_) requests.push_back(table.request());
    forget_routed();
    tables_.clear();
    return requests;
}

std::vector<std::string> SubscribedTables::remove(const std::vector<std::string>& names) {
    forget_routed();
    std::vector<std::string> removed;
    for (const auto& name : names)
        if (tables_.erase(name) > 0) removed.push_back(name);
    return removed;
}

const SubscribedTable* SubscribedTables::find(std::string_view table_name) const {
    auto it = tables_.find(std::string(table_name));
    return it == tables_.end() ? nullptr : &it->second;
}

std::optional<CenterTableSchema> SubscribedTables::table_schema(std::string_view table_name) const {
    const SubscribedTable* table = find(table_name);
    if (table == nullptr) return std::nullopt;
    return table->schema();
}

std::vector<std::pair<std::string, CenterTableSchema>> SubscribedTables::schemas() const {
    std::vector<std::pair<std::string, CenterTableSchema>> out;
    for (const auto& [name, table] : tables_)
        if (table.schema()) out.emplace_back(name, *table.schema());
    return out;
}

// ---- The request message --------------------------------------------------------------------

std::vector<SubscriptionRequest> SubscriptionState::subscribe(
    const std::vector<SubscriptionRequest>& requests, std::function<void()> done) {
    std::vector<SubscriptionRequest> added = tables_.add_for_subscription(requests);
    if (!added.empty()) {
        if (done) pending_.push_back({tables_.request_counter(), std::move(done)});
        return added;
    }
    // Nothing new to request; a table still waiting for an earlier request's answer is not
    // answered for this caller either, who then waits for the newest such request.
    std::uint32_t awaited = 0;
    for (const auto& r : requests)
        if (const SubscribedTable* table = tables_.find(r.table_name); table != nullptr && !table->live())
            awaited = std::max(awaited, table->request_number());
    if (awaited > snapshot_count_) {
        if (done) pending_.push_back({awaited, std::move(done)});
    } else if (done) {
        done();
    }
    return added;
}

std::vector<SubscriptionRequest> SubscriptionState::reconnected() {
    snapshot_count_ = tables_.request_counter();
    std::vector<std::pair<std::string, CenterTableSchema>> schemas = tables_.schemas();
    std::vector<SubscriptionRequest> again = tables_.aquire_current_tables();
    if (again.empty()) {
        release_answered();
        return again;
    }
    std::sort(again.begin(), again.end(), [](const SubscriptionRequest& a, const SubscriptionRequest& b) {
        return a.table_name < b.table_name;
    });
    tables_.add_for_subscription(again);
    for (auto& p : pending_) p.request_number = tables_.request_counter();
    for (auto& [name, schema] : schemas) tables_.set_schema(name, std::move(schema));
    return again;
}

std::vector<std::string> SubscriptionState::snapshot_answered(std::int64_t last_seqnum) {
    ++snapshot_count_;
    return tables_.snapshot_received(snapshot_count_, last_seqnum);
}

void SubscriptionState::release_answered() {
    // Taken out first: a callback may subscribe again and add to the list.
    std::vector<std::function<void()>> ready;
    auto answered = std::stable_partition(pending_.begin(), pending_.end(), [&](const PendingSubscribe& p) {
        return p.request_number > snapshot_count_;
    });
    for (auto p = answered; p != pending_.end(); ++p) ready.push_back(std::move(p->callback));
    pending_.erase(answered, pending_.end());
    run(std::move(ready));
}

void SubscriptionState::release_all() {
    std::vector<std::function<void()>> all;
    for (auto& p : pending_) all.push_back(std::move(p.callback));
    pending_.clear();
    run(std::move(all));
}

void SubscriptionState::run(std::vector<std::function<void()>> callbacks) {
    for (auto& callback : callbacks)
        if (callback) callback();
}

namespace center {
namespace {

void append_field(ByteVector& out, std::uint8_t pid, TypeCode type) {
    append_u8(out, pid);
    append_u8(out, code_of(type));
}

void append_string_list(ByteVector& out, std::uint8_t pid, const std::vector<std::string>& strings) {
    append_field(out, pid, TypeCode::List);
    append_be<std::uint32_t>(out, static_cast<std::uint32_t>(strings.size()));
    append_u8(out, code_of(TypeCode::String));
    for (const auto& s : strings) append_utf_string(out, s);
}

void append_query_entry(ByteVector& out, const SubscriptionRequest& request, bool remove) {
    append_vid(out, kVidQueryEntry);
    append_u8(out, kEncodingByPosition);
    append_field(out, 1, TypeCode::String);
    append_utf_string(out, request.table_name);
    if (!request.first_list.empty()) append_string_list(out, 2, request.first_list);
    append_field(out, 3, TypeCode::PrimitiveBoolean);
    append_u8(out, request.flag ? 1 : 0);
    if (!request.second_list.empty()) append_string_list(out, 4, request.second_list);
    if (remove) {
        append_field(out, 5, TypeCode::PrimitiveBoolean);
        append_u8(out, 1);
    }
    append_u8(out, kPositionalEnd);
}

}  // namespace

void build_snapshot_request(ByteVector& out, const std::vector<SubscriptionRequest>& requests, bool remove,
                            std::uint32_t value, std::string_view process_uid, std::int64_t now_ms) {
    begin_frame(out);
    append_message_preamble(out, kVidEnvelope, kEncodingByPosition);

    // Position 1: the request body, by name, whose one field "action" is the snapshot query.
    append_field(out, 1, TypeCode::Message);
    append_vid(out, kVidRequestBody);
    append_u8(out, kEncodingByName);
    constexpr std::string_view kAction = "action";
    append_be<std::uint16_t>(out, static_cast<std::uint16_t>(kAction.size()));
    append_bytes(out, kAction);
    append_u8(out, code_of(TypeCode::Message));

    append_vid(out, kVidSnapshotQuery);
    append_u8(out, kEncodingByPosition);
    append_field(out, 2, TypeCode::PrimitiveInt);
    append_be<std::uint32_t>(out, value);
    append_field(out, 4, TypeCode::PrimitiveBoolean);
    append_u8(out, 1);
    append_field(out, 3, TypeCode::List);
    append_be<std::uint32_t>(out, static_cast<std::uint32_t>(requests.size()));
    if (!requests.empty()) {
        append_u8(out, code_of(TypeCode::Message));
        for (const auto& request : requests) append_query_entry(out, request, remove);
    }
    append_field(out, 51, TypeCode::String);
    append_utf_string(out, kClientIdentity);
    append_field(out, 54, TypeCode::PrimitiveLong);
    append_be<std::int64_t>(out, now_ms);
    append_u8(out, kPositionalEnd);
    append_be<std::uint16_t>(out, 0);  // end of the request body's named fields

    append_field(out, 2, TypeCode::Null);
    append_field(out, 3, TypeCode::String);
    append_utf_string(out, process_uid);
    append_field(out, 4, TypeCode::Null);
    append_field(out, 5, TypeCode::Null);
    append_u8(out, kPositionalEnd);
    finish_frame(out);
}

}  // namespace center
}  // namespace tyx
