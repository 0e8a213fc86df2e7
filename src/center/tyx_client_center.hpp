// TyxClientCenter: the session with one center shard of one cluster. It holds two connections
// to the same center endpoint (the center writes to the client on the inbound one, the client
// writes its requests on the outbound one), introduces itself on both, decodes every frame the
// center sends, orders snapshot rows and live updates per subscribed table, and after a lost
// connection reconnects and subscribes its tables again. Lives on the multiplexer's control
// loop; every member runs there.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "center/center_events.hpp"
#include "center/change_decoder.hpp"
#include "center/subscriptions.hpp"
#include "center/update_batch.hpp"
#include "core/byte_buffer.hpp"
#include "core/tyx_client_if.hpp"
#include "transport/socket_impl.hpp"
#include "tyx/config.hpp"

namespace tyx {
namespace center {

// A frame announcing a longer payload cannot come from a sound center: the connection is
// treated as broken rather than trusted with the allocation.
inline constexpr std::uint32_t kMaxFramePayload = 256u * 1024 * 1024;
// The inbound connection is read in pieces of at most this size; frames within a piece are
// decoded where they lie.
inline constexpr std::size_t kReadPieceSize = 256 * 1024;

}  // namespace center

class TyxClientCenter : public ITyxClient, public Subscriber, private center::DecoderSink {
public:
    TyxClientCenter(center::CenterEvents& events, std::string_view cluster_name,
                    std::vector<Endpoint> endpoints, const SubscriptionConfig& config,
                    asio::io_context& io_context, SocketFactory sockets);
    ~TyxClientCenter() override;

    asio::awaitable<void> connect(asio::io_context& io_context) override;
    asio::awaitable<void> receive_loop() override;
    asio::awaitable<void> stop() override;
    void recreate_socket() override;
    asio::awaitable<bool> try_connect_once() override;

    // Takes a row a table released when its snapshot was answered; the rows released by one
    // answer reach the listeners as on_update in one notification job.
    void update(TyxCenterIncrementalUpdatePtr update) override;

    // Subscribes the tables not yet subscribed with an equal request, in one request. `done`
    // runs once the center has answered that request, or at once when nothing is new. While
    // the connection is down the tables are only registered: they are requested as soon as the
    // next handshake completes.
    void subscribe(const std::vector<SubscriptionRequest>& requests, std::function<void()> done);
    // Stops receiving the named tables; only those that were subscribed are named to the center.
    void unsubscribe(const std::vector<std::string>& table_names);

    // One framed request for `requests` with this client's process UID and the current time.
    void build_snapshot_request(ByteVector& out, const std::vector<SubscriptionRequest>& requests,
                                bool remove, std::uint32_t value) const;

    // Decodes one frame payload. A decoding failure is written to standard error. When it came
    // inside a changes message or a snapshot answer, rows (or the end of a snapshot) are lost:
    // the failure is logged at level 3 and the connection given up, so that the reconnection
    // asks for every table again and the subscriber's view is whole. Any other failure (too
    // short, an unknown message type) drops that frame and the client goes on with the next.
    void process_payload(ByteView payload);

    const SubscribedTables& subscribed_tables() const { return subscriptions_.tables(); }
    const std::string& process_uid() const { return process_uid_; }
    std::size_t pending_subscribe_count() const { return subscriptions_.waiting_calls(); }
    // Both connections are open and introduced.
    bool handshaken() const { return handshaken_; }
    ISocket* inbound_socket() const { return inbound_.get(); }
    ISocket* outbound_socket() const { return outbound_.get(); }
    std::uint64_t frames_received() const {
        return monitor_->frames_received.load(std::memory_order_relaxed);
    }
    // How long a handshake may take before both connections are closed and the attempt fails
    // ("Center handshake timed out after N ms ..."): the configuration's connect timeout; a
    // center that accepts and never answers would otherwise hold the client, and a waiting
    // add_cluster, for ever. Zero: no limit.
    std::chrono::milliseconds handshake_timeout() const;

private:
    asio::awaitable<void> do_handshake();
    asio::awaitable<void> msg_direct_handshake(bool outbound);
    asio::awaitable<void> do_reconnect();
    // Reads what arrives on the inbound connection and decodes every frame it completes, until
    // the connection fails or the client stops.
    asio::awaitable<void> read_frames();
    // Waits, without reading, while the listeners are too far behind (see
    // CenterEvents::updates_held_back), looking again every kHoldBackPoll.
    asio::awaitable<void> hold_back();
    static constexpr std::chrono::milliseconds kHoldBackPoll{5};
    // Closes both connections.
    asio::awaitable<void> disconnect_both();
    void send_request(const std::vector<SubscriptionRequest>& requests, bool remove);

    // Posts the rows taken by update, in one job, followed by on_snapshot_answered for the
    // `answered` tables (when any) and the batch end (when there were rows).
    void deliver_released(std::vector<std::string> answered = {});

    // What the decoder produces. The rows of live tables go to the listeners in one job per
    // changes message, in the batch they were decoded into; the next message is decoded into
    // another batch from the pool.
    UpdateBatch& update_batch() override { return *batch_; }
    void add_updates(UpdateBatch& updates) override;
    void table_schema(const std::string& table_name, CenterTableSchema schema) override;
    void snapshot_response() override;
    void log(std::uint8_t level, std::string_view text) override;

    center::CenterEvents& center_events_;
    SubscriptionConfig config_;
    SessionTimer hold_timer_;  // the pauses of hold_back
    SocketSlot<> inbound_;     // the center writes to the client here
    SocketSlot<> outbound_;    // the client writes its requests here
    std::string process_uid_;
    SubscriptionState subscriptions_{*this};
    center::ChangeDecoder decoder_{static_cast<center::DecoderSink&>(*this)};
    std::shared_ptr<UpdateBatchPool> batches_;
    std::unique_ptr<UpdateBatch> batch_;
    std::vector<TyxCenterIncrementalUpdatePtr> released_;
    ByteVector read_buffer_;
    std::size_t payload_bytes_ = 0;  // of the frame being decoded
    center::FrameReader frames_{center::kMaxFramePayload};
    LogLimiter parse_error_lines_;  // the parse errors written to standard error
    bool handshaken_ = false;
    bool lost_changes_ = false;
    // When each snapshot request still unanswered was written, oldest first.
    std::deque<SessionClock::time_point>
        snapshot_requests_;  // a known message failed to decode: this connection is given up
};

}  // namespace tyx
