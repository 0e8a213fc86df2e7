// Client::Impl: what a Client holds: the multiplexer (the engine), a reference back to the
// Client, the adapter that turns internal listener events into public ones, and the table
// upload. Built and destroyed by the Client on an application thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string_view>

#include "client/table_upload.hpp"
#include "multiplex/tyx_client_multiplex.hpp"
#include "tyx/client.hpp"

namespace tyx {

class Client::Impl {
public:
    // Forwards every event to one ClientListener with the Client in place of the multiplexer.
    // Runs on the notification thread; nothing is caught.
    class TyxClientListenerWrapper final : public TyxClientListener {
    public:
        TyxClientListenerWrapper(Client& client, std::shared_ptr<ClientListener> listener)
            : client_(client),
              listener_(std::move(listener)),
              hears_sent_(listener_->hears_message_sent()),
              hears_received_(listener_->hears_message_received()) {}

        bool hears_message_sent() const override { return hears_sent_; }
        bool hears_message_received() const override { return hears_received_; }

        void on_connect(TyxClientMultiplex&, std::string_view name) override {
            listener_->on_connect(client_, name);
        }
        void on_disconnect(TyxClientMultiplex&, std::string_view name) override {
            listener_->on_disconnect(client_, name);
        }
        void on_logged_in(TyxClientMultiplex&, std::string_view name) override {
            listener_->on_logged_in(client_, name);
        }
        void on_message_sent(TyxClientMultiplex&, std::string_view name, std::string_view message) override {
            listener_->on_message_sent(client_, name, message);
        }
        void on_message_received(TyxClientMultiplex&, std::string_view name, std::int64_t now,
                                 std::int64_t seqnum, std::int32_t status,
                                 std::string_view message) override {
            listener_->on_message_received(client_, name, now, seqnum, status, message);
        }
        void on_command(TyxClientMultiplex&, std::string_view name, std::string_view request_id,
                        std::string_view cmd, std::string_view user_name, std::string_view object_type,
                        std::string_view object_id,
                        const std::map<std::string, std::string>& params) override {
            listener_->on_command(client_, name, request_id, cmd, user_name, object_type, object_id, params);
        }
        void on_subscribe(TyxClientMultiplex&, std::string_view name,
                          const std::vector<std::string>& tables) override {
            listener_->on_subscribe(client_, name, tables);
        }
        void on_update(TyxClientMultiplex&, std::string_view name,
                       const TyxCenterIncrementalUpdate& update) override;
        void on_update_batch_end(TyxClientMultiplex&, std::string_view name) override {
            listener_->on_update_batch_end(client_, name);
        }
        void on_snapshot_answered(TyxClientMultiplex&, std::string_view name,
                                  const std::vector<std::string>& tables) override {
            listener_->on_snapshot_answered(client_, name, tables);
        }
        void on_log(TyxClientMultiplex&, std::string_view name, std::uint8_t level,
                    std::string_view message) override {
            listener_->on_log(client_, name, level, message);
        }
        void on_session_state(TyxClientMultiplex&, std::string_view,
                              const SessionStateEvent& event) override {
            listener_->on_session_state(client_, event);
        }

    private:
        Client& client_;
        std::shared_ptr<ClientListener> listener_;
        const bool hears_sent_;
        const bool hears_received_;
        ClientListener::CenterIncrementalUpdate update_;  // reused by on_update
    };

    explicit Impl(Client& owner) : client(owner), upload(multiplex) {}

    Client& client;
    // Destroyed after the upload: its destructor still runs what the control loop holds, which
    // may be an upload's background steps (they hold the multiplexer only).
    TyxClientMultiplex multiplex;
    TableUpload upload;
};

}  // namespace tyx
