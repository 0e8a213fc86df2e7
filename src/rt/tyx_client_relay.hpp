// TyxClientRelay: the session with one relay shard of one cluster. It logs in, writes what
// publishers appended to its outbox in order, in large writes, follows the relay's TCP
// acknowledgements of what it wrote, turns the relay's status and command lines into listener
// events, reconnects after a loss (re-sending what the relay's host had not acknowledged, or
// everything written on a connection the relay refused) and logs out when stopped. Lives on one worker loop
// of the pool; every member runs there except send_async, which any thread may call.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/job_slot.hpp"
#include "core/tyx_client_if.hpp"
#include "rt/message.hpp"
#include "rt/relay_events.hpp"
#include "rt/relay_outbox.hpp"
#include "transport/socket_impl.hpp"
#include "tyx/config.hpp"

namespace tyx {

class TyxClientRelay : public SingleSocketClient, private rt::RelayOutbox::Writer {
public:
    // Writes `outbox` (the one publishers append to), or an outbox of its own when none is given.
    TyxClientRelay(rt::RelayEvents& events, std::string_view cluster_name,
                   std::vector<Endpoint> endpoints, PublicationConfig config, asio::io_context& io_context,
                   SocketFactory sockets, std::shared_ptr<rt::RelayOutbox> outbox = nullptr);
    ~TyxClientRelay() override;

    asio::awaitable<void> connect(asio::io_context& io_context) override;
    asio::awaitable<void> receive_loop() override;
    asio::awaitable<void> stop() override;
    // Publishers stop writing straight to the connection before its socket is replaced.
    void recreate_socket() override;

    // An outbox for the relay session named `relay_name` (its client name): `description` names
    // the shard in its level-3 logs about drops, which carry `relay_name`.
    static std::shared_ptr<rt::RelayOutbox> make_outbox(SessionEvents& events,
                                                        const std::string& relay_name,
                                                        std::string description,
                                                        const PublicationConfig& config);

    // Appends a message to the outbox; any thread. Dropped once stopped. While logged out it
    // waits there and is written after the next login.
    void send_async(const std::shared_ptr<rt::Message>& message) { outbox_->append(message->view()); }

    // The relay's text handling, exposed for tests: one received line, line feed included or not.
    void parse_and_dispatch(std::string_view line);

    bool logged_in() const { return logged_in_; }
    // Messages appended and not yet confirmed written.
    std::size_t kept_messages() const { return outbox_->kept_messages(); }
    const std::shared_ptr<rt::RelayOutbox>& outbox() const { return outbox_; }
    // Lines dispatched, and status or command lines decoded, since construction.
    std::uint64_t lines_received() const { return lines_received_; }
    std::uint64_t lines_decoded() const { return lines_decoded_; }

    // A connection the relay ends within this time of the login, before it has sent a line and
    // before this many bytes were acknowledged on it, was refused: what its host acknowledged
    // was thrown away (a TLS server rejecting the client's certificate does just that, after
    // the client's handshake is done). Until then, acknowledged messages are kept.
    static constexpr std::chrono::milliseconds kRefusalWindow{500};
    static constexpr std::uint64_t kRefusalBytes = std::uint64_t{8} << 20;

private:
    // How often the writer looks at the acknowledgements while some are awaited: at first and
    // while the stop waits, then less often while none arrive. While a flush waits, from a few
    // microseconds on, up to the first interval: its caller is waiting for exactly this.
    static constexpr std::chrono::microseconds kFirstAckPoll{1000};
    static constexpr std::chrono::microseconds kLongestAckPoll{50'000};
    static constexpr std::chrono::microseconds kFirstFlushPoll{20};
    // With conflation: the most the kernel may hold written but unsent, beyond which messages
    // wait in the outbox, where a newer version can still replace them.
    static constexpr std::size_t kConflatingUnsentBytes = 64 << 10;

    asio::awaitable<void> do_login();
    asio::awaitable<void> do_reconnect();
    // Writes the outbox while logged in: everything pending in one go, then waits to be woken.
    // On a failed write it gives back what was not written and closes the connection.
    asio::awaitable<void> write_loop();
    void start_writer();
    // Closes the connection and waits until the writer has given its messages back.
    asio::awaitable<void> end_writer();
    // Waits until the writer has ended, and a login being written with it; false when
    // `deadline` came first.
    asio::awaitable<bool> wait_for_writer(SessionClock::time_point deadline);
    // The login was written (its writer started) or failed: those waiting for it look again.
    void end_login();
    // on_message_sent for every message of `blocks`, in one notification job.
    void report_written(rt::RelayOutbox::BlockList blocks);
    // Hands the connection's acknowledgements to the outbox (once the connection is past its
    // refusal window); true when they delivered something.
    bool check_acknowledged();
    // Reads how far the connection is acknowledged; false while that must not be taken for
    // delivery (the refusal window).
    bool read_acknowledged(std::optional<std::uint64_t>& acked);
    // After the connection ended: what its host acknowledged is delivered, unless the relay
    // refused the connection; everything else goes back to be written again.
    void settle_lost_connection();
    std::chrono::microseconds next_ack_poll(bool progress);
    // Discards what is left when the session stops, and says so.
    void discard_at_stop(bool was_logged_in);

    void post_wake() override;
    void wake_on_loop() override;

    rt::RelayEvents& relay_events_;
    PublicationConfig config_;
    std::int64_t sequence_ = 0;
    std::shared_ptr<rt::RelayOutbox> outbox_;
    // The one wake-up job a relay can have queued, so waking allocates nothing; shared, as asio
    // may destroy the job (and with it the last owner of the outbox) after the relay is gone.
    std::shared_ptr<JobSlot> wake_slot_;
    SessionTimer wake_timer_;  // the idle writer waits on it; a wake-up cancels it
    bool logged_in_ = false;
    bool writer_running_ = false;
    bool logging_in_ = false;  // the login is being written
    // The timers of those waiting for the writer to end (and for a login being written).
    std::vector<SessionTimer*> writer_waiters_;
    bool closing_ = false;  // stopping: the writer empties the outbox, then ends
    SessionClock::time_point login_time_{};
    bool confirmed_ = false;  // the current connection is past its refusal window
    std::chrono::microseconds ack_poll_ = kFirstAckPoll;
    std::chrono::microseconds flush_poll_ = kFirstFlushPoll;
    SessionClock::time_point next_ack_check_{};
    std::uint64_t lines_received_ = 0;
    std::uint64_t lines_decoded_ = 0;
};

}  // namespace tyx
