// RelayEvents: the events a relay session raises beyond every session's (see SessionEvents):
// the messages it wrote, in written blocks, and the relay's commands.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "core/session_events.hpp"
#include "rt/relay_outbox.hpp"
#include "rt/relay_parse.hpp"

namespace tyx::rt {

// Written blocks on their way to on_message_sent; they go back to the outbox afterwards, also
// when the event is dropped without being delivered.
struct WrittenMessages {
    std::shared_ptr<RelayOutbox> outbox;
    RelayOutbox::BlockList blocks;

    WrittenMessages(std::shared_ptr<RelayOutbox> o, RelayOutbox::BlockList b)
        : outbox(std::move(o)), blocks(std::move(b)) {}
    WrittenMessages(WrittenMessages&&) noexcept = default;
    WrittenMessages& operator=(WrittenMessages&&) = delete;
    ~WrittenMessages() {
        if (outbox) outbox->recycle(std::move(blocks));
    }

    // `f(text)` for each message in the order written, without its line feed.
    template <typename F>
    void for_each(F&& f) const {
        for (const RelayOutbox::Block* b = blocks.front(); b != nullptr; b = b->next)
            b->for_each_message([&](std::string_view text) { f(without_line_feed(text)); });
    }
};

class RelayEvents : public virtual SessionEvents {
public:
    // One on_message_sent per message.
    virtual void messages_written(std::string_view client, WrittenMessages written) = 0;
    virtual void command(std::string_view client, ExecuteCommandMessage command) = 0;
};

}  // namespace tyx::rt
