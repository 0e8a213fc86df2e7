#include "transport/tcp_progress.hpp"

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace tyx {

std::optional<std::uint64_t> tcp_bytes_acked(int fd) {
    if (fd < 0) return std::nullopt;
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return std::nullopt;
    // Kernels older than the field give a shorter structure.
    if (size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) return std::nullopt;
    return info.tcpi_bytes_acked;
}

std::optional<std::uint64_t> tcp_bytes_handed(int fd) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        const auto before = tcp_bytes_acked(fd);
        int queued = 0;
        if (!before || ::ioctl(fd, SIOCOUTQ, &queued) != 0) return std::nullopt;
        const auto after = tcp_bytes_acked(fd);
        // An acknowledgement between the two reads moves bytes from the queue to the count.
        if (after == before) return *before + static_cast<std::uint64_t>(queued);
    }
    return std::nullopt;
}

}  // namespace tyx
