// The sessions' events on their way to the listeners: each is posted as one job to the
// notification loop, which calls every registered listener in registration order.
#include <asio/bind_allocator.hpp>

#include "core/job_slot.hpp"
#include "multiplex/tyx_client_multiplex.hpp"

namespace tyx {

void TyxClientMultiplex::connected(std::string_view client) {
    notify_listeners([this, name = std::string(client)](TyxClientListener& l) { l.on_connect(*this, name); });
}

void TyxClientMultiplex::disconnected(std::string_view client) {
    notify_listeners(
        [this, name = std::string(client)](TyxClientListener& l) { l.on_disconnect(*this, name); });
}

void TyxClientMultiplex::logged_in(std::string_view client) {
    notify_listeners(
        [this, name = std::string(client)](TyxClientListener& l) { l.on_logged_in(*this, name); });
}

void TyxClientMultiplex::message_sent(std::string_view client, std::string text) {
    notify_listeners([this, name = std::string(client), text = std::move(text)](TyxClientListener& l) {
        l.on_message_sent(*this, name, text);
    });
}

void TyxClientMultiplex::message_received(std::string_view client, std::int64_t now, std::int64_t seqnum,
                                          std::int32_t status, std::string text) {
    notify_listeners([this, name = std::string(client), now, seqnum, status,
                      text = std::move(text)](TyxClientListener& l) {
        l.on_message_received(*this, name, now, seqnum, status, text);
    });
}

void TyxClientMultiplex::session_state(std::string_view client,
                                       std::shared_ptr<const SessionStateEvent> event) {
    notify_listeners([this, name = std::string(client), event = std::move(event)](TyxClientListener& l) {
        l.on_session_state(*this, name, *event);
    });
}

void TyxClientMultiplex::log(std::string_view cluster_name, std::uint8_t level, std::string message) {
    notify_listeners([this, name = std::string(cluster_name), level, text = std::move(message)](
                         TyxClientListener& l) { l.on_log(*this, name, level, text); });
}

void TyxClientMultiplex::messages_written(std::string_view client, rt::WrittenMessages written) {
    notify_listeners([this, name = std::string(client), written = std::move(written)](TyxClientListener& l) {
        written.for_each([&](std::string_view text) { l.on_message_sent(*this, name, text); });
    });
}

void TyxClientMultiplex::command(std::string_view client, rt::ExecuteCommandMessage c) {
    notify_listeners([this, name = std::string(client), c = std::move(c)](TyxClientListener& l) {
        l.on_command(*this, name, c.request_id, c.cmd, c.user_name, c.object_type, c.object_id, c.params);
    });
}

void TyxClientMultiplex::subscribed(std::string_view client, std::vector<std::string> tables) {
    notify_listeners([this, name = std::string(client), tables = std::move(tables)](TyxClientListener& l) {
        l.on_subscribe(*this, name, tables);
    });
}

void TyxClientMultiplex::updates_released(std::string_view client, center::ReleasedUpdates released) {
    notify_listeners(
        [this, name = std::string(client), released = std::move(released)](TyxClientListener& l) mutable {
            released.count_once();
            for (const auto& u : released.updates) l.on_update(*this, name, *u);
            if (!released.answered.empty()) l.on_snapshot_answered(*this, name, released.answered);
            if (!released.updates.empty()) l.on_update_batch_end(*this, name);
        });
}

void TyxClientMultiplex::update_batch(center::DeliveredBatch delivered, std::size_t payload_bytes) {
    // The job lives in the batch's own slot, so handing a batch over allocates nothing.
    const JobSlotAllocator<void> allocator(&delivered.batch->job_slot);
    const std::size_t count = delivered.batch->size();
    notify_updates(allocator, count, payload_bytes,
                   [this, delivered = std::move(delivered)](TyxClientListener& l) mutable {
                       const std::string& name = delivered.pool->client_name();
                       delivered.count_once();
                       for (const TyxCenterIncrementalUpdate& u : *delivered.batch) {
                           // A client closing past its drain deadline stops mid-batch.
                           if (past_drain_deadline()) break;
                           l.on_update(*this, name, u);
                       }
                       l.on_update_batch_end(*this, name);
                   });
}

}  // namespace tyx
