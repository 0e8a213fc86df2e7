// DirectWriteTarget: the one operation of a connection that a thread other than its socket's
// loop may call, so that a publisher can put a message on an idle connection without a hop to
// the loop. Every ISocket is one; whoever holds it must let go before the socket object goes.
#pragma once

#include <cstddef>
#include <string_view>

namespace tyx {

class DirectWriteTarget {
public:
    // Any thread, while the socket object lives. Writes what the connection takes of `data` at
    // once, without waiting, and returns how many bytes that was: 0 when it would block, when
    // there is no connection (closed, failed, or closing at this very moment) and when this
    // socket does not write from other threads. A close on the loop and this call may overlap:
    // the write then either completes before the close or writes nothing, and never reaches a
    // descriptor the close freed. The caller keeps the loop's own writes away meanwhile, or
    // their bytes interleave.
    virtual std::size_t try_write_now(std::string_view data) = 0;

protected:
    ~DirectWriteTarget() = default;
};

}  // namespace tyx
