// What the kernel knows of a TCP connection's sending side: how many bytes the peer's TCP has
// acknowledged and how many are still queued. Plain functions over a descriptor, callable on
// any thread that owns it for the moment.
#pragma once

#include <cstdint>
#include <optional>

namespace tyx {

// Bytes the peer has acknowledged, counted from the connection's start (its SYN counts one).
// Readable until the descriptor is closed, after a reset too; nullopt when the kernel cannot tell.
std::optional<std::uint64_t> tcp_bytes_acked(int fd);

// Every byte handed to the kernel on the connection, in the same count as tcp_bytes_acked: what
// was acknowledged plus what still waits in the send queue, read so that an acknowledgement
// arriving in between cannot skew the sum.
std::optional<std::uint64_t> tcp_bytes_handed(int fd);

}  // namespace tyx
