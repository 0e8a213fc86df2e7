#include <cstring>
#include <future>
#include <type_traits>
#include <utility>
#include <variant>

#include "center/incremental_update.hpp"
#include "center/tyx_client_center.hpp"
#include "client/client_impl.hpp"
#include "client/multi_shard_table_accessor.hpp"
#include "multiplex/cluster_operations.hpp"
#include "rt/command_messages.hpp"
#include "rt/messages.hpp"

namespace tyx {

namespace {

// `to` made equal to `from`, the text left alone when it is already the same (a table's field
// names repeat from row to row) and `to`'s capacity kept when it is not.
inline void copy_text(std::string& to, const std::string& from) {
    if (to.size() != from.size() || std::memcmp(to.data(), from.data(), from.size()) != 0) to.assign(from);
}

// A value copied into `to`, in place when `to` holds the same alternative (as it does for the
// rows of one table): a number is stored directly, a text or bytes keep their capacity. Only a
// change of alternative goes through the variant's own assignment.
template <std::size_t... I>
inline void copy_value(FieldValue& to, const FieldValue& from, std::index_sequence<I...>) {
    const std::size_t index = from.index();
    if (to.index() != index) {
        to = from;
        return;
    }
    (void)((index == I && (*std::get_if<I>(&to) = *std::get_if<I>(&from), true)) || ...);
}

template <typename T>
inline void copy_vector(std::vector<T>& to, const std::vector<T>& from) {
    if (to.size() != from.size()) to.resize(from.size());
    for (std::size_t i = 0; i < from.size(); ++i) {
        if constexpr (std::is_same_v<T, std::string>)
            copy_text(to[i], from[i]);
        else
            copy_value(to[i], from[i], std::make_index_sequence<std::variant_size_v<FieldValue>>{});
    }
}

}  // namespace

void Client::Impl::TyxClientListenerWrapper::on_update(TyxClientMultiplex&, std::string_view name,
                                                       const TyxCenterIncrementalUpdate& update) {
    // A private copy for the call, made in the record this listener was handed last time: its
    // strings and vectors keep their capacity, so a stream of updates of one table copies
    // without allocating. Runs on the notification thread only.
    ClientListener::CenterIncrementalUpdate& copy = update_;
    copy.seqnum = update.seqnum;
    copy.action = update.action;
    copy.id = update.id;
    copy_text(copy.table_name, update.table_name);
    copy.object_id.assign(update.object_id);
    copy_vector(copy.field_names, update.field_names);
    copy_vector(copy.row_data, update.row_data);
    listener_->on_update(client_, name, copy);
}

namespace {

// Whether `self`'s class overrides the handler `pmf` names.
template <typename Pmf>
bool overrides(const ClientListener* self, Pmf pmf) {
#if defined(__GNUC__) && !defined(__clang__)
    // GCC gives the address of the function a virtual call would reach for this object (its
    // bound member function extension); the class overrides the handler exactly when that is
    // not ClientListener's own empty body.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpmf-conversions"
#pragma GCC diagnostic ignored "-Wpedantic"
    using Code = void (*)();
    static const ClientListener plain;
    auto* mine = const_cast<ClientListener*>(self);
    auto* base = const_cast<ClientListener*>(&plain);
    return reinterpret_cast<Code>(mine->*pmf) != reinterpret_cast<Code>(base->*pmf);
#pragma GCC diagnostic pop
#else
    // Elsewhere no portable test tells an override apart: count every listener as hearing.
    (void)self;
    (void)pmf;
    return true;
#endif
}

}  // namespace

bool ClientListener::hears_message_sent() const {
    return overrides(this, &ClientListener::on_message_sent);
}

bool ClientListener::hears_message_received() const {
    return overrides(this, &ClientListener::on_message_received);
}

Client::Client() : impl_(std::make_unique<Impl>(*this)) {}

Client::~Client() = default;

Health Client::health() const {
    return impl_->multiplex.health();
}

void Client::set_notification_spin(std::chrono::microseconds spin) {
    impl_->multiplex.set_notification_spin(spin);
}

void Client::add_cluster(const Cluster& cluster, bool wait) {
    impl_->multiplex.add_cluster(cluster, wait);
}

void Client::remove_cluster(std::string_view cluster_name, bool wait) {
    impl_->multiplex.remove_cluster(cluster_name, wait);
}

void Client::add_cluster_async(const Cluster& cluster, std::function<void()> on_done) {
    impl_->multiplex.add_cluster(cluster, false, std::move(on_done));
}

void Client::remove_cluster_async(std::string_view cluster_name, std::function<void()> on_done) {
    impl_->multiplex.remove_cluster(cluster_name, false, std::move(on_done));
}

void Client::listener_add(std::shared_ptr<ClientListener> listener) {
    if (!listener) return;
    impl_->multiplex.listener_add(
        std::make_shared<Impl::TyxClientListenerWrapper>(*this, std::move(listener)));
}

namespace {
// Each publishing thread writes its messages into one buffer of its own: the bytes are copied
// into the relays' outboxes before the call returns, so the buffer is free again at once.
// Initial-exec: a fixed offset from the thread pointer, without the call a shared library's
// thread-local otherwise costs on every access (the few bytes fit the static room the loader
// keeps for libraries opened at run time).
rt::Message& scratch_message() {
    [[gnu::tls_model("initial-exec")]] thread_local rt::Message message;
    return message;
}

// "[cluster c, type "T", id "i"]": which publication a log is about.
std::string publication_label(std::string_view cluster_name, std::string_view object_type,
                              std::string_view object_id) {
    return "[cluster " + std::string(cluster_name) + ", " + rt::describe_object(object_type, object_id) + "]";
}

void log_refusal(TyxClientMultiplex& multiplex, std::string_view operation, const rt::MessageCheck& check,
                 std::string_view cluster_name, std::string_view object_type, std::string_view object_id,
                 const std::vector<std::string>& field_names) {
    multiplex.count_refused(cluster_name);
    multiplex.log(cluster_name, 3,
                  "Failed to " + std::string(operation) + ": " + rt::describe_refusal(check, field_names) +
                      " " + publication_label(cluster_name, object_type, object_id));
}

// Logs what the check of an object found: a refusal (level 3; false: nothing is to be sent), or
// a publication that is sent but not as the caller may think (level 2): surplus names or values
// are left out, and wide unsigned 32-bit values wrap on the relay.
bool report_object_check(TyxClientMultiplex& multiplex, std::string_view cluster_name,
                         std::string_view object_type, std::string_view object_id,
                         const std::vector<std::string>& field_names,
                         const std::vector<FieldValue>& field_values, const rt::MessageCheck& check) {
    if (check.refused()) {
        log_refusal(multiplex, "publish object", check, cluster_name, object_type, object_id, field_names);
        return false;
    }
    const std::string label = publication_label(cluster_name, object_type, object_id);
    if (field_names.size() != field_values.size()) {
        auto count = [](std::size_t n, const char* noun) {
            return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
        };
        const std::size_t sent =
            field_names.size() < field_values.size() ? field_names.size() : field_values.size();
        multiplex.log(cluster_name, 2,
                      "Field names and values differ in number (" + count(field_names.size(), "name") + ", " +
                          count(field_values.size(), "value") + "): only " + count(sent, "field") + " sent " +
                          label);
    }
    if (check.wide_uint32 != rt::MessageCheck::npos)
        multiplex.log(cluster_name, 2,
                      rt::describe_wide_uint32(check, field_names, field_values) + " " + label);
    return true;
}
}  // namespace

void Client::publish_object(std::string_view cluster_name, std::string_view object_type,
                            std::string_view object_id, const std::vector<std::string>& field_names,
                            const std::vector<FieldValue>& field_values, std::int64_t seqnum,
                            std::int64_t expires_on_ms) {
    rt::Message& message = scratch_message();
    const rt::ObjectNotes notes = rt::write_object_message(message, object_type, object_id, field_names,
                                                           field_values, seqnum, expires_on_ms);
    // Writing notes what needs a word; the common clean message pays for nothing more.
    if (notes.needs_check || notes.wide_uint32 || field_names.size() != field_values.size()) [[unlikely]] {
        const rt::MessageCheck check =
            rt::check_object_message(object_type, object_id, field_names, field_values);
        if (!report_object_check(impl_->multiplex, cluster_name, object_type, object_id, field_names,
                                 field_values, check))
            return;
    }
    impl_->multiplex.publish(cluster_name, message.view(), false,
                             rt::MessageKey::version(object_type, object_id));
}

std::string Client::serialize_object(std::string_view object_type, std::string_view object_id,
                                     const std::vector<std::string>& field_names,
                                     const std::vector<FieldValue>& field_values, std::int64_t seqnum,
                                     std::int64_t expires_on_ms) {
    // A pooled message, not the publishing one: a distribution function may call this while the
    // message it routes sits in the scratch buffer.
    const rt::MessagePtr message = rt::MessagePool::instance().acquire('\0');
    // Empty for a message publish_object would refuse, as nothing would be sent.
    if (rt::write_object_message(*message, object_type, object_id, field_names, field_values, seqnum,
                                 expires_on_ms)
            .needs_check &&
        rt::check_object_message(object_type, object_id, field_names, field_values).refused())
        return {};
    return message->text();
}

std::string Client::object_refusal(std::string_view object_type, std::string_view object_id,
                                   const std::vector<std::string>& field_names,
                                   const std::vector<FieldValue>& field_values) {
    const rt::MessageCheck check =
        rt::check_object_message(object_type, object_id, field_names, field_values);
    if (!check.refused()) return {};
    return rt::describe_refusal(check, field_names) + " (" + rt::describe_object(object_type, object_id) +
           ")";
}

std::string Client::removal_refusal(std::string_view object_id, std::string_view object_type) {
    const rt::MessageCheck check = rt::check_remove_message(object_id, object_type);
    if (!check.refused()) return {};
    return rt::describe_refusal(check, {}) + " (" + rt::describe_object(object_type, object_id) + ")";
}

std::size_t Client::flush(std::chrono::milliseconds timeout) {
    return impl_->multiplex.flush(std::nullopt, timeout);
}

std::size_t Client::flush(std::string_view cluster_name, std::chrono::milliseconds timeout) {
    return impl_->multiplex.flush(cluster_name, timeout);
}

void Client::flush_async(std::chrono::milliseconds timeout, std::function<void(std::size_t)> on_done) {
    impl_->multiplex.flush_async(std::nullopt, timeout, std::move(on_done));
}

void Client::flush_async(std::string_view cluster_name, std::chrono::milliseconds timeout,
                         std::function<void(std::size_t)> on_done) {
    impl_->multiplex.flush_async(cluster_name, timeout, std::move(on_done));
}

void Client::publish_raw(std::string_view cluster_name, std::string_view text) {
    impl_->multiplex.publish(cluster_name, text, false);
}

void Client::remove_object(std::string_view cluster_name, std::string_view object_id,
                           std::string_view object_type, std::int64_t seqnum) {
    if (const rt::MessageCheck check = rt::check_remove_message(object_id, object_type); check.refused())
        [[unlikely]] {
        log_refusal(impl_->multiplex, "remove object", check, cluster_name, object_type, object_id, {});
        return;
    }
    rt::Message& message = scratch_message();
    rt::write_remove_message(message, object_id, object_type, seqnum);
    impl_->multiplex.publish(cluster_name, message.view(), false,
                             rt::MessageKey::removal(object_type, object_id));
}

void Client::register_command(std::string_view cluster_name, const CommandDefinition& command) {
    impl_->multiplex.send_object_message(cluster_name, rt::make_command_definition_message(command), false);
}

void Client::send_command_response(std::string_view cluster_name, std::string_view request_id,
                                   std::int32_t status, std::string_view message, std::string_view script) {
    impl_->multiplex.send_object_message(
        cluster_name, rt::make_command_response_message(request_id, status, message, script), false);
}

void Client::send_command_help(std::string_view cluster_name, std::string_view request_id,
                               std::string_view help_text) {
    impl_->multiplex.send_object_message(cluster_name, rt::make_command_help_message(request_id, help_text),
                                         false);
}

void Client::pause_commands(std::string_view cluster_name, std::int32_t delay_ms) {
    impl_->multiplex.send_object_message(cluster_name, rt::make_command_pause_message(delay_ms), false);
}

void Client::subscribe(std::string_view cluster_name, std::vector<std::string> tables, bool wait) {
    impl_->multiplex.subscribe(cluster_name, std::move(tables), wait);
}

namespace {
std::vector<SubscriptionRequest> subscription_requests(std::vector<CenterSubscription> subscriptions) {
    std::vector<SubscriptionRequest> requests;
    requests.reserve(subscriptions.size());
    for (auto& s : subscriptions) {
        SubscriptionRequest r{};
        r.table_name = std::move(s.table_name);
        r.first_list = std::move(s.first_list);
        r.second_list = std::move(s.second_list);
        r.flag = s.flag;
        requests.push_back(std::move(r));
    }
    return requests;
}
}  // namespace

void Client::subscribe(std::string_view cluster_name, std::vector<CenterSubscription> subscriptions,
                       bool wait) {
    impl_->multiplex.subscribe(cluster_name, subscription_requests(std::move(subscriptions)), wait);
}

void Client::subscribe_async(std::string_view cluster_name, std::vector<std::string> tables,
                             std::function<void()> on_done) {
    // Without a callback nobody waits for the answers: the plain form does the same.
    impl_->multiplex.subscribe(cluster_name, std::move(tables), false, std::move(on_done));
}

void Client::subscribe_async(std::string_view cluster_name, std::vector<CenterSubscription> subscriptions,
                             std::function<void()> on_done) {
    impl_->multiplex.subscribe(cluster_name, subscription_requests(std::move(subscriptions)), false,
                               std::move(on_done));
}

void Client::unsubscribe(std::string_view cluster_name, std::vector<std::string> tables, bool wait) {
    impl_->multiplex.unsubscribe(cluster_name, std::move(tables), wait);
}

void Client::unsubscribe_async(std::string_view cluster_name, std::vector<std::string> tables,
                               std::function<void()> on_done) {
    impl_->multiplex.unsubscribe(cluster_name, std::move(tables), false, std::move(on_done));
}

std::optional<CenterTableSchema> Client::get_table_schema(std::string_view cluster_name,
                                                          std::string_view table_name) {
    return impl_->multiplex.get_table_schema(cluster_name, table_name);
}

void Client::get_table_schema_async(std::string_view cluster_name, std::string_view table_name,
                                    std::function<void(std::optional<CenterTableSchema>)> on_done) {
    impl_->multiplex.get_table_schema_async(cluster_name, table_name, std::move(on_done));
}

namespace {

// The text of the lowest failed shard, as the failure's log says it, or "".
std::string query_failure(const ShardAnswers& answers) {
    return answers.failure(kQueryFailed);
}

// The answers as one accessor: a failed shard reports its failure in shard order, beside the
// servers' messages, and so does an unknown cluster.
MultiShardTableAccessor query_accessor(ShardAnswers&& answers) {
    std::vector<std::string> failures = std::move(answers.failures);
    for (auto& failure : failures)
        if (!failure.empty()) failure.insert(0, std::string(kQueryFailed) + ": ");
    return MultiShardTableAccessor(std::move(answers.results), std::move(failures),
                                   std::move(answers.cluster_failure));
}

// Runs `query` on every database shard and hands the answers, as one accessor, to `deliver` on
// the notification thread, after the failure's log. It runs once whatever happens, a failure or
// the Client stopping included. A call without a callback (`callback_given` false) is refused
// with a log: the empty callback would end the process when called.
template <typename Deliver>
void query_then(TyxClientMultiplex& multiplex, std::string_view cluster_name, std::string_view query,
                bool callback_given, Deliver deliver) {
    if (!callback_given) {
        multiplex.log(cluster_name, 3, std::string(kQueryFailed) + ": empty callback");
        return;
    }
    multiplex.query_shards_async(cluster_name, query,
                                 // Only the multiplexer: a callback may run while the Client is being
                                 // destroyed, once only the multiplexer is left.
                                 [m = &multiplex, name = std::string(cluster_name),
                                  deliver = std::move(deliver)](ShardAnswers answers) {
                                     if (std::string failure = query_failure(answers); !failure.empty())
                                         m->log_here(name, 3, failure);
                                     deliver(query_accessor(std::move(answers)));
                                 });
}

}  // namespace

std::unique_ptr<TableAccessor> Client::sql(std::string_view cluster_name, std::string_view query) {
    ShardAnswers answers = impl_->multiplex.query_shards(cluster_name, query, SessionClock::now());
    if (std::string failure = query_failure(answers); !failure.empty())
        impl_->multiplex.log(cluster_name, 3, std::move(failure));
    return std::make_unique<MultiShardTableAccessor>(query_accessor(std::move(answers)));
}

void Client::sql_async(std::string_view cluster_name, std::string_view query,
                       std::function<void(const TableAccessor&)>&& callback) {
    const bool given = static_cast<bool>(callback);
    query_then(impl_->multiplex, cluster_name, query, given,
               [callback = std::move(callback)](MultiShardTableAccessor&& accessor) { callback(accessor); });
}

void Client::sql_async_owned(std::string_view cluster_name, std::string_view query,
                             std::function<void(std::unique_ptr<TableAccessor>)>&& callback) {
    const bool given = static_cast<bool>(callback);
    query_then(impl_->multiplex, cluster_name, query, given,
               [callback = std::move(callback)](MultiShardTableAccessor&& accessor) {
                   callback(std::make_unique<MultiShardTableAccessor>(std::move(accessor)));
               });
}

void Client::sql_insert(std::string_view cluster_name, TableAccessor&& table) {
    impl_->upload.sql_insert(cluster_name, std::move(table));
}

void Client::sql_insert_async(std::string_view cluster_name, TableAccessor&& table) {
    impl_->upload.sql_insert_async(cluster_name, std::move(table), nullptr);
}

void Client::sql_insert_async(std::string_view cluster_name, TableAccessor&& table,
                              std::function<void()> on_done) {
    impl_->upload.sql_insert_async(cluster_name, std::move(table), std::move(on_done));
}

void Client::sql_replace(std::string_view cluster_name, TableAccessor&& table, std::string_view suffix) {
    impl_->upload.sql_replace(cluster_name, std::move(table), suffix);
}

void Client::sql_replace_async(std::string_view cluster_name, TableAccessor&& table,
                               std::string_view suffix) {
    impl_->upload.sql_replace_async(cluster_name, std::move(table), suffix);
}

void Client::sql_replace_async(std::string_view cluster_name, TableAccessor&& table, std::string_view suffix,
                               std::function<void()> on_done) {
    impl_->upload.sql_replace_in_background(cluster_name, std::move(table), suffix, std::move(on_done));
}

}  // namespace tyx
