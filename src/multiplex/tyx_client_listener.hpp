// TyxClientListener: the internal listener interface. Implementations are owned by the
// multiplexer's listener list (shared pointers) and every operation runs on the
// notification loop, one call at a time, never on a network thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tyx/health.hpp"

namespace tyx {

class TyxClientMultiplex;
struct TyxCenterIncrementalUpdate;

// Every operation receives the multiplexer that raised the event and the name of the client
// concerned (`<cluster>-relay`, `<cluster>-center` or `<cluster>-jdbc`; routing failures carry
// the bare cluster name). String views and references are valid only during the call.
// Callbacks must not throw: an escaping exception ends the notification loop and the process.
// They may call any multiplexer operation, including the waiting forms.
class TyxClientListener {
public:
    virtual ~TyxClientListener() = default;

    // Whether this listener wants on_message_sent; read once, when it is added. While no
    // listener wants it, relays neither keep written messages for a report nor post one.
    virtual bool hears_message_sent() const { return true; }
    // The same for on_message_received: while no listener wants it, database answers are not
    // copied for it.
    virtual bool hears_message_received() const { return true; }

    virtual void on_connect(TyxClientMultiplex& /*multiplex*/, std::string_view /*name*/) {}
    virtual void on_disconnect(TyxClientMultiplex& /*multiplex*/, std::string_view /*name*/) {}
    virtual void on_logged_in(TyxClientMultiplex& /*multiplex*/, std::string_view /*name*/) {}
    // `message` is the exact text or bytes just written.
    virtual void on_message_sent(TyxClientMultiplex& /*multiplex*/, std::string_view /*name*/,
                                 std::string_view /*message*/) {}
    virtual void on_message_received(TyxClientMultiplex& /*multiplex*/, std::string_view /*name*/,
                                     std::int64_t /*now*/, std::int64_t /*seqnum*/, std::int32_t /*status*/,
                                     std::string_view /*message*/) {}
    virtual void on_command(TyxClientMultiplex& /*multiplex*/, std::string_view /*name*/,
                            std::string_view /*request_id*/, std::string_view /*cmd*/,
                            std::string_view /*user_name*/, std::string_view /*object_type*/,
                            std::string_view /*object_id*/,
                            const std::map<std::string, std::string>& /*params*/) {}
    virtual void on_subscribe(TyxClientMultiplex& /*multiplex*/, std::string_view /*name*/,
                              const std::vector<std::string>& /*tables*/) {}
    virtual void on_update(TyxClientMultiplex& /*multiplex*/, std::string_view /*name*/,
                           const TyxCenterIncrementalUpdate& /*update*/) {}
    // After the on_update calls of one delivered batch (a changes message, or the rows a snapshot
    // answer released).
    virtual void on_update_batch_end(TyxClientMultiplex& /*multiplex*/, std::string_view /*name*/) {}
    // A snapshot answer arrived for `tables`; raised after that answer's rows, before the batch end.
    virtual void on_snapshot_answered(TyxClientMultiplex& /*multiplex*/, std::string_view /*name*/,
                                      const std::vector<std::string>& /*tables*/) {}
    // Level 3 marks a failed operation, level 2 an unexpected but harmless input.
    virtual void on_log(TyxClientMultiplex& /*multiplex*/, std::string_view /*name*/, std::uint8_t /*level*/,
                        std::string_view /*message*/) {}
    // A shard session changed state.
    virtual void on_session_state(TyxClientMultiplex& /*multiplex*/, std::string_view /*name*/,
                                  const SessionStateEvent& /*event*/) {}
};

}  // namespace tyx
