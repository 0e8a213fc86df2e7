// Client::Impl: the multiplexer behind a Client, with a pointer back to its Client, the
// adapter that turns internal listener events into public ones, and the table upload. Built
// and destroyed by the Client on an application thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string_view>

#include "multiplex/tyx_client_multiplex.hpp"
#include "tyx/client.hpp"

namespace tyx {

class Client::Impl : public TyxClientMultiplex {
public:
    Impl() = default;

    // Forwards every event to one ClientListener with the Client in place of the multiplexer.
    // Runs on the notification thread; nothing is caught.
    class TyxClientListenerWrapper final : public TyxClientListener {
    public:
        TyxClientListenerWrapper(Client& client, std::shared_ptr<ClientListener> listener)
            : client_(client), listener_(std::move(listener)) {}

        void on_connect(TyxClientMultiplex&, std::string_view name) override { listener_->on_connect(client_, name); }
        void on_disconnect(TyxClientMultiplex&, std::string_view name) override {
            listener_->on_disconnect(client_, name);
        }
        void on_logged_in(TyxClientMultiplex&, std::string_view name) override {
            listener_->on_logged_in(client_, name);
        }
        void on_message_sent(TyxClientMultiplex&, std::string_view name, std::string_view message) override {
            listener_->on_message_sent(client_, name, message);
        }
        void on_message_received(TyxClientMultiplex&, std::string_view name, std::int64_t now, std::int64_t seqnum,
                                 std::int32_t status, std::string_view message) override {
            listener_->on_message_received(client_, name, now, seqnum, status, message);
        }
        void on_command(TyxClientMultiplex&, std::string_view name, std::string_view request_id, std::string_view cmd,
                        std::string_view user_name, std::string_view object_type, std::string_view object_id,
                        const std::map<std::string, std::string>& params) override {
            listener_->on_command(client_, name, request_id, cmd, user_name, object_type, object_id, params);
        }
        void on_subscribe(TyxClientMultiplex&, std::string_view name, const std::vector<std::string>& tables) override {
            listener_->on_subscribe(client_, name, tables);
        }
        void on_update(TyxClientMultiplex&, std::string_view name, const TyxCenterIncrementalUpdate& update) override;
        void on_update_batch_end(TyxClientMultiplex&, std::string_view name) override {
            listener_->on_update_batch_end(client_, name);
        }
        void on_snapshot_answered(TyxClientMultiplex&, std::string_view name,
                                  const std::vector<std::string>& tables) override {
            listener_->on_snapshot_answered(client_, name, tables);
        }
        void on_log(TyxClientMultiplex&, std::string_view name, std::uint8_t level, std::string_view message) override {
            listener_->on_log(client_, name, level, message);
        }
        void on_session_state(TyxClientMultiplex&, std::string_view, const SessionStateEvent& event) override {
            listener_->on_session_state(client_, event);
        }

    private:
        Client& client_;
        std::shared_ptr<ClientListener> listener_;
        ClientListener::CenterIncrementalUpdate update_;  // reused by on_update
    };

    // Table upload; `table` must be a Table, anything else is refused with a level-3 log.
    void sql_insert(std::string_view cluster_name, TableAccessor&& table);
    void sql_insert_async(std::string_view cluster_name, TableAccessor&& table, std::function<void()> on_done);
    void sql_replace(std::string_view cluster_name, TableAccessor&& table, std::string_view suffix);
    void sql_replace_async(std::string_view cluster_name, TableAccessor&& table, std::string_view suffix);
    // The three steps of sql_replace on the control loop, blocking nobody; `on_done` (may be
    // empty) runs once on the notification loop after the failures are logged.
    void sql_replace_in_background(std::string_view cluster_name, TableAccessor&& table,
                                   std::string_view suffix, std::function<void()> on_done);

    Client* client = nullptr;  // set right after construction

private:
    // The Table behind `accessor`, or null (after a level-3 log naming `operation`).
    const Table* as_table(std::string_view cluster_name, const TableAccessor& accessor, std::string_view operation);
    // What failed in one upload: the first failure of each shard, a request that threw or an
    // answer that carries the server's message.
    class UploadFailures {
    public:
        // `step` names a statement before the insert ("" for the insert itself).
        void add(const ShardAnswers& answers, std::string_view step = {});
        // One level-3 on_log naming the table and every failed shard's reason, if any failed.
        // `here`: delivered at once, on the notification loop (see log_here).
        void report(TyxClientMultiplex& multiplex, std::string_view cluster_name, std::string_view table,
                    bool here) const;

    private:
        std::map<std::size_t, std::string> by_shard_;
    };

    // Probe, then CREATE or DELETE; blocking, within the deadline counted from `started`.
    UploadFailures prepare_replace(std::string_view cluster_name, const Table& table, std::string_view suffix,
                                   SessionClock::time_point started);
    // Inserts in the background; `on_done` (may be empty) runs once on the notification loop,
    // after the failures of the preparation and the insert are logged.
    void insert_async(std::string_view cluster_name, const Table& table, UploadFailures failures,
                      std::function<void()> on_done);
};

}  // namespace tyx
